// The power board object driven through its functions against the simulated
// board of vx4-sim, on the application's loop. What reaches the board shows
// in the simulator's state and recorded writes, what the daemon makes of it
// in the trace and the decoded registers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <utility>
#include <vector>

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

    static long count(const std::string &event)
    {
        std::lock_guard<std::mutex> hold(lock);
        return std::count(log.begin(), log.end(), event);
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
    static inline int osd_items[8] = {};
};


class BoardTest : public ::testing::Test {
protected:
    // Starts vx4-sim's board (unless absent), points the daemon's bus at it
    // and starts the board's service on the application's loop.
    void start(const std::string &model = "advanced", bool suspended = true, bool with_sim = true)
    {
        socket_ = root.path() + "/board.sock";
        if (with_sim)
            sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--bus=" + socket_, "--board-model=" + model});
        setenv("VX4_POWER_BOARD", ("sim:" + socket_).c_str(), 1);
        root.write("/media/usb99/trace_mask", "0xFFFFFFFF");
        root.enter();
        init_trace();
        ASSERT_EQ(vx4_application_init(&application, "vx4-test"), 0);
        ASSERT_EQ(vx4_power_board_init(&board, &application, model == "advanced", BoardEvents::table()), 0);
        started_ = true;
        if (suspended)
            vx4_power_board_suspend_refresh(&board);
        ASSERT_EQ(vx4_power_board_start_service(&board), 0);
        ASSERT_TRUE(wait_until([this] { return board.service_state != VX4_PB_INITIALISING; }));
    }

    void TearDown() override
    {
        if (!started_)
            return;
        vx4_power_board_destroy(&board);
        vx4_application_destroy(&application);
        if (sim && !bus_errors_expected) {
            auto state = sim->get("/board");
            EXPECT_EQ(json_object_get_int(json_at(state.get(), "bus.errors")), 0)
                << json_object_to_json_string(json_at(state.get(), "bus.last_errors"));
        }
    }

    // Runs the application's loop until the condition holds.
    bool run_until(const std::function<bool()> &condition, milliseconds timeout = 5000ms)
    {
        // A short tick of its own, so the condition is looked at between
        // the board's 100 ms timer ticks.
        ev_timer tick;
        ev_timer_init(&tick, [](struct ev_loop *, ev_timer *, int) {}, 0.005, 0.005);
        ev_timer_start(application.loop, &tick);
        auto deadline = std::chrono::steady_clock::now() + timeout;
        bool held;
        while (!(held = condition()) && std::chrono::steady_clock::now() < deadline)
            ev_run(application.loop, EVRUN_ONCE);
        ev_timer_stop(application.loop, &tick);
        return held;
    }

    void run_for(milliseconds time)
    {
        run_until([] { return false; }, time);
    }

    // One refresh of a suspended board, queued at once and evaluated to the end.
    void refresh(int count = 1) { refresh_by(vx4_power_board_refresh_now, count); }
    // The same through the operator's trigger, which the 100 ms timer serves.
    void triggered_refresh(int count = 1) { refresh_by(vx4_power_board_trigger_refresh, count); }

    void refresh_by(void (*ask)(vx4_power_board *), int count)
    {
        for (int i = 0; i < count; ++i) {
            unsigned before = board.refresh_count;
            ask(&board);
            ASSERT_TRUE(run_until([&] { return board.refresh_count == before + 1; })) << "refresh " << i;
        }
    }

    void set(const std::string &readings) { sim->post("/board/readings", readings); }

    long long sim_number(const std::string &path)
    {
        auto state = sim->get("/board");
        return json_object_get_int64(json_at(state.get(), path));
    }

    // The data bytes of every write the simulated board received.
    BoardWrites writes() { return board_writes(*sim); }

    bool wait_writes(size_t count)
    {
        return run_until([&] { return writes().size() >= count; });
    }

    // Trace lines without their time stamps.
    std::vector<std::string> trace_lines() const
    {
        static const std::regex stamp(R"( \[\d\d:\d\d:\d\d\.\d\d\d\]$)");
        std::vector<std::string> lines;
        for (const std::string &line : split_lines(root.read("/media/usb99/trace")))
            lines.push_back(std::regex_replace(line, stamp, ""));
        return lines;
    }

    long traced(const std::string &line) const
    {
        auto lines = trace_lines();
        return std::count(lines.begin(), lines.end(), line);
    }

    // How often the whole line "TAG: text" was traced so far; cheaper than
    // trace_lines() on a long trace.
    long count_traced(const std::string &line) const
    {
        // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on a
        // literal joined to a temporary string.
        std::string text = "\n";
        text.append(root.read("/media/usb99/trace"));
        std::string wanted = "\n";
        wanted.append(line).append(" [");
        long found = 0;
        for (size_t at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1))
            ++found;
        return found;
    }

    // Runs the loop until the line has been traced count times, looking at
    // the trace every 20 ms.
    bool wait_traced(const std::string &line, long count = 1, milliseconds timeout = 10000ms)
    {
        auto next = std::chrono::steady_clock::now();
        bool held = run_until(
            [&] {
                if (std::chrono::steady_clock::now() < next)
                    return false;
                next = std::chrono::steady_clock::now() + 20ms;
                return count_traced(line) >= count;
            },
            timeout);
        return held || count_traced(line) >= count;
    }

    // A field of the simulated board's motor entry (1 tilt, 2 the second motor).
    long long sim_motor(int motor, const std::string &key)
    {
        auto state = sim->get("/board");
        json_object *entry = json_object_array_get_idx(json_at(state.get(), "motors"), static_cast<size_t>(motor - 1));
        return json_object_get_int64(json_at(entry, key));
    }

    double sim_double(const std::string &path)
    {
        auto state = sim->get("/board");
        return json_object_get_double(json_at(state.get(), path));
    }

    vx4_power_board_registers registers()
    {
        vx4_power_board_registers r;
        vx4_power_board_load_registers(&board, &r);
        return r;
    }

    std::string battery()
    {
        char text[8];
        vx4_power_board_load_battery_level(&board, text, sizeof text);
        return text;
    }

    SandboxRoot root;
    std::unique_ptr<SimHead> sim;
    vx4_application application{};
    vx4_power_board board;
    bool bus_errors_expected = false;

private:
    std::string socket_;
    bool started_ = false;
};

}  // namespace vx4test
