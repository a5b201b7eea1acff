// Decoded frames of the camera's stream. RTSP with H.264 goes through our
// own session (each frame decoded as soon as its last packet is in); any
// other URL, codec or server that wants more than we do goes through
// libavformat. Decoding uses slice threads only: frame threads hold back
// one frame each. Every open and read is bounded and gives way to a stop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "picture.h"

class FrameReader {
public:
    explicit FrameReader(std::function<bool()> interrupted);
    ~FrameReader();
    FrameReader(const FrameReader &) = delete;
    FrameReader &operator=(const FrameReader &) = delete;

    // "" or why it failed.
    std::string open(const std::string &url, int timeout_ms);
    // Decodes the next frame and converts it, in one pass, into the picture
    // at the picture's size. false when no frame came within timeout_ms, at
    // the end of the stream, or on an error; error() says why.
    bool read(Picture &picture, int timeout_ms);
    const std::string &error() const;
    void close();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Planar YUV 4:2:0 of the picture's size into the picture at full range.
// Four times cheaper than swscale's general path, which a range change
// alone would take.
void copy_to_full_range(const uint8_t *const planes[3], const int strides[3], bool full_range, Picture &picture);
