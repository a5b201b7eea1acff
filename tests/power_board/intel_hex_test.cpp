// Intel HEX images: each record type, and every kind of damage refused.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "power_board/intel_hex.h"
#include "hex_records.h"

using vx4test::hex_record;

namespace {

struct Parsed {
    vx4_hex_result result;
    vx4_hex_image image;
    std::unique_ptr<uint8_t[]> flash = std::make_unique<uint8_t[]>(VX4_FLASH_SIZE);
};

Parsed parse(const std::vector<std::string> &lines)
{
    Parsed parsed;
    vx4_hex_begin(&parsed.image, parsed.flash.get());
    parsed.result = VX4_HEX_OK;
    for (const std::string &line : lines)
        if ((parsed.result = vx4_hex_parse_line(&parsed.image, line.data(), line.size())) != VX4_HEX_OK)
            return parsed;
    parsed.result = vx4_hex_finish(&parsed.image);
    return parsed;
}

const std::string end = hex_record(1, 0, {});

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(tolower(c));
    return text;
}
const std::string upper = hex_record(4, 0, {0x08, 0x00});  // 0x0800xxxx

TEST(IntelHex, RecordTypesPlaceDataInTheFlash)
{
    struct Case {
        const char *name;
        std::vector<std::string> lines;
        uint32_t offset;  // where 0xAB 0xCD land
        uint32_t highest;
    };
    const std::vector<Case> cases = {
        {"linear base", {upper, hex_record(0, 0x0010, {0xAB, 0xCD}), end}, 0x10, 0x12},
        {"second linear base",
         {hex_record(4, 0, {0x08, 0x07}), hex_record(0, 0xFFFE, {0xAB, 0xCD}), end}, 0x7FFFE, 0x80000},
        // Start addresses say where execution begins, not where data goes.
        {"start addresses",
         {upper, hex_record(5, 0, {0x08, 0x00, 0x01, 0xC1}), hex_record(3, 0, {0x00, 0x00, 0x01, 0x00}),
          hex_record(0, 0x0200, {0xAB, 0xCD}), end},
         0x200, 0x202},
        {"lower case digits and CR LF", {upper, "", "junk between records", lower(hex_record(0, 0x20, {0xAB, 0xCD})) + "\r", end},
         0x20, 0x22},
    };
    for (const Case &c : cases) {
        Parsed parsed = parse(c.lines);
        ASSERT_EQ(parsed.result, VX4_HEX_OK) << c.name;
        EXPECT_EQ(parsed.flash[c.offset], 0xAB) << c.name;
        EXPECT_EQ(parsed.flash[c.offset + 1], 0xCD) << c.name;
        EXPECT_EQ(parsed.flash[c.offset == 0 ? 2 : 0], 0xFF) << c.name;  // the rest stays erased
        EXPECT_EQ(parsed.image.highest, c.highest) << c.name;
    }
}

TEST(IntelHex, DamagedOrMisplacedImagesAreRefused)
{
    std::string data = hex_record(0, 0x0000, {1, 2, 3, 4});
    std::string bad_sum = data;
    bad_sum[bad_sum.size() - 1] = bad_sum.back() == '0' ? '1' : '0';
    const std::vector<std::pair<std::vector<std::string>, vx4_hex_result>> cases = {
        {{upper, bad_sum, end}, VX4_HEX_BAD_CHECKSUM},
        {{upper, data.substr(0, data.size() - 4), end}, VX4_HEX_TRUNCATED},       // line cut short
        {{upper, data.substr(0, data.size() - 1), end}, VX4_HEX_TRUNCATED},       // odd digits
        {{upper, data}, VX4_HEX_TRUNCATED},                                       // no end record
        {{upper, end}, VX4_HEX_NO_DATA},
        {{upper, hex_record(0, 0, {}), end}, VX4_HEX_NO_DATA},
        {{upper, ":0400000001020G04F5", end}, VX4_HEX_BAD_LINE},                 // not hexadecimal
        {{upper, hex_record(6, 0, {}), end}, VX4_HEX_BAD_LINE},                   // unknown type
        {{upper, hex_record(4, 0, {0x08}), end}, VX4_HEX_BAD_LINE},               // wrong length for its type
        {{upper, data + "00", end}, VX4_HEX_BAD_LINE},                            // more than the count says
        // Outside the flash: above its end, crossing it, below its start.
        {{hex_record(4, 0, {0x08, 0x08}), data, end}, VX4_HEX_BAD_ADDRESS},
        {{hex_record(4, 0, {0x08, 0x07}), hex_record(0, 0xFFFE, {1, 2, 3}), end}, VX4_HEX_BAD_ADDRESS},
        {{data, end}, VX4_HEX_BAD_ADDRESS},
        {{upper, hex_record(2, 0, {0x80, 0x00}), data, end}, VX4_HEX_BAD_ADDRESS},  // segments reach 1 MB only
        {{hex_record(4, 0, {0xFF, 0xFF}), hex_record(0, 0xFFFF, {1}), end}, VX4_HEX_BAD_ADDRESS},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(parse(cases[i].first).result, cases[i].second) << "case " << i;
    // A refused data record stores nothing.
    Parsed crossing = parse(cases[11].first);
    EXPECT_EQ(crossing.flash[0x7FFFE], 0xFF);
}

TEST(IntelHex, ErasesCoverTheImageInWholePages)
{
    EXPECT_EQ(vx4_hex_erases(100 * 1024), 50);  // 100 KB from the start: 50 pages, 98 steps with the 48 others
    EXPECT_EQ(vx4_hex_erases(100 * 1024 + 1), 51);
    EXPECT_EQ(vx4_hex_erases(1), 1);
    EXPECT_EQ(vx4_hex_erases(VX4_FLASH_SIZE), 256);
}

}  // namespace
