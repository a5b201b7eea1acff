// A frame as the video server keeps it: planar YUV 4:2:0 at full range
// (the JPEG encoder's own form), so that no colour conversion happens
// between the decoder and the JPEG.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

struct Picture {
    Picture() = default;
    Picture(int width, int height) { create(width, height); }
    Picture(const Picture &) = delete;
    Picture &operator=(const Picture &) = delete;
    // A vector keeps its buffer when moved, so the views stay valid.
    Picture(Picture &&) = default;
    Picture &operator=(Picture &&) = default;

    // Even sizes only; the planes share one buffer.
    void create(int width, int height)
    {
        if (y.cols == width && y.rows == height)
            return;
        size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
        bytes.assign(luma + luma / 2, 0);
        y = cv::Mat(height, width, CV_8UC1, bytes.data());
        u = cv::Mat(height / 2, width / 2, CV_8UC1, bytes.data() + luma);
        v = cv::Mat(height / 2, width / 2, CV_8UC1, bytes.data() + luma + luma / 4);
    }
    bool empty() const { return y.empty(); }
    int width() const { return y.cols; }
    int height() const { return y.rows; }

    std::vector<uint8_t> bytes;
    cv::Mat y, u, v;  // views into bytes
};
