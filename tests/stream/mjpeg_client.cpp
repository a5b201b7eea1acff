#include "mjpeg_client.h"

#include "mjpeg_server.h"
#include "support.h"

namespace vx4test {

MjpegClient::MjpegClient(int port, int receive_buffer) : fd_(connect_tcp(port, receive_buffer)) {}

MjpegClient::~MjpegClient()
{
    if (fd_ >= 0)
        close(fd_);
}

bool MjpegClient::send(const std::string &bytes)
{
    return fd_ >= 0 && send_all(fd_, bytes);
}

void MjpegClient::pump(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (fd_ >= 0 && !closed_) {
        // At least one look, even with no time left.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watch{fd_, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0)
            break;
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) {
            closed_ = true;
            break;
        }
        raw_.append(buffer, static_cast<size_t>(got));
    }
}

bool MjpegClient::wait_parts(size_t count, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (parts().size() < count && !closed_ && !malformed_ && std::chrono::steady_clock::now() < deadline)
        pump(std::chrono::milliseconds(50));
    return parts().size() >= count;
}

std::string MjpegClient::header() const
{
    return raw_.size() >= mjpeg_stream_header.size() ? raw_.substr(0, mjpeg_stream_header.size()) : "";
}

const std::vector<std::string> &MjpegClient::parts()
{
    parse();
    return parts_;
}

void MjpegClient::parse()
{
    if (parsed_ == 0) {
        if (raw_.size() < mjpeg_stream_header.size())
            return;
        if (raw_.compare(0, mjpeg_stream_header.size(), mjpeg_stream_header) != 0) {
            malformed_ = true;
            return;
        }
        parsed_ = mjpeg_stream_header.size();
    }
    static const std::string lead = "--frame\r\nContent-Type: image/jpg\r\nContent-Length: ";
    while (!malformed_) {
        if (raw_.size() < parsed_ + lead.size())
            return;
        if (raw_.compare(parsed_, lead.size(), lead) != 0) {
            malformed_ = true;
            return;
        }
        size_t end = raw_.find("\r\n\r\n", parsed_ + lead.size());
        if (end == std::string::npos)
            return;
        std::string digits = raw_.substr(parsed_ + lead.size(), end - parsed_ - lead.size());
        char *stop = nullptr;
        unsigned long length = strtoul(digits.c_str(), &stop, 10);
        if (digits.empty() || *stop) {
            malformed_ = true;
            return;
        }
        if (raw_.size() < end + 4 + length)
            return;
        parts_.push_back(raw_.substr(end + 4, length));
        parsed_ = end + 4 + length;
    }
}

}  // namespace vx4test
