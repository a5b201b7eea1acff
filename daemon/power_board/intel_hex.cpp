#include "power_board/intel_hex.h"

#include <cstring>

#include "core/trace.h"

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

uint32_t big_endian(const uint8_t *bytes, int count)
{
    uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

}  // namespace

void vx4_hex_begin(vx4_hex_image *image, uint8_t *flash)
{
    *image = vx4_hex_image{};
    image->flash = flash;
    memset(flash, 0xFF, VX4_FLASH_SIZE);
}

vx4_hex_result vx4_hex_parse_line(vx4_hex_image *image, const char *line, size_t length)
{
    if (length == 0 || line[0] != ':')
        return VX4_HEX_OK;
    while (length > 1 && (line[length - 1] == '\r' || line[length - 1] == ' ' || line[length - 1] == '\t'))
        --length;
    // Count, address (2), type and checksum: at least five bytes.
    size_t digits = length - 1;
    if (digits < 10 || digits % 2 != 0 || digits > 2 * (5 + 255))
        return digits < 10 || digits % 2 != 0 ? VX4_HEX_TRUNCATED : VX4_HEX_BAD_LINE;
    uint8_t bytes[5 + 255];
    size_t count = digits / 2;
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        int high = hex_digit(line[1 + 2 * i]);
        int low = hex_digit(line[2 + 2 * i]);
        if (high < 0 || low < 0)
            return VX4_HEX_BAD_LINE;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    image->sum = sum;
    size_t data_count = bytes[0];
    if (count < data_count + 5)
        return VX4_HEX_TRUNCATED;
    if (count > data_count + 5)
        return VX4_HEX_BAD_LINE;
    if (sum != 0)
        return VX4_HEX_BAD_CHECKSUM;
    uint32_t address = big_endian(bytes + 1, 2);
    const uint8_t *data = bytes + 4;
    switch (bytes[3]) {
    case 0: {
        // Offsets are computed wide, so that no base or address wraps into the flash.
        long long first = static_cast<long long>(image->base) + address - VX4_FLASH_START;
        long long end = first + static_cast<long long>(data_count);
        if (first < 0 || end > static_cast<long long>(VX4_FLASH_SIZE))
            return VX4_HEX_BAD_ADDRESS;
        memcpy(image->flash + first, data, data_count);
        if (data_count > 0 && end > image->highest)
            image->highest = static_cast<uint32_t>(end);
        image->data_bytes += static_cast<long>(data_count);
        return VX4_HEX_OK;
    }
    case 1:
        if (data_count != 0)
            return VX4_HEX_BAD_LINE;
        trace(TRACE_POWER_BOARD, "image end");
        image->ended = true;
        return VX4_HEX_OK;
    case 2:
    case 4:
        if (data_count != 2)
            return VX4_HEX_BAD_LINE;
        image->base = bytes[3] == 2 ? big_endian(data, 2) * 16 : big_endian(data, 2) << 16;
        trace(TRACE_POWER_BOARD, "image base %c %08X", bytes[3] == 2 ? 'a' : 'c', image->base);
        return VX4_HEX_OK;
    case 3:
    case 5:
        // Where execution starts: it says nothing about where data goes.
        if (data_count != 4)
            return VX4_HEX_BAD_LINE;
        image->start = big_endian(data, 4);
        trace(TRACE_POWER_BOARD, "image start %c %08X", bytes[3] == 3 ? 'b' : 'd', image->start);
        return VX4_HEX_OK;
    default:
        return VX4_HEX_BAD_LINE;
    }
}

vx4_hex_result vx4_hex_finish(const vx4_hex_image *image)
{
    if (image->data_bytes == 0)
        return VX4_HEX_NO_DATA;
    return image->ended ? VX4_HEX_OK : VX4_HEX_TRUNCATED;
}

int vx4_hex_erases(uint32_t highest) { return highest == 0 ? 0 : static_cast<int>((highest - 1) / VX4_FLASH_PAGE) + 1; }

const char *vx4_hex_result_text(vx4_hex_result result)
{
    switch (result) {
    case VX4_HEX_OK:
        return "ok";
    case VX4_HEX_BAD_CHECKSUM:
        return "checksum";
    case VX4_HEX_BAD_ADDRESS:
        return "address";
    case VX4_HEX_TRUNCATED:
        return "truncated";
    case VX4_HEX_BAD_LINE:
        return "bad line";
    case VX4_HEX_NO_DATA:
        return "no data";
    case VX4_HEX_UNREADABLE:
        break;
    }
    return "unreadable";
}
