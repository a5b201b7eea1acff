#include "camera.h"

#include <time.h>

#include <cerrno>
#include <chrono>

#include "connectivity.h"
#include "jpeg_encoder.h"
#include "platform.h"
#include "stream_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bounds on the stream library's waits, so that a camera that vanishes
// without closing the connection is noticed.
constexpr int open_timeout_ms = 5000;
constexpr int read_timeout_ms = 2000;
// After an empty read the stream is gone or broken; retrying at the loop
// pause would only flood the log.
constexpr long empty_pause_us = 100000;

}  // namespace

void loop_pause(long microseconds)
{
    timespec left{microseconds / 1000000, (microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

Camera::Camera(const StreamConfig &config)
    : config_(config), overlays_(vx4_path("/tmp/overlays.json")), reader_([this] { return stop_reading_.load(); })
{
    slot_picture_.fill(-1);
}

Camera::~Camera() { stop(); }

bool Camera::open()
{
    if (opened_) {
        if (!stalled_)
            return true;
        stream_log("Stream stopped delivering, reopening");
        closeStream();
    }
    if (!config_.test_url.empty()) {
        stream_log("Testing connection to %s:%d", config_.test_host.c_str(), config_.test_port);
        if (!test_connection(config_.test_host, config_.test_port, 2)) {
            stream_log("Failure establishing connection");
            loop_pause(1000000);
            return false;
        }
        stream_log("Success");
    }
    if (config_.url.size() < 3) {
        stream_log("Invalid stream URL : %s", config_.url.c_str());
        loop_pause(1000000);
        return false;
    }
    stream_log("Opening stream %s", config_.url.c_str());
    stop_reading_ = false;
    std::string why = reader_.open(config_.url, open_timeout_ms);
    if (!why.empty()) {
        stream_log("Cannot open %s: %s", config_.url.c_str(), why.c_str());
        stream_log("Failure opening stream");
        loop_pause(1000000);
        return false;
    }
    opened_ = true;
    stream_log("Stream opened");
    capture_times_.clear();
    delivery_times_.clear();
    stalled_ = false;
    // Set before the thread starts, so that a stop right after open is seen.
    running_ = true;
    read_thread_ = std::thread(&Camera::readLoop, this);
    stream_log("Read thread running");
    return true;
}

void Camera::closeStream()
{
    running_ = false;
    stop_reading_ = true;  // a read waiting on the camera gives up at once
    if (read_thread_.joinable())
        read_thread_.join();
    reader_.close();
    opened_ = false;
}

void Camera::stop()
{
    if (!opened_)
        return;
    stream_log("Stopping camera");
    closeStream();
    stream_log("Camera stopped");
}

int Camera::claimPicture(int slot)
{
    int newest = last_written_ < 0 ? -1 : slot_picture_[last_written_];
    int encoding = taken_ < 0 ? -1 : slot_picture_[taken_];
    int picture = 0;
    while (picture == newest || picture == encoding)
        ++picture;
    for (int &held : slot_picture_)
        if (held == picture)
            held = -1;
    slot_picture_[slot] = picture;
    return picture;
}

void Camera::readLoop()
{
    Clock::time_point last_frame = Clock::now();
    while (running_) {
        int index, picture;
        {
            std::lock_guard<std::mutex> hold(frame_lock_);
            if (write_index_ == taken_)
                write_index_ = (write_index_ + 1) % slot_count;
            index = write_index_;
            picture = claimPicture(index);
        }
        Picture &slot = pictures_[picture];
        slot.create(picture_width, picture_height);
        bool got = false;
        try {
            got = reader_.read(slot, read_timeout_ms);
        } catch (const std::exception &) {
            stream_log("std exception reading frame");
        } catch (...) {
            stream_log("general exception reading frame");
        }
        if (!got) {
            stream_log("Empty frame");
            if (Clock::now() - last_frame > std::chrono::milliseconds(stall_ms)) {
                {
                    std::lock_guard<std::mutex> hold(frame_lock_);
                    stalled_ = true;
                }
                frame_written_.notify_all();
                return;
            }
            loop_pause(empty_pause_us);
            continue;
        }
        last_frame = Clock::now();
        {
            std::lock_guard<std::mutex> hold(frame_lock_);
            last_written_ = index;
            write_index_ = (index + 1) % slot_count;
        }
        frame_written_.notify_all();
        if (std::optional<double> rate = capture_times_.add(rate_clock_ns())) {
            std::lock_guard<std::mutex> hold(rate_lock_);
            capture_rate_ = *rate;
        }
        loop_pause();
    }
}

bool Camera::getImage(std::vector<uint8_t> &jpeg)
{
    int index = -1;
    {
        std::unique_lock<std::mutex> hold(frame_lock_);
        taken_ = -1;
        // The read thread signals every new frame: no polling, and the
        // newest frame is encoded as soon as it is complete.
        frame_written_.wait_for(hold, std::chrono::seconds(1),
                                [this] { return last_written_ != last_taken_ || stalled_; });
        if (last_written_ != last_taken_) {
            last_taken_ = last_written_;
            index = last_taken_;
            taken_ = index;
        }
    }
    if (index == -1) {
        if (!stalled_)  // a stalled stream is reopened on the next pass
            stream_log("getImage timeout");
        return false;
    }
    if (std::optional<double> rate = delivery_times_.add(rate_clock_ns())) {
        std::lock_guard<std::mutex> hold(rate_lock_);
        delivery_rate_ = *rate;
    }
    return produceJpeg(index, jpeg);
}

bool Camera::produceJpeg(int index, std::vector<uint8_t> &jpeg)
{
    int picture;
    {
        std::lock_guard<std::mutex> hold(frame_lock_);
        picture = slot_picture_[index];
    }
    Picture &frame = pictures_[picture];
    try {
        overlays_.draw(frame, rates());
    } catch (const cv::Exception &error) {
        stream_log("cv exception drawing overlays: %s", error.what());
    }
    // Into the caller's buffer, whose capacity carries over from frame to frame.
    return encode_jpeg(frame, jpeg_quality, jpeg);
}

OverlayRates Camera::rates()
{
    std::lock_guard<std::mutex> hold(rate_lock_);
    return {capture_rate_, delivery_rate_};
}
