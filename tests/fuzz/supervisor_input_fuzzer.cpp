// What comes to the supervisor and the installer from outside: the camera
// encoder's HTTP responses (read in pieces as they come), its stream and
// temperature strings, ICMP replies, and the install script's lines and the
// package names on the stick. The first byte chooses the reader and, for
// responses, the piece size.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "supervisor/installer.h"
#include "supervisor/supervisor_encoder.h"
#include "supervisor/supervisor_ping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint8_t choice = data[0];
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    size_t count = size - 1;
    std::string text(bytes, count);  // the parsers take terminated texts
    switch (choice % 6) {
    case 0: {
        char channel_1[VX4_CHANNEL_TEXT] = "No stream detected", channel_2[VX4_CHANNEL_TEXT] = "No stream detected";
        vx4_parse_encoder_status(text.c_str(), channel_1, channel_2);
        if (strnlen(channel_1, sizeof channel_1) == sizeof channel_1 ||
            strnlen(channel_2, sizeof channel_2) == sizeof channel_2)
            __builtin_trap();  // always terminated
        break;
    }
    case 1: {
        vx4_camera_temperatures found = vx4_parse_temp_status(text.c_str());
        for (double value : {found.lens, found.fpga, found.cpu})
            if (!std::isnan(value) && !std::isfinite(value))
                __builtin_trap();  // found values are finite
        break;
    }
    case 2: {
        size_t piece = choice / 6 + 1;
        vx4_http_response response;
        size_t at = 0;
        while (at < count) {
            size_t n = std::min(piece, count - at);
            size_t used = vx4_feed_http_response(&response, bytes + at, n);
            if (used > n || response.body.size() > VX4_ENCODER_BODY || response.line.size() > VX4_HTTP_LINE)
                __builtin_trap();
            at += used;
            if (response.complete)
                response = vx4_http_response{};  // the next response on the connection
            else if (used < n)
                __builtin_trap();  // an incomplete response takes everything
        }
        break;
    }
    case 3:
        vx4_check_ping_reply(data + 1, count, choice & 8, 0x1234, 7);
        break;
    case 4: {
        char phase[17], detail[17];
        if (vx4_installer_parse_step(text.c_str(), phase, sizeof phase, detail, sizeof detail) &&
            (strnlen(phase, sizeof phase) == sizeof phase || strnlen(detail, sizeof detail) == sizeof detail))
            __builtin_trap();
        break;
    }
    default: {
        char version[16];
        vx4_installer_package_version(text.c_str(), version, sizeof version);
        if (strnlen(version, sizeof version) == sizeof version)
            __builtin_trap();
        break;
    }
    }
    return 0;
}
