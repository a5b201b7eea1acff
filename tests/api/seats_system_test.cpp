// Seats through the daemon on the simulated head: the countdown runs on the
// main loop, and a controller that leaves leaves the head safe.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "head_system.h"

using namespace vx4test;

namespace {

class SeatsSystem : public HeadSystem {
protected:
    std::string take(const std::string &role) const
    {
        std::string token = text("POST", "/api/seats/request", "seat_token", R"({"seat_role": ")" + role + "\"}");
        EXPECT_EQ(token.size(), 16u);
        return token;
    }

    std::string update(const std::string &action, const std::string &token) const
    {
        return text("POST", "/api/seats/update", "seat_role",
                    R"({"seat_update": ")" + action + R"(", "seat_token": ")" + token + "\"}");
    }

    JsonPtr board() const { return sim->get("/board"); }
};

TEST_F(SeatsSystem, AControllerLeavingSwitchesLightsAndLaserOff)
{
    start();
    std::string controller = take("controller");
    EXPECT_EQ(update("lock", controller), "controller");
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "high"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": "80"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "auto"})"), "OK");
    ASSERT_TRUE(wait_until([this] { return json_object_get_boolean(json_at(board().get(), "rails.laser")); }));

    EXPECT_EQ(update("release", controller), "");
    EXPECT_TRUE(wait_until([this] {
        JsonPtr state = board();
        return json_object_get_int(json_at(state.get(), "leds.enable")) == 0 &&
               json_object_get_int(json_at(state.get(), "leds.pwm")) == 25 &&
               !json_object_get_boolean(json_at(state.get(), "rails.laser"));
    }));
    EXPECT_EQ(text("GET", "/api/led/mode", "led_mode"), "off");
    EXPECT_EQ(text("GET", "/api/laser/mode", "laser_mode"), "off");
    EXPECT_EQ(root.read("/tmp/intensity"), "25");
    EXPECT_EQ(update("refresh", controller), "");
}

TEST_F(SeatsSystem, ARequestNotConfirmedIsLostAfterTwoSeconds)
{
    start();
    take("controller");
    auto asked = std::chrono::steady_clock::now();
    auto controller_seats = [this] {
        return text("POST", "/api/seats/update", "controller_seats", R"({"seat_update": "refresh"})");
    };
    EXPECT_EQ(controller_seats(), "0");
    ASSERT_TRUE(wait_until([&] { return controller_seats() == "1"; }, 5000ms, 50ms));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_GE(seconds, 1.0);
    EXPECT_LE(seconds, 3.5);
}

}  // namespace
