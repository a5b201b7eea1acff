// The power board object driven through its functions against the simulated
// board of vx4-sim: what reaches the board shows in the simulator's recorded
// writes and bus counters, what the daemon makes of it in the trace and the
// decoded registers.
#include "power_board/power_board.h"

#include <gtest/gtest.h>

#include <cstring>

#include "board_fixture.h"

using namespace vx4test;

namespace {

TEST_F(BoardTest, ServiceSetsUpTheBusAndReleasesItWhenStopped)
{
    start("advanced", false);
    ASSERT_EQ(board.service_state, VX4_PB_RUNNING);
    auto state = sim->get("/board");
    json_object *bus = json_at(state.get(), "bus");
    EXPECT_EQ(json_object_get_int(json_at(bus, "gpio.24.value")), 1);
    EXPECT_TRUE(json_object_get_boolean(json_at(bus, "gpio.24.output")));
    EXPECT_EQ(json_object_get_int(json_at(bus, "gpio.13.value")), 0);
    EXPECT_EQ(json_object_get_int(json_at(bus, "gpio.15.value")), 0);
    EXPECT_EQ(json_object_get_int(json_at(bus, "spi.mode")), 2);
    EXPECT_EQ(json_object_get_int(json_at(bus, "spi.frequency")), 100000);
    EXPECT_FALSE(json_object_get_boolean(json_at(bus, "spi.lsb_first")));

    // Refreshes come every 100 ms on their own.
    ASSERT_TRUE(run_until([&] { return sim_number("bus.reads") >= 5; }));
    EXPECT_GE(traced("PBRF: refresh 88 141 0 0"), 4);

    vx4_power_board_stop_service(&board);
    EXPECT_EQ(board.service_state, VX4_PB_STOPPED);
    state = sim->get("/board");
    EXPECT_FALSE(json_object_get_boolean(json_at(state.get(), "bus.spi.open")));
    for (const char *pin : {"24", "13", "15"})
        EXPECT_FALSE(json_object_get_boolean(json_at(state.get(), std::string("bus.gpio.") + pin + ".open"))) << pin;
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "bus.gpio.24.value")), 1);
}

TEST_F(BoardTest, SuspendedBoardReadsOnceForEachTrigger)
{
    start();
    run_for(500ms);
    EXPECT_EQ(sim_number("bus.reads"), 0);
    triggered_refresh();
    EXPECT_EQ(sim_number("bus.reads"), 1);
    run_for(500ms);
    EXPECT_EQ(sim_number("bus.reads"), 1);
    triggered_refresh(3);
    run_for(300ms);
    EXPECT_EQ(sim_number("bus.reads"), 4);
    EXPECT_EQ(traced("PWRB: trigger refresh"), 4);

    vx4_power_board_resume_refresh(&board);
    EXPECT_TRUE(run_until([&] { return sim_number("bus.reads") >= 8; }));
}

TEST_F(BoardTest, RawWritesReachTheBoardBitReversedAndBadOnesAreRefused)
{
    start();
    testing::internal::CaptureStdout();
    const uint8_t motor[] = {0x19, 0xE8, 0x03};
    uint8_t big[17] = {};
    EXPECT_EQ(vx4_power_board_issue_write(&board, 128, motor, 1), -2);
    EXPECT_EQ(vx4_power_board_issue_write(&board, 3, big, 17), -2);
    EXPECT_EQ(vx4_power_board_issue_write(&board, 3, big, 0), -2);
    EXPECT_EQ(vx4_power_board_issue_write(&board, -1, motor, 1), -2);
    EXPECT_EQ(vx4_power_board_issue_write(&board, 3, motor, 3), 0);
    ASSERT_TRUE(wait_writes(1));
    run_for(200ms);
    std::string printed = testing::internal::GetCapturedStdout();

    auto list = sim->get("/board/writes");
    json_object *entries = json_at(list.get(), "writes");
    ASSERT_EQ(json_object_array_length(entries), 1u);
    json_object *write = json_object_array_get_idx(entries, 0);
    EXPECT_STREQ(json_object_get_string(json_at(write, "wire")), "C19817C0");
    EXPECT_TRUE(json_object_get_boolean(json_at(write, "valid")));
    EXPECT_EQ(sim_number("readings.pb_motor_pwm"), 25);
    EXPECT_EQ(sim_number("readings.pb_motor_duration"), 1000);

    EXPECT_EQ(printed, "WRITE: (3) 19e803\n");
    EXPECT_EQ(traced("PWRB: write to register 3"), 1);
    EXPECT_EQ(traced("PWRB:  19E803" + std::string(27, ' ') + "..." + std::string(13, ' ')), 1);
}

TEST_F(BoardTest, RailAndLightWritesBuildOnEachOther)
{
    start();
    // Queued at once, before any refresh reads back what the first did.
    vx4_power_board_enable_camera_power(&board);
    vx4_power_board_enable_laser_power(&board);
    vx4_power_board_disable_camera_power(&board);
    vx4_power_board_disable_laser_power(&board);
    vx4_power_board_enable_led_power(&board, 0x24, 200);
    vx4_power_board_enable_led_power(&board, -1, 50);
    vx4_power_board_enable_led_power(&board, 0x09, -1);
    vx4_power_board_enable_led_power(&board, 0x12, 300);
    ASSERT_TRUE(wait_writes(8));
    using Writes = BoardWrites;
    EXPECT_EQ(writes(), (Writes{{0, {0x06}}, {0, {0x0E}}, {0, {0x0A}}, {0, {0x02}},
                                {1, {0x24, 200}}, {1, {0x24, 50}}, {1, {0x09, 50}}, {1, {0x12, 255}}}));

    // After a refresh the writes build on what the board reports.
    set(R"({"pb_power_enable": 4, "pb_led_enable": 192, "pb_led_pwm": 10})");
    refresh();
    vx4_power_board_enable_laser_power(&board);
    vx4_power_board_enable_led_power(&board, -1, 99);
    ASSERT_TRUE(wait_writes(10));
    auto all = writes();
    EXPECT_EQ(all[8], (std::pair<int, std::vector<int>>{0, {0x0E}}));
    EXPECT_EQ(all[9], (std::pair<int, std::vector<int>>{1, {0xC0, 99}}));
}

TEST_F(BoardTest, CameraStaysOnDuringItsFirmwareUpdate)
{
    start();
    BoardEvents::camera_updating = true;
    EXPECT_EQ(vx4_power_board_disable_camera_power(&board), 0);
    BoardEvents::camera_updating = false;
    EXPECT_EQ(vx4_power_board_disable_camera_power(&board), 0);
    ASSERT_TRUE(wait_writes(1));
    run_for(200ms);
    EXPECT_EQ(writes().size(), 1u);
}

TEST_F(BoardTest, ShutdownSignalAsksTheBoardToPowerOff)
{
    start();
    set(R"({"pb_power_enable": 6})");
    refresh();
    vx4_power_board_signal_shutdown(&board);
    ASSERT_TRUE(run_until([&] { return sim_number("power_off_requests") == 1; }));
    EXPECT_EQ(writes().back(), (std::pair<int, std::vector<int>>{0, {0x07}}));
    EXPECT_EQ(traced("PWRB: signal shutdown"), 1);
}

TEST_F(BoardTest, RecordsQueuedTwiceBeforeTheyRunRunOnce)
{
    start();
    bus_errors_expected = true;  // the silent board's transactions end abruptly
    // A silent board holds the service thread about a second per write.
    sim->post("/board/faults", R"({"silent": true})");
    const uint8_t leds[] = {0x00, 0x00};
    for (int i = 0; i < 3; ++i)
        vx4_power_board_issue_write(&board, 1, leds, 2);
    unsigned refreshes = board.refresh_count;
    vx4_power_board_signal_shutdown(&board);
    vx4_power_board_signal_shutdown(&board);
    vx4_power_board_trigger_refresh(&board);
    run_for(250ms);  // the timer queues the refresh
    vx4_power_board_trigger_refresh(&board);
    run_for(250ms);  // and would queue it again
    sim->post("/board/faults", R"({"silent": false})");

    ASSERT_TRUE(run_until([&] { return board.refresh_count == refreshes + 1; }, 10000ms));
    ASSERT_TRUE(run_until([&] { return sim_number("power_off_requests") >= 1; }));
    EXPECT_EQ(writes().back(), (std::pair<int, std::vector<int>>{0, {0x03}}));
    run_for(500ms);
    EXPECT_EQ(board.refresh_count, refreshes + 1);
    EXPECT_EQ(sim_number("power_off_requests"), 1);
    EXPECT_EQ(traced("PWRB: signal shutdown"), 1);
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

TEST_F(BoardTest, AllZeroFramesAndTheZeroBufferAidDecodeToZeros)
{
    start();
    refresh();
    ASSERT_GT(registers().pb_monitor_vin_volts, 1.0f);

    sim->post("/board/faults", R"({"zero_frames": 1})");
    refresh();
    EXPECT_EQ(registers().pb_monitor_vin_volts, 0.0f);
    EXPECT_EQ(board.all_zero, 1);
    refresh();
    EXPECT_GT(registers().pb_monitor_vin_volts, 1.0f);
    EXPECT_EQ(traced("PBRF: refresh 88 141 0 1"), 1);

    vx4_power_board_set_zero_buffer(&board, 1);
    refresh();
    EXPECT_EQ(registers().pb_monitor_vin_volts, 0.0f);
    EXPECT_EQ(traced("PWRB: zero buffer 1"), 1);
    EXPECT_EQ(traced("PBRF: zero buffer"), 1);
}

TEST_F(BoardTest, SilentBoardGivesZerosAndIsReadAgainWhenItAnswers)
{
    start();
    bus_errors_expected = true;
    refresh();
    sim->post("/board/faults", R"({"silent": true})");
    refresh();
    EXPECT_EQ(registers().pb_monitor_vin_volts, 0.0f);
    EXPECT_GE(traced("PWRB: transfer failed: No data available"), 1);
    sim->post("/board/faults", R"({"silent": false})");
    refresh();
    EXPECT_FLOAT_EQ(registers().pb_monitor_vin_volts, 19.8f);
}

TEST_F(BoardTest, ShutdownRequestIsActedOnOnceAndBitFiveSuppressesIt)
{
    start();
    set(R"({"pb_status": 35})");  // 0x23
    refresh(3);
    EXPECT_EQ(traced("PWRB: shutdown request"), 0);
    EXPECT_EQ(BoardEvents::count("shutdown(3)"), 0);

    set(R"({"pb_status": 3})");
    refresh(5);
    EXPECT_EQ(traced("PWRB: shutdown request"), 1);
    EXPECT_EQ(BoardEvents::count("shutdown(3)"), 1);

    // Without status bit 0 no event is evaluated at all.
    set(R"({"pb_status": 2})");
    refresh(2);
    EXPECT_EQ(BoardEvents::count("shutdown(3)"), 1);
}

TEST_F(BoardTest, TiltOverCurrentEndsThirtyRefreshesAfterItCleared)
{
    start();
    set(R"({"pb_status": 5})");
    refresh();
    EXPECT_EQ(traced("PWRB: tilt overcurrent begin"), 1);
    EXPECT_EQ(BoardEvents::count("tilt_motor_warning"), 1);
    EXPECT_EQ(traced("PWRB: overcurrent"), 1);
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
    EXPECT_EQ(BoardEvents::count("tilt_motor_warning"), 1);
}

class MotorOverCurrent : public BoardTest, public ::testing::WithParamInterface<std::pair<int, std::string>> {};

TEST_P(MotorOverCurrent, WarnsForTheMotorTheBoardReports)
{
    start();
    set(R"({"pb_status": 9, "pb_motor_type": )" + std::to_string(GetParam().first) + "}");
    refresh(2);
    EXPECT_EQ(traced("PWRB: pan/height overcurrent start"), 1);
    long height = BoardEvents::count("height_motor_warning");
    long pan = BoardEvents::count("pan_motor_warning");
    EXPECT_EQ(height, GetParam().second == "height" ? 1 : 0);
    EXPECT_EQ(pan, GetParam().second == "pan" ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(ByMotorType, MotorOverCurrent,
                         ::testing::Values(std::make_pair(1, std::string("height")),
                                           std::make_pair(2, std::string("pan")),
                                           std::make_pair(0, std::string("none"))));

TEST_F(BoardTest, BatteryLevelComesAfter64RefreshesAndMovesOnlyPastTheThreshold)
{
    start();
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

    char small[3];
    vx4_power_board_load_battery_level(&board, small, sizeof small);
    EXPECT_STREQ(small, "75");
    vx4_power_board_load_battery_level(&board, small, 0);  // nothing written, nothing read outside
}

TEST_F(BoardTest, PressureAndHumidityMeansComeAfter200Refreshes)
{
    start();
    set(R"({"pb_bme280_pressure": 1250, "pb_bme280_humidity": 96.0})");
    refresh(199);
    EXPECT_EQ(BoardEvents::count("pressure(1250.00)"), 0);
    EXPECT_EQ(BoardEvents::count("humidity(96.00)"), 0);
    refresh();
    EXPECT_EQ(BoardEvents::count("pressure(1250.00)"), 1);
    EXPECT_EQ(traced("PWRB: high pressure begin"), 1);
    EXPECT_EQ(BoardEvents::count("high_pressure_warning"), 1);
    EXPECT_EQ(BoardEvents::count("humidity(96.00)"), 1);
    EXPECT_EQ(traced("PWRB: high rh begin"), 1);
    EXPECT_EQ(BoardEvents::count("high_humidity_warning"), 1);

    refresh(50);
    EXPECT_EQ(BoardEvents::count("pressure(1250.00)"), 2);
    EXPECT_EQ(traced("PWRB: high pressure begin"), 1);
    EXPECT_EQ(BoardEvents::count("high_pressure_warning"), 1);
}

TEST_F(BoardTest, LaserReadingsReachTheDisplayByMode)
{
    start();
    set(R"({"pb_laser_distance": 2.345})");
    EXPECT_EQ(vx4_power_board_trigger_laser_reading(&board), -1);  // mode 0

    vx4_power_board_set_laser_mode(&board, 1);
    ASSERT_TRUE(wait_writes(1));
    EXPECT_EQ(writes().back(), (std::pair<int, std::vector<int>>{0, {0x0A}}));
    refresh(2);
    EXPECT_EQ(BoardEvents::count("osd_laser_reading(2.345)"), 0);
    EXPECT_EQ(vx4_power_board_trigger_laser_reading(&board), 0);
    refresh(2);
    EXPECT_EQ(BoardEvents::count("osd_laser_reading(2.345)"), 1);
    EXPECT_EQ(BoardEvents::count("osd_item(6, 1)"), 1);
    vx4_power_board_clear_laser_reading(&board);
    refresh();
    EXPECT_EQ(BoardEvents::count("osd_item(6, 0)"), 1);

    // An invalid reading is not shown until a valid one comes.
    set(R"({"pb_laser_distance": 0.01})");
    refresh();
    vx4_power_board_trigger_laser_reading(&board);
    refresh(2);
    EXPECT_EQ(BoardEvents::count("osd_item(6, 1)"), 1);
    set(R"({"pb_laser_distance": 0.75})");
    refresh();
    EXPECT_EQ(BoardEvents::count("osd_laser_reading(0.750)"), 1);

    // Continuous: each new distance once.
    vx4_power_board_set_laser_mode(&board, 3);
    refresh(3);
    EXPECT_EQ(BoardEvents::count("osd_laser_reading(0.750)"), 2);
    set(R"({"pb_laser_distance": 4.2})");
    refresh(3);
    EXPECT_EQ(BoardEvents::count("osd_laser_reading(4.200)"), 1);

    vx4_power_board_set_laser_mode(&board, 0);
    ASSERT_TRUE(run_until([&] { return writes().back() == std::pair<int, std::vector<int>>{0, {0x02}}; }));
}

TEST_F(BoardTest, BasicBoardReadsItsShortFrameAndChecksItOnlyWithStatusBitZero)
{
    start("basic");
    set(R"({"pb_monitor_vin_volts": 12.5, "pb_bme280_temperature": 26.5, "pb_status": 0})");
    sim->post("/board/faults", R"({"bad_checksum": true})");
    refresh();
    EXPECT_EQ(traced("PBRF: refresh 00 64 0 0"), 1);
    EXPECT_FLOAT_EQ(registers().pb_monitor_vin_volts, 12.5f);
    EXPECT_FLOAT_EQ(registers().pb_bme280_temperature, 26.5f);
    EXPECT_EQ(registers().pb_board_revision, 1);

    set(R"({"pb_monitor_vin_volts": 11.0, "pb_status": 1})");
    refresh();
    EXPECT_FLOAT_EQ(registers().pb_monitor_vin_volts, 12.5f);
    sim->post("/board/faults", R"({"bad_checksum": false})");
    refresh();
    EXPECT_FLOAT_EQ(registers().pb_monitor_vin_volts, 11.0f);
    EXPECT_EQ(registers().pb_board_revision, 3);
    EXPECT_EQ(registers().pb_build_number, 112);
    EXPECT_EQ(vx4_power_board_get_board_type(&board), 1);
}

TEST_F(BoardTest, AnotherReadCommandIsSentAsGiven)
{
    start();
    bus_errors_expected = true;
    EXPECT_EQ(vx4_power_board_get_read_command(&board), 0x88);
    vx4_power_board_set_read_command(&board, 0x44);
    EXPECT_EQ(vx4_power_board_get_read_command(&board), 0x44);
    refresh();
    EXPECT_EQ(traced("PWRB: read command 0x44"), 1);
    auto state = sim->get("/board");
    EXPECT_STREQ(json_object_get_string(json_object_array_get_idx(json_at(state.get(), "bus.last_errors"), 0)),
                 "unknown command byte 0x44");
    EXPECT_EQ(board.all_zero, 1);
}

TEST_F(BoardTest, BoardThatIsNotThereFailsTheServiceWithTheGpioMessage)
{
    testing::internal::CaptureStderr();
    start("advanced", true, false);
    EXPECT_EQ(board.service_state, VX4_PB_FAILED);
    EXPECT_EQ(vx4_power_board_start_service(&board), -1);
    // Queued work is never run, and released with the board.
    EXPECT_EQ(vx4_power_board_enable_camera_power(&board), 0);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "vx4-test: mraa_gpio_init() failed at line 2385\n"
                      "vx4-test: vx4_power_board_start_service() failed at line 2767: Operation already in progress\n");
}

}  // namespace
