// MP4 files in the recorder's store: the walk over the top-level boxes that
// finds the packet box, the end of the media and what of it plays.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "recorder/media_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto read_at = [&](int64_t offset, void *buffer, size_t length) -> ssize_t {
        if (offset < 0 || static_cast<uint64_t>(offset) >= size)
            return 0;
        size_t n = std::min(length, size - static_cast<size_t>(offset));
        memcpy(buffer, data + offset, n);
        return static_cast<ssize_t>(n);
    };
    vx4_xmp_place place;
    vx4_scan_mp4(read_at, static_cast<int64_t>(size), &place);
    int64_t total = static_cast<int64_t>(size);
    if (place.end > total || place.playable_end > place.end || place.partial > total ||
        (place.region >= 0 && (place.region_length < 0 || place.region + place.region_length > place.end))) {
        __builtin_trap();
    }
    if (place.region >= 0) {
        vx4_media_metadata metadata;
        vx4_parse_xmp_packet(reinterpret_cast<const char *>(data) + place.region,
                             static_cast<size_t>(place.region_length), &metadata);
    }
    return 0;
}
