#include "core/fifo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<fifo_action, int>> match(const std::string &line)
{
    fifo_command commands[FIFO_MAX_COMMANDS];
    int count = vx4_match_fifo_line(line.c_str(), commands);
    std::vector<std::pair<fifo_action, int>> found;
    for (int i = 0; i < count; ++i)
        found.emplace_back(commands[i].action, commands[i].value);
    return found;
}

using Commands = std::vector<std::pair<fifo_action, int>>;

TEST(FifoMatching, RailCommandsMatchByPrefix)
{
    EXPECT_EQ(match("camera enable\n"), (Commands{{FIFO_CAMERA_ENABLE, 0}}));
    EXPECT_EQ(match("camera enable"), (Commands{{FIFO_CAMERA_ENABLE, 0}}));
    EXPECT_EQ(match("camera enabled\n"), (Commands{{FIFO_CAMERA_ENABLE, 0}}));
    EXPECT_EQ(match("camera disable\n"), (Commands{{FIFO_CAMERA_DISABLE, 0}}));
    EXPECT_EQ(match("laser enable\n"), (Commands{{FIFO_LASER_ENABLE, 0}}));
    EXPECT_EQ(match("laser disable"), (Commands{{FIFO_LASER_DISABLE, 0}}));
}

TEST(FifoMatching, LightWordsGiveTheirChannelMasks)
{
    EXPECT_EQ(match("low\n"), (Commands{{FIFO_LED_MASK, 0x09}}));
    EXPECT_EQ(match("medium\n"), (Commands{{FIFO_LED_MASK, 0x12}}));
    EXPECT_EQ(match("high\n"), (Commands{{FIFO_LED_MASK, 0x24}}));
    EXPECT_EQ(match("strip\n"), (Commands{{FIFO_LED_MASK, 0xC0}}));
    EXPECT_EQ(match("leds_off\n"), (Commands{{FIFO_LED_MASK, 0x00}}));
}

TEST(FifoMatching, PwmIsParsedAndLimited)
{
    EXPECT_EQ(match("pwm 128\n"), (Commands{{FIFO_LED_PWM, 128}}));
    EXPECT_EQ(match("pwm300\n"), (Commands{{FIFO_LED_PWM, 255}}));
    EXPECT_EQ(match("pwm -5\n"), (Commands{{FIFO_LED_PWM, 0}}));
    EXPECT_EQ(match("pwm\n"), (Commands{{FIFO_LED_PWM, 0}}));
    EXPECT_EQ(match("pwm 99999999999999999999\n"), (Commands{{FIFO_LED_PWM, 255}}));
    EXPECT_EQ(match("pwm x\n"), (Commands{{FIFO_LED_PWM, 0}}));
}

TEST(FifoMatching, OtherLinesMatchNothing)
{
    EXPECT_TRUE(match("").empty());
    EXPECT_TRUE(match("\n").empty());
    EXPECT_TRUE(match(" camera enable\n").empty());
    EXPECT_TRUE(match("Camera enable\n").empty());
    EXPECT_TRUE(match("camera\n").empty());
    EXPECT_TRUE(match("lo\n").empty());
    EXPECT_TRUE(match("pw 10\n").empty());
}

}  // namespace
