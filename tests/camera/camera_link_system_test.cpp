// vx4-api keeps its link to the simulated camera module by itself.

#include "support.h"

using namespace vx4test;

namespace {

TEST(CameraLinkSystem, TheDaemonConnectsToTheCameraAndExitsCleanlyWhileLinked)
{
    SandboxRoot root;
    root.write("/media/usb99/trace_mask", "0x00000040");
    auto env = sandbox_environment(root);
    SimHead sim(root, {"--visca-port=" + env["VX4_CAMERA_VISCA_PORT"]});
    Process api({api_program()}, env, root.at("/api"));
    ASSERT_TRUE(wait_until([&] { return sim.number("/camera", "connections") == 1; }, 10000ms)) << api.errors();
    EXPECT_EQ(traced(root, "VSIO: connect"), 1);

    api.signal(SIGTERM);
    EXPECT_EQ(api.wait_exit(5000ms), 0) << api.errors();
}

}  // namespace
