// Which laser reading the head shows as valid, on the power board driven
// against the simulated board.
#include <gtest/gtest.h>

#include "board_fixture.h"

using namespace vx4test;

namespace {

class LaserReading : public BoardTest {
protected:
    // 1 while valid; the distance and its age.
    int shown(double *metres = nullptr, int *age = nullptr)
    {
        double m = -1;
        int a = -1;
        int valid = vx4_power_board_load_laser_reading(&board, &m, &a);
        if (metres)
            *metres = m;
        if (age)
            *age = a;
        return valid;
    }
};

TEST_F(LaserReading, ShownOnRequestUntilTheHeadMovesOrAllTheTimeInAuto)
{
    start();
    refresh(2);
    EXPECT_EQ(shown(), 0);  // off

    vx4_power_board_set_laser_mode(&board, 1);
    refresh();
    EXPECT_EQ(shown(), 0);  // nothing asked for yet
    ASSERT_EQ(vx4_power_board_trigger_laser_reading(&board), 0);
    refresh();
    double metres;
    int age;
    EXPECT_EQ(shown(&metres, &age), 1);
    EXPECT_DOUBLE_EQ(metres, 2.5);
    EXPECT_EQ(age, 0);
    // A move: stale at once, and stays so.
    vx4_power_board_clear_laser_reading(&board);
    EXPECT_EQ(shown(), 0);
    refresh(2);
    EXPECT_EQ(shown(), 0);

    // A reading taken stays shown while the laser reads nothing; it ages.
    vx4_power_board_trigger_laser_reading(&board);
    refresh();
    set(R"({"pb_laser_distance": 0.01})");
    refresh(2);
    EXPECT_EQ(shown(&metres, &age), 1);
    EXPECT_DOUBLE_EQ(metres, 2.5);
    EXPECT_EQ(age, 2);

    // Continuous: every valid reading, none while invalid, back after a move.
    vx4_power_board_set_laser_mode(&board, 3);
    refresh();
    EXPECT_EQ(shown(), 0);
    set(R"({"pb_laser_distance": 3.25})");
    refresh();
    EXPECT_EQ(shown(&metres), 1);
    EXPECT_DOUBLE_EQ(metres, 3.25);
    vx4_power_board_clear_laser_reading(&board);
    EXPECT_EQ(shown(), 0);
    refresh();
    EXPECT_EQ(shown(), 1);

    vx4_power_board_set_laser_mode(&board, 0);
    refresh();
    EXPECT_EQ(shown(), 0);
}

// The API serves before the board's service has opened the bus: what it set
// in that time is kept.
TEST_F(LaserReading, ModeAndSpeedSetBeforeTheServiceRunsAreKept)
{
    sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--bus=" + root.path() + "/board.sock"});
    setenv("VX4_POWER_BOARD", ("sim:" + root.path() + "/board.sock").c_str(), 1);
    root.enter();
    init_trace();
    ASSERT_EQ(vx4_application_init(&application, "vx4-test"), 0);
    ASSERT_EQ(vx4_power_board_init(&board, &application, true, nullptr), 0);
    EXPECT_EQ(vx4_power_board_get_laser_mode(&board), 0);
    EXPECT_EQ(vx4_power_board_get_laser_speed(&board), 2);
    vx4_power_board_set_laser_mode(&board, 2);
    vx4_power_board_set_laser_speed(&board, 1);
    ASSERT_EQ(vx4_power_board_start_service(&board), 0);
    ASSERT_TRUE(wait_until([this] { return board.service_state == VX4_PB_RUNNING; }));
    EXPECT_EQ(vx4_power_board_get_laser_mode(&board), 2);
    EXPECT_EQ(vx4_power_board_get_laser_speed(&board), 1);
    vx4_power_board_destroy(&board);
    vx4_application_destroy(&application);
}

}  // namespace
