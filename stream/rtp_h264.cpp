#include "rtp_h264.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

constexpr uint8_t start_code[] = {0, 0, 0, 1};

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// A decimal number that is the whole text, within [0, limit].
std::optional<long> whole_number(std::string_view text, long limit)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > limit)
        return std::nullopt;
    return value;
}

}  // namespace

void H264Depacketizer::append(const uint8_t *data, size_t size)
{
    if (broken_)
        return;
    if (unit_.size() + size > max_unit) {
        broken_ = true;
        return;
    }
    unit_.insert(unit_.end(), data, data + size);
}

void H264Depacketizer::append_nal(const uint8_t *data, size_t size)
{
    append(start_code, sizeof start_code);
    append(data, size);
}

void H264Depacketizer::finish(const UnitHandler &on_unit)
{
    if (started_) {
        if (!broken_ && !in_fragment_ && !unit_.empty())
            on_unit(unit_.data(), unit_.size());
        else
            ++dropped_;
    }
    unit_.clear();
    started_ = broken_ = in_fragment_ = false;
}

void H264Depacketizer::push(const uint8_t *packet, size_t size, const UnitHandler &on_unit)
{
    if (size < 12 || (packet[0] >> 6) != 2)
        return;
    size_t offset = 12 + 4 * size_t{packet[0] & 0x0fu};
    if (packet[0] & 0x10) {  // header extension
        if (offset + 4 > size)
            return;
        offset += 4 + 4 * ((size_t{packet[offset + 2]} << 8) | packet[offset + 3]);
    }
    size_t end = size;
    if (packet[0] & 0x20) {  // padding, its length in the last byte
        size_t padding = packet[size - 1];
        if (padding == 0 || padding > size)
            return;
        end -= padding;
    }
    if (offset >= end)
        return;
    int type = packet[1] & 0x7f;
    if (payload_type_ >= 0 && type != payload_type_)
        return;
    bool marker = packet[1] & 0x80;
    auto sequence = static_cast<uint16_t>((packet[2] << 8) | packet[3]);
    uint32_t timestamp = (uint32_t{packet[4]} << 24) | (uint32_t{packet[5]} << 16) | (uint32_t{packet[6]} << 8) |
                         packet[7];

    if (started_ && timestamp != timestamp_)
        finish(on_unit);  // its marker never came
    if (next_sequence_ && sequence != *next_sequence_)
        broken_ = true;   // a packet of this unit, or of the one before, is lost
    next_sequence_ = static_cast<uint16_t>(sequence + 1);
    if (!started_) {
        started_ = true;
        timestamp_ = timestamp;
    }

    const uint8_t *payload = packet + offset;
    size_t length = end - offset;
    int nal_type = payload[0] & 0x1f;
    if (nal_type >= 1 && nal_type <= 23) {
        if (in_fragment_)
            broken_ = true;
        append_nal(payload, length);
    } else if (nal_type == 24) {  // STAP-A: NAL units with 16-bit sizes
        if (in_fragment_)
            broken_ = true;
        size_t at = 1;
        while (at < length) {
            if (at + 2 > length) {
                broken_ = true;
                break;
            }
            size_t nal_size = (size_t{payload[at]} << 8) | payload[at + 1];
            at += 2;
            if (nal_size == 0 || at + nal_size > length) {
                broken_ = true;
                break;
            }
            append_nal(payload + at, nal_size);
            at += nal_size;
        }
    } else if (nal_type == 28) {  // FU-A: one NAL unit in fragments
        if (length < 2) {
            broken_ = true;
        } else {
            bool first = payload[1] & 0x80, last = payload[1] & 0x40;
            if (first) {
                if (in_fragment_)
                    broken_ = true;
                uint8_t header = static_cast<uint8_t>((payload[0] & 0xe0) | (payload[1] & 0x1f));
                append(start_code, sizeof start_code);
                append(&header, 1);
                in_fragment_ = true;
            } else if (!in_fragment_) {
                broken_ = true;  // its start is lost
            }
            append(payload + 2, length - 2);
            if (last)
                in_fragment_ = false;
        }
    }
    // Other types (interleaved modes) are not sent in the camera's mode:
    // ignored, as a receiver must.
    if (marker)
        finish(on_unit);
}

std::optional<SdpVideo> parse_sdp_h264(std::string_view sdp)
{
    SdpVideo video;
    bool in_video = false, found = false;
    std::vector<std::string_view> fmtps;  // of the section, in any order with its rtpmap
    while (!sdp.empty()) {
        size_t newline = sdp.find('\n');
        std::string_view line = trim(sdp.substr(0, newline));
        sdp.remove_prefix(newline == std::string_view::npos ? sdp.size() : newline + 1);
        if (line.substr(0, 2) == "m=") {
            if (found)
                break;  // the first H.264 video section only
            in_video = line.substr(2, 6) == "video ";
            video = SdpVideo();
            fmtps.clear();
            continue;
        }
        if (!in_video)
            continue;
        if (starts_with_nocase(line, "a=rtpmap:")) {
            std::string_view rest = line.substr(9);
            size_t space = rest.find(' ');
            if (space == std::string_view::npos || found)
                continue;
            std::optional<long> type = whole_number(rest.substr(0, space), 127);
            if (type && starts_with_nocase(trim(rest.substr(space + 1)), "H264/")) {
                video.payload_type = static_cast<int>(*type);
                found = true;
            }
        } else if (starts_with_nocase(line, "a=control:")) {
            video.control = std::string(trim(line.substr(10)));
        } else if (starts_with_nocase(line, "a=fmtp:")) {
            fmtps.push_back(line.substr(7));
        }
    }
    if (!found)
        return std::nullopt;
    for (std::string_view fmtp : fmtps) {
        size_t space = fmtp.find(' ');
        if (space == std::string_view::npos ||
            whole_number(fmtp.substr(0, space), 127) != std::optional<long>(video.payload_type))
            continue;
        std::string_view parameters = fmtp.substr(space + 1);
        while (!parameters.empty()) {
            size_t semicolon = parameters.find(';');
            std::string_view item = trim(parameters.substr(0, semicolon));
            parameters.remove_prefix(semicolon == std::string_view::npos ? parameters.size() : semicolon + 1);
            if (!starts_with_nocase(item, "sprop-parameter-sets="))
                continue;
            std::string_view sets = item.substr(21);
            while (!sets.empty()) {
                size_t comma = sets.find(',');
                std::optional<std::vector<uint8_t>> nal = base64_decode(sets.substr(0, comma));
                sets.remove_prefix(comma == std::string_view::npos ? sets.size() : comma + 1);
                if (!nal || nal->empty())
                    continue;
                video.parameter_sets.insert(video.parameter_sets.end(), start_code, start_code + 4);
                video.parameter_sets.insert(video.parameter_sets.end(), nal->begin(), nal->end());
            }
        }
    }
    return video;
}

std::string resolve_control_url(std::string_view base, std::string_view control)
{
    if (control.empty() || control == "*")
        return std::string(base);
    if (starts_with_nocase(control, "rtsp://"))
        return std::string(control);
    std::string url(base);
    if (url.empty() || url.back() != '/')
        url += '/';
    return url + std::string(control);
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view text)
{
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 3 / 4);
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            bytes.push_back(static_cast<uint8_t>(bits >> 16));
            bytes.push_back(static_cast<uint8_t>(bits >> 8));
            bytes.push_back(static_cast<uint8_t>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 3) {
        bytes.push_back(static_cast<uint8_t>(bits >> 10));
        bytes.push_back(static_cast<uint8_t>(bits >> 2));
    } else if (count == 2) {
        bytes.push_back(static_cast<uint8_t>(bits >> 4));
    }
    return bytes;
}

std::string RtspMessage::header(const std::string &name) const
{
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

long parse_rtsp_message(std::string_view data, RtspMessage &message)
{
    size_t head_end = data.find("\r\n\r\n");
    if (head_end == std::string_view::npos)
        return data.size() > max_rtsp_head ? -1 : 0;
    if (head_end > max_rtsp_head)
        return -1;
    std::string_view head = data.substr(0, head_end + 2);
    message = RtspMessage();
    size_t line_end = head.find("\r\n");
    std::string_view first = head.substr(0, line_end);
    if (first.substr(0, 5) == "RTSP/") {
        size_t space = first.find(' ');
        std::optional<long> status =
            space == std::string_view::npos ? std::nullopt : whole_number(first.substr(space + 1, 3), 999);
        if (!status || *status < 100)
            return -1;
        message.status = static_cast<int>(*status);
    } else if (first.find(" RTSP/") == std::string_view::npos) {
        return -1;  // neither a reply nor a request
    }
    head.remove_prefix(line_end + 2);
    while (!head.empty()) {
        line_end = head.find("\r\n");
        std::string_view line = head.substr(0, line_end);
        head.remove_prefix(line_end + 2);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue;
        std::string name(trim(line.substr(0, colon)));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(tolower(c)); });
        message.headers[name] = std::string(trim(line.substr(colon + 1)));
    }
    size_t body = 0;
    std::string length = message.header("content-length");
    if (!length.empty()) {
        std::optional<long> value = whole_number(length, max_rtsp_body);
        if (!value)
            return -1;
        body = static_cast<size_t>(*value);
    }
    size_t total = head_end + 4 + body;
    if (data.size() < total)
        return 0;
    message.body = std::string(data.substr(head_end + 4, body));
    return static_cast<long>(total);
}

RtspSessionHeader parse_session_header(std::string_view value)
{
    RtspSessionHeader session;
    size_t semicolon = value.find(';');
    session.id = std::string(trim(value.substr(0, semicolon)));
    while (semicolon != std::string_view::npos) {
        value.remove_prefix(semicolon + 1);
        semicolon = value.find(';');
        std::string_view item = trim(value.substr(0, semicolon));
        if (starts_with_nocase(item, "timeout=")) {
            std::optional<long> seconds = whole_number(item.substr(8), 86400);
            if (seconds && *seconds > 0)
                session.timeout_s = static_cast<int>(*seconds);
        }
    }
    return session;
}
