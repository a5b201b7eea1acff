#include "core/fifo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Commands = std::vector<std::pair<fifo_action, int>>;

TEST(FifoMatching, RailsByPrefixLightMasksAndALimitedPwm)
{
    const std::vector<std::pair<std::string, Commands>> cases = {
        {"camera enable\n", {{FIFO_CAMERA_ENABLE, 0}}}, {"camera enable", {{FIFO_CAMERA_ENABLE, 0}}},
        {"camera enabled\n", {{FIFO_CAMERA_ENABLE, 0}}}, {"camera disable\n", {{FIFO_CAMERA_DISABLE, 0}}},
        {"laser enable\n", {{FIFO_LASER_ENABLE, 0}}}, {"laser disable", {{FIFO_LASER_DISABLE, 0}}},
        {"low\n", {{FIFO_LED_MASK, 0x09}}}, {"medium\n", {{FIFO_LED_MASK, 0x12}}},
        {"high\n", {{FIFO_LED_MASK, 0x24}}}, {"strip\n", {{FIFO_LED_MASK, 0xC0}}},
        {"leds_off\n", {{FIFO_LED_MASK, 0x00}}}, {"pwm 128\n", {{FIFO_LED_PWM, 128}}},
        {"pwm300\n", {{FIFO_LED_PWM, 255}}}, {"pwm -5\n", {{FIFO_LED_PWM, 0}}}, {"pwm\n", {{FIFO_LED_PWM, 0}}},
        {"pwm 99999999999999999999\n", {{FIFO_LED_PWM, 255}}}, {"pwm x\n", {{FIFO_LED_PWM, 0}}},
        // Nothing else matches.
        {"", {}}, {"\n", {}}, {" camera enable\n", {}}, {"Camera enable\n", {}}, {"camera\n", {}}, {"lo\n", {}},
        {"pw 10\n", {}},
    };
    for (const auto &[line, expected] : cases) {
        fifo_command commands[FIFO_MAX_COMMANDS];
        int count = vx4_match_fifo_line(line.c_str(), commands);
        Commands found;
        for (int i = 0; i < count; ++i)
            found.emplace_back(commands[i].action, commands[i].value);
        EXPECT_EQ(found, expected) << line;
    }
}

}  // namespace
