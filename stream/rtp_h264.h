// H.264 over RTP as the camera module sends it inside its RTSP connection:
// access units put back together from RTP packets, and what the reader
// needs from RTSP replies and the session description. Everything here
// parses bytes from the camera, so nothing trusts a length it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Assembles access units from RTP packets: an Annex B byte stream, each NAL
// unit after a 00 00 00 01 start code. A unit is complete at the packet with
// the marker bit, so a frame goes to the decoder as soon as its last packet
// is in (a stream parser would have to wait for the next frame to start).
// A unit whose timestamp is followed by another without a marker is
// completed then. Units with a lost, broken or oversized packet are dropped
// whole: the decoder never sees a truncated slice.
class H264Depacketizer {
public:
    using UnitHandler = std::function<void(const uint8_t *data, size_t size)>;

    // payload_type: the one to take, -1 for any.
    explicit H264Depacketizer(int payload_type = -1) : payload_type_(payload_type) {}

    // Takes one RTP packet; calls on_unit for each access unit it completes
    // (at most two: the one before a missing marker, and its own).
    void push(const uint8_t *packet, size_t size, const UnitHandler &on_unit);

    size_t dropped_units() const { return dropped_; }

    static constexpr size_t max_unit = size_t{8} << 20;

private:
    void append_nal(const uint8_t *data, size_t size);
    void append(const uint8_t *data, size_t size);
    void finish(const UnitHandler &on_unit);

    int payload_type_;
    std::vector<uint8_t> unit_;
    bool started_ = false;       // unit_ holds packets of timestamp_
    bool broken_ = false;
    bool in_fragment_ = false;   // a fragmented NAL unit has begun and not ended
    uint32_t timestamp_ = 0;
    std::optional<uint16_t> next_sequence_;
    size_t dropped_ = 0;
};

// The video part of a session description that the reader can decode.
struct SdpVideo {
    int payload_type = -1;
    std::string control;                // a=control of the video section
    std::vector<uint8_t> parameter_sets;  // sprop-parameter-sets, Annex B
};

// The first H.264 video section of the description, or nothing.
std::optional<SdpVideo> parse_sdp_h264(std::string_view sdp);

// Where the SETUP of a section with that control attribute goes.
std::string resolve_control_url(std::string_view base, std::string_view control);

// Standard base64 without line breaks; nothing when the text is not base64.
std::optional<std::vector<uint8_t>> base64_decode(std::string_view text);

// An RTSP reply, or a request the server sends us between data packets.
struct RtspMessage {
    int status = 0;                              // 0 for a request
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string &name) const;
};

// Parses the message at the start of data. Returns the bytes it takes when
// complete, 0 when more bytes are needed, -1 when it is not a message or
// bigger than the limits below.
long parse_rtsp_message(std::string_view data, RtspMessage &message);
constexpr size_t max_rtsp_head = 16384;
constexpr size_t max_rtsp_body = 65536;

// The session id of a Session header and its time-out in seconds
// ("id;timeout=60"); 60 when not given.
struct RtspSessionHeader {
    std::string id;
    int timeout_s = 60;
};
RtspSessionHeader parse_session_header(std::string_view value);
