// Body reading and the reply forms, on one end of a socket pair.
#include "api/api_reply.h"

#include <sys/stat.h>

#include "api_connection.h"
#include "support.h"

using namespace vx4test;

namespace {

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
        bool malformed = false;
        json_object *body = api_read_json_body(connection.get(), connection.body(), connection.length(), &malformed);
        EXPECT_EQ(body, nullptr) << text;
        EXPECT_EQ(malformed, text == "not json" || text == "{\"a\":}") << text;
        EXPECT_EQ(connection.get()->request.tokener, nullptr) << text;
        char mode[16] = "auto";
        EXPECT_FALSE(api_json_string(body, "mode", mode, sizeof mode));
        EXPECT_STREQ(mode, "auto");
    }
}

}  // namespace
