// The server over real loopback sockets.
#include "http/http_server.h"

#include "core/trace.h"
#include "support.h"

using namespace vx4test;
using steady = std::chrono::steady_clock;

namespace {

// Replies "<name> <method> <target> <content length> <body>" and closes.
int describing_handler(http_connection *connection, const char *body, int64_t length, void *user_data)
{
    std::string text = std::string(static_cast<const char *>(user_data)) + " " + connection->request.method + " " +
                       connection->request.target + " " + std::to_string(length) + " " +
                       (body ? std::string(body, static_cast<size_t>(length)) : "");
    std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + text;
    http_connection_send(connection, reply.data(), reply.size());
    return 0;
}

std::atomic<int> closes{0};

// Stays bound and echoes every later read.
int echo_handler(http_connection *connection, const char *bytes, int64_t count, void *)
{
    if (connection->request.state == HTTP_REQUEST_COMPLETE && bytes == connection->request.content)
        return 1;
    http_connection_send(connection, bytes, static_cast<size_t>(count));
    return 1;
}

void count_close(http_connection *, void *) { ++closes; }

constexpr size_t long_reply_size = 4 << 20;

int long_reply_handler(http_connection *connection, const char *, int64_t, void *)
{
    std::string reply(long_reply_size, '\0');
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<char>('a' + i % 26);
    http_connection_send(connection, reply.data(), reply.size());
    return 0;
}

int connect_client(int port, int receive_buffer = 0)
{
    int fd = connect_tcp(port, receive_buffer);
    EXPECT_GE(fd, 0);
    return fd;
}

void send_text(int fd, const std::string &text) { ASSERT_TRUE(send_all(fd, text)); }

std::string body_of(const std::string &reply)
{
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "(no reply) " + reply : reply.substr(end + 4);
}

class HttpServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        root.write("/media/usb99/trace_mask", "0x00020000");
        init_trace();
        port = free_tcp_port();
        server = http_server_init(port, 15);
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override
    {
        stop = true;
        if (loop.joinable())
            loop.join();
        http_server_destroy(server);
    }
    void add(const char *method, const char *path, const char *name)
    {
        ASSERT_EQ(http_server_register_handler(server, method, path, describing_handler, nullptr,
                                               const_cast<char *>(name)), 0);
    }
    void serve()
    {
        loop = std::thread([this] {
            while (!stop)
                http_server_process_events(server, 20);
        });
    }
    std::string ask(const std::string &request) { return tcp_exchange(port, request); }
    std::string trace() const { return root.read("/media/usb99/trace"); }

    SandboxRoot root;
    int port = 0;
    http_server *server = nullptr;
    std::atomic<bool> stop{false};
    std::thread loop;
};

TEST_F(HttpServer, MatchesMethodAndPathPrefixInRegistrationOrder)
{
    add("GET", "/api/status", "status");
    add("GET", "/api/setup/time", "get-time");
    add("PUT", "/api/setup/time", "put-time");
    add("GET", "/api/led/intensity", "intensity");
    add("POST", "/api/led/intensity/increment", "increment");
    add("*", "/api/any", "any");
    add("GET", "/api/status/never", "shadowed");
    serve();

    // No route for the method, or a method in the wrong case: the 404 page, byte for byte.
    const std::string not_found(http_not_found_response, http_not_found_length);
    const std::pair<std::string, std::string> cases[] = {
        {"GET /api/status HTTP/1.1\r\n\r\n", "status GET /api/status 0 "},
        {"GET /api/status/never HTTP/1.1\r\n\r\n", "status GET /api/status/never 0 "},
        {"GET /api/statusXYZ\r\n", "status GET /api/statusXYZ 0 "},
        {"GET /api/setup/time?zone=1 HTTP/1.0\r\n\r\n", "get-time GET /api/setup/time?zone=1 0 "},
        {"PUT /api/setup/time HTTP/1.1\r\nContent-Length: 16\r\n\r\n{\"time\":\"7:5:3\"}",
         "put-time PUT /api/setup/time 16 {\"time\":\"7:5:3\"}"},
        {"GET /api/led/intensity/increment HTTP/1.1\r\n\r\n", "intensity GET /api/led/intensity/increment 0 "},
        {"DELETE /api/any/thing HTTP/1.1\r\n\r\n", "any DELETE /api/any/thing 0 "},
        {"DELETE /api/status HTTP/1.1\r\n\r\n", ""}, {"POST /api/led/intensity HTTP/1.1\r\n\r\n", ""},
        {"get /api/status HTTP/1.1\r\n\r\n", ""}, {"GET /api/stat HTTP/1.0\r\n\r\n", ""},
    };
    for (const auto &[request, body] : cases)
        EXPECT_EQ(body.empty() ? ask(request) : body_of(ask(request)), body.empty() ? not_found : body) << request;
}

TEST_F(HttpServer, IdleConnectionsGiveWayToAWaitingClientTheOldestFirst)
{
    add("GET", "/", "root");
    serve();
    // One client with its request under way, then a flood of idle ones.
    int partial = connect_client(port);
    send_text(partial, "GET /slo");
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(connect_client(port));
    auto start = steady::now();
    int late = connect_client(port);
    send_text(late, "GET /late HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body_of(receive_tcp(late)), "root GET /late 0 ");
    EXPECT_LT(steady::now() - start, 1000ms);
    bool closed = false;
    EXPECT_EQ(receive_tcp(idle.front(), 100ms, &closed), "");
    EXPECT_TRUE(closed) << "the oldest idle connection gives way";
    // The request under way is finished and served, within the time-out.
    send_text(partial, "w HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body_of(receive_tcp(partial)), "root GET /slow 0 ");
    for (int fd : idle)
        close(fd);
    close(late);
    close(partial);
}

TEST_F(HttpServer, StalledClientsAreClosedAfterTheRequestTimeOut)
{
    add("GET", "/", "root");
    http_server_set_request_timeout(server, 300);
    serve();
    auto start = steady::now();
    std::vector<int> stalled;
    for (const char *sent : {"", "GET /api/sta", "G(T / HTTP/1.1\r\n\r\n"})
        for (int i = 0; i < 5; ++i) {
            stalled.push_back(connect_client(port));
            if (*sent)
                send_text(stalled.back(), sent);
        }
    // All 15 slots are taken; a new client is served once they time out.
    int late = connect_client(port);
    send_text(late, "GET /late HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body_of(receive_tcp(late)), "root GET /late 0 ");
    for (size_t i = 0; i < stalled.size(); ++i) {
        bool closed = false;
        std::string got = receive_tcp(stalled[i], 5000ms, &closed);
        // The malformed ones were answered before they were closed.
        EXPECT_EQ(got.empty() ? "" : body_of(got), i < 10 ? "" : http_refused_body);
        EXPECT_TRUE(closed);
        close(stalled[i]);
    }
    EXPECT_GE(steady::now() - start, 300ms);
    close(late);
}

TEST_F(HttpServer, RefusedRequestsAreAnsweredAndUploadsThatKeepComingAreNotCut)
{
    add("POST", "/upload", "upload");
    http_server_set_request_timeout(server, 300);
    serve();
    const std::string refused = std::string("{\"status\":\"BAD_REQUEST\"}");

    // Too large a body is refused as soon as its length is known, before a
    // byte of it is stored, in the request's own version; what the client
    // goes on sending is dropped, not answered with a reset.
    int fd = connect_client(port);
    send_text(fd, "POST /upload HTTP/1.0\r\nContent-Length: 524288\r\n\r\n");
    auto start = steady::now();
    std::string got = receive_tcp(fd, 2000ms, nullptr, 1);
    got += receive_tcp(fd, 200ms);
    EXPECT_LT(steady::now() - start, 1000ms);
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << got;
    EXPECT_EQ(body_of(got), refused);
    send(fd, std::string(65536, 'x').data(), 65536, MSG_NOSIGNAL);
    bool closed = false;
    EXPECT_EQ(receive_tcp(fd, 2000ms, &closed), "");
    EXPECT_TRUE(closed);
    close(fd);
    EXPECT_EQ(trace().find("content allocated"), std::string::npos);

    // Malformed or negative lengths: answered as well.
    for (const char *request : {"POST /upload HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "G(T / HTTP/1.1\r\n\r\n"})
        EXPECT_EQ(body_of(ask(request)), refused) << request;

    // The largest body taken, arriving over four time-outs, the client
    // hanging up its side with the last piece: served whole.
    std::string body(static_cast<size_t>(HTTP_MAX_CONTENT_LENGTH), 'u');
    body.back() = 'Z';
    fd = connect_client(port);
    send_text(fd, "POST /upload HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    constexpr size_t pieces = 8;
    for (size_t i = 0; i < pieces; ++i) {
        std::this_thread::sleep_for(150ms);  // a slow link: half a time-out between pieces
        size_t from = i * body.size() / pieces;
        send_text(fd, body.substr(from, (i + 1) * body.size() / pieces - from));
    }
    shutdown(fd, SHUT_WR);
    std::string reply = body_of(receive_tcp(fd));
    EXPECT_EQ(reply.size(), std::string("upload POST /upload 524287 ").size() + body.size());
    EXPECT_EQ(reply.back(), 'Z');
    close(fd);
}

TEST_F(HttpServer, BoundHandlerGetsLaterReadsAndItsCloseFunctionAndNoTimeOut)
{
    ASSERT_EQ(http_server_register_handler(server, "POST", "/stream", echo_handler, count_close, nullptr), 0);
    http_server_set_request_timeout(server, 100);
    serve();
    int fd = connect_client(port);
    send_text(fd, "POST /stream HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    std::this_thread::sleep_for(300ms);  // well past the request time-out
    send_text(fd, "ping");
    EXPECT_EQ(receive_tcp(fd, 5000ms, nullptr, 4), "ping");
    EXPECT_EQ(closes, 0);
    close(fd);
    EXPECT_TRUE(wait_until([] { return closes == 1; }));
}

TEST_F(HttpServer, LongRepliesReachASlowReaderWhole)
{
    ASSERT_EQ(http_server_register_handler(server, "GET", "/long", long_reply_handler, nullptr, nullptr), 0);
    serve();
    int fd = connect_client(port, 4096);
    send_text(fd, "GET /long HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(200ms);  // the server's window fills meanwhile
    std::string got = receive_tcp(fd, 10000ms);
    ASSERT_EQ(got.size(), long_reply_size);
    for (size_t i : {size_t{0}, long_reply_size / 2, long_reply_size - 1})
        EXPECT_EQ(got[i], static_cast<char>('a' + i % 26)) << i;
    close(fd);
}

TEST_F(HttpServer, ABurstOfClientsQueuesWithoutDroppedHandshakes)
{
    add("GET", "/", "root");
    // While the server is busy (not serving yet), 60 clients connect: each
    // handshake completes at once, none waits for a retransmission.
    std::vector<int> clients;
    for (int i = 0; i < 60; ++i)
        clients.push_back(connect_tcp(port, 0, SOCK_NONBLOCK));
    for (size_t i = 0; i < clients.size(); ++i) {
        pollfd watch{clients[i], POLLOUT, 0};
        ASSERT_EQ(poll(&watch, 1, 500), 1) << "client " << i;
        send_text(clients[i], "GET /burst HTTP/1.1\r\n\r\n");
    }
    serve();
    for (int fd : clients) {
        EXPECT_EQ(body_of(receive_tcp(fd)), "root GET /burst 0 ");
        close(fd);
    }
}

TEST_F(HttpServer, APoolOfServedConnectionsWaitsInsteadOfSpinning)
{
    ASSERT_EQ(http_server_register_handler(server, "POST", "/stream", echo_handler, nullptr, nullptr), 0);
    // Bound to their handler, these never give way; the 16th client waits.
    std::vector<int> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(connect_client(port));
        send_text(clients.back(), "POST /stream HTTP/1.1\r\nContent-Length: 1\r\n\r\nx");
    }
    for (int i = 0; i < 50 && server->active_count < 15; ++i)
        http_server_process_events(server, 20);
    ASSERT_EQ(server->active_count, 15u);
    auto start = steady::now();
    ASSERT_EQ(http_server_process_events(server, 300), 0);
    EXPECT_GE(steady::now() - start, 250ms);
    EXPECT_EQ(server->accepted_count, 15u);
    for (int fd : clients)
        close(fd);
}

}  // namespace
