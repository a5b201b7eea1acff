// The picture the simulated camera module streams: a scene that moves, the
// time of the frame (readable, and as a code for latency measurements) and
// the camera's title lines as its VISCA side holds them.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "camera_state.h"

class SceneRenderer {
public:
    SceneRenderer(int width, int height);

    // The BGR picture at wall-clock time now_ms (milliseconds since the
    // epoch). Valid until the next call.
    const cv::Mat &render(uint64_t now_ms, uint64_t frame_number, const SimCameraView &view);

    // Where title line `line` (0 to 10) starts, for tests.
    cv::Rect title_area(int line, int h_position, int characters) const;

private:
    void draw_titles(const SimCameraView &view, uint64_t now_ms);

    int width_, height_;
    int row_height_, cell_width_;
    double title_scale_;
    cv::Mat pattern_;  // scrolling background, wider than the picture
    cv::Mat frame_;
};
