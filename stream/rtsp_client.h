// An RTSP session with the camera module, its RTP data interleaved in the
// TCP connection: DESCRIBE, SETUP and PLAY, then H.264 access units as
// their last packet arrives. Every wait has a deadline and gives way at
// once to a stop, so a camera that keeps the connection open but stops
// sending never holds the reader.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "rtp_h264.h"

class RtspClient {
public:
    // interrupted: asked while waiting; true ends the wait at once.
    explicit RtspClient(std::function<bool()> interrupted);
    ~RtspClient();
    RtspClient(const RtspClient &) = delete;
    RtspClient &operator=(const RtspClient &) = delete;

    // Opens the session within timeout_ms: "" or why it failed. Fails
    // with unsupported when the stream wants what this client does not do
    // (a codec other than H.264, credentials, authentication, redirection).
    std::string open(const std::string &url, int timeout_ms);
    static constexpr const char *unsupported = "needs more than H.264 over plain RTSP";

    const SdpVideo &video() const { return video_; }

    // Waits up to timeout_ms for the next complete access unit and hands it
    // (or two) to on_unit. false on time-out, interruption, a closed
    // connection or a protocol error: error() says which.
    bool read(int timeout_ms, const H264Depacketizer::UnitHandler &on_unit);
    const std::string &error() const { return error_; }

    // Ends the session without waiting for the camera.
    void close();

private:
    using Clock = std::chrono::steady_clock;

    bool send_request(const std::string &method, const std::string &url, const std::string &headers,
                      Clock::time_point deadline);
    bool wait_reply(RtspMessage &reply, Clock::time_point deadline);
    bool fill(Clock::time_point deadline);
    bool fail(const std::string &why);

    std::function<bool()> interrupted_;
    int socket_ = -1;
    std::string url_;
    std::string session_;
    int cseq_ = 0;
    int keepalive_s_ = 30;
    Clock::time_point last_keepalive_;
    SdpVideo video_;
    int rtp_channel_ = 0;
    H264Depacketizer depacketizer_;
    std::vector<uint8_t> buffer_;
    size_t begin_ = 0, end_ = 0;  // unread bytes of buffer_
    std::string error_;
};
