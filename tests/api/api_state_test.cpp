// The API's start values and its state files.
#include "api_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings.h"
#include "support.h"

using vx4test::SandboxRoot;

namespace {

class ApiState : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        vx4_init_nv();
    }
    SandboxRoot root;
};

TEST_F(ApiState, StartsFromTheSettingsAndRewritesTheStateFiles)
{
    int32_t seats = 3, high_beam = 12;
    vx4_write_nv(NV_VIEWER_SEATS, &seats, sizeof seats);
    vx4_write_nv(NV_HIGH_BEAM_TIME, &high_beam, sizeof high_beam);
    vx4_write_nv(NV_LANGUAGE, "FRA", 3);
    root.write("/tmp/intensity", "80");
    api_state.seats[2].state = 2;
    api_state.debug_warnings[API_WARNING_HIGH_RH] = true;

    vx4_init_api_state();
    EXPECT_EQ(api_state.observer_seat_limit, 3);
    EXPECT_EQ(api_state.high_beam_time, 12);
    EXPECT_STREQ(api_state.language, "FRA");
    EXPECT_EQ(api_state.seats[2].state, 0);
    EXPECT_FALSE(api_state.debug_warnings[API_WARNING_HIGH_RH]);
    EXPECT_STREQ(api_state.led_mode, "off");
    EXPECT_STREQ(api_state.focus_mode, "auto");
    EXPECT_STREQ(api_state.exposure_mode, "auto");
    EXPECT_EQ(root.read("/tmp/intensity"), "25");
    EXPECT_EQ(root.read("/tmp/focus_speed"), "2");
    EXPECT_EQ(root.read("/tmp/zoom_speed"), "3");
}

TEST_F(ApiState, StateFilesAreReplacedWholeAndReadByFirstLine)
{
    root.write("/tmp/lighting", "a much longer previous value");
    ASSERT_EQ(vx4_write_state_file("/tmp/lighting", "low"), 0);
    EXPECT_EQ(root.read("/tmp/lighting"), "low");
    EXPECT_FALSE(root.exists("/tmp/lighting.new"));

    root.write("/tmp/zoom_speed", "123456\nsecond line");
    char line[5];
    ASSERT_TRUE(vx4_read_state_line("/tmp/zoom_speed", line, sizeof line));
    EXPECT_STREQ(line, "1234");
    long value = 0;
    ASSERT_TRUE(vx4_read_state_number("/tmp/zoom_speed", 14, &value));
    EXPECT_EQ(value, 123456);
    EXPECT_FALSE(vx4_read_state_number("/tmp/missing", 14, &value));

    // A folder that cannot be written: the write is skipped, nothing is left behind.
    root.remove("/tmp");
    EXPECT_EQ(vx4_write_state_number("/tmp/intensity", 25), -1);
    EXPECT_FALSE(root.exists("/tmp/intensity"));
}

}  // namespace
