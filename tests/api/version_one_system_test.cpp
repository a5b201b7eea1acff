// The version 1.0 API on the simulated head: motor, lighting, laser, video
// channel and camera commands, with their older reply forms.
#include "head_system.h"

using namespace vx4test;

namespace {

class VersionOneSystem : public HeadSystem {
protected:
    HttpReply post(const std::string &path, const std::string &body) const
    {
        return http_request(api_port, "POST", path, body);
    }

    std::string sent() const
    {
        return json_object_to_json_string(json_at(sim->get("/camera/commands").get(), "commands"));
    }
};

TEST_F(VersionOneSystem, MotorLightingLaserAndChannelCommands)
{
    // A channel script that writes each call's words, bracketed, as a line.
    root.write("/opt/vx4/bin/x4_post.sh", "#!/bin/sh\n{ for word in \"$@\"; do printf '[%s]' \"$word\"; done; echo; } "
                                          ">> \"$(dirname \"$0\")/calls\"\n");
    chmod(root.at("/opt/vx4/bin/x4_post.sh").c_str(), 0755);
    root.write("/media/usb99/trace_mask", "0x00008000");  // the mast
    start();
    // A pan drive, and no 60 % scaling: speeds go out as asked.
    sim->post("/board/readings", R"({"pb_status": 0, "pb_motor_type": 2})");
    ASSERT_TRUE(wait_until([this] { return traced("HTMT: no height"); }));

    size_t from = settle();
    HttpReply reply = post("/api/1.0/vx4", R"({"command": "pan", "parameters": {"speed": -50, "duration": 300}})");
    EXPECT_EQ(reply.body, "{}");
    // Beyond the board's range: its full speed, never a wrapped one.
    post("/api/1.0/vx4", R"({"command": "tilt", "params": {"speed": 200, "duration": 70000}})");
    post("/api/1.0/vx4", R"({"command": "stop"})");
    post("/api/1.0/lighting/low", R"({"intensity": 150})");
    EXPECT_EQ(root.read("/tmp/intensity"), "100");
    EXPECT_EQ(post("/api/1.0/lighting?off", "not json").body, "{}");
    post("/api/1.0/lighting/strip", R"({"intensity": 40})");  // at the value the board holds
    EXPECT_EQ(post("/api/1.0/laser/enable", "").status, 204);
    size_t to = settle();
    Writes all = writes();
    EXPECT_EQ(Writes(all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(to) - 1),
              (Writes{{3, {206, 0x2C, 0x01}}, {6, {2}}, {3, {100, 0xFF, 0xFF}}, {6, {1}}, {6, {0xFF}}, {1, {9, 100}},
                      {1, {0, 0}}, {1, {192, 0}}, {0, {0x0E}}}));
    HttpReply lighting = http_request(api_port, "GET", "/api/1.0/lighting");
    EXPECT_NE(lighting.head.find("Connection: close"), std::string::npos);
    EXPECT_EQ(lighting.body, R"({ "mode": "strip", "intensity": "40" })");

    // The client's words reach the script as they are, never a shell.
    post("/api/1.0/video",
         R"({"command": "start_stream", "parameters": {"protocol": "rtsp; touch /tmp/x", "destination": "$(id) `x`"}})");
    post("/api/1.0/video", R"({"command": "start_stream", "parameters": {"destination": "alone"}})");
    post("/api/1.0/video", R"({"command": "stop_stream"})");
    EXPECT_EQ(root.read("/opt/vx4/bin/calls"),
              "[StartChannel][rtsp; touch /tmp/x][$(id) `x`]\n[StartChannel]\n[StopChannel]\n");
    // A body that is no JSON, and a route that never answers.
    EXPECT_EQ(post("/api/1.0/video", "not json").status, 0);
    EXPECT_EQ(http_request(api_port, "GET", "/api/1.0/camera").status, 0);
}

TEST_F(VersionOneSystem, CameraCommandsAndTheDistanceEstimate)
{
    start("advanced", true);
    ASSERT_TRUE(wait_until([this] { return sent().find("81 01 04 37") != std::string::npos; }, 10000ms));
    sim->post("/camera/commands/clear");

    // Straight to the camera, whatever the exposure mode; values the camera
    // would misread are not sent.
    post("/api/1.0/camera", R"({"command": "iris_up"})");
    post("/api/1.0/camera", R"({"command": "zoom_tele", "parameters": {"speed": 9}})");
    post("/api/1.0/camera", R"({"command": "zoom_direct", "params": {"position": 8192}})");
    EXPECT_TRUE(wait_until([this] { return sent() == R"([ "81 01 04 0B 02 FF", "81 01 04 47 02 00 00 00 FF" ])"; }));
    EXPECT_TRUE(wait_until([this] { return text("GET", "/api/1.0/camera/zoom", "zoom_position") == "8192"; }));

    sim->post("/camera/position", R"({"focus": 40000})");
    ASSERT_TRUE(wait_until([this] { return text("GET", "/api/1.0/camera/focus", "focus_position") == "40000"; }));
    JsonPtr estimate = call("GET", "/api/1.0/vx4");
    double feet = 2.9288e9f * std::pow(40000.0f, -1.9357f);
    EXPECT_NEAR(json_object_get_double(json_at(estimate.get(), "distance")), feet * 0.3048006096, 1e-6);
    EXPECT_NE(api.output().find("Focus: 40000, Zoom: 8192\n"), std::string::npos);
}

}  // namespace
