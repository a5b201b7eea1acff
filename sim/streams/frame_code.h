// The time of each simulated frame, drawn into the picture as a row of black
// and white cells so that a viewer can read it back from the decoded JPEG
// and measure the latency of the whole chain. Positions are fractions of the
// picture, so the code survives scaling; the cells are large enough to
// survive JPEG compression and a decode at a quarter of the size.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>

namespace frame_code {

constexpr int time_bits = 40;  // milliseconds since the epoch, modulo 2^40 (34 years)
constexpr int check_bits = 8;
constexpr int cells = time_bits + check_bits;
constexpr uint64_t time_mask = (uint64_t{1} << time_bits) - 1;

// The strip: the bottom row of a 13-row grid; cells start 4/56 of the width
// from the left edge, each 1/56 wide.
inline cv::Rect cell_area(cv::Size picture, int cell)
{
    int x0 = picture.width * (4 + cell) / 56;
    int x1 = picture.width * (5 + cell) / 56;
    int y0 = static_cast<int>(picture.height * 12.2 / 13);
    int y1 = static_cast<int>(picture.height * 12.85 / 13);
    return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

inline uint8_t check(uint64_t time)
{
    uint8_t sum = 0xA5;  // all-black and all-white rows do not check out
    for (int i = 0; i < time_bits / 8; ++i)
        sum = static_cast<uint8_t>(sum + ((time >> (8 * i)) & 0xFF));
    return sum;
}

inline uint64_t word(uint64_t milliseconds)
{
    uint64_t time = milliseconds & time_mask;
    return time | (uint64_t{check(time)} << time_bits);
}

// Draws the code onto a BGR picture.
inline void draw(cv::Mat &picture, uint64_t milliseconds)
{
    uint64_t bits = word(milliseconds);
    for (int i = 0; i < cells; ++i) {
        double level = (bits >> i) & 1 ? 255 : 0;
        cv::rectangle(picture, cell_area(picture.size(), i), cv::Scalar(level, level, level), cv::FILLED);
    }
}

// Reads the code from a picture (grey or BGR, any scale). The time in
// milliseconds modulo 2^40, or nothing when the row does not check out.
inline std::optional<uint64_t> read(const cv::Mat &picture)
{
    uint64_t bits = 0;
    for (int i = 0; i < cells; ++i) {
        cv::Rect cell = cell_area(picture.size(), i);
        // The middle of the cell, away from the edges that compression blurs.
        cv::Rect middle(cell.x + cell.width / 4, cell.y + cell.height / 4, std::max(1, cell.width / 2),
                        std::max(1, cell.height / 2));
        cv::Scalar mean = cv::mean(picture(middle & cv::Rect(0, 0, picture.cols, picture.rows)));
        double level = picture.channels() == 1 ? mean[0] : (mean[0] + mean[1] + mean[2]) / 3;
        if (level > 127)
            bits |= uint64_t{1} << i;
    }
    uint64_t time = bits & time_mask;
    if ((bits >> time_bits) != check(time))
        return std::nullopt;
    return time;
}

// How long ago a code was drawn, in milliseconds (negative: clocks disagree).
inline int64_t age(uint64_t code, uint64_t now_milliseconds)
{
    uint64_t now = now_milliseconds & time_mask;
    int64_t difference = static_cast<int64_t>((now - code) & time_mask);
    return difference > static_cast<int64_t>(time_mask / 2) ? difference - static_cast<int64_t>(time_mask) - 1
                                                            : difference;
}

}  // namespace frame_code
