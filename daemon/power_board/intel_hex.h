// Intel HEX images for the power board's microcontroller: 512 KB of flash
// from 0x08000000, erased in pages of 2048 bytes. A file from the stick is
// read into a flash image line by line; anything that would program the
// board with damaged or misplaced data is an error.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t VX4_FLASH_START = 0x08000000;
constexpr uint32_t VX4_FLASH_SIZE = 0x80000;
constexpr uint32_t VX4_FLASH_PAGE = 2048;
constexpr size_t VX4_HEX_LINE_MAX = 1024;  // a record holds at most 521 characters

enum vx4_hex_result {
    VX4_HEX_OK = 0,
    VX4_HEX_BAD_CHECKSUM,
    VX4_HEX_BAD_ADDRESS,  // data outside the flash
    VX4_HEX_TRUNCATED,    // fewer digits than the byte count says, or no end record
    VX4_HEX_BAD_LINE,     // not hexadecimal, an unknown type or a wrong length for its type
    VX4_HEX_NO_DATA,
    VX4_HEX_UNREADABLE,  // the file cannot be read, or is far too large for an image
};

struct vx4_hex_image {
    uint8_t *flash;    // VX4_FLASH_SIZE bytes
    uint32_t base;     // from the extended address records (types 2 and 4)
    uint32_t highest;  // one past the highest offset written
    uint32_t start;    // the start address record's value (types 3 and 5)
    long data_bytes;
    bool ended;        // the end-of-file record was read
    uint8_t sum;       // of the last record's bytes, checksum included (0 when sound)
};

// Fills the flash with 0xFF and clears the rest.
void vx4_hex_begin(vx4_hex_image *image, uint8_t *flash);
// One line without its line end (trailing white space is allowed). Lines
// that do not start with ':' are skipped. A data record is stored whole or
// not at all.
vx4_hex_result vx4_hex_parse_line(vx4_hex_image *image, const char *line, size_t length);
// After the last line: no data, or no end record.
vx4_hex_result vx4_hex_finish(const vx4_hex_image *image);
// Pages to erase for an image ending at highest.
int vx4_hex_erases(uint32_t highest);
// A short word for the status display: "checksum", "address", ...
const char *vx4_hex_result_text(vx4_hex_result result);
