// The press-and-hold intensity loop: how triggers start, prolong and end a
// movement, and what it leaves in /tmp/intensity (no power board here).
#include "camera/motion_loops.h"

#include "power_board/power_board.h"
#include "support.h"

using namespace vx4test;

namespace {

TEST(IntensityLoop, TriggersStartProlongAndStopOneMovement)
{
    SandboxRoot root;
    root.enter();
    power_board_instance = nullptr;
    root.write("/tmp/intensity", "40");
    vx4_create_intensity_loop();
    vx4_stop_intensity_loop();  // idle: returns at once

    EXPECT_EQ(vx4_trigger_intensity_loop(0, 500), 0);
    EXPECT_EQ(vx4_trigger_intensity_loop(1, 500), 1);
    EXPECT_EQ(vx4_trigger_intensity_loop(-1, 500), 0);  // against the movement
    EXPECT_EQ(vx4_trigger_intensity_loop(1, 500), 1);   // prolonged
    EXPECT_TRUE(wait_until([&] { return root.read("/tmp/intensity") == "41"; }, 3000ms));
    // (A held press steps on and speeds up: the lights' API test.)

    // Stop returns once the movement has ended: nothing changes after it.
    vx4_stop_intensity_loop();
    std::string stopped = root.read("/tmp/intensity");
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(root.read("/tmp/intensity"), stopped);

    // Down from 1: one step to 0, never below.
    root.write("/tmp/intensity", "1");
    EXPECT_EQ(vx4_trigger_intensity_loop(-1, 2000), 1);
    EXPECT_TRUE(wait_until([&] { return root.read("/tmp/intensity") == "0"; }, 3000ms));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(root.read("/tmp/intensity"), "0");
    vx4_stop_intensity_loop();

    // Without the file a movement makes no step, and ends by itself: a
    // trigger the other way starts a new one.
    root.remove("/tmp/intensity");
    EXPECT_EQ(vx4_trigger_intensity_loop(1, 600), 1);
    EXPECT_TRUE(wait_until([] {
        if (vx4_trigger_intensity_loop(-1, 10) != 1)
            return false;
        vx4_stop_intensity_loop();
        return true;
    }, 3000ms));
    EXPECT_FALSE(root.exists("/tmp/intensity"));
}

}  // namespace
