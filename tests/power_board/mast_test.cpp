// Motors and the mast driven through the daemon's functions against vx4-sim's
// board, whose mast moves with the PWM, stalls at its ends and can be made
// to misbehave. Tests on a suspended board step refresh by refresh; the
// others let it refresh every 100 ms while the mast moves in real time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "board_fixture.h"
#include "core/settings.h"

using namespace vx4test;

namespace {

using Write = std::pair<int, std::vector<int>>;

constexpr int inch = 5651;  // encoder counts, near enough for a test

class MastTest : public BoardTest {
protected:
    // The board with its height motor detected, the mast not homed.
    void start_detected(bool suspended)
    {
        start("advanced", suspended);
        vx4_init_nv();
        if (suspended)
            refresh(4);
        else
            ASSERT_TRUE(wait_traced("HTMT: height detected"));
        ASSERT_EQ(count_traced("HTMT: height detected"), 1);
    }

    void home()
    {
        ASSERT_EQ(vx4_power_board_home_height(&board), 0);
        ASSERT_EQ(height(), "HOMING");
        ASSERT_TRUE(run_until([&] { return height() != "HOMING"; }, 20000ms));
        ASSERT_EQ(height(), "6.0 in");
    }

    // Selects the preset and waits for the move to end.
    void go_to(int preset, const std::string &end = "HTMT: move done")
    {
        long before = count_traced(end);
        vx4_power_board_set_height_preset(&board, preset);
        ASSERT_TRUE(wait_traced(end, before + 1, 20000ms)) << "preset " << preset;
    }

    std::string height(size_t size = 32)
    {
        char text[32] = "untouched";
        vx4_power_board_load_height(&board, text, size);
        return text;
    }

    double shown_inches()
    {
        double inches = -1;
        sscanf(height().c_str(), "%lf in", &inches);
        return inches;
    }

    double mast_inches() { return sim_double("mast.height_in"); }
    bool mast_running() { return sim_motor(2, "running") != 0; }

    void set_units(int32_t units) { vx4_write_nv(NV_UNITS, &units, sizeof units); }
    void fault(const std::string &json) { sim->post("/board/faults", json); }
    void put_mast(double extension_mm) { sim->post("/board/mast", R"({"extension_mm": )" + std::to_string(extension_mm) + "}"); }

    // PWM of every register-3 write, in order.
    std::vector<int> run_pwms()
    {
        std::vector<int> pwms;
        for (const Write &write : writes())
            if (write.first == 3)
                pwms.push_back(static_cast<int8_t>(write.second[0]));
        return pwms;
    }

    // The encoders traced by the moving states between two trace lines.
    std::vector<int> encoders_between(const std::string &from, const std::string &to)
    {
        std::vector<int> found;
        bool inside = false;
        for (const std::string &line : trace_lines()) {
            if (line == from || line.rfind(from + " ", 0) == 0)
                inside = true;
            else if (inside && (line == to || line.rfind(to + " ", 0) == 0))
                break;
            int encoder;
            float amps;
            if (inside && sscanf(line.c_str(), "HTMT: %d %f", &encoder, &amps) == 2)
                found.push_back(encoder);
        }
        return found;
    }

    float most_homing_amps()
    {
        float most = 0, amps;
        for (const std::string &line : trace_lines())
            if (sscanf(line.c_str(), "HTMT: homing amps %f", &amps) == 1)
                most = std::max(most, amps);
        return most;
    }
};

TEST_F(MastTest, MotorWithoutCurrentHomesAfterTwentyRefreshesAndShowsItsHeight)
{
    start_detected(true);
    fault(R"({"no_current": true})");
    EXPECT_EQ(height(), "");
    sim->post("/board/writes/clear");
    ASSERT_EQ(vx4_power_board_home_height(&board), 0);
    EXPECT_EQ(height(), "HOMING");
    refresh(20);
    EXPECT_EQ(count_traced("HTMT: homing e-complete stop 0"), 0);
    refresh();
    EXPECT_EQ(count_traced("HTMT: homing start"), 1);
    EXPECT_EQ(count_traced("HTMT: homing amps 0.000"), 20);
    EXPECT_EQ(count_traced("HTMT: homing e-complete stop 0"), 1);
    EXPECT_EQ(count_traced("PWRB: pwm adjust -100 -60"), 1);
    // Run at -60 for 1000 ms, a keep-alive every eight refreshes, then stop.
    EXPECT_EQ(writes(), (std::vector<Write>{{3, {0xC4, 0xE8, 0x03}}, {6, {2}}, {6, {2}}, {6, {2}}, {6, {0xFF}}}));
    refresh(2);
    EXPECT_EQ(height(), "HOMING");
    refresh();
    EXPECT_EQ(count_traced("HTMT: homing complete 0"), 1);

    // Heights in both units, with and without the extension.
    EXPECT_EQ(height(), "6.0 in");
    vx4_power_board_set_height_extension(&board, 1);
    EXPECT_EQ(vx4_power_board_get_height_extension(&board), 1);
    EXPECT_EQ(height(), "30.0 in");
    set_units(0);
    EXPECT_EQ(height(), "76.2 cm");
    vx4_power_board_set_height_extension(&board, 0);
    EXPECT_EQ(height(), "15.2 cm");
    EXPECT_EQ(count_traced("HTMT: extension 1"), 1);
    put_mast(101.6);  // 4 in out, by hand
    refresh();
    EXPECT_EQ(height(), "25.4 cm");
    set_units(1);
    vx4_power_board_set_height_extension(&board, 1);
    EXPECT_EQ(height(), "34.0 in");
    EXPECT_EQ(height(4), "34.");
    EXPECT_EQ(height(1), "");
    EXPECT_EQ(height(0), "untouched");

    EXPECT_EQ(vx4_power_board_set_height_preset(&board, 12), 0);
    EXPECT_EQ(vx4_power_board_get_height_preset(&board), 12);
    EXPECT_EQ(height(), "SETTING");
    // An over-current before the move starts ends it there.
    set(R"({"pb_status": 9})");
    refresh();
    EXPECT_EQ(count_traced("HTMT: move overcurrent stop"), 1);
    EXPECT_EQ(height(), "34.0 in");
    EXPECT_EQ(run_pwms().size(), 1u);  // the homing run only
    set(R"({"pb_motor_type": 2})");
    refresh();
    EXPECT_EQ(height(), "");  // no height motor, no height
}

TEST_F(MastTest, ManualCommandsAreScaledAndRefusedWhileTheMastNeedsHoming)
{
    start_detected(true);
    // Not homed, nobody asked for homing: the tilt motor runs.
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, -100, 500), 0);
    ASSERT_TRUE(wait_writes(2));
    EXPECT_EQ(writes(), (std::vector<Write>{{3, {0xC4, 0xF4, 0x01}}, {6, {1}}}));
    EXPECT_EQ(count_traced("PWRB: pwm adjust -100 -60"), 1);
    EXPECT_EQ(sim_motor(1, "pwm"), -60);
    refresh();
    // The board holds -60 and 500 now: only the command goes again.
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, -100, 500), 0);
    ASSERT_TRUE(wait_writes(3));
    EXPECT_EQ(writes().back(), (Write{6, {1}}));
    // Commands in quick succession, before the board is read back, each
    // carry their PWM: the last one is what runs.
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), 0);
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, -100, 500), 0);
    ASSERT_TRUE(wait_writes(7));
    EXPECT_EQ(run_pwms(), (std::vector<int>{-60, 30, -60}));
    EXPECT_EQ(sim_motor(1, "pwm"), -60);

    // Without status bit 0 nothing is scaled; a PWM beyond 100 is held to it.
    set(R"({"pb_status": 0})");
    refresh();
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, 127, 250), 0);
    ASSERT_TRUE(wait_writes(9));
    EXPECT_EQ(writes()[7], (Write{3, {100, 0xFA, 0x00}}));
    EXPECT_EQ(vx4_power_board_start_motor(&board, 3, 50, 500), -2);

    // During an over-current nothing starts, but a stop always goes out.
    set(R"({"pb_status": 9})");
    refresh();
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), -1);
    EXPECT_EQ(vx4_power_board_stop_motor(&board), 0);
    ASSERT_TRUE(wait_writes(10));
    EXPECT_EQ(writes().back(), (Write{6, {0xFF}}));
    set(R"({"pb_status": 1})");
    refresh();

    // Right after detection a pan/height command is refused and asks for
    // homing; the tilt is refused too from then on, and so is a stop.
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 100, 500), 1);
    EXPECT_EQ(height(), "HOMING");
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), -1);
    EXPECT_EQ(vx4_power_board_stop_motor(&board), -1);
    run_for(200ms);
    EXPECT_EQ(writes().size(), 10u);
    refresh();
    EXPECT_EQ(count_traced("HTMT: homing start"), 1);
    EXPECT_EQ(run_pwms().back(), -60);
    EXPECT_EQ(writes().back(), (Write{6, {2}}));
}

TEST_F(MastTest, MotorTypeIsTakenAfterThreeSteadyRefreshes)
{
    start("advanced", true);
    set(R"({"pb_motor_type": 0})");
    refresh(5);
    // A board that reports no motor from the start is never taken as a new
    // type: its mast waits for homing, which a pan/height command asks for.
    EXPECT_EQ(count_traced("HTMT: motor pending 0"), 1);
    EXPECT_EQ(count_traced("HTMT: no height"), 0);
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 50, 500), 1);
    refresh();
    EXPECT_EQ(count_traced("HTMT: homing start"), 1);

    set(R"({"pb_motor_type": 2})");
    refresh(3);
    set(R"({"pb_motor_type": 0})");
    refresh(2);
    EXPECT_EQ(count_traced("HTMT: no height"), 0);  // two refreshes are not enough
    set(R"({"pb_motor_type": 2})");
    refresh(4);
    EXPECT_EQ(count_traced("HTMT: no height"), 1);
    // A pan drive needs no homing.
    sim->post("/board/writes/clear");
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 50, 500), 0);
    ASSERT_TRUE(wait_writes(2));
    EXPECT_EQ(writes(), (std::vector<Write>{{3, {30, 0xF4, 0x01}}, {6, {2}}}));
    EXPECT_EQ(vx4_power_board_home_height(&board), -1);
    EXPECT_EQ(height(), "");

    set(R"({"pb_motor_type": 1})");
    refresh(4);
    EXPECT_EQ(count_traced("HTMT: height detected"), 1);
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 50, 500), 1);
}

TEST_F(MastTest, HomingDrivesInUntilTheMastStallsAtItsEnd)
{
    start_detected(false);
    put_mast(250);
    home();
    EXPECT_EQ(count_traced("HTMT: homing moving 3"), 1);
    EXPECT_EQ(count_traced("HTMT: homing stopping 3"), 1);
    EXPECT_EQ(count_traced("HTMT: homing complete stop 0"), 1);
    EXPECT_EQ(count_traced("HTMT: homing complete 0"), 1);
    EXPECT_GT(most_homing_amps(), 1.0f);  // the stall at the end
    EXPECT_TRUE(json_object_get_boolean(json_at(sim->get("/board").get(), "mast.at_home")));
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    EXPECT_EQ(board.mast.home_reference, sim_number("mast.encoder"));
}

TEST_F(MastTest, PresetTenRunsFastThenSlowsTwoInchesBeforeTheTarget)
{
    start_detected(false);
    home();
    int home_reference = board.mast.home_reference;
    int target = home_reference - 22606;
    int slow_point = target + 11303;
    sim->post("/board/writes/clear");
    go_to(10);
    EXPECT_EQ(count_traced("HTMT: preset 10"), 1);
    EXPECT_EQ(count_traced("HTMT: offset 2.0"), 1);
    EXPECT_EQ(count_traced("HTMT: move to " + std::to_string(target)), 1);
    EXPECT_EQ(count_traced("HTMT: move out fast start " + std::to_string(slow_point) + " " +
                           std::to_string(static_cast<int>(std::trunc(target + 14128.75)))),
              1);
    EXPECT_EQ(run_pwms(), (std::vector<int>{60, 15}));

    // Slow once the encoder passed the slow point, short of the target.
    auto fast = encoders_between("HTMT: move out fast start", "HTMT: move out slow");
    ASSERT_FALSE(fast.empty());
    EXPECT_LT(fast.back(), slow_point);
    EXPECT_GT(fast.back(), target);
    for (size_t i = 0; i + 1 < fast.size(); ++i)
        EXPECT_GE(fast[i], slow_point);
    // Done after five samples past the target with the motor stopped.
    auto check = encoders_between("HTMT: move out check", "HTMT: move done");
    ASSERT_EQ(check.size(), 5u);
    for (int encoder : check)
        EXPECT_EQ(encoder, check.front());
    EXPECT_LT(check.front(), target);
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    EXPECT_NEAR(mast_inches(), 10.0, 0.5);
    EXPECT_NEAR(shown_inches(), mast_inches(), 0.06);
}

TEST_F(MastTest, NearPresetsStartSlowOrAreIgnoredAndUnreachableOnesAreRefused)
{
    start_detected(false);
    home();
    sim->post("/board/writes/clear");
    go_to(7);
    EXPECT_EQ(count_traced("HTMT: move out slow start"), 1);
    EXPECT_EQ(run_pwms(), (std::vector<int>{15}));
    EXPECT_NEAR(mast_inches(), 7.0, 0.5);

    // The mast put by hand 0.4 in above and below 10 in: preset 10 is close
    // enough; 0.6 in above it is not.
    const std::string move_to_10 = "HTMT: move to " + std::to_string(board.mast.home_reference - 22606);
    for (double inches : {10.4, 9.6}) {
        put_mast((inches - 6) * 25.4);
        char expected[16];
        snprintf(expected, sizeof expected, "%.1f in", inches);
        ASSERT_TRUE(run_until([&] { return height() == expected; }));
        vx4_power_board_set_height_preset(&board, 10);
        run_for(300ms);
        EXPECT_EQ(count_traced(move_to_10), 0) << inches;
        EXPECT_EQ(height(), expected);
    }
    put_mast(4.6 * 25.4);
    ASSERT_TRUE(run_until([&] { return height() == "10.6 in"; }));
    go_to(10);
    EXPECT_EQ(count_traced(move_to_10), 1);
    EXPECT_EQ(count_traced("HTMT: move in slow start"), 1);
    EXPECT_NEAR(mast_inches(), 10.0, 0.5);

    // Presets beyond the mast's travel would drive it into an end stop.
    for (int preset : {60, 5}) {
        vx4_power_board_set_height_preset(&board, preset);
        EXPECT_EQ(count_traced("HTMT: preset " + std::to_string(preset) + " out of reach"), 1);
        EXPECT_NE(height(), "SETTING");
    }
    // Preset 6 homes the mast.
    vx4_power_board_set_height_preset(&board, 6);
    EXPECT_EQ(height(), "HOMING");
}

TEST_F(MastTest, MastReachesEveryPresetInBothDirections)
{
    start_detected(false);
    home();
    for (int preset : {8, 10, 12, 24, 36, 48, 36, 24, 12, 10, 8}) {
        go_to(preset);
        EXPECT_NEAR(mast_inches(), preset, 0.5) << preset;
        EXPECT_NEAR(shown_inches(), preset, 0.5) << preset;
        EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    }
    vx4_power_board_set_height_preset(&board, 6);
    ASSERT_TRUE(run_until([&] { return height() == "6.0 in"; }, 20000ms));
    EXPECT_NEAR(mast_inches(), 6.0, 0.01);
}

TEST_F(MastTest, StopCancelsAMoveInEachOfItsPhases)
{
    start_detected(false);
    home();
    // While running out: the next refresh stops the motor.
    vx4_power_board_set_height_preset(&board, 48);
    ASSERT_TRUE(run_until([&] { return mast_inches() > 20; }));
    EXPECT_EQ(vx4_power_board_stop_motor(&board), -1);  // the move stops itself
    ASSERT_TRUE(wait_traced("HTMT: move out cancel"));
    EXPECT_EQ(writes().back(), (Write{6, {0xFF}}));
    ASSERT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));
    double stopped = mast_inches();
    run_for(500ms);
    EXPECT_NEAR(mast_inches(), stopped, 0.01);
    EXPECT_LT(stopped, 30.0);
    EXPECT_NEAR(shown_inches(), stopped, 0.06);

    // While the mast settles before it starts: it never starts. A press
    // cancels a move as a stop does.
    size_t runs = run_pwms().size();
    vx4_power_board_set_height_preset(&board, 36);
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 50, 500), 1);
    ASSERT_TRUE(wait_traced("HTMT: move cancel"));
    run_for(300ms);
    EXPECT_EQ(run_pwms().size(), runs);
    EXPECT_NE(height(), "SETTING");

    // While it rests past the target: pushed back short of it, it would go on.
    go_to(12, "HTMT: move in check");
    vx4_power_board_suspend_refresh(&board);
    put_mast(6.2 * 25.4);  // 12.2 in
    vx4_power_board_stop_motor(&board);
    refresh(6);
    EXPECT_EQ(count_traced("HTMT: move in cancel"), 1);
    EXPECT_EQ(run_pwms().size(), runs + 2);  // the fast and slow runs in
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
}

TEST_F(MastTest, MoveGoesOnWhenTheMastSagsBackBeforeItIsDone)
{
    start_detected(false);
    home();
    go_to(8, "HTMT: move out check");
    vx4_power_board_suspend_refresh(&board);
    put_mast(1.5 * 25.4);  // short of 8 in
    long slow = count_traced("HTMT: move out slow");
    refresh(4);
    EXPECT_EQ(count_traced("HTMT: move out slow"), slow);
    refresh();
    EXPECT_EQ(count_traced("HTMT: move out slow"), slow + 1);
    vx4_power_board_resume_refresh(&board);
    ASSERT_TRUE(wait_traced("HTMT: move done"));
    EXPECT_NEAR(mast_inches(), 8.0, 0.5);
}

TEST_F(MastTest, OverCurrentStopsHomingAndMoves)
{
    start_detected(false);
    put_mast(300);
    ASSERT_EQ(vx4_power_board_home_height(&board), 0);
    ASSERT_TRUE(run_until([&] { return mast_inches() < 16; }));
    fault(R"({"overcurrent": 2})");
    ASSERT_TRUE(wait_traced("PWRB: overcurrent"));
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), -1);
    ASSERT_TRUE(run_until([&] { return height() != "HOMING"; }));
    EXPECT_EQ(count_traced("HTMT: homing over-current stop " + std::to_string(sim_number("mast.encoder"))), 1);
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    EXPECT_EQ(count_traced("PWRB: pan/height overcurrent start"), 1);
    EXPECT_EQ(BoardEvents::count("height_motor_warning"), 1);
    fault(R"({"overcurrent": 0})");
    ASSERT_TRUE(wait_traced("PWRB: no overcurrent"));

    home();  // again, now to the real end
    EXPECT_TRUE(json_object_get_boolean(json_at(sim->get("/board").get(), "mast.at_home")));
    vx4_power_board_set_height_preset(&board, 36);
    ASSERT_TRUE(run_until([&] { return mast_inches() > 12; }));
    fault(R"({"overcurrent": 2})");
    ASSERT_TRUE(wait_traced("HTMT: move out overcurrent stop"));
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    EXPECT_LT(mast_inches(), 30.0);
    fault(R"({"overcurrent": 0})");
    ASSERT_TRUE(wait_traced("PWRB: no overcurrent", 2));
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), 0);
}

TEST_F(MastTest, StallAndStuckEncoderStopTheMotor)
{
    start_detected(false);
    home();
    // Jammed on the way out: the current rises, the encoder stands still.
    vx4_power_board_set_height_preset(&board, 24);
    ASSERT_TRUE(run_until([&] { return mast_inches() > 10; }));
    fault(R"({"jammed": true})");
    ASSERT_TRUE(wait_traced("HTMT: move out no movement stop", 1, 6000ms));
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    fault(R"({"jammed": false})");
    go_to(24);
    EXPECT_NEAR(mast_inches(), 24.0, 0.5);

    // The encoder stops counting on the way in: the mast would run on blind.
    vx4_power_board_set_height_preset(&board, 10);
    ASSERT_TRUE(run_until([&] { return mast_inches() < 22; }));
    fault(R"({"stuck_encoder": true})");
    ASSERT_TRUE(wait_traced("HTMT: move in no movement stop", 1, 6000ms));
    EXPECT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));  // the stop write follows the trace
    EXPECT_GT(mast_inches(), 6.5);  // stopped before it ran into its end
}

TEST_F(MastTest, MoveThatTakesTooLongTimesOutAfterFortySeconds)
{
    start_detected(false);
    home();
    sim->post("/board/mast", R"({"speed": 0.05})");  // 48 in would take minutes
    auto started = std::chrono::steady_clock::now();
    vx4_power_board_set_height_preset(&board, 48);
    ASSERT_TRUE(wait_traced("HTMT: move out timeout", 1, 60000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 40s);
    EXPECT_EQ(count_traced("HTMT: move out no movement stop"), 0);
    ASSERT_TRUE(run_until([&] { return !mast_running(); }, 2000ms));
    EXPECT_GT(mast_inches(), 9.0);
    EXPECT_LT(mast_inches(), 30.0);
}

}  // namespace
