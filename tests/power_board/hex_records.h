// Intel HEX records for the tests: ":" count address type data checksum.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vx4test {

inline std::string hex_record(int type, unsigned address, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address), static_cast<uint8_t>(type)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t byte : bytes)
        sum = static_cast<uint8_t>(sum + byte);
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string text = ":";
    for (uint8_t byte : bytes) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

// A whole image file of size bytes from the flash's start, 16 per record.
inline std::string hex_image(size_t size)
{
    std::string text = hex_record(4, 0, {0x08, 0x00}) + "\n";
    for (size_t at = 0; at < size; at += 16) {
        std::vector<uint8_t> data;
        for (size_t i = at; i < size && i < at + 16; ++i)
            data.push_back(static_cast<uint8_t>(i * 7));
        text += hex_record(0, static_cast<unsigned>(at & 0xFFFF), data) + "\n";
        if ((at + 16) % 0x10000 == 0 && at + 16 < size)
            text += hex_record(4, 0, {0x08, static_cast<uint8_t>((at + 16) >> 16)}) + "\n";
    }
    return text + hex_record(1, 0, {}) + "\n";
}

}  // namespace vx4test
