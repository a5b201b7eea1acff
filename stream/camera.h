// The camera module's second stream: a read thread decodes frames into a
// ring as fast as they come; getImage hands the newest one, resized,
// overlaid and JPEG-encoded, to the main loop.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <vector>

#include "options.h"
#include "overlay.h"
#include "rate_meter.h"

// The pause of both loops, resumed when a signal interrupts it.
constexpr long loop_pause_us = 1000;
void loop_pause(long microseconds = loop_pause_us);

class Camera {
public:
    static constexpr int slot_count = 60;
    static constexpr int picture_width = 1280;
    static constexpr int picture_height = 720;
    // A stream that delivers nothing for this long is closed and reopened.
    static constexpr int stall_ms = 3000;

    explicit Camera(const StreamConfig &config);
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // True when the stream is open. Otherwise tests the connection, opens
    // the stream and starts the read thread; false (after a 1 s pause) when
    // that fails. A stream that stopped delivering is closed first.
    bool open();
    void stop();
    // The JPEG of the newest frame not handed out yet; false after about
    // one second without one, or at once when the stream has stalled.
    bool getImage(std::vector<uchar> &jpeg);
    OverlayRates rates();

private:
    void readLoop();
    void closeStream();
    bool produceJpeg(int slot, std::vector<uchar> &jpeg);

    const StreamConfig &config_;
    const std::vector<int> encode_params_{cv::IMWRITE_JPEG_QUALITY, 55};
    std::array<cv::Mat, slot_count> slots_;

    std::mutex frame_lock_;  // guards the four indices
    std::condition_variable frame_written_;
    int write_index_ = 0;
    int last_written_ = -1;
    int taken_ = -1;       // being encoded by getImage; the read thread skips it
    int last_taken_ = -1;

    RateMeter capture_times_;   // read thread
    RateMeter delivery_times_;  // main thread
    std::mutex rate_lock_;
    double capture_rate_ = 0;
    double delivery_rate_ = 0;

    OverlayRenderer overlays_;
    cv::VideoCapture capture_;  // read only by the read thread while it runs
    bool opened_ = false;
    std::thread read_thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stalled_{false};  // the read thread gave up on the stream
};
