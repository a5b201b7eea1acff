// The laser range finder and the compass calibration through the API on the
// simulated head.

#include <array>

#include "core/settings.h"
#include "head_system.h"

using namespace vx4test;

namespace {

class LaserCompassSystem : public HeadSystem {
protected:
    void start_in_units(int32_t units)
    {
        root.enter();
        vx4_init_nv();
        vx4_write_nv(NV_UNITS, &units, sizeof units);
        start();
    }

    std::string distance() const { return text("GET", "/api/laser/distance", "laser_distance"); }
};

TEST_F(LaserCompassSystem, ModesSpeedsAndReadingsInTheChosenUnit)
{
    start_in_units(1);
    EXPECT_EQ(text("GET", "/api/laser/mode", "laser_mode"), "off");
    EXPECT_EQ(text("GET", "/api/laser/speed", "laser_speed"), "auto");
    EXPECT_EQ(distance(), "");
    // Off is reported but cannot be chosen; nothing to take a reading with.
    for (const char *refused : {R"({"laser_mode": "off"})", R"({"laser_mode": "Manual"})", "{}"})
        EXPECT_EQ(status("PUT", "/api/laser/mode", refused), "BAD_REQUEST") << refused;
    EXPECT_EQ(status("POST", "/api/laser/execute"), "BAD_REQUEST");

    EXPECT_EQ(status("PUT", "/api/laser/speed", R"({"laser_speed": "fast"})"), "OK");
    EXPECT_EQ(text("GET", "/api/laser/speed", "laser_speed"), "fast");
    EXPECT_EQ(status("PUT", "/api/laser/speed", R"({"laser_speed": "slow"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/laser/speed", R"({"laser_speed": "warp"})"), "BAD_REQUEST");
    EXPECT_EQ(text("GET", "/api/laser/speed", "laser_speed"), "slow");

    // A single reading is shown once taken.
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "manual"})"), "OK");
    EXPECT_EQ(text("GET", "/api/laser/mode", "laser_mode"), "manual");
    ASSERT_TRUE(wait_until([this] { return json_object_get_boolean(json_at(sim->get("/board").get(), "rails.laser")); }));
    EXPECT_EQ(distance(), "");
    EXPECT_EQ(status("POST", "/api/laser/execute"), "OK");
    EXPECT_TRUE(wait_until([this] { return distance() == "8.2 ft"; })) << distance();

    JsonPtr laser = call("GET", "/api/laser/status");
    EXPECT_STREQ(json_object_to_json_string_ext(laser.get(), JSON_C_TO_STRING_PLAIN),
                 R"({"laser_hw_version":3,"laser_sw_version":21,"laser_sn":40123,"laser_sample_count":0,)"
                 R"("laser_error_code":0,"laser_quality":100,"laser_distance":"8.2 ft"})");

    // Continuous: each valid reading as it comes (invalid ones are the board's test).
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "auto"})"), "OK");
    sim->post("/board/readings", R"({"pb_laser_distance": 30.48})");
    EXPECT_TRUE(wait_until([this] { return distance() == "100 ft"; })) << distance();
    EXPECT_EQ(text("GET", "/api/laser/mode", "laser_mode"), "auto");
    EXPECT_EQ(status("POST", "/api/laser/execute"), "BAD_REQUEST");  // single readings only
}

TEST_F(LaserCompassSystem, CalibrationIsStoredOnlyWhole)
{
    start_in_units(0);
    const std::vector<std::array<std::string, 3>> items = {  // key, value given, value shown
        {"calibration_x", "12.345678", "12.345678"}, {"calibration_y", "-0.5", "-0.5000"}, {"calibration_z", "3", "3.0000"},
        {"ellipsoid_00", "1.0", "1.0000"}, {"ellipsoid_01", "0.01", "0.0100"}, {"ellipsoid_02", "-0.02", "-0.0200"},
        {"ellipsoid_10", "0.03", "0.0300"}, {"ellipsoid_11", "0.98", "0.9800"}, {"ellipsoid_12", "0.00004", "4e-05"},
        {"ellipsoid_20", "-0.00005", "-5e-05"}, {"ellipsoid_21", "0.1", "0.1000"}, {"ellipsoid_22", "1.02", "1.0200"}};
    std::string eleven, twelve = "{", before = R"({"magnetometer_calibrated":false)";
    std::string after = R"({"magnetometer_calibrated":true)";
    for (const auto &[key, given, shown] : items) {
        eleven = twelve;
        twelve += (twelve == "{" ? "\"magnetometer_" : ", \"magnetometer_") + key + "\": " + given;
        before += ",\"magnetometer_" + key + "\":0.0000";
        after += ",\"magnetometer_" + key + "\":" + shown;
    }
    auto shown = [&] { return http_request(api_port, "GET", "/api/magnetometer/calibration").body; };
    EXPECT_EQ(shown(), before + "}");
    EXPECT_EQ(status("PUT", "/api/magnetometer/calibration", eleven + "}"), "BAD_REQUEST");
    for (const char *bad : {"NaN", "Infinity", "-1e999", "\"nan\""})  // not finite: refused
        EXPECT_EQ(status("PUT", "/api/magnetometer/calibration", eleven + ", \"magnetometer_ellipsoid_22\": " + bad + "}"),
                  "BAD_REQUEST") << bad;
    EXPECT_EQ(shown(), before + "}");
    EXPECT_EQ(status("PUT", "/api/magnetometer/calibration", twelve + "}"), "OK");
    EXPECT_EQ(shown(), after + "}");
    restart();
    EXPECT_EQ(shown(), after + "}");
    // Shown with four decimals where they tell the stored value, else whole.
    EXPECT_EQ(status("PUT", "/api/magnetometer/calibration", eleven + R"(, "magnetometer_ellipsoid_22": -1e308})"), "OK");
    JsonPtr extreme = call("GET", "/api/magnetometer/calibration");
    EXPECT_EQ(json_object_get_double(json_at(extreme.get(), "magnetometer_ellipsoid_22")), -1e308);
}

}  // namespace
