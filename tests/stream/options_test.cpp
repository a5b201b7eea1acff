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

// Every value of a configuration in one line.
std::string all(const StreamConfig &c)
{
    char fps[16];
    snprintf(fps, sizeof fps, "%g", c.fps);
    return std::to_string(c.http_port) + " " + c.url + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
           " " + fps + " " + c.codec + " " + c.test_url + " " + c.test_host + " " + std::to_string(c.test_port);
}

// The expected line with "{unit}" standing for the unit's camera address.
std::string with_unit_camera(std::string line)
{
    const std::string mark = "{unit}";
    for (size_t at = line.find(mark); at != std::string::npos; at = line.find(mark, at))
        line.replace(at, mark.size(), VX4_UNIT_CAMERA_HOST);
    return line;
}

TEST(StreamOptions, DefaultsNameTheCameraModulesSecondStreamAndOptionsSetEveryValue)
{
    real_unit_environment();
    // The real camera module's address ("{unit}") is parsed only, never opened here.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "8080 rtsp://{unit}/x4-2.mp4 1280x720 30 h264 {unit}:554 {unit} 554"},
        {{"--httpport=9090", "--url=rtsp://198.51.100.3/other", "--width=640", "--height=480", "--fps=12.5",
          "--codec=mjpeg", "--testurl=198.51.100.3:8554"},
         "9090 rtsp://198.51.100.3/other 640x480 12.5 mjpeg 198.51.100.3:8554 198.51.100.3 8554"},
        // -h is the height, not help.
        {{"-p", "81", "-u", "rtsp://h/x", "-w", "1", "-h", "2", "-f", "3", "-c", "x", "-t", "h:9"},
         "81 rtsp://h/x 1x2 3 x h:9 h 9"},
        // A test URL without a colon keeps the camera module; an empty one turns the test off.
        {{"-t", "198.51.100.1"}, "8080 rtsp://{unit}/x4-2.mp4 1280x720 30 h264 198.51.100.1 {unit} 554"},
        {{"--testurl="}, "8080 rtsp://{unit}/x4-2.mp4 1280x720 30 h264  {unit} 554"},
        {{"-t", ""}, "8080 rtsp://{unit}/x4-2.mp4 1280x720 30 h264  {unit} 554"},
    };
    for (const auto &[args, expected] : cases)
        EXPECT_EQ(all(parse(args)), with_unit_camera(expected)) << (args.empty() ? "" : args[0]);

    setenv("VX4_CAMERA_HOST", "127.0.0.9", 1);
    setenv("VX4_CAMERA_RTSP_PORT", "8554", 1);
    ASSERT_EQ(vx4_platform_init("vx4-stream"), 0);
    EXPECT_EQ(all(parse({})), "8080 rtsp://127.0.0.9:8554/x4-2.mp4 1280x720 30 h264 127.0.0.9:8554 127.0.0.9 8554");
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
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{}, 0}, {{"-u", "rtsp://[::1]:8554/x", "-t", "127.0.0.2:1"}, 0},
        {{"-u", "ab"}, 0},  // refused later, never opened
        {{"-u", "rtsp://192.0.2.1/x4-2.mp4"}, -1}, {{"-u", "/local/file.mp4"}, -1}, {{"-t", "192.0.2.1:554"}, -1},
        {{"-t", ""}, 0},
    };
    for (const auto &[args, expected] : cases)
        EXPECT_EQ(require_loopback_stream_peers(parse(args)), expected) << (args.empty() ? "" : args[1]);
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("stream URL host 192.0.2.1 is not a loopback address"), std::string::npos) << errors;
    EXPECT_NE(errors.find("test URL host 192.0.2.1 is not a loopback address"), std::string::npos) << errors;
}

}  // namespace
