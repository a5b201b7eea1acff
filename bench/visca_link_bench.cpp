// Measures the camera link against vx4-sim answering at once: bursts of 20
// commands (an on-screen display rebuild) from the first queued to the last
// completed, and how long a single command takes from the queue to the
// camera. --poll-ms=100 runs the VISCA thread as a loop polled every 100 ms,
// the peer to compare with; --poll-ms=0 lets it sleep until something happens.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "bench_support.h"
#include "support.h"

using namespace vx4test;
using namespace vx4bench;

namespace {

bool drained(visca_camera *camera)
{
    std::lock_guard<std::mutex> hold(camera->queue_mutex);
    return camera->in_flight == 0 && camera->extract_index == camera->insert_index;
}

void wait_drained(visca_camera *camera)
{
    while (!drained(camera))
        std::this_thread::sleep_for(std::chrono::microseconds(20));
}

// The commands of one display rebuild: five lines, each two text halves,
// position and colour, and switching it on; cut to 20.
int queue_rebuild(visca_camera *camera)
{
    static const int lines[] = {0, 1, 2, 3, 10};
    int queued = 0;
    for (int line : lines) {
        queued += visca_camera_title_set_2(camera, line, "VX4  01/02/25") == 0;
        queued += visca_camera_title_set_3(camera, line, "  10:42") == 0;
        queued += visca_camera_title_set_1(camera, line, 6, 0, 0) == 0;
        queued += visca_camera_title_turn_line_on(camera, line) == 0;
    }
    return queued;
}


}  // namespace

int measure(int poll_ms, long bursts, long singles)
{
    SandboxRoot root;
    int port = free_tcp_port();
    setenv("VX4_CAMERA_VISCA_PORT", std::to_string(port).c_str(), 1);
    root.enter();
    SimHead sim(root, {"--visca-port=" + std::to_string(port)});

    visca_thread_data.poll_interval_ms = poll_ms;
    pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data);
    if (!wait_until([] { return visca_connection_is_connected(visca_thread_data.connection) != 0; }, 10000ms)) {
        fprintf(stderr, "visca_link_bench: no connection to vx4-sim\n");
        return 1;
    }
    visca_camera *camera = visca_thread_data.camera;
    visca_camera_zoom_stop(camera);  // the first replies switch on notices and ask the version
    if (!wait_until([camera] { return camera->model_code != 0 && drained(camera); }, 10000ms)) {
        fprintf(stderr, "visca_link_bench: the camera does not answer\n");
        return 1;
    }

    std::vector<double> burst_ms;
    for (long i = 0; i < bursts; ++i) {
        double start = monotonic_seconds();
        if (queue_rebuild(camera) != 20) {
            fprintf(stderr, "visca_link_bench: a command was refused\n");
            return 1;
        }
        wait_drained(camera);
        burst_ms.push_back((monotonic_seconds() - start) * 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }

    std::vector<double> wire_ms, done_ms;
    for (long i = 0; i < singles; ++i) {
        sim.post("/camera/commands/clear");
        double queued = monotonic_seconds();
        visca_camera_zoom_stop(camera);
        wait_drained(camera);
        done_ms.push_back((monotonic_seconds() - queued) * 1000);
        JsonPtr log = sim.get("/camera/commands");
        json_object *times = json_at(log.get(), "received_at");
        if (!times || json_object_array_length(times) != 1) {
            fprintf(stderr, "visca_link_bench: the camera did not log the command\n");
            return 1;
        }
        wire_ms.push_back((json_object_get_double(json_object_array_get_idx(times, 0)) - queued) * 1000);
    }

    printf("mode=%s poll_ms=%d bursts=%ld burst_median_ms=%.3f burst_p90_ms=%.3f burst_max_ms=%.3f "
           "singles=%ld wire_median_ms=%.3f wire_max_ms=%.3f single_done_median_ms=%.3f\n",
           poll_ms > 0 ? "polling" : "waiting", poll_ms, bursts, percentile(burst_ms, 0.5),
           percentile(burst_ms, 0.9), percentile(burst_ms, 1.0), singles, percentile(wire_ms, 0.5),
           percentile(wire_ms, 1.0), percentile(done_ms, 0.5));
    return 0;
}

int main(int argc, char **argv)
{
    int result = measure(static_cast<int>(number_option(argc, argv, "poll-ms", 0)), number_option(argc, argv, "bursts", 20),
                         number_option(argc, argv, "singles", 20));
    fflush(stdout);
    // The simulator is stopped and the root removed; the VISCA thread runs
    // until the process ends, as in the daemon.
    _exit(result);
}
