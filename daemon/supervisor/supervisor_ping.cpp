#include "supervisor/supervisor_ping.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/trace.h"

namespace {

constexpr double reply_seconds = 0.45;  // 90 looks 5 ms apart
constexpr uint8_t echo_reply = 0;
constexpr uint8_t unreachable = 3;
constexpr uint8_t echo_request = 8;

struct ping_state {
    bool active = false;
    struct ev_loop *loop = nullptr;
    int fd = -1;
    bool raw = false;
    uint16_t identifier = 0;
    uint16_t sequence = 0;
    uint16_t next_sequence = 0;
    ev_io watcher;
    ev_timer deadline;
    vx4_ping_done done = nullptr;
};
ping_state ping;

uint16_t read16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

void finish(bool answered)
{
    ev_io_stop(ping.loop, &ping.watcher);
    ev_timer_stop(ping.loop, &ping.deadline);
    if (ping.fd >= 0)
        close(ping.fd);
    ping.fd = -1;
    ping.active = false;
    if (ping.done)
        ping.done(answered);
}

void on_readable(struct ev_loop *, ev_io *, int)
{
    uint8_t packet[1500];
    for (;;) {
        ssize_t n = recv(ping.fd, packet, sizeof packet, MSG_DONTWAIT);
        if (n < 0)
            return;  // nothing more now; a hard error ends at the deadline
        vx4_ping_verdict verdict = vx4_check_ping_reply(packet, static_cast<size_t>(n), ping.raw, ping.identifier,
                                                        ping.sequence);
        if (verdict != VX4_PING_OTHER) {
            finish(verdict == VX4_PING_ANSWERED);
            return;
        }
    }
}

void on_deadline(struct ev_loop *, ev_timer *, int) { finish(false); }

// A raw socket where allowed, else an ICMP datagram socket.
int open_socket(bool *raw)
{
    int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    *raw = fd >= 0;
    if (fd < 0 && (errno == EPERM || errno == EACCES))
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    return fd;
}

}  // namespace

uint16_t vx4_internet_checksum(const uint8_t *data, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += read16(data + i);
    if (length % 2)
        sum += static_cast<uint32_t>(data[length - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void vx4_build_ping_request(uint8_t packet[VX4_PING_SIZE], uint16_t identifier, uint16_t sequence)
{
    memset(packet, 0, VX4_PING_SIZE);
    packet[0] = echo_request;
    packet[4] = static_cast<uint8_t>(identifier >> 8);
    packet[5] = static_cast<uint8_t>(identifier);
    packet[6] = static_cast<uint8_t>(sequence >> 8);
    packet[7] = static_cast<uint8_t>(sequence);
    for (int i = 0; i < 31; ++i)
        packet[8 + i] = static_cast<uint8_t>('0' + i);
    uint16_t checksum = vx4_internet_checksum(packet, VX4_PING_SIZE);
    packet[2] = static_cast<uint8_t>(checksum >> 8);
    packet[3] = static_cast<uint8_t>(checksum);
}

vx4_ping_verdict vx4_check_ping_reply(const uint8_t *packet, size_t length, bool ip_header, uint16_t identifier,
                                      uint16_t sequence)
{
    if (ip_header) {
        if (length < 20 || packet[0] >> 4 != 4)
            return VX4_PING_OTHER;
        size_t header = (packet[0] & 0x0F) * 4u;
        if (header < 20 || header > length)
            return VX4_PING_OTHER;
        packet += header;
        length -= header;
    }
    if (length < 8 || vx4_internet_checksum(packet, length) != 0)
        return VX4_PING_OTHER;
    if (packet[0] == echo_reply)
        return read16(packet + 4) == identifier && read16(packet + 6) == sequence ? VX4_PING_ANSWERED
                                                                                  : VX4_PING_OTHER;
    if (packet[0] != unreachable)
        return VX4_PING_OTHER;
    // A raw socket sees every unreachable of the host: only the one quoting
    // this request ends the wait.
    const uint8_t *quoted = packet + 8;
    size_t left = length - 8;
    if (left < 20 || quoted[0] >> 4 != 4)
        return VX4_PING_OTHER;
    size_t quoted_header = (quoted[0] & 0x0F) * 4u;
    if (quoted_header < 20 || left < quoted_header + 8)
        return VX4_PING_OTHER;
    const uint8_t *echo = quoted + quoted_header;
    bool ours = echo[0] == echo_request && read16(echo + 4) == identifier && read16(echo + 6) == sequence;
    return ours ? VX4_PING_UNREACHABLE : VX4_PING_OTHER;
}

bool vx4_start_camera_ping(struct ev_loop *loop, const char *host, vx4_ping_done done)
{
    if (ping.active)
        return false;
    ping.active = true;
    ping.loop = loop;
    ping.done = done;
    ping.sequence = ping.next_sequence++;
    ev_io_init(&ping.watcher, on_readable, -1, EV_READ);
    ev_timer_init(&ping.deadline, on_deadline, reply_seconds, 0.0);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    int ttl = 255;
    ping.fd = open_socket(&ping.raw);
    if (ping.fd < 0 || inet_pton(AF_INET, host, &address.sin_addr) != 1 ||
        setsockopt(ping.fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) {
        trace(TRACE_CAMERA_PING, "ping open fail %d", errno);
        finish(false);
        return true;
    }
    if (!ping.raw) {
        // The kernel sets the identifier of a datagram socket to its port.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t length = sizeof local;
        if (bind(ping.fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
            getsockname(ping.fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
            trace(TRACE_CAMERA_PING, "ping bind fail %d", errno);
            finish(false);
            return true;
        }
        ping.identifier = ntohs(local.sin_port);
    } else {
        ping.identifier = static_cast<uint16_t>(getpid());
    }
    uint8_t request[VX4_PING_SIZE];
    vx4_build_ping_request(request, ping.identifier, ping.sequence);
    if (sendto(ping.fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&address), sizeof address) !=
        static_cast<ssize_t>(sizeof request)) {
        trace(TRACE_CAMERA_PING, "ping send fail %d", errno);
        finish(false);
        return true;
    }
    ev_io_set(&ping.watcher, ping.fd, EV_READ);
    ev_io_start(loop, &ping.watcher);
    ev_timer_start(loop, &ping.deadline);
    return true;
}
