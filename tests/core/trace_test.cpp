#include "core/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>

#include "support.h"

using namespace vx4test;

namespace {

const std::string stamp = R"( \[\d\d:\d\d:\d\d\.\d\d\d\])";

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { root.enter(); }

    void start_with_mask(const std::string &mask_text)
    {
        root.write("/media/usb99/trace_mask", mask_text);
        init_trace();
    }

    std::vector<std::string> lines() const { return split_lines(root.read("/media/usb99/trace")); }

    // Waits until the trace holds a line matching the pattern.
    bool wait_for_line(const std::string &pattern) const
    {
        std::regex wanted(pattern);
        return wait_until([&] {
            for (const std::string &line : lines())
                if (std::regex_match(line, wanted))
                    return true;
            return false;
        });
    }

    SandboxRoot root;
};

TEST_F(TraceTest, RotatesThePreviousTraceAndWritesTheStartRecord)
{
    root.write("/media/usb99/trace", "last run\n");
    root.write("/media/usb99/trace_old", "run before last\n");
    start_with_mask("0x00000020");

    EXPECT_EQ(root.read("/media/usb99/trace_old"), "last run\n");
    auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(std::regex_match(written[0], std::regex("start mask 0x00000020" + stamp)));
}

TEST_F(TraceTest, CreatesAMissingMaskFileHoldingZero)
{
    init_trace();
    EXPECT_EQ(root.read("/media/usb99/trace_mask"), "0x00000000");
    EXPECT_EQ(get_trace_mask(), 0u);
    trace(TRACE_POWER_BOARD, "not written");
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(TraceTest, MaskSelectsCategoriesAndLinesCarryTheirTags)
{
    start_with_mask("20");  // no prefix: still hexadecimal
    ASSERT_EQ(get_trace_mask(), 0x20u);

    trace(TRACE_POWER_BOARD, "write to register %d", 3);
    trace(TRACE_VISCA, "not selected");
    trace(TRACE_SUPERVISOR, "not selected either");
    trace(37, "category 37 is bit 5");

    auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(std::regex_match(written[1], std::regex("PWRB: write to register 3" + stamp)));
    EXPECT_TRUE(std::regex_match(written[2], std::regex("PWRB: category 37 is bit 5" + stamp)));
}

TEST_F(TraceTest, CategoriesWithoutATagStartTheLineWithTheMessage)
{
    start_with_mask("0x00160000");  // bits 17, 18 and 20
    trace(TRACE_HTTP_SERVER, "accept");
    trace(20, "plain");
    auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(std::regex_match(written[1], std::regex("HSRV: accept" + stamp)));
    EXPECT_TRUE(std::regex_match(written[2], std::regex("plain" + stamp)));
}

TEST_F(TraceTest, ALongMessageIsCutButKeepsItsStampAndNewline)
{
    start_with_mask("0x20");
    trace(TRACE_POWER_BOARD, "%s", std::string(1000, 'x').c_str());
    std::string text = root.read("/media/usb99/trace");
    auto written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(std::regex_match(written[1], std::regex("PWRB: x{487}" + stamp)));
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(TraceTest, TextFromOutsideCannotForgeLines)
{
    start_with_mask("0x10");
    trace(TRACE_HTTP_API, "mode %s", "off\nHAPI: forged");
    trace(TRACE_HTTP_API, "mode %s", "a\rb\tc\x1b[2Jd\x7f caf\xc3\xa9");
    trace(TRACE_HTTP_API, "mode %s", std::string(600, '\r').c_str());  // escapes count against the limit
    trace(TRACE_HTTP_API, "mode %s\n", "ends");                         // the caller's own line end stays
    auto written = lines();
    ASSERT_EQ(written.size(), 6u);
    auto message = [&](size_t i) { return written[i].substr(0, written[i].rfind(" [")); };
    EXPECT_EQ(message(1), R"(HAPI: mode off\nHAPI: forged)");
    EXPECT_EQ(message(2), "HAPI: mode a\\rb\\tc\\x1B[2Jd\\x7F caf\xc3\xa9");
    EXPECT_EQ(message(3).size(), 11u + 2 * 241);
    EXPECT_EQ(written[4], "HAPI: mode ends");
}

TEST_F(TraceTest, DumpHasALabelLineAndPaddedRowsOfSixteenBytes)
{
    start_with_mask("0x20");
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(0x3E + i);  // '>' ... 'Q'
    bytes[1] = 0x00;
    trace_data(TRACE_POWER_BOARD, "write data", bytes, 20);

    auto written = lines();
    ASSERT_EQ(written.size(), 4u);
    EXPECT_TRUE(std::regex_match(written[1], std::regex("PWRB: write data:" + stamp)));
    EXPECT_TRUE(std::regex_match(
        written[2], std::regex("PWRB:  3E0040414243444546474849" "4A4B4C4D >\\.@ABCDEFGHIJKLM" + stamp)));
    EXPECT_TRUE(std::regex_match(written[3], std::regex("PWRB:  4E4F5051 {24} NOPQ {12}" + stamp)));
    EXPECT_EQ(written[2].size(), written[3].size());
}

TEST_F(TraceTest, DumpOfNothingWritesOnlyTheLabel)
{
    start_with_mask("0x20");
    trace_data(TRACE_POWER_BOARD, "empty", nullptr, 0);
    EXPECT_EQ(lines().size(), 2u);
}

TEST_F(TraceTest, MaskEditIsAppliedLiveWithAModifyRecord)
{
    start_with_mask("0x00000020");
    ASSERT_EQ(set_trace_mask(0x80000040), 0);
    EXPECT_EQ(root.read("/media/usb99/trace_mask"), "0x80000040");
    ASSERT_TRUE(wait_for_line("modify mask 0x80000040" + stamp));
    EXPECT_EQ(get_trace_mask(), 0x80000040u);

    // From now on the watcher's own lines are written too.
    root.write("/media/usb99/trace_mask", "0x80000040");
    EXPECT_TRUE(wait_for_line("TMSK: notify \\d+" + stamp));
    EXPECT_TRUE(wait_for_line("TMSK: modified" + stamp));
    trace(TRACE_POWER_BOARD, "now masked out");
    trace(TRACE_VISCA, "now selected");
    std::string text = root.read("/media/usb99/trace");
    EXPECT_EQ(text.find("now masked out"), std::string::npos);
    EXPECT_NE(text.find("VSIO: now selected"), std::string::npos);
}

TEST_F(TraceTest, UnscannableMaskTextKeepsTheMaskInForce)
{
    start_with_mask("0x00000020");
    root.write("/media/usb99/trace_mask", "none");
    ASSERT_TRUE(wait_for_line("modify mask 0x00000020" + stamp));
}

TEST_F(TraceTest, WithoutTheStickNothingIsWrittenAndNothingFails)
{
    root.remove("/media/usb99");
    init_trace();
    trace(TRACE_POWER_BOARD, "nowhere to go");
    unsigned char bytes[4] = {1, 2, 3, 4};
    trace_data(TRACE_POWER_BOARD, "data", bytes, 4);
    EXPECT_EQ(set_trace_mask(0x20), -1);
    EXPECT_FALSE(root.exists("/media/usb99/trace"));
}

}  // namespace
