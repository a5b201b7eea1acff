// H.264 access units put back together from RTP packets, and the parts of
// RTSP replies and session descriptions the reader relies on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtp_h264.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Packet {
    uint16_t sequence;
    uint32_t timestamp;
    bool marker;
    Bytes payload;
    int payload_type = 96;
};

Bytes rtp(const Packet &p)
{
    const uint8_t header[12] = {0x80, static_cast<uint8_t>((p.marker ? 0x80 : 0) | p.payload_type),
                                static_cast<uint8_t>(p.sequence >> 8), static_cast<uint8_t>(p.sequence),
                                static_cast<uint8_t>(p.timestamp >> 24), static_cast<uint8_t>(p.timestamp >> 16),
                                static_cast<uint8_t>(p.timestamp >> 8), static_cast<uint8_t>(p.timestamp),
                                0, 0, 0, 1};
    // Sized once: GCC 12 at -O3 warns falsely on growing a 12-byte vector.
    Bytes bytes(sizeof header + p.payload.size());
    std::copy(header, header + sizeof header, bytes.begin());
    std::copy(p.payload.begin(), p.payload.end(), bytes.begin() + sizeof header);
    return bytes;
}

Bytes annex_b(std::initializer_list<Bytes> nals)
{
    // Byte by byte: GCC 12 at -O3 warns falsely on inserting a list here.
    Bytes out;
    for (const Bytes &nal : nals) {
        for (uint8_t b : {0, 0, 0, 1})
            out.push_back(b);
        for (uint8_t b : nal)
            out.push_back(b);
    }
    return out;
}

std::vector<Bytes> units_of(const std::vector<Bytes> &packets, size_t *dropped = nullptr)
{
    H264Depacketizer depacketizer(96);
    std::vector<Bytes> units;
    for (const Bytes &packet : packets)
        depacketizer.push(packet.data(), packet.size(),
                          [&](const uint8_t *data, size_t size) { units.emplace_back(data, data + size); });
    if (dropped)
        *dropped = depacketizer.dropped_units();
    return units;
}

const Bytes idr_slice = {0x65, 0x88, 0x84, 0x21};
const Bytes slice_a = {0x41, 0x9a, 0x01}, slice_b = {0x41, 0x9a, 0x02};

TEST(H264Depacketizer, UnitsCompleteAtTheMarkerFromSingleAggregatedAndFragmentedNalUnits)
{
    struct Case {
        const char *name;
        std::vector<Bytes> packets;
        std::vector<Bytes> units;
    };
    const Bytes sps = {0x67, 0x42, 0x00, 0x1f}, pps = {0x68, 0xce, 0x38, 0x80};
    const std::vector<Case> cases = {
        {"one NAL unit per packet",
         {rtp({1, 3000, false, sps}), rtp({2, 3000, false, pps}), rtp({3, 3000, true, idr_slice})},
         {annex_b({sps, pps, idr_slice})}},
        {"aggregated (STAP-A)",
         {rtp({1, 3000, false, {0x18, 0, 4, 0x67, 0x42, 0x00, 0x1f, 0, 4, 0x68, 0xce, 0x38, 0x80}}),
          rtp({2, 3000, true, idr_slice})},
         {annex_b({sps, pps, idr_slice})}},
        {"fragmented (FU-A): the header is rebuilt from indicator and type",
         {rtp({7, 3000, false, {0x7c, 0x85, 0x88, 0x84}}), rtp({8, 3000, false, {0x7c, 0x05, 0x21}}),
          rtp({9, 3000, true, {0x7c, 0x45, 0x22}})},
         {annex_b({{0x65, 0x88, 0x84, 0x21, 0x22}})}},
        {"several slices: one unit, only at the marker",
         {rtp({1, 3000, false, slice_a}), rtp({2, 3000, true, slice_b}), rtp({3, 6000, true, slice_a})},
         {annex_b({slice_a, slice_b}), annex_b({slice_a})}},
        {"a missing marker: completed by the next timestamp",
         {rtp({1, 3000, false, slice_a}), rtp({2, 6000, false, slice_b}), rtp({3, 9000, true, slice_a})},
         {annex_b({slice_a}), annex_b({slice_b}), annex_b({slice_a})}},
        {"sequence numbers wrap",
         {rtp({65535, 3000, true, slice_a}), rtp({0, 6000, true, slice_b})},
         {annex_b({slice_a}), annex_b({slice_b})}},
        {"other payload types and unknown NAL packet types are ignored",
         {rtp({1, 3000, false, slice_a}), rtp({2, 3000, false, {0x5a, 1, 2}}),
          rtp({9, 3000, false, slice_b, 97}), rtp({3, 3000, true, slice_b})},
         {annex_b({slice_a, slice_b})}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(units_of(c.packets), c.units) << c.name;
}

TEST(H264Depacketizer, UnitsWithALostOrBrokenPacketAreDroppedWholeAndTheNextOnesGoOn)
{
    struct Case {
        const char *name;
        std::vector<Bytes> packets;
    };
    std::vector<Bytes> too_long;  // fragments of 60000 bytes past the limit, then the end
    for (size_t total = 0; total <= H264Depacketizer::max_unit; total += 60000) {
        uint8_t header = total ? 0x05 : 0x85;
        too_long.push_back(rtp({static_cast<uint16_t>(too_long.size() + 1), 3000, false, {0x7c, header}}));
        too_long.back().resize(too_long.back().size() + 60000, 0x22);
    }
    too_long.push_back(rtp({static_cast<uint16_t>(too_long.size() + 1), 3000, true, {0x7c, 0x45, 0x33}}));
    const std::vector<Case> cases = {
        {"a lost packet", {rtp({1, 3000, false, slice_a}), rtp({3, 3000, true, slice_b})}},
        {"a fragment without its start", {rtp({1, 3000, true, {0x7c, 0x45, 0x22}})}},
        {"a fragmented unit that never ends", {rtp({1, 3000, true, {0x7c, 0x85, 0x88}})}},
        {"a new fragment before the last ended",
         {rtp({1, 3000, false, {0x7c, 0x85, 0x88}}), rtp({2, 3000, true, {0x7c, 0xc5, 0x88}})}},
        {"a single NAL unit inside a fragmented one",
         {rtp({1, 3000, false, {0x7c, 0x85, 0x88}}), rtp({2, 3000, true, slice_a})}},
        {"an aggregate with a size past its end", {rtp({1, 3000, true, {0x18, 0, 9, 0x67, 0x42}})}},
        {"an aggregate with a zero size", {rtp({1, 3000, true, {0x18, 0, 0}})}},
        {"a fragment of one byte", {rtp({1, 3000, true, {0x7c}})}},
        {"a unit past the size limit", too_long},
    };
    for (const Case &c : cases) {
        std::vector<Bytes> packets = c.packets;
        uint16_t next = static_cast<uint16_t>(packets.back()[3] + 1);
        packets.push_back(rtp({next, 90000, true, slice_b}));  // the next frame
        size_t dropped = 0;
        EXPECT_EQ(units_of(packets, &dropped), std::vector<Bytes>{annex_b({slice_b})}) << c.name;
        EXPECT_EQ(dropped, 1u) << c.name;
    }
}

TEST(H264Depacketizer, HeaderFieldsAreHonouredAndMalformedPacketsIgnored)
{
    // Two CSRCs, an extension of one word and two bytes of padding around
    // the payload.
    Bytes full = {0xb2, 0xe0, 0, 1, 0, 0, 0x0b, 0xb8, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2,
                  0xbe, 0xde, 0, 1, 9, 9, 9, 9};
    full.insert(full.end(), slice_a.begin(), slice_a.end());
    full.insert(full.end(), {0, 2});
    EXPECT_EQ(units_of({full}), std::vector<Bytes>{annex_b({slice_a})});

    Bytes padded_too_much = rtp({1, 1, true, {0x41, 5}});
    padded_too_much[0] |= 0x20;
    padded_too_much.back() = 200;
    Bytes version_one = rtp({1, 1, true, slice_a});
    version_one[0] = 0x40;
    Bytes extension_past_end = {0x90, 0xe0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xbe, 0xde, 0x10, 0};
    for (const Bytes &bad : {Bytes{0x80, 0xe0, 0, 1}, rtp({1, 1, true, {}}), padded_too_much, version_one,
                             extension_past_end})
        EXPECT_TRUE(units_of({bad}).empty());
}

TEST(SessionDescription, TheFirstH264VideoSectionGivesPayloadTypeControlAndParameterSets)
{
    const std::string gstreamer =
        "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Session\r\nt=0 0\r\na=control:*\r\n"
        "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/48000/2\r\na=control:stream=9\r\n"
        "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:96 H264/90000\r\n"
        "a=fmtp:96 packetization-mode=1;profile-level-id=42c01f;sprop-parameter-sets=Z0LAH9kAUAW7ARAAAAMAEAAAAwPA8UKkgA==,aMuDyyA=\r\n"
        "a=control:stream=0\r\n"
        "m=video 0 RTP/AVP 98\r\na=rtpmap:98 H264/90000\r\na=control:stream=1\r\n";
    std::optional<SdpVideo> video = parse_sdp_h264(gstreamer);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->payload_type, 96);
    EXPECT_EQ(video->control, "stream=0");
    Bytes sets = video->parameter_sets;
    ASSERT_EQ(sets.size(), 4 + 25 + 4 + 5u);
    EXPECT_EQ(Bytes(sets.begin(), sets.begin() + 6), (Bytes{0, 0, 0, 1, 0x67, 0x42}));
    EXPECT_EQ(Bytes(sets.end() - 9, sets.end()), (Bytes{0, 0, 0, 1, 0x68, 0xcb, 0x83, 0xcb, 0x20}));

    // Only the sets of the section's own payload type; broken ones skipped.
    std::optional<SdpVideo> other = parse_sdp_h264(
        "m=video 0 RTP/AVP 96\na=fmtp:96 sprop-parameter-sets=%%%,aMuDyyA=\na=rtpmap:96 h264/90000\n"
        "a=fmtp:95 sprop-parameter-sets=Z0I=\n");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->parameter_sets, (Bytes{0, 0, 0, 1, 0x68, 0xcb, 0x83, 0xcb, 0x20}));
    EXPECT_EQ(other->control, "");

    for (const char *none : {"", "m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\n",
                             "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n",
                             "m=video 0 RTP/AVP 96\r\na=rtpmap:300 H264/90000\r\na=rtpmap:x H264/90000\r\n"})
        EXPECT_FALSE(parse_sdp_h264(none)) << none;
}

TEST(SessionDescription, ControlUrlsAndBase64)
{
    const std::string base = "rtsp://127.0.0.1:8554/x4-2.mp4/";
    EXPECT_EQ(resolve_control_url(base, "stream=0"), base + "stream=0");
    EXPECT_EQ(resolve_control_url("rtsp://h/x", "trackID=1"), "rtsp://h/x/trackID=1");
    EXPECT_EQ(resolve_control_url(base, "rtsp://h/other"), "rtsp://h/other");
    EXPECT_EQ(resolve_control_url(base, "*"), base);
    EXPECT_EQ(resolve_control_url(base, ""), base);

    EXPECT_EQ(base64_decode("aGVsbG8="), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(base64_decode("aGk"), (Bytes{'h', 'i'}));
    EXPECT_EQ(base64_decode("+/8="), (Bytes{0xfb, 0xff}));
    EXPECT_EQ(base64_decode(""), Bytes{});
    EXPECT_FALSE(base64_decode("a"));
    EXPECT_FALSE(base64_decode("aG k"));
}

TEST(RtspMessages, RepliesAndRequestsAreTakenWholeWithTheirBodies)
{
    const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Base: rtsp://h/x/\r\n"
                              "Session: abc123;timeout=60\r\ncontent-length: 5\r\n\r\nv=0\r\n" +
                              std::string("$\0", 2);  // data follows
    RtspMessage message;
    EXPECT_EQ(parse_rtsp_message(reply, message), static_cast<long>(reply.size() - 2));
    EXPECT_EQ(message.status, 200);
    EXPECT_EQ(message.header("content-base"), "rtsp://h/x/");
    EXPECT_EQ(message.header("session"), "abc123;timeout=60");
    EXPECT_EQ(message.body, "v=0\r\n");
    for (size_t cut = 0; cut < reply.size() - 2; ++cut)
        EXPECT_EQ(parse_rtsp_message(reply.substr(0, cut), message), 0) << cut;

    const std::string request = "GET_PARAMETER rtsp://h/x RTSP/1.0\r\nCSeq: 9\r\n\r\n";
    EXPECT_EQ(parse_rtsp_message(request, message), static_cast<long>(request.size()));
    EXPECT_EQ(message.status, 0);

    for (const std::string &bad : {std::string("HTTP/1.1 200 OK\r\n\r\n"), std::string("RTSP/1.0 abc\r\n\r\n"),
                                   std::string("RTSP/1.0 200 OK\r\nContent-Length: 99999999\r\n\r\n"),
                                   std::string("RTSP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n"),
                                   std::string(max_rtsp_head + 1, 'x')})
        EXPECT_EQ(parse_rtsp_message(bad, message), -1) << bad.substr(0, 40);

    EXPECT_EQ(parse_session_header("abc123;timeout=60").id, "abc123");
    EXPECT_EQ(parse_session_header("abc123;timeout=60").timeout_s, 60);
    EXPECT_EQ(parse_session_header(" 77 ; timeout=10").timeout_s, 10);
    EXPECT_EQ(parse_session_header("77;timeout=0").timeout_s, 60);
    EXPECT_EQ(parse_session_header("77").timeout_s, 60);
}

}  // namespace
