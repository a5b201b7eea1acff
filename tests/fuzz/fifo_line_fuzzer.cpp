// Command FIFO lines come from any local program.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/fifo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);  // adds the terminator fgets gives
    fifo_command commands[FIFO_MAX_COMMANDS];
    int count = vx4_match_fifo_line(line.c_str(), commands);
    if (count < 0 || count > 7)
        __builtin_trap();
    for (int i = 0; i < count; ++i)
        if (commands[i].action == FIFO_LED_PWM && (commands[i].value < 0 || commands[i].value > 255))
            __builtin_trap();
    return 0;
}
