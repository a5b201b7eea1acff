// Intel HEX files come from a USB stick anyone can write.
#include <cstdint>
#include <cstring>
#include <memory>

#include "power_board/intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static auto flash = std::make_unique<uint8_t[]>(VX4_FLASH_SIZE);
    vx4_hex_image image;
    vx4_hex_begin(&image, flash.get());
    const char *text = reinterpret_cast<const char *>(data);
    size_t start = 0;
    vx4_hex_result result = VX4_HEX_OK;
    while (start < size && result == VX4_HEX_OK && !image.ended) {
        const void *newline = memchr(text + start, '\n', size - start);
        size_t end = newline ? static_cast<size_t>(static_cast<const char *>(newline) - text) : size;
        // Each line in a buffer of its own exact length, so a read past it shows.
        auto line = std::make_unique<char[]>(end - start + 1);
        memcpy(line.get(), text + start, end - start);
        result = vx4_hex_parse_line(&image, line.get(), end - start);
        start = end + 1;
    }
    if (result == VX4_HEX_OK)
        result = vx4_hex_finish(&image);
    if (image.highest > VX4_FLASH_SIZE)
        __builtin_trap();
    if (result == VX4_HEX_OK && (image.data_bytes == 0 || !image.ended || vx4_hex_erases(image.highest) > 256))
        __builtin_trap();
    return 0;
}
