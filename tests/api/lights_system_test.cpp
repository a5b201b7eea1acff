// The lights through the API on the simulated head: LED modes, the timed high
// beam, the intensity and the press-and-hold intensity loop, as the board
// receives them.

#include "core/settings.h"
#include "head_system.h"

using namespace vx4test;

namespace {

using Write = BoardWrite;

class LightsSystem : public HeadSystem {
protected:
    // Starts with the high beam time persisted.
    void start_with_high_beam(int32_t seconds)
    {
        root.enter();
        vx4_init_nv();
        vx4_write_nv(NV_HIGH_BEAM_TIME, &seconds, sizeof seconds);
        start();
        ASSERT_TRUE(wait_until([this] { return !writes().empty(); }));
    }

    // Light writes (register 1: mask, PWM) from index on.
    std::vector<Write> light_writes(size_t from = 0) const
    {
        std::vector<Write> found;
        Writes all = writes();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].first == 1)
                found.push_back(all[i]);
        return found;
    }

    bool board_pwm_reads(int pwm) const
    {
        return text("GET", "/api/power_board/readings", "pb_led_pwm") == std::to_string(pwm);
    }

    std::string mode() const { return text("GET", "/api/led/mode", "led_mode"); }
    std::string intensity() const { return text("GET", "/api/led/intensity", "led_intensity"); }
};

TEST_F(LightsSystem, ModesIntensityAndTheHighBeamReachTheBoardAndTheStateFiles)
{
    start_with_high_beam(0);
    EXPECT_EQ(mode(), "off");
    EXPECT_EQ(intensity(), "");  // dark

    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "low"})"), "OK");
    EXPECT_EQ(mode(), "low");
    EXPECT_EQ(root.read("/tmp/lighting"), "low");
    EXPECT_EQ(intensity(), "25%");
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "strip"})"), "OK");
    EXPECT_EQ(intensity(), "");
    for (const char *refused : {R"({"led_mode": "bright"})", R"({"led_mode": "all"})", "{}", "not json"})
        EXPECT_EQ(status("PUT", "/api/led/mode", refused), "BAD_REQUEST") << refused;
    EXPECT_EQ(mode(), "strip");

    // Clamped to 0-100, under the mask the board holds.
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": "150"})"), "OK");
    EXPECT_EQ(root.read("/tmp/intensity"), "100");
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": "-5"})"), "OK");
    EXPECT_EQ(root.read("/tmp/intensity"), "0");
    // A request without a number leaves the lights as they are.
    EXPECT_EQ(status("PUT", "/api/led/intensity", "{}"), "BAD_REQUEST");
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": "bright"})"), "BAD_REQUEST");
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": 70})"), "OK");
    EXPECT_EQ(root.read("/tmp/intensity"), "70");
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "medium"})"), "OK");
    EXPECT_EQ(intensity(), "70%");

    // Without the intensity file a mode keeps the board's PWM.
    root.remove("/tmp/intensity");
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "high"})"), "OK");
    EXPECT_EQ(intensity(), "");
    size_t marker = settle();
    EXPECT_EQ(light_writes(), (std::vector<Write>{{1, {9, 25}}, {1, {192, 25}}, {1, {192, 100}}, {1, {192, 0}},
                                                  {1, {192, 70}}, {1, {18, 70}}, {1, {36, 70}}}));

    // The high beam, on until switched off here: twice changes nothing, off
    // restores the lights as the board held them.
    ASSERT_TRUE(wait_until([this] { return board_pwm_reads(70); }));
    EXPECT_EQ(status("POST", "/api/led/high_beam/on"), "OK");
    EXPECT_EQ(mode(), "all");
    EXPECT_EQ(root.read("/tmp/lighting"), "all");
    size_t before = settle();
    EXPECT_EQ(status("POST", "/api/led/high_beam/on"), "OK");
    EXPECT_EQ(settle(), before + 1);  // only the marker
    EXPECT_EQ(status("POST", "/api/led/high_beam/off"), "OK");
    EXPECT_EQ(mode(), "high");
    EXPECT_EQ(root.read("/tmp/lighting"), "high");
    before = settle();
    EXPECT_EQ(status("POST", "/api/led/high_beam/off"), "OK");
    EXPECT_EQ(settle(), before + 1);
    EXPECT_EQ(light_writes(marker), (std::vector<Write>{{1, {255, 100}}, {1, {36, 70}}}));
}

TEST_F(LightsSystem, HighBeamEndsAfterItsTimeAndRestoresModeAndPwmUnlessAModeWasChosen)
{
    start_with_high_beam(3);
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "medium"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": "60"})"), "OK");
    ASSERT_TRUE(wait_until([this] { return board_pwm_reads(60); }));

    EXPECT_EQ(status("POST", "/api/led/high_beam/on"), "OK");
    auto on = std::chrono::steady_clock::now();
    size_t marker = settle();
    ASSERT_TRUE(wait_until([&] { return !light_writes(marker).empty(); }, 20000ms));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - on).count();
    // Three one-second ticks, the first a second after the start.
    EXPECT_GE(seconds, 2.5);
    EXPECT_EQ(light_writes(marker), (std::vector<Write>{{1, {18, 60}}}));
    EXPECT_EQ(mode(), "medium");
    EXPECT_EQ(root.read("/tmp/lighting"), "medium");
    EXPECT_EQ(intensity(), "60%");

    // A mode chosen meanwhile ends the countdown: nothing is restored when
    // its time has passed.
    EXPECT_EQ(status("POST", "/api/led/high_beam/on"), "OK");
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "low"})"), "OK");
    std::this_thread::sleep_for(3500ms);
    settle();
    EXPECT_EQ(light_writes(marker), (std::vector<Write>{{1, {18, 60}}, {1, {255, 100}}, {1, {9, 60}}}));
    EXPECT_EQ(mode(), "low");
}

TEST_F(LightsSystem, HoldingIntensityUpStepsBy1Then3Then5AndStopsAt100)
{
    start_with_high_beam(0);
    EXPECT_EQ(status("PUT", "/api/led/mode", R"({"led_mode": "low"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/led/intensity", R"({"led_intensity": "40"})"), "OK");
    size_t marker = settle();

    // A held button: a press every 100 ms, well inside the 500 ms hold.
    auto reached = [&] {
        auto found = light_writes(marker);
        return !found.empty() && found.back().second[1] == 100;
    };
    auto first = call("POST", "/api/led/intensity/increment");
    EXPECT_STREQ(json_object_to_json_string_ext(first.get(), JSON_C_TO_STRING_PLAIN),
                 R"({"led_intensity":"40%","status":"OK"})");
    bool against_tried = false;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         !reached() && std::chrono::steady_clock::now() < deadline;) {
        EXPECT_EQ(status("POST", "/api/led/intensity/increment"), "OK");
        if (!against_tried && light_writes(marker).size() == 4) {
            // Against the movement: changes nothing.
            EXPECT_EQ(status("POST", "/api/led/intensity/decrement"), "OK");
            against_tried = true;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(reached());
    for (int i = 0; i < 5; ++i) {  // held on at the top
        EXPECT_EQ(status("POST", "/api/led/intensity/increment"), "OK");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(text("POST", "/api/led/intensity/stop", "led_intensity"), "100%");
    EXPECT_EQ(root.read("/tmp/intensity"), "100");

    std::vector<int> steps;
    for (const Write &write : light_writes(marker)) {
        EXPECT_EQ(write.second[0], 9);
        steps.push_back(write.second[1]);
    }
    EXPECT_EQ(steps, (std::vector<int>{41, 42, 43, 44, 45, 46, 47, 48, 51, 54, 57, 60, 63, 66, 69, 72, 77, 82, 87,
                                       92, 97, 100}));
    // (A single press is a single step: the loop's own test.)
}

}  // namespace
