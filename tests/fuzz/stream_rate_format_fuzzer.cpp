// Rate formats come from the overlay file and reach snprintf only when they
// take exactly one double.
#include <cstdint>
#include <cstring>
#include <string>

#include "overlay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string format(reinterpret_cast<const char *>(data), size);
    OverlayRates rates{29.97, -1e300};
    std::optional<std::string> text = overlay_text("queue_rate", format, rates, 0);
    if (!text)
        __builtin_trap();
    // Either formatted or drawn as it stands, and never longer than one line.
    if (text->size() > 127)
        __builtin_trap();
    if (!rate_format_is_safe(format) && *text != format.substr(0, text->size()))
        __builtin_trap();
    overlay_text("dequeue_rate", format, rates, 0);
    overlay_text("time", format, rates, 1700000000);
    return 0;
}
