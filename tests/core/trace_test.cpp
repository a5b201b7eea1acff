#include "core/trace.h"

#include <regex>

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
        std::regex wanted(pattern + stamp);
        return wait_until([&] {
            auto all = lines();
            return std::any_of(all.begin(), all.end(), [&](const std::string &line) { return std::regex_match(line, wanted); });
        });
    }

    SandboxRoot root;
};

// The start rotates the previous trace: the daemon's process test.
TEST_F(TraceTest, TheMaskSelectsCategoriesAndLinesCarryTheirTagsStampsAndDumps)
{
    start_with_mask("160020");  // no prefix: still hexadecimal; bits 5, 17, 18 and 20
    ASSERT_EQ(get_trace_mask(), 0x160020u);
    trace(TRACE_POWER_BOARD, "write to register %d", 3);
    trace(TRACE_VISCA, "not selected");
    trace(TRACE_SUPERVISOR, "not selected either");
    trace(37, "category 37 is bit 5");
    trace(TRACE_HTTP_SERVER, "accept");
    trace(20, "plain");  // a category without a tag
    trace(TRACE_POWER_BOARD, "%s", std::string(1000, 'x').c_str());  // cut, keeping stamp and newline
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(0x3E + i);  // '>' ... 'Q'
    bytes[1] = 0x00;
    trace_data(TRACE_POWER_BOARD, "write data", bytes, 20);
    trace_data(TRACE_POWER_BOARD, "empty", nullptr, 0);

    const std::vector<std::string> expected = {
        "start mask 0x00160020", "PWRB: write to register 3", "PWRB: category 37 is bit 5", "HSRV: accept", "plain",
        "PWRB: x{487}", "PWRB: write data:", "PWRB:  3E0040414243444546474849" "4A4B4C4D >\\.@ABCDEFGHIJKLM",
        "PWRB:  4E4F5051 {24} NOPQ {12}", "PWRB: empty:"};
    auto written = lines();
    ASSERT_EQ(written.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(std::regex_match(written[i], std::regex(expected[i] + stamp))) << written[i];
    EXPECT_EQ(written[7].size(), written[8].size());
    EXPECT_EQ(root.read("/media/usb99/trace").back(), '\n');
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

TEST_F(TraceTest, MaskEditsAreAppliedLiveAlsoThroughARenameAndUnscannableOnesKeepTheMask)
{
    start_with_mask("0x00000020");
    ASSERT_EQ(set_trace_mask(0x80000040), 0);
    EXPECT_EQ(root.read("/media/usb99/trace_mask"), "0x80000040");
    ASSERT_TRUE(wait_for_line("modify mask 0x80000040"));
    EXPECT_EQ(get_trace_mask(), 0x80000040u);

    // From now on the watcher's own lines are written too.
    root.write("/media/usb99/trace_mask", "0x80000040");
    EXPECT_TRUE(wait_for_line("TMSK: notify \\d+"));
    EXPECT_TRUE(wait_for_line("TMSK: modified"));
    trace(TRACE_POWER_BOARD, "now masked out");
    trace(TRACE_VISCA, "now selected");
    EXPECT_EQ(traced(root, "PWRB: now masked out"), 0);
    EXPECT_EQ(traced(root, "VSIO: now selected"), 1);

    root.write("/media/usb99/trace_mask.new", "0x00000001");
    ASSERT_EQ(rename(root.at("/media/usb99/trace_mask.new").c_str(), root.at("/media/usb99/trace_mask").c_str()), 0);
    ASSERT_TRUE(wait_for_line("modify mask 0x00000001"));
    root.write("/media/usb99/trace_mask", "none");
    root.write("/media/usb99/trace_mask", "0x00000004");
    ASSERT_TRUE(wait_for_line("modify mask 0x00000004"));
    auto all = trace_lines(root);
    EXPECT_EQ(*(std::find(all.begin(), all.end(), "modify mask 0x00000004") - 1), "modify mask 0x00000001");
}

TEST_F(TraceTest, AMissingMaskFileHoldsZeroAnUnwritableOneOrNoStickRefusesTheMaskAndFailsNothing)
{
    init_trace();
    EXPECT_EQ(root.read("/media/usb99/trace_mask"), "0x00000000");
    EXPECT_EQ(get_trace_mask(), 0u);
    trace(TRACE_POWER_BOARD, "not written");
    EXPECT_EQ(lines().size(), 1u);

    root.remove("/media/usb99/trace_mask");
    root.make_dir("/media/usb99/trace_mask");  // a folder cannot be opened for writing
    init_trace();
    EXPECT_EQ(set_trace_mask(0x20), -1);
    EXPECT_EQ(get_trace_mask(), 0u);

    root.remove("/media/usb99");
    init_trace();
    trace(TRACE_POWER_BOARD, "nowhere to go");
    unsigned char bytes[4] = {1, 2, 3, 4};
    trace_data(TRACE_POWER_BOARD, "data", bytes, 4);
    EXPECT_EQ(set_trace_mask(0x20), -1);
    EXPECT_FALSE(root.exists("/media/usb99/trace"));
}

}  // namespace
