// The camera module's ICMP echo: one request, the reply awaited on the event
// loop for up to 450 ms, so the loop never waits for it.
//
// A raw ICMP socket needs CAP_NET_RAW; without it the ping uses an ICMP
// datagram socket (allowed where net.ipv4.ping_group_range admits the
// process's group), on which the kernel picks the identifier and hands over
// only the replies to it.
#pragma once

#include <ev.h>

#include <cstddef>
#include <cstdint>

constexpr size_t VX4_PING_SIZE = 40;  // 8 bytes of header, 32 of payload

uint16_t vx4_internet_checksum(const uint8_t *data, size_t length);
// An echo request: type 8, code 0, the checksum, identifier and sequence,
// and a payload of '0' to 'N' and a zero.
void vx4_build_ping_request(uint8_t packet[VX4_PING_SIZE], uint16_t identifier, uint16_t sequence);

enum vx4_ping_verdict {
    VX4_PING_OTHER = 0,    // not the answer to this request: keep waiting
    VX4_PING_ANSWERED,     // the echo reply with this identifier and sequence
    VX4_PING_UNREACHABLE,  // destination unreachable for this request
};
// Judges one received packet. ip_header: the packet starts with its IPv4
// header (raw sockets); otherwise it is the ICMP message alone.
vx4_ping_verdict vx4_check_ping_reply(const uint8_t *packet, size_t length, bool ip_header, uint16_t identifier,
                                      uint16_t sequence);

using vx4_ping_done = void (*)(bool answered);
// Sends one echo request to host (an IPv4 address) and calls done on the
// loop with the outcome: false at once when no socket could be opened or
// the request not sent, or when no answer came within 450 ms. false, and
// nothing sent, while the previous ping still waits.
bool vx4_start_camera_ping(struct ev_loop *loop, const char *host, vx4_ping_done done);
