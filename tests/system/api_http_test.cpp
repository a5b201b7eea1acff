// vx4-api's HTTP API as a client sees it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support.h"

using namespace vx4test;

namespace {

const std::string not_found =
    "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 106\r\n\r\n<!DOCTYPE html>\r\n<html><head>"
    "<title>404 Not Found</title></head><body><h2>404 Not Found</h2></body></html>";

class ApiHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        env = sandbox_environment(root);
        port = std::stoi(env["VX4_API_PORT"]);
        root.write("/media/usb99/trace_mask", "0x00020000");
    }
    void start() { api = Process({api_program()}, env, root.at("/api")); }
    bool wait_served()
    {
        return wait_until([this] { return http_request(port, "GET", "/", "", 200ms).status != 0; });
    }
    std::string trace() const { return root.read("/media/usb99/trace"); }

    SandboxRoot root;
    std::map<std::string, std::string> env;
    int port = 0;
    Process api;
};

TEST_F(ApiHttp, UnknownRoutesGetTheFixedPageWhateverTheVersion)
{
    root.write("/tmp/intensity", "80");
    start();
    ASSERT_TRUE(wait_served()) << api.errors();
    for (const std::string &request :
         {std::string("GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n"), std::string("GET /api/status HTTP/1.0\r\n\r\n"),
          std::string("GET /api/no_such_route\r\n"), std::string("DELETE /api/status HTTP/1.1\r\n\r\n"),
          std::string("POST /api/seats/request HTTP/1.1\r\ncontent-length: 2\r\n\r\n{}")})
        EXPECT_EQ(tcp_exchange(port, request), not_found) << request;

    std::string p = std::to_string(port);
    EXPECT_NE(trace().find("HSRV: thread start ["), std::string::npos) << trace();
    EXPECT_NE(trace().find("HSRV: starting http server on port " + p + "\n ["), std::string::npos);
    EXPECT_NE(trace().find("HSRV: listening on port " + p + " ["), std::string::npos);
    EXPECT_EQ(root.read("/tmp/intensity"), "25");
    EXPECT_EQ(root.read("/tmp/focus_speed"), "2");
    EXPECT_EQ(root.read("/tmp/zoom_speed"), "3");
}

TEST_F(ApiHttp, SandboxedItAnswersOnTheLoopbackAddressOnly)
{
    start();
    ASSERT_TRUE(wait_served());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in other{};
    other.sin_family = AF_INET;
    other.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.2", &other.sin_addr);
    EXPECT_NE(connect(fd, reinterpret_cast<sockaddr *>(&other), sizeof other), 0);
    close(fd);
}

TEST_F(ApiHttp, ATakenPortLeavesTheRestOfTheDaemonRunning)
{
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    start();
    EXPECT_TRUE(wait_until([this] { return trace().find("HSRV: bind fail Address already in use") != std::string::npos; }))
        << trace();
    EXPECT_TRUE(wait_until([this] { return api.errors().find("entering loop...") != std::string::npos; }));
    EXPECT_TRUE(api.running());
    close(taken);
}

}  // namespace
