// The power board object driven through its functions against the simulated
// board of vx4-sim, on the application's loop. What reaches the board shows
// in the simulator's state and recorded writes, what the daemon makes of it
// in the trace, its events and the decoded registers.
#pragma once

#include <mutex>

#include "core/application.h"
#include "core/trace.h"
#include "power_board/power_board_internal.h"
#include "support.h"

namespace vx4test {

// The board's calls upward (its events), recorded in order as text such as
// "shutdown(3)", "pressure(1250.00)" or "osd_item(6, 1)".
class BoardEvents {
public:
    static const vx4_power_board_events *table()
    {
        static const vx4_power_board_events events = {
            [](double mean) { add("pressure", mean); },
            [](double mean) { add("humidity", mean); },
            [] { add("tilt_motor_warning"); },
            [] { add("height_motor_warning"); },
            [] { add("pan_motor_warning"); },
            [] { add("high_pressure_warning"); },
            [] { add("high_humidity_warning"); },
            [](int mode) { add("shutdown(" + std::to_string(mode) + ")"); },
            [](char *buffer, size_t size) { snprintf(buffer, size, "%s", battery_type.c_str()); },
            [](float metres) { add("osd_laser_reading", metres); },
            [](int item, int value, int) {
                add("osd_item(" + std::to_string(item) + ", " + std::to_string(value) + ")");
                std::lock_guard<std::mutex> hold(lock);
                osd_items[item & 7] = value;
            },
            [](int item) {
                std::lock_guard<std::mutex> hold(lock);
                return osd_items[item & 7];
            },
            [] { return camera_updating; },
        };
        return &events;
    }

    // The events since the last call, in order, joined by spaces.
    static std::string take()
    {
        std::lock_guard<std::mutex> hold(lock);
        std::string joined;
        for (; taken < log.size(); ++taken)
            joined.append(joined.empty() ? "" : " ").append(log[taken]);
        return joined;
    }

    static inline std::string battery_type = "unknown";
    static inline bool camera_updating = false;

private:
    static void add(const std::string &event)
    {
        std::lock_guard<std::mutex> hold(lock);
        log.push_back(event);
    }

    static void add(const char *name, double value)
    {
        char text[64];
        snprintf(text, sizeof text, "%s(%.*f)", name, name[0] == 'o' ? 3 : 2, value);
        add(text);
    }

    static inline std::mutex lock;
    static inline std::vector<std::string> log;
    static inline size_t taken = 0;
    static inline int osd_items[8] = {};
};

class BoardTest : public ::testing::Test {
protected:
    // Starts vx4-sim's board, points the daemon's bus at it and starts the
    // board's service on the application's loop, suspended: the board
    // refreshes only when the test asks.
    void start()
    {
        sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--bus=" + socket()});
        init(true, BoardEvents::table());
        vx4_power_board_suspend_refresh(&board);
        ASSERT_EQ(vx4_power_board_start_service(&board), 0);
        ASSERT_TRUE(wait_until([this] { return board.service_state != VX4_PB_INITIALISING; }));
    }

    // The daemon's side alone, its service not started.
    void init(bool advanced, const vx4_power_board_events *events)
    {
        setenv("VX4_POWER_BOARD", ("sim:" + socket()).c_str(), 1);
        root.write("/media/usb99/trace_mask", "0xFFFFFFFF");
        root.enter();
        init_trace();
        ASSERT_EQ(vx4_application_init(&application, "vx4-test"), 0);
        ASSERT_EQ(vx4_power_board_init(&board, &application, advanced, events), 0);
        started_ = true;
    }

    void TearDown() override
    {
        if (!started_)
            return;
        vx4_power_board_destroy(&board);
        vx4_application_destroy(&application);
        if (sim && !bus_errors_expected)
            expect_no_bus_errors(*sim);
    }

    std::string socket() const { return root.path() + "/board.sock"; }

    // Runs the application's loop until the condition holds, looking at it
    // every period (and between the board's timer ticks).
    bool run_until(const std::function<bool()> &condition, milliseconds timeout = 5000ms, milliseconds period = 10ms)
    {
        ev_timer tick;
        ev_timer_init(&tick, [](struct ev_loop *, ev_timer *, int) {}, 0.001, 0.001);
        ev_timer_start(application.loop, &tick);
        auto now = std::chrono::steady_clock::now;
        auto deadline = now() + timeout, next = now();
        bool held = false;
        while (now() < deadline) {
            if (now() >= next) {
                if ((held = condition()))
                    break;
                next = now() + period;
            }
            ev_run(application.loop, EVRUN_ONCE);
        }
        ev_timer_stop(application.loop, &tick);
        return held || condition();
    }

    // Refreshes of a suspended board, each queued at once and evaluated to the end.
    void refresh(int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            unsigned before = board.refresh_count;
            vx4_power_board_refresh_now(&board);
            ASSERT_TRUE(run_until([&] { return board.refresh_count == before + 1; }, 5000ms, 0ms)) << "refresh " << i;
        }
    }

    // The test's own refresh timer, period seconds apart (0: stopped), for a
    // suspended board that should refresh on its own at another pace.
    void pace(double period)
    {
        ev_timer_stop(application.loop, &pacer_);
        if (period <= 0)
            return;
        pacer_.data = &board;
        ev_timer_init(&pacer_, [](struct ev_loop *, ev_timer *timer, int) {
            vx4_power_board_refresh_now(static_cast<vx4_power_board *>(timer->data));
        }, period, period);
        ev_timer_start(application.loop, &pacer_);
    }

    // Lets a running board refresh count more times.
    void wait_refreshes(unsigned count)
    {
        unsigned target = board.refresh_count + count;
        ASSERT_TRUE(run_until([&] { return board.refresh_count >= target; }));
    }

    void set(const std::string &readings) { sim->post("/board/readings", readings); }
    double sim_number(const std::string &path) { return sim->number("/board", path); }

    BoardWrites writes() { return board_writes(*sim); }

    // Every write queued so far has reached the board (the marker barrier);
    // the writes it received, markers left out.
    BoardWrites settle()
    {
        uint8_t mark = static_cast<uint8_t>(++marks_);
        EXPECT_EQ(vx4_power_board_issue_write(&board, 0x7F, &mark, 1), 0);
        BoardWrites all = writes_up_to_marker(*sim, mark);
        all.erase(std::remove_if(all.begin(), all.end(), [](const BoardWrite &w) { return w.first == 0x7F; }),
                  all.end());
        return all;
    }

    long traced(const std::string &line) const { return vx4test::traced(root, line); }

    // Runs the loop until the line has been traced count times.
    bool wait_traced(const std::string &line, long count = 1, milliseconds timeout = 10000ms)
    {
        return run_until([&] { return traced(line) >= count; }, timeout, 20ms);
    }

    vx4_power_board_registers registers()
    {
        vx4_power_board_registers r;
        vx4_power_board_load_registers(&board, &r);
        return r;
    }

    SandboxRoot root;
    std::unique_ptr<SimHead> sim;
    vx4_application application{};
    vx4_power_board board;
    bool bus_errors_expected = false;

private:
    bool started_ = false;
    int marks_ = 0;
    ev_timer pacer_{};
};

}  // namespace vx4test
