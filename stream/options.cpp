#include "options.h"

#include <argp.h>

#include <cstdlib>

#include "platform.h"

namespace {

const char doc[] = "Video Server";

const argp_option options[] = {
    {"httpport", 'p', "8080", 0, "HTTP Port", 0},
    {"url", 'u', "rtsp://192.168.0.127/x4-2.mp4", 0, "Stream URL", 0},
    {"width", 'w', "720", 0, "Stream Width", 0},
    {"height", 'h', "1080", 0, "Stream Height", 0},
    {"fps", 'f', "30.0", 0, "Stream Frames Per Second", 0},
    {"codec", 'c', "h264", 0, "Stream Codec", 0},
    {"testurl", 't', "192.168.0.127:554", 0, "Connectivity Test URL", 0},
    {},
};

error_t parse_option(int key, char *arg, argp_state *state)
{
    auto *config = static_cast<StreamConfig *>(state->input);
    switch (key) {
    case 'p': config->http_port = static_cast<int>(strtol(arg, nullptr, 10)); break;
    case 'u': config->url = arg; break;
    case 'w': config->width = atoi(arg); break;
    case 'h': config->height = atoi(arg); break;
    case 'f': config->fps = strtod(arg, nullptr); break;
    case 'c': config->codec = arg; break;
    case 't': config->test_url = arg; break;
    case ARGP_KEY_ARG: argp_usage(state); break;
    default: return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

const argp parser = {options, parse_option, nullptr, doc, nullptr, nullptr, nullptr};

}  // namespace

StreamConfig default_stream_config()
{
    const vx4_platform_config &platform = vx4_platform();
    StreamConfig config;
    std::string port = std::to_string(platform.camera_rtsp_port);
    // The camera module's RTSP port is the scheme's default and stays implicit.
    config.url = "rtsp://" + platform.camera_host + (platform.camera_rtsp_port == 554 ? "" : ":" + port) +
                 "/x4-2.mp4";
    config.test_url = platform.camera_host + ":" + port;
    return config;
}

void parse_stream_options(int argc, char **argv, StreamConfig &config)
{
    argp_parse(&parser, argc, argv, 0, nullptr, &config);
}

void split_test_url(StreamConfig &config)
{
    size_t colon = config.test_url.find(':');
    if (colon == std::string::npos) {
        config.test_host = vx4_platform().camera_host;
        config.test_port = vx4_platform().camera_rtsp_port;
        return;
    }
    config.test_host = config.test_url.substr(0, colon);
    config.test_port = static_cast<int>(strtol(config.test_url.c_str() + colon + 1, nullptr, 10));
}

int require_loopback_stream_peers(const StreamConfig &config)
{
    if (vx4_require_loopback("VX4_CAMERA_HOST", vx4_platform().camera_host))
        return -1;
    // A URL this short is refused before anything is opened.
    if (config.url.size() >= 3 && vx4_require_loopback("stream URL host", vx4_url_host(config.url)))
        return -1;
    if (!config.test_url.empty() && vx4_require_loopback("test URL host", config.test_host))
        return -1;
    return 0;
}
