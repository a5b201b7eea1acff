// Moving the head through the API on the simulated head: tilt at a speed set
// by the camera's zoom, the second axis as mast or pan drive, homing, presets
// and the extension.

#include "head_system.h"

using namespace vx4test;

namespace {

using Write = BoardWrite;

class MotionSystem : public HeadSystem {
protected:
    // The head with its camera; the board without the 60 % PWM scaling, so
    // that the speeds the API asks for go out as they are.
    void start_head()
    {
        root.write("/media/usb99/trace_mask", "0x00008010");  // API and mast
        start("advanced", true);
        // Read once before the readings change, so that the change is seen.
        ASSERT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_status") == "0x01"; }));
        sim->post("/board/readings", R"({"pb_status": 0})");
        ASSERT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_status") == "0x00"; }));
    }

    // The camera at a zoom position; tilt presses until the daemon has the
    // camera's notice and tilts at the expected speed. The camera sends its
    // zoom notices to every connection once one of them asks for them.
    bool tilt_at_zoom(int zoom, int expected_speed)
    {
        int visca_port = std::stoi(env["VX4_CAMERA_VISCA_PORT"]);
        // Once the daemon's power-up sequence, which zooms to wide, has ended
        // with the defog setting.
        EXPECT_TRUE(wait_until([&] {
            JsonPtr log = sim->get("/camera/commands");
            return std::string(json_object_to_json_string(log.get())).find("81 01 04 37") != std::string::npos;
        }, 10000ms));
        tcp_exchange(visca_port, std::string("\x81\x01\x04\x69\x02\xFF", 6), 200ms);
        sim->post("/camera/position", "{\"zoom\": " + std::to_string(zoom) + "}");
        return wait_until([&] {
            EXPECT_EQ(status("POST", "/api/motor/tilt/increment"), "OK");
            return traced("HAPI: motor tilt inc " + std::to_string(expected_speed));
        }, 10000ms, 100ms);
    }

    // Motor 2 of the simulated board: running, at its PWM.
    std::pair<bool, int> second_motor() const
    {
        return {sim->number("/board", "motors.1.running") != 0, static_cast<int>(sim->number("/board", "motors.1.pwm"))};
    }

    // Increment, stop and decrement run and stop the second motor at full speed.
    void second_axis_presses(const std::string &axis)
    {
        for (const auto &[press, expected] : {std::pair{"increment", std::pair{true, 100}}, {"stop", {false, 0}},
                                              {"decrement", {true, -100}}, {"stop", {false, 0}}}) {
            EXPECT_EQ(status("POST", "/api/motor/" + axis + "/" + press), "OK");
            EXPECT_TRUE(wait_until([&] {
                auto [running, pwm] = second_motor();
                return running == expected.first && (!running || pwm == expected.second);
            })) << axis << " " << press;
        }
    }

    bool last_writes_are(const std::vector<Write> &expected) const
    {
        Writes all = writes();
        return all.size() >= expected.size() && std::equal(expected.begin(), expected.end(), all.end() - expected.size());
    }
};

TEST_F(MotionSystem, TiltSpeedFallsAsTheCameraZoomsInAndTheDaemonEndsCleanlyWhileLinked)
{
    start_head();
    ASSERT_TRUE(tilt_at_zoom(13446, 75));  // 10x
    EXPECT_TRUE(wait_until([this] { return last_writes_are({{3, {75, 0xF4, 0x01}}, {6, {1}}}); }));
    EXPECT_EQ(status("POST", "/api/motor/tilt/decrement"), "OK");
    EXPECT_TRUE(wait_until([this] { return last_writes_are({{3, {256 - 75, 0xF4, 0x01}}, {6, {1}}}); }));
    EXPECT_EQ(status("POST", "/api/motor/tilt/stop"), "OK");
    EXPECT_TRUE(wait_until([this] { return last_writes_are({{6, {0xFF}}}); }));

    EXPECT_TRUE(tilt_at_zoom(5793, 97));    // 2x
    EXPECT_TRUE(tilt_at_zoom(0, 100));      // 1x
    EXPECT_TRUE(tilt_at_zoom(24576, 20));   // 60x, digital
    api.signal(SIGTERM);
    EXPECT_EQ(api.wait_exit(5000ms), 0) << api.errors();
}

TEST_F(MotionSystem, AMoveClearsTheLaserReadingAndAnOverCurrentRefusesIt)
{
    start_head();
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "picture"})"), "OK");
    EXPECT_EQ(status("POST", "/api/laser/execute"), "OK");
    ASSERT_TRUE(wait_until([this] { return !text("GET", "/api/laser/distance", "laser_distance").empty(); }));
    EXPECT_EQ(status("POST", "/api/motor/tilt/increment"), "OK");
    EXPECT_EQ(text("GET", "/api/laser/distance", "laser_distance"), "");
    std::this_thread::sleep_for(300ms);  // the next refreshes keep it cleared
    EXPECT_EQ(text("GET", "/api/laser/distance", "laser_distance"), "");

    // The board refuses to run a motor during an over-current: so does the API.
    sim->post("/board/readings", R"({"pb_status": 5})");
    ASSERT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_status") == "0x05"; }));
    size_t before = writes().size();
    EXPECT_EQ(status("POST", "/api/motor/tilt/increment"), "BAD_REQUEST");
    EXPECT_EQ(status("POST", "/api/motor/pan/increment"), "BAD_REQUEST");
    // Status events are read only while bit 0 is set: bit 0 alone ends it.
    sim->post("/board/readings", R"({"pb_status": 1})");
    ASSERT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_status") == "0x01"; }));
    EXPECT_EQ(status("POST", "/api/motor/tilt/increment"), "OK");
    ASSERT_TRUE(wait_until([&] { return writes().size() > before; }));
    EXPECT_EQ(writes()[before], (Write{3, {60, 0xF4, 0x01}}));  // nothing went out in between, now at 60 %
}

// The mast's own behaviour is the mast tests'; here the API reaches it.
TEST_F(MotionSystem, TheMastIsHomedMovedByHandAndSentToPresetsAndAPanDriveRunsInstead)
{
    start_head();
    EXPECT_EQ(text("GET", "/api/height/preset", "height_preset"), "6");
    // A press on a mast that is not homed homes it: it did what was asked.
    ASSERT_TRUE(wait_until([this] { return traced("HTMT: height detected"); }));
    EXPECT_EQ(status("POST", "/api/motor/height/increment"), "OK");
    ASSERT_TRUE(wait_until([this] { return traced("HTMT: homing complete 0"); }, 15000ms)) << trace();
    second_axis_presses("height");

    for (const char *refused : {R"({"height_preset": "30"})", R"({"height_preset": "48 "})",
                                R"({"height_preset": "048"})", "{}"})
        EXPECT_EQ(status("PUT", "/api/height/preset", refused), "BAD_REQUEST") << refused;
    EXPECT_EQ(text("GET", "/api/height/preset", "height_preset"), "6");
    EXPECT_EQ(status("PUT", "/api/height/preset", R"({"height_preset": "48"})"), "OK");
    EXPECT_EQ(text("GET", "/api/height/preset", "height_preset"), "48");
    // A stop during the move ends it through the mast's supervision.
    ASSERT_TRUE(wait_until([this] { return trace().find("HTMT: move out fast start ") != std::string::npos; }, 10000ms))
        << trace();
    EXPECT_EQ(status("POST", "/api/motor/height/stop"), "OK");
    EXPECT_TRUE(wait_until([this] { return traced("HTMT: move out cancel"); }));

    EXPECT_EQ(text("GET", "/api/height/extension", "height_extension"), "false");
    EXPECT_EQ(status("PUT", "/api/height/extension", R"({"height_extension": true})"), "OK");
    EXPECT_EQ(text("GET", "/api/height/extension", "height_extension"), "true");
    EXPECT_EQ(status("PUT", "/api/height/extension", "{}"), "OK");  // absent: not fitted
    EXPECT_EQ(text("GET", "/api/height/extension", "height_extension"), "false");

    // A pan drive: the second axis, at the same speeds, without homing.
    sim->post("/board/readings", R"({"pb_motor_type": 2})");
    ASSERT_TRUE(wait_until([this] { return traced("HTMT: no height"); }));
    EXPECT_EQ(status("POST", "/api/motor/height/findhome"), "BAD_REQUEST");
    second_axis_presses("pan");
    second_axis_presses("height");
}

}  // namespace
