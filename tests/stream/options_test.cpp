// The video server's options, their defaults and the peers they name.

#include "options.h"
#include "platform.h"
#include "support.h"

namespace {

void real_unit_environment()
{
    for (const char *name : {"VX4_ROOT", "VX4_CAMERA_HOST", "VX4_CAMERA_RTSP_PORT"})
        unsetenv(name);
    ASSERT_EQ(vx4_platform_init("vx4-stream"), 0);
}

StreamConfig parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "vx4-stream");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    StreamConfig config = default_stream_config();
    parse_stream_options(static_cast<int>(args.size()), argv.data(), config);
    split_test_url(config);
    return config;
}

TEST(StreamOptions, DefaultsNameTheCameraModulesSecondStream)
{
    real_unit_environment();
    StreamConfig config = parse({});
    EXPECT_EQ(config.http_port, 8080);
    EXPECT_EQ(config.url, "rtsp://192.168.0.127/x4-2.mp4");  // the default, never opened here
    EXPECT_EQ(config.width, 1280);
    EXPECT_EQ(config.height, 720);
    EXPECT_DOUBLE_EQ(config.fps, 30.0);
    EXPECT_EQ(config.codec, "h264");
    EXPECT_EQ(config.test_url, "192.168.0.127:554");  // the default, never opened here
    EXPECT_EQ(config.test_host, "192.168.0.127");  // never contacted here
    EXPECT_EQ(config.test_port, 554);
}

TEST(StreamOptions, DefaultsFollowTheCameraHostAndRtspPortOfTheEnvironment)
{
    setenv("VX4_CAMERA_HOST", "127.0.0.9", 1);
    setenv("VX4_CAMERA_RTSP_PORT", "8554", 1);
    ASSERT_EQ(vx4_platform_init("vx4-stream"), 0);
    StreamConfig config = parse({});
    EXPECT_EQ(config.url, "rtsp://127.0.0.9:8554/x4-2.mp4");
    EXPECT_EQ(config.test_host, "127.0.0.9");
    EXPECT_EQ(config.test_port, 8554);
}

TEST(StreamOptions, LongAndShortOptionsSetEveryValue)
{
    real_unit_environment();
    StreamConfig config = parse({"--httpport=9090", "--url=rtsp://10.1.2.3/other", "--width=640", "--height=480",
                                 "--fps=12.5", "--codec=mjpeg", "--testurl=10.1.2.3:8554"});
    EXPECT_EQ(config.http_port, 9090);
    EXPECT_EQ(config.url, "rtsp://10.1.2.3/other");
    EXPECT_EQ(config.width, 640);
    EXPECT_EQ(config.height, 480);
    EXPECT_DOUBLE_EQ(config.fps, 12.5);
    EXPECT_EQ(config.codec, "mjpeg");
    EXPECT_EQ(config.test_host, "10.1.2.3");
    EXPECT_EQ(config.test_port, 8554);

    StreamConfig shorts = parse({"-p", "81", "-u", "rtsp://h/x", "-w", "1", "-h", "2", "-f", "3", "-c", "x", "-t", "h:9"});
    EXPECT_EQ(shorts.http_port, 81);
    EXPECT_EQ(shorts.url, "rtsp://h/x");
    EXPECT_EQ(shorts.width, 1);
    EXPECT_EQ(shorts.height, 2);  // -h is the height, not help
    EXPECT_DOUBLE_EQ(shorts.fps, 3);
    EXPECT_EQ(shorts.codec, "x");
    EXPECT_EQ(shorts.test_host, "h");
    EXPECT_EQ(shorts.test_port, 9);
}

TEST(StreamOptions, TestUrlWithoutColonKeepsTheCameraModuleAndAnEmptyOneTurnsTheTestOff)
{
    real_unit_environment();
    StreamConfig bare = parse({"-t", "10.0.0.1"});
    EXPECT_EQ(bare.test_host, "192.168.0.127");  // never contacted here
    EXPECT_EQ(bare.test_port, 554);
    EXPECT_EQ(parse({"--testurl="}).test_url, "");
    EXPECT_EQ(parse({"-t", ""}).test_url, "");
}

TEST(StreamOptionsDeathTest, APositionalArgumentIsAUsageError)
{
    real_unit_environment();
    EXPECT_EXIT(parse({"-p", "9000", "extra"}), ::testing::ExitedWithCode(64), "Usage: ");
}

TEST(StreamOptions, SandboxRefusesStreamAndTestHostsOffLoopback)
{
    vx4test::SandboxRoot root;
    root.enter();
    unsetenv("VX4_CAMERA_RTSP_PORT");
    ASSERT_EQ(vx4_platform_init("vx4-stream"), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(require_loopback_stream_peers(parse({})), 0);
    EXPECT_EQ(require_loopback_stream_peers(parse({"-u", "rtsp://[::1]:8554/x", "-t", "127.0.0.2:1"})), 0);
    EXPECT_EQ(require_loopback_stream_peers(parse({"-u", "ab"})), 0);  // refused later, never opened
    EXPECT_EQ(require_loopback_stream_peers(parse({"-u", "rtsp://192.0.2.1/x4-2.mp4"})), -1);
    EXPECT_EQ(require_loopback_stream_peers(parse({"-u", "/local/file.mp4"})), -1);
    EXPECT_EQ(require_loopback_stream_peers(parse({"-t", "192.0.2.1:554"})), -1);
    EXPECT_EQ(require_loopback_stream_peers(parse({"-t", ""})), 0);
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("stream URL host 192.0.2.1 is not a loopback address"), std::string::npos) << errors;
    EXPECT_NE(errors.find("test URL host 192.0.2.1 is not a loopback address"), std::string::npos) << errors;
}

}  // namespace
