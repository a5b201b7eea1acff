// Measures how long the on-screen display takes to stand again after the
// link to the camera comes back: from the connection to the completion, on
// vx4-sim, of the last title command of the rebuild (every line shown). The
// camera settings layer runs too, as in the daemon, and gives its options
// again meanwhile. --delays-ms=1,20 sets how long the camera takes to answer
// each command; --poll-ms=100 runs the VISCA thread as a loop polled every
// 100 ms, the peer that sends one command per pass.
#include <ev.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "camera/camera_settings.h"
#include "camera/osd.h"
#include "camera/visca_connection.h"
#include "core/settings.h"
#include "recorder/recorder_texts.h"
#include "support.h"

using namespace vx4test;
using namespace vx4bench;

namespace {

constexpr size_t rebuild_commands = 21;  // clear all, then five lines of four

std::vector<long> delays(int argc, char **argv)
{
    std::string list = "1,20";
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--delays-ms=", 12) == 0)
            list = argv[i] + 12;
    std::vector<long> values;
    std::stringstream stream(list);
    for (std::string item; std::getline(stream, item, ',');)
        values.push_back(strtol(item.c_str(), nullptr, 10));
    return values;
}

bool connected() { return visca_connection_is_connected(visca_thread_data.connection) != 0; }

// Receive times of the title commands since the last clear.
std::vector<double> title_times(const SimHead &sim)
{
    JsonPtr log = sim.get("/camera/commands");
    json_object *packets = json_at(log.get(), "commands");
    json_object *times = json_at(log.get(), "received_at");
    std::vector<double> found;
    for (size_t i = 0; packets && i < json_object_array_length(packets); ++i) {
        std::string packet = json_object_get_string(json_object_array_get_idx(packets, i));
        if (packet.rfind("81 01 04 73", 0) == 0 || packet.rfind("81 01 04 74", 0) == 0)
            found.push_back(json_object_get_double(json_object_array_get_idx(times, i)));
    }
    return found;
}

// The link goes and comes back at once (the camera update's hand-over, which
// reconnects without the pause after a lost connection). Returns when it
// is connected again, the moment measured from.
double reconnect()
{
    visca_request_suspension(&visca_thread_data);
    while (!visca_update_active(&visca_thread_data))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the display's tick sees it gone
    visca_report_update_end(&visca_thread_data);
    while (!connected())
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return monotonic_seconds();
}

int measure(int poll_ms, const std::vector<long> &delay_list, long rounds)
{
    SandboxRoot root;
    int port = free_tcp_port();
    setenv("VX4_CAMERA_VISCA_PORT", std::to_string(port).c_str(), 1);
    root.enter();
    SimHead sim(root, {"--visca-port=" + std::to_string(port)});
    vx4_init_nv();
    // Every line shown, with texts long enough to need both halves.
    for (int item : {NV_DATE_TIME_OSD, NV_OPERATOR_ID_OSD, NV_TITLE_OSD, NV_FLOW_DIRECTION_OSD, NV_ZOOM_OSD,
                     NV_COMPASS_DIRECTION_OSD}) {
        int32_t on = 1;
        vx4_write_nv(item, &on, sizeof on);
    }
    vx4_init_recorder_texts();
    vx4_set_recorder_title("MANHOLE 12 TO 14");
    vx4_set_recorder_flow_direction("DOWNSTREAM");
    vx4_set_recorder_operator_id("OPERATOR 7");
    vx4_set_osd_laser_reading(12.5f);
    vx4_set_osd_item(VX4_OSD_LASER, 1, 0);

    visca_thread_data.poll_interval_ms = poll_ms;
    pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data);
    vx4_init_camera();
    vx4_init_osd();
    signal(SIGCHLD, SIG_DFL);  // the simulator is ours to reap, not the loop's
    std::thread([] { ev_run(ev_default_loop(0), 0); }).detach();
    if (!wait_until(connected, 10000ms) ||
        !wait_until([&] { return title_times(sim).size() >= rebuild_commands; }, 20000ms)) {
        fprintf(stderr, "osd_rebuild_bench: no display on vx4-sim\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms > 0 ? 5000 : 1000));  // power-up done

    for (long delay : delay_list) {
        sim.post("/camera/delays", "{\"ack_ms\": " + std::to_string(delay) + ", \"completion_ms\": 0}");
        std::vector<double> rebuild_ms;
        for (long round = 0; round < rounds; ++round) {
            sim.post("/camera/commands/clear");
            double start = reconnect();
            std::vector<double> times;
            if (!wait_until([&] { return (times = title_times(sim)).size() >= rebuild_commands; }, 20000ms)) {
                fprintf(stderr, "osd_rebuild_bench: the display was not rebuilt\n");
                return 1;
            }
            // Completed once the camera has answered the last of them.
            double last = *std::max_element(times.begin(), times.end()) + static_cast<double>(delay) / 1000;
            rebuild_ms.push_back((last - start) * 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms > 0 ? 1000 : 300));  // settings too
        }
        printf("mode=%s poll_ms=%d delay_ms=%ld rounds=%ld rebuild_median_ms=%.1f rebuild_max_ms=%.1f\n",
               poll_ms > 0 ? "polling" : "waiting", poll_ms, delay, rounds, percentile(rebuild_ms, 0.5),
               percentile(rebuild_ms, 1.0));
        fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int result = measure(static_cast<int>(number_option(argc, argv, "poll-ms", 0)), delays(argc, argv),
                         number_option(argc, argv, "rounds", 10));
    fflush(stdout);
    // The threads run until the process ends, as in the daemon.
    _exit(result);
}
