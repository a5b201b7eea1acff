// How long the main loop is held by its callbacks while the supervisor's
// status refresh, camera ping and encoder poll run on it, against the same
// loop with the supervisor's timers off (--supervisor=0, the peer). The
// camera's HTTP status service (vx4-sim) answers at once (--camera=fast),
// after 400 ms (slow) or never (silent); redis is a private server.
//
// A stall is the time from the loop's waking up to its next wait: every
// callback of that pass. A 100 ms tick stands in for the display tick.
#include <ev.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/trace.h"
#include "supervisor/supervisor.h"
#include "support.h"

using namespace vx4test;
using namespace vx4bench;

namespace {

double now_ms() { return monotonic_seconds() * 1e3; }

double woke_at = -1;
std::vector<double> stalls;
double tick_late_max = 0;
double next_tick = 0;

void on_check(struct ev_loop *, ev_check *, int) { woke_at = now_ms(); }

void on_prepare(struct ev_loop *, ev_prepare *, int)
{
    if (woke_at >= 0)
        stalls.push_back(now_ms() - woke_at);
    woke_at = -1;
}

void on_tick(struct ev_loop *, ev_timer *, int)
{
    double at = now_ms();
    if (next_tick > 0)
        tick_late_max = std::max(tick_late_max, at - next_tick);
    next_tick = at + 100.0;
}

void on_end(struct ev_loop *loop, ev_timer *, int) { ev_break(loop, EVBREAK_ALL); }

}  // namespace

int main(int argc, char **argv)
{
    bool supervisor = option(argc, argv, "supervisor", "1") == "1";
    std::string camera_mode = option(argc, argv, "camera", "fast");
    int seconds = std::atoi(option(argc, argv, "seconds", "60").c_str());

    SandboxRoot root;
    int camera_port = free_tcp_port();
    SimHead camera(root, {"--camera-http-port=" + std::to_string(camera_port)});
    if (camera_mode == "slow")
        camera.post("/camera/http/faults", R"({"delay_ms": 400})");
    else if (camera_mode == "silent")
        camera.post("/camera/http/faults", R"({"silent": true})");
    RedisServer redis(root.path());
    redis.set("vx4-battery", "Dewalt");
    setenv("VX4_CAMERA_HTTP_PORT", std::to_string(camera_port).c_str(), 1);
    setenv("VX4_REDIS_PORT", std::to_string(redis.port()).c_str(), 1);
    for (int input = 2; input <= 5; ++input)
        root.write("/sys/devices/platform/coretemp.0/hwmon/hwmon1/temp" + std::to_string(input) + "_input", "45000");
    root.make_dir("/media/usb-cpy");
    root.write("/media/usb99/trace_mask", "0x00000007");
    root.enter();
    init_trace();

    struct ev_loop *loop = ev_default_loop(0);
    signal(SIGCHLD, SIG_DFL);  // children are waited for by whoever started them, as in the daemon
    if (supervisor)
        vx4_init_supervisor(1);
    ev_check check;
    ev_check_init(&check, on_check);
    ev_set_priority(&check, EV_MAXPRI);
    ev_check_start(loop, &check);
    ev_prepare prepare;
    ev_prepare_init(&prepare, on_prepare);
    ev_prepare_start(loop, &prepare);
    ev_timer tick, end;
    ev_timer_init(&tick, on_tick, 0.1, 0.1);
    ev_timer_start(loop, &tick);
    ev_timer_init(&end, on_end, seconds, 0);
    ev_timer_start(loop, &end);
    ev_run(loop, 0);

    std::sort(stalls.begin(), stalls.end());
    double max = stalls.empty() ? 0 : stalls.back();
    double p99 = stalls.empty() ? 0 : stalls[stalls.size() * 99 / 100];
    auto state = camera.get("/camera/http");
    vx4_supervisor_values values;
    vx4_load_supervisor_values(&values);
    printf("supervisor=%d camera=%s seconds=%d passes=%zu max_stall_ms=%.3f p99_stall_ms=%.3f "
           "tick_late_max_ms=%.3f camera_requests=%lld camera_signal=%d battery=%s\n",
           supervisor, camera_mode.c_str(), seconds, stalls.size(), max, p99, tick_late_max,
           static_cast<long long>(json_object_get_int64(json_at(state.get(), "requests"))), values.camera_signal,
           values.battery);
    return 0;
}
