// A viewer of vx4-stream's MJPEG service for the tests: connects, sends a
// request and splits what arrives into the stream header and the JPEG parts.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vx4test {

class MjpegClient {
public:
    // Connects to 127.0.0.1:port; receive_buffer > 0 shrinks the socket's
    // receive buffer (before connecting) to model a slow viewer.
    explicit MjpegClient(int port, int receive_buffer = 0);
    ~MjpegClient();
    MjpegClient(const MjpegClient &) = delete;
    MjpegClient &operator=(const MjpegClient &) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string &bytes);
    // Reads what arrives for up to the timeout (less once the peer closes).
    void pump(std::chrono::milliseconds timeout);
    // Pumps until `count` parts have arrived in all, or the timeout passes.
    bool wait_parts(size_t count, std::chrono::milliseconds timeout);
    bool closed() const { return closed_; }

    const std::string &raw() const { return raw_; }
    // The stream header, once complete ("" before).
    std::string header() const;
    // The JPEG of every complete part so far. A malformed part stops the
    // parse and sets malformed().
    const std::vector<std::string> &parts();
    bool malformed() const { return malformed_; }

private:
    void parse();

    int fd_ = -1;
    bool closed_ = false;
    bool malformed_ = false;
    std::string raw_;
    size_t parsed_ = 0;  // bytes of raw_ taken by the header and parts
    std::vector<std::string> parts_;
};

}  // namespace vx4test
