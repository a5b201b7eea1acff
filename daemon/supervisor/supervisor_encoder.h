// The camera module's encoder status over HTTP: six requests in order on one
// kept-open connection, each answer read as it arrives on the event loop, so
// a slow or silent camera never holds the loop; and the parsers of what the
// statistics request returns (the stream status and temperature strings).
#pragma once

#include <ev.h>

#include <cstddef>
#include <string>

constexpr size_t VX4_CHANNEL_TEXT = 80;   // 79 characters
constexpr size_t VX4_ENCODER_BODY = 1024;  // statistics body kept
constexpr size_t VX4_HTTP_LINE = 256;      // header line characters kept
constexpr const char *VX4_NO_STREAM = "No stream detected";

// The channel texts of encoder_status_str: fields split at '|'; field 7
// names the channel ("1" or "2") that fields 8 to 14 describe, and field 15
// ("2") may add channel 2 with fields 16 to 22. Each text is cut to 79
// characters; a channel the string does not describe is left as it is.
void vx4_parse_encoder_status(const char *text, char channel_1[VX4_CHANNEL_TEXT], char channel_2[VX4_CHANNEL_TEXT]);

// The camera's temperatures in temp_status_str ("+LENS 41.2 +FPGA 55.0
// +CPU 60.1"): the word after each keyword, when it is entirely a finite
// number; NaN for those not found.
struct vx4_camera_temperatures {
    double lens;
    double fpga;
    double cpu;
};
vx4_camera_temperatures vx4_parse_temp_status(const char *text);

// One HTTP response on a kept-open connection, read as its bytes come.
struct vx4_http_response {
    int status = 500;  // 500 until a status line came
    bool status_seen = false;
    bool headers_done = false;
    bool complete = false;  // headers and Content-Length body read
    unsigned long long content_length = 0;
    unsigned long long body_read = 0;
    std::string line;  // header line in progress, first VX4_HTTP_LINE characters
    std::string body;  // first VX4_ENCODER_BODY bytes of the body
};
// Consumes the response's bytes and returns how many it took; the rest
// belongs to the next response.
size_t vx4_feed_http_response(vx4_http_response *response, const char *data, size_t count);

// What one poll found: the channel texts ("No stream detected" when not
// described) and the temperatures (NaN when not delivered). answered is
// false when the poll failed before the statistics (nothing parsed).
struct vx4_encoder_status {
    bool answered;
    char channel_1[VX4_CHANNEL_TEXT];
    char channel_2[VX4_CHANNEL_TEXT];
    vx4_camera_temperatures temperatures;
};
using vx4_encoder_done = void (*)(const vx4_encoder_status &status);

// Starts one poll of host:port on the loop; done is called on the loop when
// it ends. false, and nothing started, while a poll still runs.
bool vx4_start_encoder_poll(struct ev_loop *loop, const char *host, int port, vx4_encoder_done done);
