// The video server's configuration: defaults, command-line options and the
// connectivity test address derived from them.
#pragma once

#include <string>

struct StreamConfig {
    int http_port = 8080;
    std::string url;         // stream to open
    int width = 1280;        // width, height, fps and codec are only logged
    int height = 720;
    double fps = 30.0;
    std::string codec = "h264";
    std::string test_url;    // "" turns the connectivity test off
    std::string test_host;   // from test_url
    int test_port = 0;
};

// The defaults: the camera module's second stream and its RTSP port, taken
// from the platform layer (the real camera module unless overridden).
StreamConfig default_stream_config();

// Parses the options with argp into config. A positional argument makes argp
// print its usage error and exit with failure.
void parse_stream_options(int argc, char **argv, StreamConfig &config);

// Sets test_host and test_port from test_url: "host:port", or the camera
// module's address and RTSP port when there is no colon.
void split_test_url(StreamConfig &config);

// In sandbox mode the stream and test hosts must be loopback addresses.
// 0, or -1 after printing why.
int require_loopback_stream_peers(const StreamConfig &config);
