// Requests come from any client on the network. The first two bytes choose
// how the rest is split into reads; a request parsed in pieces must come out
// exactly as the same request parsed whole.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "http/http_server.h"

namespace {

struct Parse {
    std::unique_ptr<http_request> request = std::make_unique<http_request>();
    int result = 1;
    size_t used = 0;
    Parse() { http_request_reset(request.get()); }
    ~Parse() { http_request_context_free(request.get()); }
};

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

long offset(const http_request &r, const char *p) { return p ? p - r.buffer : -1; }

bool same_text(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

void check_inside(const http_request &r)
{
    const char *end = r.buffer + sizeof r.buffer;
    check(r.write_pointer >= r.buffer && r.write_pointer <= end);
    for (const char *p : {r.method, r.target, r.query, r.header_name, r.header_value, r.host, r.connection,
                          r.user_agent, r.accept, r.content_type})
        check(!p || (p >= r.buffer && p < end));
    check(r.content_received <= static_cast<uint64_t>(r.content_length < 0 ? 0 : r.content_length));
    if (r.content && !r.content_allocated)
        check(r.content + r.content_length <= end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint32_t state = static_cast<uint32_t>(data[0]) << 8 | data[1];
    const char *text = reinterpret_cast<const char *>(data + 2);
    size_t length = size - 2;

    Parse whole;
    whole.result = http_request_parse_http_header(whole.request.get(), text, length, &whole.used);
    check_inside(*whole.request);

    Parse pieces;
    for (size_t at = 0; at < length && pieces.result == 1;) {
        state = state * 1103515245u + 12345u;
        size_t piece = 1 + (state >> 16) % (state & 1 ? 4 : 300);
        if (piece > length - at)
            piece = length - at;
        size_t used = 0;
        pieces.result = http_request_parse_http_header(pieces.request.get(), text + at, piece, &used);
        check(used <= piece);
        pieces.used += used;
        at += piece;
        check_inside(*pieces.request);
    }
    if (length == 0)
        return 0;

    const http_request &a = *whole.request;
    const http_request &b = *pieces.request;
    check(whole.result == pieces.result && whole.used == pieces.used && a.state == b.state);
    if (whole.result != 0)
        return 0;
    check(offset(a, a.method) == offset(b, b.method) && offset(a, a.target) == offset(b, b.target) &&
          offset(a, a.query) == offset(b, b.query) && a.major == b.major && a.minor == b.minor);
    check(same_text(a.method, b.method) && same_text(a.target, b.target) && same_text(a.host, b.host) &&
          same_text(a.connection, b.connection) && same_text(a.content_type, b.content_type) &&
          same_text(a.accept, b.accept) && same_text(a.user_agent, b.user_agent));
    check(a.content_length == b.content_length && a.content_allocated == b.content_allocated &&
          a.content_received == b.content_received);
    check(a.content_received == static_cast<uint64_t>(a.content_length));
    if (a.content_length > 0)
        check(memcmp(a.content, b.content, static_cast<size_t>(a.content_length)) == 0);
    return 0;
}
