// The camera module's second stream: a read thread decodes frames into a
// ring, at the picture size, as fast as they come; getImage hands the
// newest one, overlaid and JPEG-encoded, to the main loop.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "frame_reader.h"
#include "options.h"
#include "overlay.h"
#include "picture.h"
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
    bool getImage(std::vector<uint8_t> &jpeg);
    OverlayRates rates();

private:
    void readLoop();
    int claimPicture(int slot);  // under the frame lock
    void closeStream();
    bool produceJpeg(int slot, std::vector<uint8_t> &jpeg);

    const StreamConfig &config_;
    static constexpr int jpeg_quality = 55;
    // The ring's slots share a few pictures: only the slot being written,
    // the newest and the one being encoded hold one that matters, so an
    // older slot gives its picture up when it is needed again.
    static constexpr int picture_count = 3;
    std::array<Picture, picture_count> pictures_;  // allocated when first used
    std::array<int, slot_count> slot_picture_;     // index into pictures_, -1 for none

    std::mutex frame_lock_;  // guards the four indices and slot_picture_
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
    FrameReader reader_;  // used only by the read thread while it runs
    bool opened_ = false;
    std::thread read_thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stalled_{false};  // the read thread gave up on the stream
    std::atomic<bool> stop_reading_{false};
};
