// What the camera sends the video server's RTSP reader: replies, session
// descriptions and RTP packets. The first byte picks the parser; RTP input
// is a run of packets, each after a 16-bit big-endian length.
#include <cstdint>
#include <string_view>

#include "rtp_h264.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0: {
        H264Depacketizer depacketizer(96);
        size_t at = 1;
        while (at + 2 <= size) {
            size_t length = (size_t{data[at]} << 8) | data[at + 1];
            at += 2;
            if (length > size - at)
                length = size - at;
            depacketizer.push(data + at, length, [](const uint8_t *unit, size_t unit_size) {
                // Every unit starts with a start code and fits the limit.
                if (unit_size < 5 || unit_size > H264Depacketizer::max_unit || unit[0] != 0 || unit[3] != 1)
                    __builtin_trap();
            });
            at += length;
        }
        break;
    }
    case 1:
        if (std::optional<SdpVideo> video = parse_sdp_h264(text))
            resolve_control_url("rtsp://127.0.0.1/x4-2.mp4", video->control);
        break;
    default: {
        RtspMessage message;
        long taken = parse_rtsp_message(text, message);
        if (taken > static_cast<long>(text.size()))
            __builtin_trap();
        parse_session_header(message.header("session"));
        break;
    }
    }
    return 0;
}
