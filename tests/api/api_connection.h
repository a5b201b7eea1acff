// An API handler's connection without a server: the request parsed from a
// text, the socket one end of a pair whose other end collects the reply.
#pragma once

#include "api/api_state.h"
#include "api/routes.h"
#include "core/settings.h"
#include "support.h"

namespace vx4test {

// A connection whose request has been parsed from the given text and whose
// socket is one end of a pair; reply() reads the other end until the close.
class Connection {
public:
    explicit Connection(const std::string &request)
    {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        server_.request_timeout_ms = 2000;
        connection_->server = &server_;
        connection_->socket = ends[0];
        peer_ = ends[1];
        http_request_reset(&connection_->request);
        EXPECT_EQ(http_request_parse_http_header(&connection_->request, request.data(), request.size()), 0);
    }
    ~Connection()
    {
        http_request_context_free(&connection_->request);
        close(connection_->socket);
        close(peer_);
    }
    http_connection *get() { return connection_.get(); }
    const char *body() const { return connection_->request.content; }
    int64_t length() const { return connection_->request.content_length; }
    std::string reply() const
    {
        std::string got;
        char buffer[4096];
        for (ssize_t n; (n = read(peer_, buffer, sizeof buffer)) > 0;)
            got.append(buffer, static_cast<size_t>(n));
        return got;
    }

private:
    http_server server_{};
    std::unique_ptr<http_connection> connection_ = std::make_unique<http_connection>();
    int peer_ = -1;
};

// Runs the request through the first route it matches, as the server does;
// the reply's JSON body (null without one).
inline JsonPtr handle(const std::string &method, const std::string &path, const std::string &body = "")
{
    Connection connection(method + " " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body);
    const std::vector<api_route> &routes = vx4_api_routes();
    auto route = std::find_if(routes.begin(), routes.end(),
                              [&](const api_route &r) { return method == r.method && path.starts_with(r.path); });
    EXPECT_NE(route, routes.end()) << method << " " << path;
    if (route != routes.end())
        route->handler(connection.get(), connection.body(), connection.length(), route->user_data);
    shutdown(connection.get()->socket, SHUT_WR);  // a handler may write nothing
    std::string reply = connection.reply();
    size_t start = reply.find("\r\n\r\n");
    return start == std::string::npos ? nullptr : parse_json(reply.substr(start + 4));
}

// Handlers run in this process on a sandbox with the settings and the API's
// start state.
class ApiHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        vx4_init_nv();
        vx4_init_api_state();
    }

    SandboxRoot root;
};

}  // namespace vx4test
