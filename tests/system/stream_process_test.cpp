// vx4-stream as a black box in a sandbox root, reading vx4-sim's streams.

#include <opencv2/imgcodecs.hpp>

#include "../stream/mjpeg_client.h"
#include "frame_code.h"
#include "mjpeg_server.h"
#include "scene.h"
#include "support.h"

using namespace vx4test;

namespace {

uint64_t now_ms()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

struct Picture {
    int width = 0, height = 0;
    std::optional<uint64_t> time;  // drawn by vx4-sim
};

Picture look(const std::string &jpeg)
{
    cv::Mat image = cv::imdecode(cv::Mat(1, static_cast<int>(jpeg.size()), CV_8U, const_cast<char *>(jpeg.data())),
                                 cv::IMREAD_COLOR);
    if (image.empty())
        return {};
    return {image.cols, image.rows, frame_code::read(image)};
}

class StreamProcess : public ::testing::Test {
protected:
    void start_sim(std::vector<std::string> options = {})
    {
        options.push_back("--rtsp-port=" + env["VX4_CAMERA_RTSP_PORT"]);
        sim = std::make_unique<SimHead>(root, options);
    }
    void start(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {stream_program(), "-p", std::to_string(http_port)});
        stream = Process(args, env, root.at("/stream"));
    }
    std::string log() const { return root.read("/media/usb99/stream.log"); }
    size_t count(const std::string &text) const
    {
        size_t found = 0;
        for (const std::string &line : split_lines(log()))
            found += line.size() >= 27 && line.substr(27) == text;
        return found;
    }
    bool logged(const std::string &text, milliseconds timeout = 20000ms, size_t times = 1) const
    {
        return wait_until([&] { return count(text) >= times; }, timeout, 50ms);
    }
    bool streaming() { return logged("Read thread running"); }
    // A viewer that has asked for the stream.
    std::unique_ptr<MjpegClient> viewer()
    {
        auto client = std::make_unique<MjpegClient>(http_port);
        EXPECT_TRUE(client->send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        return client;
    }

    SandboxRoot root;
    std::map<std::string, std::string> env = sandbox_environment(root);
    std::string rtsp_port = env["VX4_CAMERA_RTSP_PORT"];
    int http_port = free_tcp_port();
    std::unique_ptr<SimHead> sim;
    Process stream;
};

TEST_F(StreamProcess, LogsItsSettingsAsksForCameraPowerAndServesWhileTheCameraIsAway)
{
    start();
    ASSERT_TRUE(logged("Failure establishing connection", 20000ms, 2)) << log();
    std::vector<std::string> lines = split_lines(log());
    ASSERT_GE(lines.size(), 14u);
    std::vector<std::string> expected = {
        "************** ENTRY **************",
        "OpenCV version = " CV_VERSION,
        "HTTP Port     : " + std::to_string(http_port),
        "Stream URL    : rtsp://127.0.0.1:" + rtsp_port + "/x4-2.mp4",
        "Video Width   : 1280",
        "Video Height  : 720",
        "Stream FPS    : 30.0",
        "Stream CODEC  : h264",
        "Test URL      : 127.0.0.1:" + rtsp_port,
        "Enabling camera",
        "Cannot write to " + root.at("/var/run/vx4/api.fifo") +
            ": No such file or directory, retrying in the background",
        "Starting main loop",
        "Testing connection to 127.0.0.1:" + rtsp_port,
        "Failure establishing connection",
    };
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[i].substr(27), expected[i]);
    // No daemon: nothing is created where its FIFO will be.
    EXPECT_FALSE(root.exists("/var/run/vx4/api.fifo"));

    // The loop serves between connection attempts, a second apart.
    auto client = viewer();
    EXPECT_TRUE(wait_until([&] {
        client->pump(50ms);
        return !client->header().empty();
    }, 5000ms));
    EXPECT_EQ(client->header(), mjpeg_stream_header);
    EXPECT_TRUE(client->parts().empty());
    EXPECT_NE(stream.output().find("client connected\n"), std::string::npos);

    // One attempt a second.
    size_t before = count("Failure establishing connection");
    std::this_thread::sleep_for(3000ms);
    EXPECT_LE(count("Failure establishing connection") - before, 4u);
    stream.signal(SIGINT);
    EXPECT_EQ(stream.wait_exit(), 0);
    EXPECT_EQ(split_lines(log()).back().substr(27), "************** EXIT **************");
}

TEST_F(StreamProcess, StartedBeforeTheDaemonItServesAndEnablesTheCameraOnceTheDaemonReadsAndStaysAlone)
{
    std::string fifo = root.at("/var/run/vx4/api.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // an earlier run's, nobody reading it
    start();
    ASSERT_TRUE(logged("Starting main loop")) << log();
    auto client = viewer();
    EXPECT_TRUE(wait_until([&] { return client->pump(50ms), !client->header().empty(); })) << log();
    // The daemon starts: a new FIFO in place of the old one.
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int daemon = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    char received[32] = "";
    EXPECT_TRUE(wait_until([&] { return read(daemon, received, sizeof received - 1) > 0; }));
    EXPECT_STREQ(received, "camera enable\n");
    close(daemon);
    EXPECT_TRUE(logged("Camera enabled"));
    EXPECT_EQ(count("Cannot write to " + fifo + ": no reader yet, retrying in the background"), 1u) << log();

    // A second instance exits at once, before it touches any shared file.
    Process second({stream_program(), "-p", std::to_string(free_tcp_port())}, env, root.at("/second"));
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_EQ(second.errors(), stream_program() + ": vx4-stream is already running (pid " +
                                   std::to_string(stream.pid()) + "), not starting a second one\n");
    EXPECT_EQ(count("************** ENTRY **************"), 1u);
}

TEST_F(StreamProcess, ViewersGetEveryNewFrameSingleRequestsOnePictureOverlayChangesAreToldAndAStopEndsTheLog)
{
    start_sim();
    start();
    ASSERT_TRUE(streaming()) << log();
    auto client = viewer();
    ASSERT_TRUE(client->wait_parts(20, 20000ms)) << client->raw().size();
    EXPECT_EQ(client->header(), mjpeg_stream_header);
    EXPECT_FALSE(client->malformed());

    // One part per frame: each a newer frame of the simulated camera.
    std::optional<uint64_t> previous;
    for (const std::string &part : client->parts()) {
        Picture picture = look(part);
        EXPECT_EQ(picture.width, 1280);
        EXPECT_EQ(picture.height, 720);
        ASSERT_TRUE(picture.time) << "the frame time does not read back";
        if (previous) {
            EXPECT_GT(*picture.time, *previous);
        }
        previous = picture.time;
    }
    EXPECT_LT(frame_code::age(*previous, now_ms()), 3000);

    MjpegClient single(http_port);
    single.send("GET /image?frame_id=12 HTTP/1.1\r\n\r\n");
    single.pump(5000ms);
    EXPECT_TRUE(single.closed());
    std::string head = single.raw().substr(0, single.raw().find("\r\n\r\n") + 4);
    std::string jpeg = single.raw().substr(head.size());
    EXPECT_EQ(head, single_picture_head(jpeg.size()));
    Picture picture = look(jpeg);
    EXPECT_EQ(picture.width, 1280);
    EXPECT_TRUE(picture.time);

    // The overlay file is looked at while streaming, under the root.
    auto said = [this](const std::string &text) {
        return wait_until([&] { return stream.output().find(text) != std::string::npos; }, 10000ms);
    };
    EXPECT_TRUE(said("Cannot stat /tmp/overlays.json\n"));
    root.write("/tmp/overlays.json", R"({"overlays":[{"x":50,"y":50,"type":"queue_rate","value":"%.1f fps"}]})");
    EXPECT_TRUE(said("/tmp/overlays.json updated\n")) << stream.output();
    root.remove("/tmp/overlays.json");
    EXPECT_TRUE(said("updated\nCannot stat /tmp/overlays.json\n")) << stream.output();
    size_t seen = client->parts().size();
    EXPECT_TRUE(client->wait_parts(seen + 3, 10000ms));

    // A stop joins the reader and ends the log.
    stream.signal(SIGHUP);
    EXPECT_EQ(stream.wait_exit(), 0);
    std::vector<std::string> lines = split_lines(log());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(count("Stopping camera"), 1u);
    EXPECT_EQ(lines[lines.size() - 2].substr(27), "Camera stopped");
    EXPECT_EQ(lines.back().substr(27), "************** EXIT **************");
}

TEST_F(StreamProcess, AFullHdSourceIsDeliveredAt1280x720AndRecoveredWhenTheCameraRestartsOrStopsDelivering)
{
    start_sim({"--stream-size=1920x1080"});
    start({"-w", "640", "-h", "480"});  // logged, but the size is fixed
    ASSERT_TRUE(streaming()) << log();
    EXPECT_EQ(count("Video Width   : 640"), 1u);
    auto client = viewer();
    ASSERT_TRUE(client->wait_parts(5, 20000ms));
    Picture picture = look(client->parts().back());
    EXPECT_EQ(picture.width, 1280);
    EXPECT_EQ(picture.height, 720);
    // Waits for a frame the simulated camera drew after the given time.
    auto frame_after = [&](uint64_t since) {
        return wait_until([&] {
            client->pump(50ms);
            if (client->parts().empty())
                return false;
            std::optional<uint64_t> time = look(client->parts().back()).time;
            return time && frame_code::age(since, *time) >= 0;
        }, 30000ms);
    };

    // The camera's encoder goes away and comes back.
    sim->post("/streams/stop");
    ASSERT_TRUE(logged("Stream stopped delivering, reopening")) << log();
    sim->post("/streams/start");
    ASSERT_TRUE(frame_after(now_ms())) << log();

    // The stream stalls with the connection open, then goes on.
    sim->post("/streams/pause");
    ASSERT_TRUE(logged("Stream stopped delivering, reopening", 20000ms, 2)) << log();
    sim->post("/streams/start");
    EXPECT_TRUE(frame_after(now_ms())) << log();
    EXPECT_FALSE(client->malformed());
    EXPECT_TRUE(stream.running());
}

// Whatever sits at the names of the files it shares with others, the video
// server keeps serving and writes nothing through a link.
class StreamSharedFiles : public StreamProcess, public ::testing::WithParamInterface<Planted> {};

TEST_P(StreamSharedFiles, NeitherStallNorMisleadTheServer)
{
    for (const char *file : {"/tmp/overlays.json", "/media/usb99/stream.log"})
        root.plant(file, GetParam());
    start_sim();
    start();
    std::unique_ptr<MjpegClient> client;
    ASSERT_TRUE(wait_until([&] {
        client = std::make_unique<MjpegClient>(http_port);
        return client->connected();
    }, 10000ms));
    client->send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(client->wait_parts(3, 20000ms)) << stream.output();
    EXPECT_TRUE(root.elsewhere_untouched());
}

INSTANTIATE_TEST_SUITE_P(Kinds, StreamSharedFiles, ::testing::ValuesIn(all_planted),
                         [](const auto &kind) { return std::string(planted_name(kind.param)); });

// Each picture is the scene the simulated camera drew at the time its code
// says: no row band garbled, though the camera cuts every frame in slices.
TEST_F(StreamProcess, FramesInSlicesArriveWhole)
{
    start_sim({"--stream-slices=4"});
    start();
    ASSERT_TRUE(streaming()) << log();
    auto client = viewer();
    ASSERT_TRUE(client->wait_parts(40, 20000ms)) << client->parts().size();
    SceneRenderer scene(1280, 720);
    const int band = 16, top = 720 / 13, bottom = 720 / 13 * 12;  // between the time and code rows
    for (size_t i = client->parts().size() - 10; i < client->parts().size(); ++i) {
        const std::string &jpeg = client->parts()[i];
        cv::Mat picture = cv::imdecode(
            cv::Mat(1, static_cast<int>(jpeg.size()), CV_8U, const_cast<char *>(jpeg.data())), cv::IMREAD_COLOR);
        ASSERT_FALSE(picture.empty());
        std::optional<uint64_t> code = frame_code::read(picture);
        ASSERT_TRUE(code) << "part " << i;
        uint64_t now = now_ms();
        uint64_t drawn = now - static_cast<uint64_t>(frame_code::age(*code, now));
        const cv::Mat &expected = scene.render(drawn, 0, SimCameraView{});
        for (int y = top; y + band <= bottom; y += band) {
            cv::Rect rows(0, y, 1280, band);
            double difference = cv::norm(picture(rows), expected(rows), cv::NORM_L1) / (1280.0 * band * 3);
            EXPECT_LT(difference, 10) << "part " << i << ", rows " << y << " to " << y + band;
        }
    }
}

TEST_F(StreamProcess, RefusesAStreamHostOffLoopback)
{
    start({"-u", "rtsp://192.0.2.1/x4-2.mp4"});
    EXPECT_EQ(stream.wait_exit(), 1);
    EXPECT_NE(stream.errors().find("192.0.2.1 is not a loopback address"), std::string::npos) << stream.errors();
    EXPECT_FALSE(root.exists("/var/run/vx4/api.fifo"));
}

}  // namespace
