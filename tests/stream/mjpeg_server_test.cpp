// The MJPEG service as its viewers see it, driven in process.

#include <random>

#include "mjpeg_client.h"
#include "mjpeg_server.h"
#include "support.h"

using namespace vx4test;

namespace {

std::vector<unsigned char> payload(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(size);
    for (unsigned char &byte : bytes)
        byte = static_cast<unsigned char>(random());
    return bytes;
}

std::string text(const std::vector<unsigned char> &bytes) { return std::string(bytes.begin(), bytes.end()); }

class Server : public ::testing::Test {
protected:
    void SetUp() override { server.start(port, true); }
    // Polls the server while the condition does not hold.
    bool serve_until(const std::function<bool()> &condition, milliseconds timeout = 3000ms)
    {
        return wait_until([&] {
            server.poll();
            return condition();
        }, timeout, 1ms);
    }
    int port = free_tcp_port();
    MjpegServer server;
};

TEST(MjpegTexts, HeaderPartAndSinglePictureAreByteExact)
{
    EXPECT_EQ(mjpeg_stream_header,
              "HTTP/1.0 200 OK\r\nAccept-Range: bytes\r\nConnection: close\r\nMax-Age: 0\r\nExpires: 0\r\n"
              "Cache-Control: no-cache, private\r\nPragma: no-cache\r\n"
              "Content-Type: multipart/x-mixed-replace;boundary=frame\r\n\r\n");
    EXPECT_EQ(mjpeg_part_head(12345), "--frame\r\nContent-Type: image/jpg\r\nContent-Length: 12345\r\n\r\n");
    EXPECT_EQ(single_picture_head(7),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/jpg\r\nContent-Length: 7\r\n\r\n");
    EXPECT_TRUE(request_wants_single_picture("GET /snapshot?frame_id=42 HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(request_wants_single_picture("frame_id="));
    EXPECT_FALSE(request_wants_single_picture("GET /?frame=1 HTTP/1.1\r\n\r\n"));
}

TEST_F(Server, AnyRequestGetsTheHeaderOnceThenOnePartPerFrameASilentClientNothingAndAClosedOneIsRemoved)
{
    MjpegClient viewer(port), silent(port);
    {
        MjpegClient leaving(port);
        ASSERT_TRUE(serve_until([&] { return server.clientCount() == 3; }));
    }
    ASSERT_TRUE(serve_until([&] { return server.clientCount() == 2; }));
    viewer.send("GET /whatever/path HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(serve_until([&] {
        viewer.pump(1ms);
        return viewer.raw().size() >= 191;
    }));
    viewer.send("GET / HTTP/1.1\r\n\r\n");  // a second request changes nothing
    serve_until([] { return false; }, 50ms);
    std::vector<std::vector<unsigned char>> frames = {payload(5, 1), payload(300000, 2), payload(1, 3)};
    for (const auto &frame : frames)
        server.broadcast(frame);
    ASSERT_TRUE(serve_until([&] {
        viewer.pump(1ms);
        return viewer.parts().size() == 3;
    }));
    EXPECT_EQ(viewer.header(), mjpeg_stream_header);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(viewer.parts()[i] == text(frames[i])) << "part " << i;
    size_t expected = 191;
    for (const auto &frame : frames)
        expected += mjpeg_part_head(frame.size()).size() + frame.size();
    EXPECT_EQ(viewer.raw().size(), expected);
    silent.pump(100ms);
    EXPECT_EQ(silent.raw(), "");
    EXPECT_FALSE(silent.closed());
}

TEST(ServerTimeout, AClientThatNeverAsksIsClosedASinglePictureIsTheNextFrameOnceThenTheEnd)
{
    int port = free_tcp_port();
    MjpegServer server(300ms);
    server.start(port, true);
    MjpegClient silent(port), viewer(port), single(port);
    viewer.send("GET / HTTP/1.1\r\n\r\n");
    single.send("GET /?frame_id=1 HTTP/1.1\r\n\r\n");
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] {
        server.poll();
        silent.pump(0ms);
        return silent.closed();
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_EQ(silent.raw(), "");
    EXPECT_EQ(server.clientCount(), 2u);
    server.broadcast({1, 2, 3});
    EXPECT_TRUE(wait_until([&] {
        server.poll();
        single.pump(0ms);
        viewer.pump(0ms);
        return single.closed() && viewer.parts().size() == 1 && server.clientCount() == 1;
    }));
    EXPECT_EQ(single.raw(), single_picture_head(3) + "\x01\x02\x03");
    EXPECT_FALSE(viewer.closed());
}

TEST_F(Server, AStalledViewerNeitherBlocksTheServerNorStarvesAnother)
{
    MjpegClient stalled(port, 4096);
    MjpegClient viewer(port);
    ASSERT_TRUE(serve_until([&] { return server.clientCount() == 2; }));
    stalled.send("GET / HTTP/1.1\r\n\r\n");
    viewer.send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(serve_until([&] {
        viewer.pump(1ms);
        return viewer.raw().size() >= 191;
    }));

    constexpr unsigned frames = 150;
    std::vector<std::vector<unsigned char>> sent;
    auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < frames; ++i) {
        sent.push_back(payload(200000, 100 + i));
        server.broadcast(sent.back());
        ASSERT_TRUE(serve_until([&] {
            viewer.pump(0ms);
            return viewer.parts().size() == i + 1;
        })) << "frame " << i;
    }
    // 30 MB went to the reading viewer while the other took nothing.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    for (unsigned i = 0; i < frames; ++i)
        ASSERT_TRUE(viewer.parts()[i] == text(sent[i])) << "part " << i;
    EXPECT_EQ(server.clientCount(), 2u);

    // The stalled viewer, reading at last, gets whole frames only: it
    // skipped those its socket could not take.
    serve_until([&] {
        stalled.pump(1ms);
        return false;
    }, 500ms);
    EXPECT_FALSE(stalled.malformed());
    ASSERT_GE(stalled.parts().size(), 1u);
    EXPECT_LT(stalled.parts().size(), frames);
    EXPECT_TRUE(stalled.parts()[0] == text(sent[0]));
    for (const std::string &part : stalled.parts())
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](const auto &frame) { return part == text(frame); }));
}

TEST(ServerStart, APortInUseIsReportedAndPollingGoesOn)
{
    int port = 0;
    int busy = listen_tcp(&port);
    ASSERT_GE(busy, 0);
    MjpegServer server;
    ::testing::internal::CaptureStderr();
    server.start(port, true);
    server.poll();
    server.broadcast({1, 2, 3});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Can't bind socket\n");
    EXPECT_EQ(server.clientCount(), 0u);

    MjpegServer invalid;
    ::testing::internal::CaptureStderr();
    invalid.start(0, true);  // never a port picked by the system
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Can't bind socket\n");
    close(busy);
}

}  // namespace
