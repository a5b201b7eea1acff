// The API's start values and its state files.
#include "api/api_state.h"

#include <filesystem>

#include "core/settings.h"
#include "core/state_files.h"
#include "power_board/lights.h"
#include "support.h"

namespace {

TEST(ApiState, StartsFromTheSettingsAndReplacesStateFilesWhole)
{
    vx4test::SandboxRoot root;
    root.enter();
    vx4_init_nv();
    int32_t seats = 3, high_beam = 12;
    vx4_write_nv(NV_VIEWER_SEATS, &seats, sizeof seats);
    vx4_write_nv(NV_HIGH_BEAM_TIME, &high_beam, sizeof high_beam);
    vx4_write_nv(NV_LANGUAGE, "FRA", 3);
    api_state.seats[2].state = 2;
    vx4_init_api_state();
    EXPECT_EQ(api_state.observer_seat_limit, 3);
    EXPECT_EQ(led_state.high_beam_time, 12);
    EXPECT_STREQ(api_state.language, "FRA");
    EXPECT_EQ(api_state.seats[2].state, 0);
    EXPECT_STREQ(led_state.mode, "off");
    EXPECT_STREQ(api_state.focus_mode, "auto");

    root.write("/tmp/lighting", "a much longer previous value");
    ASSERT_EQ(vx4_write_state_file("/tmp/lighting", "low"), 0);
    EXPECT_EQ(root.read("/tmp/lighting"), "low");
    for (const auto &entry : std::filesystem::directory_iterator(root.at("/tmp")))
        EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
    root.write("/tmp/zoom_speed", "123456\nsecond line");
    long value = 0;
    EXPECT_TRUE(vx4_read_state_number("/tmp/zoom_speed", 3, &value));
    EXPECT_EQ(value, 123);
    EXPECT_FALSE(vx4_read_state_number("/tmp/missing", 14, &value));
    root.remove("/tmp");
    EXPECT_EQ(vx4_write_state_number("/tmp/intensity", 25), -1);
}

}  // namespace
