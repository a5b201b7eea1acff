// Motors and the mast driven through the daemon's functions against vx4-sim's
// board, whose mast moves with the PWM, stalls at its ends and can be made
// to misbehave. The board refreshes when the test says: step by step, or
// paced by the test's own timer while the mast moves in real time.

#include "board_fixture.h"
#include "core/settings.h"

using namespace vx4test;

namespace {

using Write = BoardWrite;

class MastTest : public BoardTest {
protected:
    // The board with its height motor detected, the mast not homed; stepped
    // refresh by refresh, or refreshing by itself.
    void start_detected(bool stepped)
    {
        start();
        vx4_init_nv();
        if (stepped)
            refresh(4);
        else
            run_at(1);
        ASSERT_TRUE(wait_traced("HTMT: height detected"));
        ASSERT_EQ(traced("HTMT: height detected"), 1);
    }

    // Refreshes at the board's pace times scale, with the simulated mast as
    // much faster: every refresh sees what it would at the board's 100 ms.
    // Homing waits for the board to cut a stalled drive after 300 ms, which
    // does not scale: it runs at the board's pace.
    void run_at(int scale)
    {
        sim->post("/board/mast", R"({"speed": )" + std::to_string(3 * scale) + "}");
        pace(0.1 / scale);
    }

    void home()
    {
        run_at(1);
        ASSERT_EQ(vx4_power_board_home_height(&board), 0);
        ASSERT_EQ(height(), "HOMING");
        ASSERT_TRUE(run_until([&] { return height() != "HOMING"; }, 20000ms));
        ASSERT_EQ(height(), "6.0 in");
        run_at(2);
    }

    // Selects the preset and waits for the move to end.
    void go_to(int preset, const std::string &end = "HTMT: move done")
    {
        long before = traced(end);
        vx4_power_board_set_height_preset(&board, preset);
        ASSERT_TRUE(wait_traced(end, before + 1, 20000ms)) << "preset " << preset;
    }

    // From now on the test refreshes step by step.
    void take_over_refresh()
    {
        pace(0);
        settle();  // a refresh already queued has run
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

    double mast_inches() { return sim_number("mast.height_in"); }
    bool mast_running() { return sim_number("motors.1.running") != 0; }
    // The stop write follows the trace line that tells of it.
    bool mast_stops() { return run_until([&] { return !mast_running(); }, 2000ms); }

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

    // The encoders traced by the moving states between the last line that
    // starts with from and the next that starts with to.
    std::vector<int> encoders_between(const std::string &from, const std::string &to)
    {
        std::vector<int> found, last;
        bool inside = false;
        for (const std::string &line : trace_lines(root)) {
            int encoder;
            float amps;
            if (line.rfind(from, 0) == 0) {
                inside = true;
                found.clear();
            } else if (inside && line.rfind(to, 0) == 0) {
                inside = false;
                last = found;
            } else if (inside && sscanf(line.c_str(), "HTMT: %d %f", &encoder, &amps) == 2) {
                found.push_back(encoder);
            }
        }
        return last;
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
    EXPECT_EQ(traced("HTMT: homing e-complete stop 0"), 0);
    refresh();
    EXPECT_EQ(traced("HTMT: homing start"), 1);
    EXPECT_EQ(traced("HTMT: homing amps 0.000"), 20);
    EXPECT_EQ(traced("HTMT: homing e-complete stop 0"), 1);
    EXPECT_EQ(traced("PWRB: pwm adjust -100 -60"), 1);
    // Run at -60 for 1000 ms, a keep-alive every eight refreshes, then stop.
    EXPECT_EQ(writes(), (std::vector<Write>{{3, {0xC4, 0xE8, 0x03}}, {6, {2}}, {6, {2}}, {6, {2}}, {6, {0xFF}}}));
    refresh(2);
    EXPECT_EQ(height(), "HOMING");
    refresh();
    EXPECT_EQ(traced("HTMT: homing complete 0"), 1);

    // Heights in both units, with and without the extension, and after the
    // mast was moved 4 in by hand.
    auto shown_with = [&](int extension, int32_t units) {
        vx4_power_board_set_height_extension(&board, extension);
        EXPECT_EQ(vx4_power_board_get_height_extension(&board), extension);
        set_units(units);
        return height();
    };
    EXPECT_EQ(shown_with(0, 1), "6.0 in");
    EXPECT_EQ(shown_with(1, 1), "30.0 in");
    EXPECT_EQ(shown_with(1, 0), "76.2 cm");
    EXPECT_EQ(shown_with(0, 0), "15.2 cm");
    put_mast(101.6);
    refresh();
    EXPECT_EQ(shown_with(0, 0), "25.4 cm");
    EXPECT_EQ(shown_with(1, 1), "34.0 in");
    EXPECT_EQ(height(4), "34.");
    EXPECT_EQ(height(1), "");
    EXPECT_EQ(height(0), "untouched");

    EXPECT_EQ(vx4_power_board_set_height_preset(&board, 12), 0);
    EXPECT_EQ(vx4_power_board_get_height_preset(&board), 12);
    EXPECT_EQ(height(), "SETTING");
    // An over-current before the move starts ends it there.
    set(R"({"pb_status": 9})");
    refresh();
    EXPECT_EQ(traced("HTMT: move overcurrent stop"), 1);
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
    EXPECT_EQ(settle(), (BoardWrites{{3, {0xC4, 0xF4, 0x01}}, {6, {1}}}));
    EXPECT_EQ(traced("PWRB: pwm adjust -100 -60"), 1);
    EXPECT_EQ(sim_number("motors.0.pwm"), -60);
    refresh();
    // The board holds -60 and 500 now: only the command goes again.
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, -100, 500), 0);
    EXPECT_EQ(settle().back(), (Write{6, {1}}));
    // Commands in quick succession, before the board is read back, each
    // carry their PWM: the last one is what runs.
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), 0);
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, -100, 500), 0);
    EXPECT_EQ(settle().size(), 7u);
    EXPECT_EQ(run_pwms(), (std::vector<int>{-60, 30, -60}));
    EXPECT_EQ(sim_number("motors.0.pwm"), -60);

    // Without status bit 0 nothing is scaled; a PWM beyond 100 is held to it.
    set(R"({"pb_status": 0})");
    refresh();
    ASSERT_EQ(vx4_power_board_start_motor(&board, 1, 127, 250), 0);
    EXPECT_EQ(settle().at(7), (Write{3, {100, 0xFA, 0x00}}));
    EXPECT_EQ(vx4_power_board_start_motor(&board, 3, 50, 500), -2);

    // During an over-current nothing starts, but a stop always goes out.
    set(R"({"pb_status": 9})");
    refresh();
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), -1);
    EXPECT_EQ(vx4_power_board_stop_motor(&board), 0);
    EXPECT_EQ(settle().back(), (Write{6, {0xFF}}));
    set(R"({"pb_status": 1})");
    refresh();

    // Right after detection a pan/height command is refused and asks for
    // homing; the tilt is refused too from then on, and so is a stop.
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 100, 500), 1);
    EXPECT_EQ(height(), "HOMING");
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), -1);
    EXPECT_EQ(vx4_power_board_stop_motor(&board), -1);
    EXPECT_EQ(settle().size(), 10u);
    refresh();
    EXPECT_EQ(traced("HTMT: homing start"), 1);
    EXPECT_EQ(run_pwms().back(), -60);
    EXPECT_EQ(writes().back(), (Write{6, {2}}));
}

TEST_F(MastTest, MotorTypeIsTakenAfterThreeSteadyRefreshes)
{
    start();
    set(R"({"pb_motor_type": 0})");
    refresh(5);
    // A board that reports no motor from the start is never taken as a new
    // type: its mast waits for homing, which a pan/height command asks for.
    EXPECT_EQ(traced("HTMT: motor pending 0"), 1);
    EXPECT_EQ(traced("HTMT: no height"), 0);
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 50, 500), 1);
    refresh();
    EXPECT_EQ(traced("HTMT: homing start"), 1);

    set(R"({"pb_motor_type": 2})");
    refresh(3);
    set(R"({"pb_motor_type": 0})");
    refresh(2);
    EXPECT_EQ(traced("HTMT: no height"), 0);  // two refreshes are not enough
    set(R"({"pb_motor_type": 2})");
    refresh(4);
    EXPECT_EQ(traced("HTMT: no height"), 1);
    // A pan drive needs no homing (the API's test drives it).
    EXPECT_EQ(vx4_power_board_home_height(&board), -1);
}

TEST_F(MastTest, PresetsRunFastThenSlowNearOnesStartSlowOrAreIgnoredUnreachableOnesAreRefused)
{
    start_detected(false);
    home();
    // Within 2 in of the target the move starts slow.
    sim->post("/board/writes/clear");
    go_to(7);
    EXPECT_EQ(traced("HTMT: move out slow start"), 1);
    EXPECT_EQ(run_pwms(), (std::vector<int>{15}));
    EXPECT_NEAR(mast_inches(), 7.0, 0.5);

    // Further out: fast, then slow 2 in before the target.
    int target = board.mast.home_reference - 22606;
    int slow_point = target + 11303;
    const std::string move_to_10 = "HTMT: move to " + std::to_string(target);
    sim->post("/board/writes/clear");
    go_to(10);
    EXPECT_EQ(traced(move_to_10), 1);
    EXPECT_EQ(traced("HTMT: move out fast start " + std::to_string(slow_point) + " " +
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
    EXPECT_TRUE(mast_stops());
    EXPECT_NEAR(mast_inches(), 10.0, 0.5);
    EXPECT_NEAR(shown_inches(), mast_inches(), 0.06);

    // The mast put by hand 0.4 in above and below 10 in: preset 10 is close
    // enough; 0.6 in above it is not.
    for (double inches : {10.4, 9.6}) {
        put_mast((inches - 6) * 25.4);
        char expected[16];
        snprintf(expected, sizeof expected, "%.1f in", inches);
        ASSERT_TRUE(run_until([&] { return height() == expected; }));
        vx4_power_board_set_height_preset(&board, 10);
        EXPECT_EQ(traced(move_to_10), 1) << inches;
        EXPECT_EQ(height(), expected);
    }
    put_mast(4.6 * 25.4);
    ASSERT_TRUE(run_until([&] { return height() == "10.6 in"; }));
    go_to(10);
    EXPECT_EQ(traced(move_to_10), 2);
    EXPECT_EQ(traced("HTMT: move in slow start"), 1);
    EXPECT_NEAR(mast_inches(), 10.0, 0.5);

    // Presets beyond the mast's travel would drive it into an end stop.
    for (int preset : {60, 5}) {
        vx4_power_board_set_height_preset(&board, preset);
        EXPECT_EQ(traced("HTMT: preset " + std::to_string(preset) + " out of reach"), 1);
        EXPECT_NE(height(), "SETTING");
    }
    // Preset 6 homes the mast.
    run_at(1);
    vx4_power_board_set_height_preset(&board, 6);
    EXPECT_EQ(height(), "HOMING");
    ASSERT_TRUE(run_until([&] { return height() == "6.0 in"; }, 20000ms));
    EXPECT_NEAR(mast_inches(), 6.0, 0.01);
}

TEST_F(MastTest, StopCancelsAMoveInEachOfItsPhasesAndASaggingMastIsMovedOn)
{
    start_detected(false);
    home();
    // While running out: the next refresh stops the motor.
    vx4_power_board_set_height_preset(&board, 48);
    ASSERT_TRUE(run_until([&] { return mast_inches() > 20; }));
    EXPECT_EQ(vx4_power_board_stop_motor(&board), -1);  // the move stops itself
    ASSERT_TRUE(wait_traced("HTMT: move out cancel"));
    ASSERT_TRUE(mast_stops());
    EXPECT_EQ(writes().back(), (Write{6, {0xFF}}));
    double stopped = mast_inches();
    wait_refreshes(3);
    EXPECT_NEAR(mast_inches(), stopped, 0.01);
    EXPECT_LT(stopped, 30.0);
    EXPECT_NEAR(shown_inches(), stopped, 0.06);

    // While the mast settles before it starts: it never starts. A press
    // cancels a move as a stop does.
    size_t runs = run_pwms().size();
    vx4_power_board_set_height_preset(&board, 36);
    EXPECT_EQ(vx4_power_board_start_motor(&board, 2, 50, 500), 1);
    ASSERT_TRUE(wait_traced("HTMT: move cancel"));
    wait_refreshes(3);
    EXPECT_EQ(run_pwms().size(), runs);
    EXPECT_NE(height(), "SETTING");

    // While it rests past the target: pushed back short of it, it would go on.
    go_to(12, "HTMT: move in check");
    take_over_refresh();
    put_mast(6.2 * 25.4);  // 12.2 in
    vx4_power_board_stop_motor(&board);
    refresh(6);
    EXPECT_EQ(traced("HTMT: move in cancel"), 1);
    EXPECT_EQ(run_pwms().size(), runs + 2);  // the fast and slow runs in
    EXPECT_TRUE(mast_stops());

    // Not stopped, a mast that sags back short of the target goes on after
    // five refreshes.
    run_at(2);
    go_to(10);
    go_to(12, "HTMT: move out check");
    take_over_refresh();
    put_mast(5.5 * 25.4);  // short of 12 in
    long slow = traced("HTMT: move out slow");
    refresh(4);
    EXPECT_EQ(traced("HTMT: move out slow"), slow);
    refresh();
    EXPECT_EQ(traced("HTMT: move out slow"), slow + 1);
    run_at(2);
    long done = traced("HTMT: move done");
    ASSERT_TRUE(wait_traced("HTMT: move done", done + 1));
    EXPECT_NEAR(mast_inches(), 12.0, 0.5);
}

TEST_F(MastTest, OverCurrentStallAndAStuckEncoderStopHomingAndMoves)
{
    start_detected(false);
    put_mast(300);
    ASSERT_EQ(vx4_power_board_home_height(&board), 0);
    ASSERT_TRUE(run_until([&] { return mast_inches() < 16; }));
    fault(R"({"overcurrent": 2})");
    ASSERT_TRUE(wait_traced("PWRB: overcurrent"));
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), -1);
    ASSERT_TRUE(run_until([&] { return height() != "HOMING"; }));
    EXPECT_EQ(traced("HTMT: homing over-current stop " + std::to_string(static_cast<long long>(sim_number("mast.encoder")))), 1);
    EXPECT_TRUE(mast_stops());
    EXPECT_EQ(BoardEvents::take(), "height_motor_warning");
    fault(R"({"overcurrent": 0})");
    ASSERT_TRUE(wait_traced("PWRB: no overcurrent"));

    // Homing again drives in until the mast stalls at its end.
    home();
    EXPECT_EQ(traced("HTMT: homing moving 3"), 1);  // the first was stopped before it moved
    EXPECT_EQ(traced("HTMT: homing stopping 3"), 1);
    EXPECT_EQ(traced("HTMT: homing complete stop 0"), 1);
    EXPECT_EQ(traced("HTMT: homing complete 0"), 1);
    float most = 0, amps;
    for (const std::string &line : trace_lines(root))
        if (sscanf(line.c_str(), "HTMT: homing amps %f", &amps) == 1)
            most = std::max(most, amps);
    EXPECT_GT(most, 1.0f);  // the stall at the end
    EXPECT_EQ(sim_number("mast.at_home"), 1);
    EXPECT_TRUE(mast_stops());
    EXPECT_EQ(board.mast.home_reference, sim_number("mast.encoder"));

    vx4_power_board_set_height_preset(&board, 36);
    ASSERT_TRUE(run_until([&] { return mast_inches() > 12; }));
    fault(R"({"overcurrent": 2})");
    ASSERT_TRUE(wait_traced("HTMT: move out overcurrent stop"));
    EXPECT_TRUE(mast_stops());
    EXPECT_LT(mast_inches(), 30.0);
    fault(R"({"overcurrent": 0})");
    ASSERT_TRUE(wait_traced("PWRB: no overcurrent", 2));
    EXPECT_EQ(vx4_power_board_start_motor(&board, 1, 50, 500), 0);

    // Jammed on the way out: the current rises, the encoder stands still.
    double from = mast_inches();
    vx4_power_board_set_height_preset(&board, 24);
    ASSERT_TRUE(run_until([&] { return mast_inches() > from + 3; }));
    fault(R"({"jammed": true})");
    ASSERT_TRUE(wait_traced("HTMT: move out no movement stop", 1, 6000ms));
    EXPECT_TRUE(mast_stops());
    fault(R"({"jammed": false})");
    go_to(24);
    EXPECT_NEAR(mast_inches(), 24.0, 0.5);

    // The encoder stops counting on the way in: the mast would run on blind.
    vx4_power_board_set_height_preset(&board, 10);
    ASSERT_TRUE(run_until([&] { return mast_inches() < 22; }));
    fault(R"({"stuck_encoder": true})");
    ASSERT_TRUE(wait_traced("HTMT: move in no movement stop", 1, 6000ms));
    EXPECT_TRUE(mast_stops());
    EXPECT_GT(mast_inches(), 6.5);  // stopped before it ran into its end
}

TEST_F(MastTest, MoveThatTakesTooLongTimesOutAfterFourHundredRefreshes)
{
    start_detected(false);
    home();
    // 40 s on the board's timer; refreshed at once here, the mast slowed down
    // so that it moves on every refresh but never gets near the preset.
    take_over_refresh();
    sim->post("/board/mast", R"({"speed": 1.0})");
    vx4_power_board_set_height_preset(&board, 48);
    refresh(5);
    ASSERT_EQ(run_pwms().back(), 60);  // started
    refresh(399);
    EXPECT_EQ(traced("HTMT: move out timeout"), 0);
    refresh();
    EXPECT_EQ(traced("HTMT: move out timeout"), 1);
    EXPECT_EQ(traced("HTMT: move out no movement stop"), 0);
    ASSERT_TRUE(mast_stops());
    EXPECT_GT(mast_inches(), 6.5);
    EXPECT_LT(mast_inches(), 30.0);
}

}  // namespace
