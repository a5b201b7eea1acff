// Body reading and the reply forms, on one end of a socket pair.
#include "api/api_reply.h"

#include <sys/stat.h>

#include "support.h"

using namespace vx4test;

namespace {

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

std::string json_head(const std::string &version, size_t length, bool closing = false)
{
    return "HTTP/" + version + " 200 OK\r\nContent-Length: " + std::to_string(length) +
           "\r\nContent-Type: application/json\r\n" + (closing ? "Connection: close\r\n" : "") + "\r\n";
}

json_object *object_with(const char *key, json_object *value)
{
    json_object *object = json_object_new_object();
    json_object_object_add(object, key, value);
    return object;
}

TEST(ApiReply, EveryFormNamesTheRequestsVersion)
{
    SandboxRoot root;
    root.enter();
    std::string image(5000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7);
    root.write("/tmp/imagecache", image);
    const std::string not_found(http_not_found_response, http_not_found_length);
    const std::string focus = "{ \"focus_position\": 4096 }";
    const struct {
        std::string request;
        std::function<void(http_connection *)> reply;
        std::string expected;
    } cases[] = {
        {"GET /x HTTP/1.1\r\n\r\n", [](http_connection *c) { EXPECT_EQ(json_response_handler(c, object_with("path", json_object_new_string("/a/b"))), 0); },
         json_head("1.1", 15) + R"({"path":"/a/b"})"},  // slashes kept
        {"GET /x HTTP/1.0\r\n\r\n", [](http_connection *c) { json_response_handler(c, object_with("status", json_object_new_string("OK"))); },
         json_head("1.0", 15) + R"({"status":"OK"})"},
        {"GET /x\r\n", [](http_connection *c) { json_response_handler(c, object_with("status", json_object_new_string("OK"))); },
         json_head("0.9", 15) + R"({"status":"OK"})"},
        {"GET /api/1.0/camera/focus HTTP/1.0\r\n\r\n",
         [](http_connection *c) { api_reply_json_closing(c, object_with("focus_position", json_object_new_int(4096))); },
         json_head("1.0", focus.size(), true) + focus},
        {"POST /api/1.0/vx4 HTTP/1.1\r\n\r\n", api_reply_empty_object, json_head("1.1", 2, true) + "{}"},
        {"POST /api/1.0/laser/enable HTTP/1.0\r\n\r\n", api_reply_no_content, "HTTP/1.0 204 No Content\r\n\r\n"},
        {"GET /api/camera/imagecache HTTP/1.1\r\n\r\n", api_reply_not_found, not_found},
        {"GET /api/camera/imagecache HTTP/1.0\r\n\r\n", [](http_connection *c) { api_reply_jpeg_file(c, "/tmp/imagecache"); },
         "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\nContent-Type: image/jpeg\r\n\r\n" + image},
        {"GET /api/camera/imagecache HTTP/1.1\r\n\r\n", [](http_connection *c) { api_reply_jpeg_file(c, "/tmp/missing"); },
         not_found},
    };
    for (const auto &c : cases) {
        Connection connection(c.request);
        c.reply(connection.get());
        EXPECT_EQ(connection.reply(), c.expected) << c.request;
    }
    root.remove("/tmp/imagecache");
    // A link to elsewhere, or a FIFO that would block: not found.
    root.write("/secret", "not an image");
    for (auto make : {+[](const std::string &path) { return symlink("../secret", path.c_str()); },
                      +[](const std::string &path) { return mkfifo(path.c_str(), 0600); }}) {
        ASSERT_EQ(make(root.at("/tmp/imagecache")), 0);
        Connection connection("GET /api/camera/imagecache HTTP/1.1\r\n\r\n");
        api_reply_jpeg_file(connection.get(), "/tmp/imagecache");
        EXPECT_EQ(connection.reply(), std::string(http_not_found_response, http_not_found_length));
        unlink(root.at("/tmp/imagecache").c_str());
    }
}

std::string put(const std::string &body)
{
    return "PUT /api/x HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(ApiReply, BodyKeysOrTheHandlersDefaults)
{
    Connection connection(put(R"({"mode": "manual", "speed": "7", "on": true, "x": 1.5, "title": "abcdefghij"})"));
    json_object *body = api_read_json_body(connection.get(), connection.body(), connection.length());
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(connection.get()->request.tokener, nullptr);
    char mode[16] = "auto";
    char title[5] = "";
    char absent[8] = "default";
    int32_t speed = 0;
    bool on = false;
    double x = 0;
    EXPECT_TRUE(api_json_string(body, "mode", mode, sizeof mode));
    EXPECT_TRUE(api_json_string(body, "title", title, sizeof title));
    EXPECT_TRUE(api_json_int(body, "speed", &speed));
    EXPECT_TRUE(api_json_boolean(body, "on", &on));
    EXPECT_TRUE(api_json_double(body, "x", &x));
    EXPECT_FALSE(api_json_string(body, "absent", absent, sizeof absent));
    EXPECT_STREQ(mode, "manual");
    EXPECT_STREQ(title, "abcd");
    EXPECT_EQ(speed, 7);
    EXPECT_TRUE(on);
    EXPECT_EQ(x, 1.5);
    EXPECT_STREQ(absent, "default");
    json_object_put(body);
}

TEST(ApiReply, BodiesWithoutAJsonValueLookEmpty)
{
    for (const std::string &text : {std::string(""), std::string("not json"), std::string("{\"mode\": \"man"),
                                    std::string("{\"a\":}")}) {
        Connection connection(put(text));
        json_object *body = api_read_json_body(connection.get(), connection.body(), connection.length());
        EXPECT_EQ(body, nullptr) << text;
        EXPECT_EQ(connection.get()->request.tokener, nullptr) << text;
        char mode[16] = "auto";
        EXPECT_FALSE(api_json_string(body, "mode", mode, sizeof mode));
        EXPECT_STREQ(mode, "auto");
    }
}

}  // namespace
