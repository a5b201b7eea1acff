// The simulated head's bus (VX4_POWER_BOARD=sim:PATH): one Unix stream
// socket, one request line and one reply line per bus call. Replies are
// "OK", "OK <hex>" or "ERR <code>".
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform.h"
#include "power_board/bus_backend.h"

namespace {

constexpr int reply_timeout_ms = 1000;

std::mutex bus_lock;
int bus_fd = -1;
std::string received;  // what came after the last reply line

bool connect_bus()
{
    if (bus_fd >= 0)
        return true;
    std::string path = vx4_platform().power_board.substr(4);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    bus_fd = fd;
    received.clear();
    return true;
}

void drop_bus()
{
    close(bus_fd);
    bus_fd = -1;
    received.clear();
}

bool send_line(const std::string &line)
{
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(bus_fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Sends one request and reads its reply. A bus that does not answer in time
// is dropped (and connected afresh at the next call), so that a late reply is
// never taken for the answer to a later request.
mraa_result_t exchange(const std::string &request, std::string *payload)
{
    std::lock_guard<std::mutex> hold(bus_lock);
    if (!connect_bus())
        return MRAA_ERROR_NO_RESOURCES;
    if (!send_line(request + "\n")) {
        // The far end went away (the simulator restarted): the request was
        // never delivered, so it goes once more on a new connection.
        drop_bus();
        if (!connect_bus() || !send_line(request + "\n")) {
            drop_bus();
            return MRAA_ERROR_NO_RESOURCES;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_timeout_ms);
    size_t end;
    while ((end = received.find('\n')) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watch{bus_fd, POLLIN, 0};
        int ready = left.count() > 0 ? poll(&watch, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            drop_bus();
            return MRAA_ERROR_NO_DATA_AVAILABLE;
        }
        char buffer[4096];
        ssize_t n = recv(bus_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            drop_bus();
            return MRAA_ERROR_NO_RESOURCES;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    std::string reply = received.substr(0, end);
    received.erase(0, end + 1);
    if (reply == "OK")
        return MRAA_SUCCESS;
    if (reply.rfind("OK ", 0) == 0) {
        if (payload)
            *payload = reply.substr(3);
        return MRAA_SUCCESS;
    }
    if (reply.rfind("ERR ", 0) == 0) {
        char *stop = nullptr;
        long code = strtol(reply.c_str() + 4, &stop, 10);
        if (*stop == '\0' && code > 0 && code <= MRAA_ERROR_UNSPECIFIED)
            return static_cast<mraa_result_t>(code);
    }
    return MRAA_ERROR_UNSPECIFIED;
}

std::string to_hex(const uint8_t *bytes, int length)
{
    std::string hex(static_cast<size_t>(length) * 2, '0');
    for (int i = 0; i < length; ++i)
        snprintf(&hex[static_cast<size_t>(i) * 2], 3, "%02X", bytes[i]);
    return hex;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool from_hex(const std::string &hex, uint8_t *bytes, int length)
{
    if (hex.size() != static_cast<size_t>(length) * 2)
        return false;
    for (int i = 0; i < length; ++i) {
        int high = hex_digit(hex[2 * static_cast<size_t>(i)]);
        int low = hex_digit(hex[2 * static_cast<size_t>(i) + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string gpio_request(const _gpio *gpio, const std::string &what)
{
    return "GPIO " + std::to_string(gpio->pin) + " " + what;
}

}  // namespace

namespace vx4_bus_sim {

mraa_result_t gpio_init(_gpio *gpio) { return exchange(gpio_request(gpio, "INIT"), nullptr); }

mraa_result_t gpio_dir(_gpio *gpio, mraa_gpio_dir_t dir)
{
    return exchange(gpio_request(gpio, dir == MRAA_GPIO_OUT ? "DIR OUT" : "DIR IN"), nullptr);
}

mraa_result_t gpio_write(_gpio *gpio, int value)
{
    return exchange(gpio_request(gpio, "WRITE " + std::to_string(value)), nullptr);
}

void gpio_close(_gpio *gpio) { exchange(gpio_request(gpio, "CLOSE"), nullptr); }

mraa_result_t spi_init(_spi *spi) { return exchange("SPI " + std::to_string(spi->bus) + " INIT", nullptr); }

mraa_result_t spi_mode(_spi *, mraa_spi_mode_t mode)
{
    return exchange("SPI MODE " + std::to_string(static_cast<int>(mode)), nullptr);
}

mraa_result_t spi_frequency(_spi *spi, int hz)
{
    spi->frequency = static_cast<uint32_t>(hz);
    return exchange("SPI FREQ " + std::to_string(hz), nullptr);
}

mraa_result_t spi_lsbmode(_spi *, bool lsb) { return exchange(lsb ? "SPI LSB 1" : "SPI LSB 0", nullptr); }

mraa_result_t spi_transfer(_spi *, const uint8_t *data, uint8_t *rx, int length)
{
    std::string hex;
    mraa_result_t result = exchange("SPI XFER " + to_hex(data, length), &hex);
    if (result == MRAA_SUCCESS && !from_hex(hex, rx, length))
        return MRAA_ERROR_UNSPECIFIED;
    return result;
}

void spi_stop(_spi *) { exchange("SPI STOP", nullptr); }

}  // namespace vx4_bus_sim
