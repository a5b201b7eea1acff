// The request parser: what it reads of a request, what it refuses.
#include "http/http_server.h"

#include "support.h"

namespace {

struct Parsed {
    int result = 1;
    size_t used = 0;
    std::unique_ptr<http_request> request = std::make_unique<http_request>();

    Parsed() { http_request_reset(request.get()); }
    ~Parsed() { http_request_context_free(request.get()); }
    Parsed(Parsed &&) = default;
};

Parsed parse(const std::string &text)
{
    Parsed parsed;
    parsed.result = http_request_parse_http_header(parsed.request.get(), text.data(), text.size(), &parsed.used);
    return parsed;
}

std::string text(const char *field) { return field ? field : "(none)"; }

// Everything a handler can see of a request.
std::string describe(const Parsed &parsed)
{
    const http_request &r = *parsed.request;
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // a literal joined to a temporary string.
    std::string out = "result";
    auto add = [&](const char *label, const std::string &value) { out.append(label).append(value); };
    add(" ", std::to_string(parsed.result));
    add(" used ", std::to_string(parsed.used));
    if (parsed.result != 0)
        return out;
    add(" ", text(r.method));
    add(" ", text(r.target));
    add(" query ", text(r.query));
    add(" version ", std::to_string(r.major) + "." + std::to_string(r.minor));
    add(" host ", text(r.host));
    add(" connection ", text(r.connection));
    add(" type ", text(r.content_type));
    add(" agent ", text(r.user_agent));
    add(" length ", std::to_string(r.content_length));
    add(" allocated ", std::to_string(r.content_allocated));
    if (r.content)
        add(" body ", std::string(r.content, static_cast<size_t>(r.content_received)));
    return out;
}

const std::string get_request = "GET /api/status?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: tablet\r\n"
                                "Connection: close\r\n\r\n";
const std::string post_request = "POST /api/seats/request HTTP/1.0\r\nContent-Type: application/json\r\n"
                                 "Content-Length: 25\r\n\r\n{\"seat_role\": \"observer\"}";

// That a request parses the same in any pieces as whole, and that a body
// stays inside the buffer unless allocated, is the request fuzzer's check,
// from its seeds on (a body behind long headers among them); whole bodies
// arrive in the server's tests.
TEST(HttpParser, ReadsTheRequestLineAndKnownHeaders)
{
    EXPECT_EQ(describe(parse(get_request)), "result 0 used " + std::to_string(get_request.size()) +
                                                " GET /api/status?x=1 query ?x=1 version 1.1 host 127.0.0.1"
                                                " connection close type (none) agent tablet length 0 allocated 0");
    // Names in any case; blanks before a value skipped; the last of a repeated header wins.
    Parsed mixed = parse("PUT / HTTP/1.1\r\nhOST:\t \t first\r\nhost:  second \r\nCONTENT-TYPE:x\r\n"
                         "content-length: 3\r\n\r\nabc");
    EXPECT_EQ(describe(mixed), "result 0 used 88 PUT / query (none) version 1.1 host second  connection (none)"
                               " type x agent (none) length 3 allocated 0 body abc");
    // Version 0.9: GET only.
    EXPECT_EQ(describe(parse("GET /api/status/more\r\n")), "result 0 used 22 GET /api/status/more query (none)"
                                                             " version 0.9 host (none) connection (none) type (none)"
                                                             " agent (none) length 0 allocated 0");
    // Field values may carry UTF-8 text and tabs.
    Parsed utf8 = parse("GET / HTTP/1.1\r\nUser-Agent: Caf\xc3\xa9\tTablet/2\r\nX: \xff\r\n\r\n");
    EXPECT_EQ(utf8.result, 0);
    EXPECT_STREQ(utf8.request->user_agent, "Caf\xc3\xa9\tTablet/2");
    EXPECT_EQ(parse("POST /api/status\r\n").result, -1);
    EXPECT_EQ(parse("GETX /api/status\r\n").result, -1);
}

TEST(HttpParser, MalformedRequests)
{
    for (const std::string &request : {
             std::string("GET /a HTTP/1.1\r\nHost:\r\n\r\n"),           // empty value
             std::string("GET /a HTTP/1.1\r\nHost:   \r\n\r\n"),        // blanks only
             std::string("G(T /a HTTP/1.1\r\n\r\n"),                    // separator in the method
             std::string("GET /a\tb HTTP/1.1\r\n\r\n"),                 // control byte in the target
             std::string("GET /a HTTP/1.x\r\n\r\n"),
             std::string("GET /a HTTPS/1.1\r\n\r\n"),
             std::string("GET /a HTTP/1.1\n\n"),                        // bare line feeds
             std::string("GET /a HTTP/12345.1\r\n\r\n"),                // absurd version
             std::string("GET /a HTTP/1.1\r\nBad Name: x\r\n\r\n"),
             std::string("GET /a HTTP/1.1\r\nX: a\x01z\r\n\r\n"),         // control byte in a value
             std::string("GET /a HTTP/1.1\r\nX: a\x7fz\r\n\r\n"),
             std::string("POST /a HTTP/1.1\r\nContent-Length: -5\r\n\r\n"),
             std::string("POST /a HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n"),
             "GET /" + std::string(8200, 'a') + " HTTP/1.1\r\n\r\n",     // tokens overflow the buffer
         }) {
        Parsed got = parse(request);
        EXPECT_EQ(got.result, -1) << request.substr(0, 60);
        // The error state is final.
        EXPECT_EQ(http_request_parse_http_header(got.request.get(), "\r\n\r\n", 4), -1);
    }
}

TEST(HttpParser, IncompleteUntilTheWholeBodyIsThere)
{
    Parsed got = parse(post_request.substr(0, post_request.size() - 1));
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(http_request_parse_http_header(got.request.get(), "}", 1), 0);
    // Complete is final too: nothing more is consumed.
    size_t used = 99;
    EXPECT_EQ(http_request_parse_http_header(got.request.get(), "more", 4, &used), 0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(parse("").result, 1);
}

}  // namespace
