// The power board object driven through its functions against the simulated
// board of vx4-sim: what reaches the board shows in the simulator's recorded
// writes and bus counters, what the daemon makes of it in the trace, its
// events and the decoded registers.
#include "power_board/power_board.h"

#include "board_fixture.h"

using namespace vx4test;

namespace {

TEST_F(BoardTest, RawWritesReachTheBoardBitReversedAndBadOnesAreRefused)
{
    start();
    uint8_t data[17] = {0x19, 0xE8, 0x03};
    for (const auto &[reg, count] : {std::pair{128, 1}, {3, 17}, {3, 0}, {-1, 1}})
        EXPECT_EQ(vx4_power_board_issue_write(&board, reg, data, count), -2) << reg << " " << count;
    EXPECT_EQ(vx4_power_board_issue_write(&board, 3, data, 3), 0);
    EXPECT_EQ(settle(), (BoardWrites{{3, {0x19, 0xE8, 0x03}}}));
    EXPECT_EQ(sim->text("/board/writes", "writes.0.wire"), "C19817C0");
    EXPECT_EQ(sim->number("/board/writes", "writes.0.valid"), 1);
    EXPECT_EQ(traced("PWRB:  19E803" + std::string(27, ' ') + "..." + std::string(13, ' ')), 1);
}

TEST_F(BoardTest, RailLightAndShutdownWritesBuildOnEachOther)
{
    start();
    BoardEvents::camera_updating = true;  // never switched off during its firmware update
    EXPECT_EQ(vx4_power_board_disable_camera_power(&board), 0);
    BoardEvents::camera_updating = false;
    // Queued at once, before any refresh reads back what the first did.
    vx4_power_board_enable_camera_power(&board);
    vx4_power_board_enable_laser_power(&board);
    vx4_power_board_disable_camera_power(&board);
    vx4_power_board_disable_laser_power(&board);
    vx4_power_board_enable_led_power(&board, 0x24, 200);
    vx4_power_board_enable_led_power(&board, -1, 50);
    vx4_power_board_enable_led_power(&board, 0x09, -1);
    vx4_power_board_enable_led_power(&board, 0x12, 300);
    EXPECT_EQ(settle(), (BoardWrites{{0, {0x06}}, {0, {0x0E}}, {0, {0x0A}}, {0, {0x02}},
                                     {1, {0x24, 200}}, {1, {0x24, 50}}, {1, {0x09, 50}}, {1, {0x12, 255}}}));

    // After a refresh the writes build on what the board reports; the
    // power-off request goes on top of the rails and is not kept.
    set(R"({"pb_power_enable": 4, "pb_led_enable": 192, "pb_led_pwm": 10})");
    refresh();
    vx4_power_board_enable_laser_power(&board);
    vx4_power_board_enable_led_power(&board, -1, 99);
    vx4_power_board_signal_shutdown(&board);
    vx4_power_board_disable_laser_power(&board);
    BoardWrites all = settle();
    ASSERT_EQ(all.size(), 12u);
    EXPECT_EQ(BoardWrites(all.begin() + 8, all.end()), (BoardWrites{{0, {0x0E}}, {1, {0xC0, 99}}, {0, {0x0F}}, {0, {0x06}}}));
    EXPECT_EQ(sim_number("power_off_requests"), 1);
}

TEST_F(BoardTest, RecordsQueuedTwiceBeforeTheyRunRunOnce)
{
    start();
    bus_errors_expected = true;  // the silent board's transactions end abruptly
    // A silent board holds the service thread about a second on this write.
    sim->post("/board/faults", R"({"silent": true})");
    const uint8_t leds[] = {0x00, 0x00};
    vx4_power_board_issue_write(&board, 1, leds, 2);
    unsigned refreshes = board.refresh_count;
    for (int i = 0; i < 2; ++i) {
        vx4_power_board_signal_shutdown(&board);
        vx4_power_board_refresh_now(&board);
    }
    sim->post("/board/faults", R"({"silent": false})");
    EXPECT_EQ(settle().back(), (BoardWrite{0, {0x03}}));
    EXPECT_EQ(board.refresh_count, refreshes + 1);
    EXPECT_EQ(sim_number("power_off_requests"), 1);
}

TEST_F(BoardTest, FrameWithABadChecksumLeavesEveryReadingUnchanged)
{
    start();
    set(R"({"pb_monitor_vin_volts": 18.25, "pb_bme280_pressure": 1100, "pb_laser_distance": 1.5, "pb_status": 1})");
    refresh();
    vx4_power_board_registers before = registers();
    ASSERT_FLOAT_EQ(before.pb_monitor_vin_volts, 18.25f);

    sim->post("/board/faults", R"({"bad_checksum": true})");
    set(R"({"pb_monitor_vin_volts": 12.0, "pb_bme280_pressure": 900, "pb_laser_distance": 3.0, "pb_status": 13,
            "pb_led_enable": 255, "pb_motor_type": 2})");
    refresh(2);
    vx4_power_board_registers after = registers();
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(traced("PBRF: *** bad refresh 01 ***"), 2);
    EXPECT_EQ(traced("PWRB: overcurrent"), 0);  // the new status was never taken

    sim->post("/board/faults", R"({"bad_checksum": false})");
    refresh();
    EXPECT_FLOAT_EQ(registers().pb_monitor_vin_volts, 12.0f);
    EXPECT_EQ(registers().pb_motor_type, 2);
}

TEST_F(BoardTest, ZeroFramesAWrongReadCommandAndASilentBoardReadAsZeros)
{
    start();
    bus_errors_expected = true;  // the unknown command and the silent board
    auto volts = [&] {
        refresh();
        return registers().pb_monitor_vin_volts;
    };
    ASSERT_FLOAT_EQ(volts(), 19.8f);
    sim->post("/board/faults", R"({"zero_frames": 1})");
    EXPECT_EQ(volts(), 0.0f);
    EXPECT_EQ(board.all_zero, 1);
    EXPECT_FLOAT_EQ(volts(), 19.8f);

    // (The zero buffer aid and the read command's value are the service API's test.)
    vx4_power_board_set_read_command(&board, 0x44);
    EXPECT_EQ(volts(), 0.0f);
    EXPECT_EQ(board.all_zero, 1);
    EXPECT_EQ(sim->text("/board", "bus.last_errors.0"), "unknown command byte 0x44");
    vx4_power_board_set_read_command(&board, 0x88);

    // Read again once it answers.
    sim->post("/board/faults", R"({"silent": true})");
    EXPECT_EQ(volts(), 0.0f);
    EXPECT_GE(traced("PWRB: transfer failed: No data available"), 1);
    sim->post("/board/faults", R"({"silent": false})");
    EXPECT_FLOAT_EQ(volts(), 19.8f);
}

TEST_F(BoardTest, ShutdownRequestIsActedOnOnceAndBitFiveSuppressesIt)
{
    start();
    set(R"({"pb_status": 35})");  // 0x23
    refresh(3);
    EXPECT_EQ(BoardEvents::take(), "");
    set(R"({"pb_status": 3})");
    refresh(5);
    EXPECT_EQ(BoardEvents::take(), "shutdown(3)");
    // Without status bit 0 no event is evaluated at all.
    set(R"({"pb_status": 2})");
    refresh(2);
    EXPECT_EQ(BoardEvents::take(), "");
}

TEST_F(BoardTest, TiltOverCurrentEndsThirtyRefreshesAfterItClearedAndAPanDriveWarnsForItself)
{
    start();
    set(R"({"pb_status": 5})");
    refresh();
    EXPECT_EQ(traced("PWRB: tilt overcurrent begin"), 1);
    EXPECT_EQ(BoardEvents::take(), "tilt_motor_warning");
    EXPECT_EQ(board.overcurrent, 1);

    set(R"({"pb_status": 1})");
    refresh(10);
    EXPECT_EQ(traced("PWRB: no overcurrent"), 1);
    set(R"({"pb_status": 5})");  // again within the hold: no second begin
    refresh();
    set(R"({"pb_status": 1})");
    refresh(29);
    EXPECT_EQ(traced("PWRB: tilt overcurrent end"), 0);
    refresh();
    EXPECT_EQ(traced("PWRB: tilt overcurrent end"), 1);
    EXPECT_EQ(traced("PWRB: tilt overcurrent begin"), 1);
    EXPECT_EQ(BoardEvents::take(), "");

    // The second motor's warns for the motor the board reports (the height
    // motor's: the mast tests).
    set(R"({"pb_status": 9, "pb_motor_type": 2})");
    refresh(2);
    EXPECT_EQ(traced("PWRB: pan/height overcurrent start"), 1);
    EXPECT_EQ(BoardEvents::take(), "pan_motor_warning");
}

TEST_F(BoardTest, BatteryLevelComesAfter64RefreshesAndMovesOnlyPastTheThreshold)
{
    start();
    auto battery = [&](size_t size = 8) {
        char text[8] = "unset";
        vx4_power_board_load_battery_level(&board, text, size);
        return std::string(text);
    };
    set(R"({"pb_monitor_vin_volts": 18.0})");
    refresh(63);
    EXPECT_EQ(battery(), "?");
    refresh();
    EXPECT_EQ(battery(), "50%");

    // 18.6 V: the average passes 18.5 V with the 54th new sample.
    set(R"({"pb_monitor_vin_volts": 18.6})");
    refresh(53);
    EXPECT_EQ(battery(), "50%");
    refresh();
    EXPECT_EQ(battery(), "75%");
    EXPECT_EQ(battery(3), "75");
    EXPECT_EQ(battery(0), "unset");  // nothing written, nothing read outside
}

TEST_F(BoardTest, PressureAndHumidityMeansComeAfter200Refreshes)
{
    start();
    set(R"({"pb_bme280_pressure": 1250, "pb_bme280_humidity": 96.0})");
    refresh(199);
    EXPECT_EQ(BoardEvents::take(), "");
    refresh();
    EXPECT_EQ(BoardEvents::take(), "pressure(1250.00) high_pressure_warning humidity(96.00) high_humidity_warning");
    refresh(50);  // a mean every 50 refreshes; the warning once
    EXPECT_EQ(BoardEvents::take(), "pressure(1250.00) humidity(96.00)");
}

TEST_F(BoardTest, LaserReadingsAreShownOnRequestUntilTheHeadMovesOrContinuously)
{
    start();
    // Whether the head shows a reading, its distance and age.
    auto shown = [&] {
        double metres;
        int age;
        int valid = vx4_power_board_load_laser_reading(&board, &metres, &age);
        char text[32];
        snprintf(text, sizeof text, "%d %.2f %d", valid, metres, age);
        return valid ? std::string(text) : "none";
    };
    EXPECT_EQ(vx4_power_board_trigger_laser_reading(&board), -1);  // off
    refresh();
    EXPECT_EQ(shown(), "none");

    vx4_power_board_set_laser_mode(&board, 1);
    EXPECT_EQ(settle().back(), (BoardWrite{0, {0x0A}}));  // the laser's rail
    refresh(2);
    EXPECT_EQ(shown(), "none");  // nothing asked for yet
    EXPECT_EQ(vx4_power_board_trigger_laser_reading(&board), 0);
    refresh(2);
    EXPECT_EQ(shown(), "1 2.50 0");
    EXPECT_EQ(BoardEvents::take(), "osd_laser_reading(2.500) osd_item(6, 1)");
    // A move: stale at once, and stays so; the display drops it.
    vx4_power_board_clear_laser_reading(&board);
    EXPECT_EQ(shown(), "none");
    refresh(2);
    EXPECT_EQ(shown(), "none");
    EXPECT_EQ(BoardEvents::take(), "osd_item(6, 0)");

    // A reading taken stays shown while the laser reads nothing, and ages; one
    // asked for meanwhile waits for a valid reading.
    vx4_power_board_trigger_laser_reading(&board);
    refresh();
    set(R"({"pb_laser_distance": 0.01})");
    refresh(2);
    EXPECT_EQ(shown(), "1 2.50 2");
    vx4_power_board_trigger_laser_reading(&board);
    refresh(2);
    EXPECT_EQ(BoardEvents::take(), "osd_laser_reading(2.500) osd_item(6, 1)");
    set(R"({"pb_laser_distance": 0.75})");
    refresh();
    EXPECT_EQ(BoardEvents::take(), "osd_laser_reading(0.750) osd_item(6, 1)");

    // Continuous: each new valid distance once, none while invalid, back after a move.
    vx4_power_board_set_laser_mode(&board, 3);
    refresh(3);
    set(R"({"pb_laser_distance": 0.01})");
    refresh();
    EXPECT_EQ(shown(), "none");
    set(R"({"pb_laser_distance": 3.25})");
    refresh(3);
    EXPECT_EQ(shown(), "1 3.25 0");
    EXPECT_EQ(BoardEvents::take(), "osd_laser_reading(0.750) osd_item(6, 1) osd_laser_reading(3.250) osd_item(6, 1)");
    vx4_power_board_clear_laser_reading(&board);
    EXPECT_EQ(shown(), "none");
    refresh();
    EXPECT_EQ(shown(), "1 3.25 0");

    vx4_power_board_set_laser_mode(&board, 0);
    refresh();
    EXPECT_EQ(shown(), "none");
    EXPECT_EQ(BoardEvents::take(), "osd_item(6, 0)");
    EXPECT_EQ(settle().back(), (BoardWrite{0, {0x02}}));
}

// The API serves before the board's service has opened the bus: what it set
// in that time is kept.
TEST_F(BoardTest, LaserModeAndSpeedSetBeforeTheServiceRunsAreKept)
{
    sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--bus=" + socket()});
    init(true, nullptr);
    EXPECT_EQ(vx4_power_board_get_laser_mode(&board), 0);
    EXPECT_EQ(vx4_power_board_get_laser_speed(&board), 2);
    vx4_power_board_set_laser_mode(&board, 2);
    vx4_power_board_set_laser_speed(&board, 1);
    ASSERT_EQ(vx4_power_board_start_service(&board), 0);
    ASSERT_TRUE(wait_until([this] { return board.service_state == VX4_PB_RUNNING; }));
    EXPECT_EQ(vx4_power_board_get_laser_mode(&board), 2);
    EXPECT_EQ(vx4_power_board_get_laser_speed(&board), 1);
}

}  // namespace
