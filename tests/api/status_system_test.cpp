// The status document and the seats on the simulated head: every key in its
// place with live values, the seat countdown on the main loop, and a
// controller that leaves leaving the head safe.
#include <sstream>

#include "head_system.h"

using namespace vx4test;

namespace {

// Every key of the document in its order, with its JSON type: s string,
// b boolean, i integer, n a number with its digits (or null for a reading
// not made).
const char *const status_keys = R"(
version s camera_signal b usb_pcent s recording b paused b transferring b battery s power n avr_temp n
fpga_temp n lens_temp n cpu_temp n channel_1 s channel_2 s emmc_space i usb_spaceavail i ext_usb_status s
up_temp n core0_temp n core1_temp n core2_temp n core3_temp n time_remaining s recording_time_remaining s
storage_time_remaining s update_available b update_status s led_intensity s led_mode s camera_type s
exposure_mode s focus_mode s focus_position i max_depth_of_field s min_depth_of_field s focus_speed i laser_age i
laser_distance s zoom_position i zoom_magnification s zoom_speed i motor_type s crit_temp_warning b
high_temp_warning b low_temp_warning b high_press_warning b high_rh_warning b tilt_mtr_warning b
pan_mtr_warning b height_mtr_warning b ctrl_seat_warning b battery_level s tilt_angle s direction s height s)";

class StatusSystem : public HeadSystem {
protected:
    std::string status_of(const std::string &key) const { return text("GET", "/api/status", key); }

    std::string seat(const std::string &action, const std::string &token) const
    {
        std::string body = R"({"seat_update": ")" + action + R"(", "seat_token": ")" + token + "\"}";
        return text("POST", "/api/seats/update", "seat_role", body);
    }
};

TEST_F(StatusSystem, EveryKeyInOrderWithLiveValues)
{
    start("advanced", true);
    JsonPtr document = call("GET", "/api/status");
    std::string shown, expected, word;
    json_object_object_foreach(document.get(), name, value) {
        json_type type = json_object_get_type(value);
        shown += std::string(name) + (type == json_type_string ? " s " : type == json_type_boolean ? " b "
                                      : type == json_type_int  ? " i " : " n ");
    }
    for (std::istringstream words(status_keys); words >> word;)
        expected += word + " ";
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(status_of("camera_type") + status_of("focus_speed") + status_of("zoom_speed"), "advanced23");
    // No camera temperatures here: null, never a text that breaks the document.
    EXPECT_EQ(json_object_get_type(json_at(document.get(), "fpga_temp")), json_type_null);

    EXPECT_EQ(status("PUT", "/api/setup/units", R"({"units": "english"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "auto"})"), "OK");
    sim->post("/board/readings", R"({"pb_laser_distance": 30.48})");
    EXPECT_TRUE(wait_until([this] { return status_of("laser_distance") == "100 ft"; }));
    EXPECT_EQ(status("PUT", "/api/setup/units", R"({"units": "metric"})"), "OK");
    sim->post("/board/readings", R"({"pb_laser_distance": 5})");
    EXPECT_TRUE(wait_until([this] { return status_of("laser_distance") == "5.0 m"; }));
    sim->post("/camera/position", R"({"focus": 34816})");
    EXPECT_TRUE(wait_until([this] { return status_of("focus_position") == "34816"; }));
    EXPECT_EQ(status_of("max_depth_of_field") + " / " + status_of("min_depth_of_field"), "2 m / 1.6 m");

    EXPECT_EQ(status("PUT", "/api/setup/high_beam_time", R"({"high_beam_time": "9"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "low"})"), "OK");
    EXPECT_EQ(status("POST", "/api/led/high_beam/on"), "OK");
    std::string left = status_of("led_intensity");
    EXPECT_TRUE(left == "9 s" || left == "8 s") << left;
    // A warning from the board's readings, and one forced while the reading is clear.
    sim->post("/board/readings", R"({"pb_status": 5})");
    EXPECT_TRUE(wait_until([this] { return status_of("tilt_mtr_warning") == "true"; }));
    EXPECT_EQ(status("PUT", "/api/debug/high_press_warning", R"({"debug_high_press_warning": true})"), "OK");
    EXPECT_EQ(status_of("high_press_warning"), "true");
}

TEST_F(StatusSystem, ControllerSeatsCountDownAndLeaveTheHeadSafe)
{
    symlink("/usr/bin/ffmpeg", root.at("/bin/ffmpeg").c_str());
    start("advanced", false, {"--rtsp-port=", "--stream-size=320x180"});
    text("POST", "/api/seats/request", "seat_token", R"({"seat_role": "controller"})");
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(text("POST", "/api/seats/update", "controller_seats", "{}"), "0");
    ASSERT_TRUE(wait_until([this] { return text("POST", "/api/seats/update", "controller_seats", "{}") == "1"; }));
    EXPECT_NEAR(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count(), 2.0, 1.2);

    std::string controller = text("POST", "/api/seats/request", "seat_token", R"({"seat_role": "controller"})");
    EXPECT_EQ(seat("lock", controller), "controller");
    ASSERT_TRUE(wait_until([this] { return status("POST", "/api/camera/recorder/start") == "OK"; }, 10000ms, 500ms));
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "high"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "auto"})"), "OK");
    EXPECT_TRUE(wait_until([this] { return status_of("recording") == "true"; }));

    EXPECT_EQ(seat("release", controller), "");
    EXPECT_TRUE(wait_until([this] {
        return sim->number("/board", "leds.enable") == 0 && sim->number("/board", "leds.pwm") == 25 &&
               !sim->number("/board", "rails.laser") && status_of("recording") == "false";
    }, 10000ms));
    EXPECT_EQ(status_of("led_mode") + " " + text("GET", "/api/laser/mode", "laser_mode"), "off off");
    EXPECT_EQ(seat("refresh", controller), "");
}

}  // namespace
