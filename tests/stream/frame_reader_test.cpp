// The frame reader on the simulated camera's RTSP stream: through its own
// RTSP session, and through libavformat for what that session leaves to it
// (here a URL with credentials). Both must deliver whole frames and give up
// at their deadline when the camera keeps the connection but stops sending.

#include "frame_code.h"
#include "frame_reader.h"
#include "support.h"

using namespace vx4test;

namespace {

class ReaderOnTheSimulatedCamera : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        root.enter();
        int port = free_tcp_port();
        sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--rtsp-port=" + std::to_string(port)});
        // Credentials are left to libavformat; the simulated camera ignores them.
        url = std::string("rtsp://") + (GetParam() ? "operator:secret@" : "") + "127.0.0.1:" +
              std::to_string(port) + "/x4-2.mp4";
    }
    bool open(FrameReader &reader)
    {
        return wait_until([&] { return reader.open(url, 5000).empty(); }, 20000ms, 200ms);
    }

    SandboxRoot root;
    std::unique_ptr<SimHead> sim;
    std::string url;
    std::atomic<bool> stop{false};
};

TEST_P(ReaderOnTheSimulatedCamera, DeliversWholeFramesInOrderAndEndsAStalledReadAtItsDeadline)
{
    FrameReader reader([this] { return stop.load(); });
    ASSERT_TRUE(open(reader));
    Picture picture(1280, 720);
    std::vector<uint64_t> times;
    for (int i = 0; i < 60 && times.size() < 10; ++i) {
        ASSERT_TRUE(reader.read(picture, 5000)) << reader.error();
        if (std::optional<uint64_t> time = frame_code::read(picture.y))
            times.push_back(*time);
    }
    ASSERT_EQ(times.size(), 10u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i], times[i - 1]);
    // Full range: the code's cells are black and white, not 16 and 235.
    double darkest = 255, brightest = 0;
    cv::minMaxLoc(picture.y.rowRange(680, 700), &darkest, &brightest);
    EXPECT_LE(darkest, 5);
    EXPECT_GE(brightest, 250);

    // A stalled stream ends the read at its deadline, a stop at once.
    sim->post("/streams/pause");
    // Frames already on their way may still come.
    auto start = std::chrono::steady_clock::now();
    while (reader.read(picture, 1000))
        ASSERT_LT(std::chrono::steady_clock::now() - start, 5s);
    auto stalled = std::chrono::steady_clock::now();
    EXPECT_FALSE(reader.read(picture, 1000));
    EXPECT_GE(std::chrono::steady_clock::now() - stalled, 900ms);
    EXPECT_LT(std::chrono::steady_clock::now() - stalled, 5s);

    stop = true;
    auto stopped = std::chrono::steady_clock::now();
    EXPECT_FALSE(reader.read(picture, 60000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
}

INSTANTIATE_TEST_SUITE_P(OwnSessionAndLibavformat, ReaderOnTheSimulatedCamera, ::testing::Values(false, true));

}  // namespace
