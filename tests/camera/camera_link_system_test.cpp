// vx4-api keeps its link to the simulated camera module by itself.
#include <gtest/gtest.h>
#include <signal.h>

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
    auto connections = [&] { return json_object_get_int(json_at(sim.get("/camera").get(), "connections")); };
    ASSERT_TRUE(wait_until([&] { return connections() == 1; }, 10000ms)) << api.errors();
    EXPECT_NE(root.read("/media/usb99/trace").find("VSIO: connect ["), std::string::npos);

    // The camera goes away and comes back: the daemon connects again.
    sim.post("/camera/faults", R"({"drop": true, "refuse": true})");
    ASSERT_TRUE(wait_until([&] { return connections() == 0; }));
    sim.post("/camera/faults", R"({"refuse": false})");
    ASSERT_TRUE(wait_until([&] { return connections() == 1; }, 15000ms));

    api.signal(SIGTERM);
    EXPECT_EQ(api.wait_exit(5000ms), 0) << api.errors();
}

}  // namespace
