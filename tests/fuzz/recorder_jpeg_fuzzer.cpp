// JPEG files in the recorder's store (stills, or anything an operator's stick
// brought): the segment scan, and the packet found by it read back.
#include <cstddef>
#include <cstdint>

#include "recorder/media_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vx4_xmp_place place;
    vx4_scan_jpeg(data, size, &place);
    if (place.region >= 0) {
        if (place.region_length < 29 || place.region + place.region_length > static_cast<int64_t>(size) || place.holder < 0 ||
            place.holder >= place.region)
            __builtin_trap();
        vx4_media_metadata metadata;
        vx4_parse_xmp_packet(reinterpret_cast<const char *>(data) + place.region,
                             static_cast<size_t>(place.region_length), &metadata);
    }
    if (place.insertion >= static_cast<int64_t>(size))
        __builtin_trap();
    return 0;
}
