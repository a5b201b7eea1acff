// What the supervisor reads from outside: the camera encoder's stream and
// temperature strings and HTTP responses, ICMP replies, and the installer's
// package names and script lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "supervisor/installer.h"
#include "supervisor/supervisor.h"
#include "supervisor/supervisor_encoder.h"
#include "supervisor/supervisor_ping.h"

namespace {

const std::string no_stream = "No stream detected";

struct EncoderCase {
    const char *name;
    std::string text;
    std::string channel_1;
    std::string channel_2;
};

TEST(EncoderStatus, ChannelTexts)
{
    const std::string head = "ENC|fw|up|load|mem|net|ntp|";
    const std::string long_word(100, 'x');
    const std::vector<EncoderCase> cases = {
        {"both channels",
         head + "stream channel 1 on|H264|1920x1080|30fps|4096kbps|CBR|RTSP|live|2|H264|1280x720|30fps|2048kbps|CBR|RTSP|live",
         "1 H264 1920x1080 30fps 4096kbps CBR RTSP live", "2 H264 1280x720 30fps 2048kbps CBR RTSP live"},
        {"channel 1 only", head + "stream channel 1 on|H264|1080p", "1 H264 1080p", no_stream},
        {"channel 2 named in field 7", head + "stream channel 2 on|H265|720p|25fps", no_stream, "2 H265 720p 25fps"},
        {"field 15 is not channel 2", head + "stream 1 on|a|b|c|d|e|f|g|3|h|i", "1 a b c d e f g", no_stream},
        {"fields cut to their first word", head + "stream 1 on|  H264 main|1080p extra words", "1 H264 1080p",
         no_stream},
        {"field 7 without a space names field 0", "1|fw|up|load|mem|net|ntp|x|H264|p", "1 H264 p", no_stream},
        {"fewer than eight fields", "ENC|1|2|3|4|5|stream 1 on", no_stream, no_stream},
        {"empty fields", "||||||||||||||||", no_stream, no_stream},
        {"text cut to 79 characters", head + "stream 1 on|" + long_word, ("1 " + long_word).substr(0, 79),
         no_stream},
    };
    for (const EncoderCase &c : cases) {
        char channel_1[VX4_CHANNEL_TEXT], channel_2[VX4_CHANNEL_TEXT];
        snprintf(channel_1, sizeof channel_1, "%s", no_stream.c_str());
        snprintf(channel_2, sizeof channel_2, "%s", no_stream.c_str());
        vx4_parse_encoder_status(c.text.c_str(), channel_1, channel_2);
        EXPECT_EQ(channel_1, c.channel_1) << c.name;
        EXPECT_EQ(channel_2, c.channel_2) << c.name;
    }
}

struct TemperatureCase {
    const char *text;
    std::optional<double> lens, fpga, cpu;
};

TEST(EncoderStatus, Temperatures)
{
    const std::vector<TemperatureCase> cases = {
        {"+LENS 41.25 +FPGA 52.50 +CPU 60.00", 41.25, 52.5, 60.0},
        {"+FPGA 95", {}, 95.0, {}},
        {"+LENS 300 +CPU -45", 300.0, {}, -45.0},  // found; the range is judged by the supervisor
        {"+LENS abc +FPGA 12x +CPU", {}, {}, {}},
        {"+FPGA nan +CPU inf +LENS 1e999", {}, {}, {}},
        {"+lens 40 LENS 41 +LENS: 42", {}, {}, {}},
        {"a b c d e +CPU 50", {}, {}, 50.0},
        {"a b c d e f +CPU 50", {}, {}, {}},  // the number is the eighth word
        {"", {}, {}, {}},
    };
    auto same = [](double got, std::optional<double> wanted) {
        return wanted ? got == *wanted : std::isnan(got);
    };
    for (const TemperatureCase &c : cases) {
        vx4_camera_temperatures found = vx4_parse_temp_status(c.text);
        EXPECT_TRUE(same(found.lens, c.lens)) << c.text << ": lens " << found.lens;
        EXPECT_TRUE(same(found.fpga, c.fpga)) << c.text << ": fpga " << found.fpga;
        EXPECT_TRUE(same(found.cpu, c.cpu)) << c.text << ": cpu " << found.cpu;
    }
}

struct ResponseCase {
    const char *name;
    std::string bytes;
    int status;
    std::string body;
    std::string rest;  // bytes left for the next response
};

TEST(EncoderStatus, HttpResponses)
{
    const std::string big(3000, 'b');
    const std::string long_header = "X-Long: " + std::string(1000, 'h') + "\r\n";
    const std::vector<ResponseCase> cases = {
        {"whole response, the next one's bytes left", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP", 200,
         "hello", "HTTP"},
        {"header name in lower case", "HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\nabc", 200, "abc", ""},
        {"bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", 200, "ok", ""},
        {"error status", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 404, "", ""},
        {"no status line", "\r\n", 500, "", ""},
        {"another protocol", "HTTP/1.0 200 OK\r\n\r\n", 500, "", ""},
        {"length that is no number", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nrest", 200, "", "rest"},
        {"long header line", "HTTP/1.1 200 OK\r\n" + long_header + "Content-Length: 1\r\n\r\nz", 200, "z", ""},
        {"body kept to 1024 bytes", "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + big + "next", 200,
         big.substr(0, 1024), "next"},
    };
    for (const ResponseCase &c : cases) {
        for (size_t chunk : {c.bytes.size(), size_t{1}, size_t{7}}) {
            vx4_http_response response;
            size_t used = 0;
            for (size_t at = 0; at < c.bytes.size() && !response.complete;) {
                size_t n = std::min(chunk, c.bytes.size() - at);
                size_t took = vx4_feed_http_response(&response, c.bytes.data() + at, n);
                used += took;
                at += n;
                if (took < n)
                    break;
            }
            EXPECT_TRUE(response.complete) << c.name << " in chunks of " << chunk;
            EXPECT_EQ(response.status, c.status) << c.name;
            EXPECT_EQ(response.body, c.body) << c.name;
            EXPECT_EQ(used, c.bytes.size() - c.rest.size()) << c.name << " in chunks of " << chunk;
        }
    }
}

std::vector<uint8_t> ip_packet(const uint8_t *icmp, size_t length)
{
    std::vector<uint8_t> packet(20 + length, 0);
    packet[0] = 0x45;
    std::copy(icmp, icmp + length, packet.begin() + 20);
    return packet;
}

void seal(uint8_t *icmp, size_t length)
{
    icmp[2] = icmp[3] = 0;
    uint16_t sum = vx4_internet_checksum(icmp, length);
    icmp[2] = static_cast<uint8_t>(sum >> 8);
    icmp[3] = static_cast<uint8_t>(sum);
}

TEST(CameraPing, Request)
{
    uint8_t packet[VX4_PING_SIZE];
    vx4_build_ping_request(packet, 0x1234, 0xABCD);
    EXPECT_EQ(vx4_internet_checksum(packet, sizeof packet), 0);
    EXPECT_EQ((std::vector<int>{packet[0], packet[1], packet[4] << 8 | packet[5], packet[6] << 8 | packet[7]}),
              (std::vector<int>{8, 0, 0x1234, 0xABCD}));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(packet + 8), 31), "0123456789:;<=>?@ABCDEFGHIJKLMN");
}

TEST(CameraPing, Replies)
{
    const uint16_t id = 0x1234, seq = 7;
    auto reply = [&](uint8_t type, uint16_t reply_id, uint16_t reply_seq) {
        uint8_t icmp[VX4_PING_SIZE];
        vx4_build_ping_request(icmp, reply_id, reply_seq);
        icmp[0] = type;
        seal(icmp, sizeof icmp);
        return std::vector<uint8_t>(icmp, icmp + sizeof icmp);
    };
    auto unreachable = [&](uint16_t quoted_id) {
        std::vector<uint8_t> quoted = ip_packet(reply(8, quoted_id, seq).data(), 8);
        std::vector<uint8_t> icmp(8 + quoted.size(), 0);
        icmp[0] = 3;
        icmp[1] = 1;
        std::copy(quoted.begin(), quoted.end(), icmp.begin() + 8);
        seal(icmp.data(), icmp.size());
        return icmp;
    };
    std::vector<uint8_t> bad_sum = reply(0, id, seq);
    bad_sum[10] ^= 0xFF;
    std::vector<uint8_t> ipv6 = ip_packet(reply(0, id, seq).data(), VX4_PING_SIZE);
    ipv6[0] = 0x65;

    struct Case {
        const char *name;
        std::vector<uint8_t> packet;
        bool ip_header;
        vx4_ping_verdict verdict;
    };
    auto with_ip = [](std::vector<uint8_t> icmp) { return ip_packet(icmp.data(), icmp.size()); };
    const std::vector<Case> cases = {
        {"the answer", with_ip(reply(0, id, seq)), true, VX4_PING_ANSWERED},
        {"the answer on a datagram socket", reply(0, id, seq), false, VX4_PING_ANSWERED},
        {"another identifier", with_ip(reply(0, id + 1, seq)), true, VX4_PING_OTHER},
        {"an earlier sequence", with_ip(reply(0, id, seq - 1)), true, VX4_PING_OTHER},
        {"our own request looped back", with_ip(reply(8, id, seq)), true, VX4_PING_OTHER},
        {"a wrong checksum", with_ip(bad_sum), true, VX4_PING_OTHER},
        {"not IPv4", ipv6, true, VX4_PING_OTHER},
        {"unreachable for this request", with_ip(unreachable(id)), true, VX4_PING_UNREACHABLE},
        {"unreachable for another program", with_ip(unreachable(id + 1)), true, VX4_PING_OTHER},
        {"cut short", std::vector<uint8_t>{0x45, 0, 0}, true, VX4_PING_OTHER},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vx4_check_ping_reply(c.packet.data(), c.packet.size(), c.ip_header, id, seq), c.verdict) << c.name;
}

TEST(Installer, ScriptLines)
{
    struct Case {
        const char *line;
        const char *phase;  // nullptr: no detail, nothing shown
        const char *detail;
    };
    const std::vector<Case> cases = {
        {"COPY: files done", "COPY", "files"},
        {"COPY:files done", "COPY", "done"},  // a word right after ':' does not count
        {"unpack archive", "unpack", "archive"},
        {"  indented line", "indented", "line"},
        {"Starting", nullptr, nullptr},
        {"COPY:files", nullptr, nullptr},
        {"averyveryverylongphasename averyveryverylongdetail", "averyveryverylon", "averyveryverylon"},
    };
    for (const Case &c : cases) {
        char phase[17] = "-", detail[17] = "-";
        bool found = vx4_installer_parse_step(c.line, phase, sizeof phase, detail, sizeof detail);
        EXPECT_EQ(found, c.phase != nullptr) << c.line;
        if (found && c.phase) {
            EXPECT_STREQ(phase, c.phase) << c.line;
            EXPECT_STREQ(detail, c.detail) << c.line;
        }
    }
}

TEST(SupervisorRecord, RemainingRecordingTimes)
{
    struct Case {
        int64_t emmc_kb, usb_kb;
        int post_processing;
        const char *emmc_time, *usb_time, *remaining;
    };
    const std::vector<Case> cases = {
        {513 * 3600, 513 * 7200, 0, "01:00:00", "02:00:00", "60 MIN"},
        {513 * 7200 + 512, 513 * 61, 0, "02:00:00", "00:01:01", "1 MIN"},  // the smaller store counts
        {513 * 3600, 513 * 3600, 37, "01:00:00", "01:00:00", "37 %"},      // while the copy runs
        {0, -20000, 0, "00:00:00", "00:00:00", "0 MIN"},                    // a recording larger than the space
        {513LL * 3600 * 150, 513LL * 3600 * 150, 0, "150:00:00", "150:00:00", "9000 MIN"},
    };
    for (const Case &c : cases) {
        vx4_supervisor_values values{};
        values.emmc_kb = c.emmc_kb;
        values.usb_kb = c.usb_kb;
        values.post_processing = c.post_processing;
        vx4_fill_supervisor_recording_times(&values);
        EXPECT_STREQ(values.emmc_time, c.emmc_time) << c.emmc_kb;
        EXPECT_STREQ(values.usb_time, c.usb_time) << c.usb_kb;
        EXPECT_STREQ(values.time_remaining, c.remaining) << c.emmc_kb << " " << c.usb_kb;
    }
}

}  // namespace
