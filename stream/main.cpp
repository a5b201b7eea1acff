// vx4-stream: the video server. Reads the camera module's second RTSP
// stream and serves it as MJPEG and single JPEG pictures with overlays.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <opencv2/core/utility.hpp>

#include "camera.h"
#include "camera_enable.h"
#include "mjpeg_server.h"
#include "options.h"
#include "platform.h"
#include "stream_log.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char **argv)
{
    // The overlay and connection messages are read line by line by whoever
    // watches the program.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (vx4_platform_init(argv[0]) != 0)
        return 1;
    if (vx4_take_instance_lock("vx4-stream") != 0)
        return 1;

    stream_log("************** ENTRY **************");
    StreamConfig config = default_stream_config();
    parse_stream_options(argc, argv, config);
    split_test_url(config);
    if (require_loopback_stream_peers(config) != 0)
        return 1;
    // The library really loaded, which may differ from the headers built against.
    stream_log("OpenCV version = %s", cv::getVersionString().c_str());

    stream_log("HTTP Port     : %d", config.http_port);
    stream_log("Stream URL    : %s", config.url.c_str());
    stream_log("Video Width   : %d", config.width);
    stream_log("Video Height  : %d", config.height);
    stream_log("Stream FPS    : %.1f", config.fps);
    stream_log("Stream CODEC  : %s", config.codec.c_str());
    stream_log("Test URL      : %s", config.test_url.c_str());

    // The control daemon switches the camera rail on. Its FIFO may have no
    // reader yet: the line is then delivered in the background.
    stream_log("Enabling camera");
    CameraEnable camera_enable(vx4_path("/var/run/vx4/api.fifo"));
    camera_enable.start();

    MjpegServer server;
    // In a sandbox nothing may answer a peer off this machine.
    server.start(config.http_port, vx4_platform_sandboxed());

    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    {
        Camera camera(config);
        stream_log("Starting main loop");
        std::vector<uchar> jpeg;
        while (!stop_requested) {
            server.poll();
            if (camera.open() && camera.getImage(jpeg))
                server.broadcast(jpeg);
            loop_pause();
        }
        camera_enable.stop();
        camera.stop();
        stream_log("************** EXIT **************");
    }
    return 0;
}
