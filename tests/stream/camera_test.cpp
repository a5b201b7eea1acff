// The stream reader on a recorded stream of one frame: what getImage hands
// out; URLs it cannot use. (A stream that stops delivering is reopened: the
// video server's system test.)

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "camera.h"
#include "support.h"

using namespace vx4test;

namespace {

class CameraOnAFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        config.url = root.at("/one-frame.avi");
        config.test_url = "";
        cv::VideoWriter writer(config.url, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(1920, 1080));
        ASSERT_TRUE(writer.isOpened());
        writer.write(cv::Mat(1080, 1920, CV_8UC3, cv::Scalar(20, 120, 220)));
    }
    std::string log() const { return root.read("/media/usb99/stream.log"); }
    bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }

    SandboxRoot root;
    StreamConfig config;
};

TEST_F(CameraOnAFile, OneNewFrameIsHandedOutOnceAt1280x720ThenGetImageWaits)
{
    Camera camera(config);
    ASSERT_TRUE(camera.open());
    EXPECT_TRUE(logged("Opening stream " + config.url + "\n"));
    EXPECT_TRUE(logged(" Stream opened\n"));
    EXPECT_TRUE(logged(" Read thread running\n"));

    std::vector<uchar> jpeg;
    ASSERT_TRUE(camera.getImage(jpeg));
    cv::Mat picture = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    ASSERT_EQ(picture.cols, 1280);
    ASSERT_EQ(picture.rows, 720);
    cv::Scalar mean = cv::mean(picture);
    EXPECT_NEAR(mean[0], 20, 6);
    EXPECT_NEAR(mean[2], 220, 6);

    auto start = std::chrono::steady_clock::now();
    std::vector<uchar> none;
    EXPECT_FALSE(camera.getImage(none));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 800ms);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(logged(" getImage timeout\n"));
    EXPECT_TRUE(logged(" Empty frame\n"));

    camera.stop();
    EXPECT_TRUE(logged(" Stopping camera\n"));
    EXPECT_TRUE(logged(" Camera stopped\n"));
}

TEST_F(CameraOnAFile, ShortUrlsAndUnreachableCamerasAreRetriedAfterAPause)
{
    config.url = "ab";
    {
        Camera camera(config);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(camera.open());
        EXPECT_GT(std::chrono::steady_clock::now() - start, 900ms);
        EXPECT_TRUE(logged(" Invalid stream URL : ab\n"));
        EXPECT_FALSE(logged("Testing connection"));
    }
    int closed_port = free_tcp_port();
    config.test_url = "127.0.0.1:" + std::to_string(closed_port);
    config.test_host = "127.0.0.1";
    config.test_port = closed_port;
    Camera camera(config);
    EXPECT_FALSE(camera.open());
    EXPECT_TRUE(logged(" Testing connection to 127.0.0.1:" + std::to_string(closed_port) + "\n"));
    EXPECT_TRUE(logged(" Failure establishing connection\n"));
    EXPECT_FALSE(logged("Opening stream"));
}

}  // namespace
