// Status frames come from the power board over a wire that can be noisy.
#include <cstdint>
#include <cstring>
#include <vector>

#include "power_board/registers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    bool advanced = data[0] & 1;
    // The frame in a buffer of its own exact length, so a read past it shows.
    std::vector<uint8_t> frame(data + 1, data + size);
    vx4_power_board_registers registers;
    memset(&registers, 0xA5, sizeof registers);
    vx4_power_board_registers before = registers;
    auto check = vx4_power_board_decode_frame(frame.data(), static_cast<int>(frame.size()), advanced, &registers);

    uint8_t sum = 0;
    bool all_zero = true;
    for (uint8_t byte : frame) {
        sum = static_cast<uint8_t>(sum + byte);
        all_zero = all_zero && byte == 0;
    }
    bool long_enough = static_cast<int>(frame.size()) >= vx4_power_board_frame_length(advanced);
    bool checked = advanced || (long_enough && (frame[7] & VX4_PB_STATUS_VARIANT));
    if (check.passed != (long_enough && (!checked || sum == 0)))
        __builtin_trap();
    if (long_enough && (check.sum != sum || check.all_zero != all_zero))
        __builtin_trap();
    if (!check.passed && memcmp(&registers, &before, sizeof registers) != 0)
        __builtin_trap();
    if (check.passed && registers.pb_status != frame[7])
        __builtin_trap();
    if (check.passed && registers.pb_board_revision > 0xFF)
        __builtin_trap();
    return 0;
}
