#include "rtsp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t buffer_size = 256 * 1024;  // a data packet is at most 64 KB, a message 80 KB
constexpr int poll_slice_ms = 100;           // how often a wait looks at the stop flag

int ms_until(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long>(left.count(), 0, poll_slice_ms));
}

struct UrlParts {
    std::string host, port = "554";
};

// rtsp://host[:port][/path]; user names and passwords are not taken here.
bool split_url(const std::string &url, UrlParts &parts)
{
    if (url.compare(0, 7, "rtsp://") != 0)
        return false;
    std::string rest = url.substr(7);
    std::string authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.empty() || authority.find('@') != std::string::npos || authority[0] == '[')
        return false;
    size_t colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        parts.port = authority.substr(colon + 1);
        if (parts.port.empty() || parts.port.size() > 5 ||
            parts.port.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    return !parts.host.empty();
}

}  // namespace

RtspClient::RtspClient(std::function<bool()> interrupted)
    : interrupted_(std::move(interrupted)), buffer_(buffer_size)
{
}

RtspClient::~RtspClient() { close(); }

bool RtspClient::fail(const std::string &why)
{
    error_ = why;
    return false;
}

std::string RtspClient::open(const std::string &url, int timeout_ms)
{
    close();
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    UrlParts parts;
    if (!split_url(url, parts))
        return unsupported;
    url_ = url;

    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(parts.host.c_str(), parts.port.c_str(), &hints, &found) != 0 || !found)
        return "cannot resolve " + parts.host;
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int result = socket_ < 0 ? -1 : connect(socket_, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (socket_ < 0 || (result != 0 && errno != EINPROGRESS)) {
        std::string why = std::string("connect: ") + strerror(errno);
        close();
        return why;
    }
    for (;;) {
        pollfd wait{socket_, POLLOUT, 0};
        if (poll(&wait, 1, ms_until(deadline)) > 0)
            break;
        if (interrupted_() || Clock::now() >= deadline) {
            close();
            return "connect: timed out";
        }
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        close();
        return std::string("connect: ") + strerror(error);
    }
    int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    RtspMessage reply;
    auto exchange = [&](const std::string &method, const std::string &target, const std::string &headers) {
        return send_request(method, target, headers, deadline) && wait_reply(reply, deadline);
    };
    // Replies this client does not handle (authentication, redirection) go
    // to the general reader too.
    auto refused = [&](const char *method) {
        std::string why = std::string(method) + " answered " + std::to_string(reply.status);
        close();
        return (reply.status == 401 || (reply.status >= 300 && reply.status < 400)) ? std::string(unsupported) : why;
    };

    if (!exchange("DESCRIBE", url_, "Accept: application/sdp\r\n")) {
        close();
        return "DESCRIBE: " + error_;
    }
    if (reply.status != 200)
        return refused("DESCRIBE");
    std::optional<SdpVideo> video = parse_sdp_h264(reply.body);
    if (!video) {
        close();
        return unsupported;
    }
    video_ = std::move(*video);
    std::string base = reply.header("content-base");
    if (base.empty())
        base = url_;
    depacketizer_ = H264Depacketizer(video_.payload_type);

    if (!exchange("SETUP", resolve_control_url(base, video_.control),
                  "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")) {
        close();
        return "SETUP: " + error_;
    }
    if (reply.status != 200)
        return refused("SETUP");
    RtspSessionHeader session = parse_session_header(reply.header("session"));
    session_ = session.id;
    keepalive_s_ = std::max(1, session.timeout_s / 2);
    std::string transport = reply.header("transport");
    size_t interleaved = transport.find("interleaved=");
    rtp_channel_ = interleaved == std::string::npos ? 0 : atoi(transport.c_str() + interleaved + 12);

    if (!exchange("PLAY", base, "Range: npt=0.000-\r\n")) {
        close();
        return "PLAY: " + error_;
    }
    if (reply.status != 200)
        return refused("PLAY");
    last_keepalive_ = Clock::now();
    return "";
}

bool RtspClient::send_request(const std::string &method, const std::string &url, const std::string &headers,
                              Clock::time_point deadline)
{
    std::string request = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                          "\r\nUser-Agent: vx4-stream\r\n";
    if (!session_.empty())
        request += "Session: " + session_ + "\r\n";
    request += headers + "\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(socket_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return fail(std::string("send: ") + strerror(errno));
        if (interrupted_())
            return fail("interrupted");
        if (Clock::now() >= deadline)
            return fail("send timed out");
        pollfd wait{socket_, POLLOUT, 0};
        poll(&wait, 1, ms_until(deadline));
    }
    return true;
}

bool RtspClient::wait_reply(RtspMessage &reply, Clock::time_point deadline)
{
    for (;;) {
        std::string_view unread(reinterpret_cast<const char *>(buffer_.data()) + begin_, end_ - begin_);
        if (!unread.empty() && unread[0] == '$') {  // data before the reply: not wanted yet
            if (unread.size() >= 4) {
                size_t length = (size_t{static_cast<uint8_t>(unread[2])} << 8) | static_cast<uint8_t>(unread[3]);
                if (unread.size() >= 4 + length) {
                    begin_ += 4 + length;
                    continue;
                }
            }
        } else if (!unread.empty()) {
            long taken = parse_rtsp_message(unread, reply);
            if (taken < 0)
                return fail("malformed reply");
            if (taken > 0) {
                begin_ += static_cast<size_t>(taken);
                if (reply.status != 0)
                    return true;
                continue;  // a request from the server: not answered
            }
        }
        if (!fill(deadline))
            return false;
    }
}

bool RtspClient::fill(Clock::time_point deadline)
{
    if (begin_ == end_)
        begin_ = end_ = 0;
    if (end_ == buffer_.size()) {
        if (begin_ == 0)
            return fail("message too long");
        std::copy(buffer_.begin() + static_cast<long>(begin_), buffer_.begin() + static_cast<long>(end_),
                  buffer_.begin());
        end_ -= begin_;
        begin_ = 0;
    }
    for (;;) {
        ssize_t n = recv(socket_, buffer_.data() + end_, buffer_.size() - end_, 0);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return true;
        }
        if (n == 0)
            return fail("connection closed");
        if (errno != EAGAIN && errno != EINTR)
            return fail(std::string("recv: ") + strerror(errno));
        if (interrupted_())
            return fail("interrupted");
        if (Clock::now() >= deadline)
            return fail("no data in time");
        pollfd wait{socket_, POLLIN, 0};
        poll(&wait, 1, ms_until(deadline));
    }
}

bool RtspClient::read(int timeout_ms, const H264Depacketizer::UnitHandler &on_unit)
{
    if (socket_ < 0)
        return fail("not open");
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (Clock::now() - last_keepalive_ > std::chrono::seconds(keepalive_s_)) {
        // The session lives while the camera hears from us; its reply is
        // skipped among the data.
        last_keepalive_ = Clock::now();
        if (!send_request("OPTIONS", url_, "", deadline))
            return false;
    }
    bool delivered = false;
    auto deliver = [&](const uint8_t *data, size_t size) {
        delivered = true;
        on_unit(data, size);
    };
    for (;;) {
        const uint8_t *unread = buffer_.data() + begin_;
        size_t available = end_ - begin_;
        if (available >= 4 && unread[0] == '$') {
            size_t length = (size_t{unread[2]} << 8) | unread[3];
            if (available >= 4 + length) {
                begin_ += 4 + length;
                if (unread[1] == rtp_channel_)
                    depacketizer_.push(unread + 4, length, deliver);
                if (delivered)
                    return true;
                continue;
            }
        } else if (available > 0 && unread[0] != '$') {
            RtspMessage message;
            long taken = parse_rtsp_message(
                std::string_view(reinterpret_cast<const char *>(unread), available), message);
            if (taken < 0)
                return fail("malformed data");
            if (taken > 0) {
                begin_ += static_cast<size_t>(taken);
                continue;
            }
        }
        if (!fill(deadline))
            return false;
    }
}

void RtspClient::close()
{
    if (socket_ >= 0) {
        if (!session_.empty()) {  // a courtesy: nothing waits for the reply
            std::string teardown = "TEARDOWN " + url_ + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                                   "\r\nSession: " + session_ + "\r\n\r\n";
            [[maybe_unused]] ssize_t ignored = send(socket_, teardown.data(), teardown.size(), MSG_NOSIGNAL);
        }
        ::close(socket_);
    }
    socket_ = -1;
    session_.clear();
    begin_ = end_ = 0;
}
