#include "scene.h"

#include <cmath>
#include <ctime>
#include <opencv2/imgproc.hpp>

#include "frame_code.h"

namespace {

constexpr int rows = 13;      // time row, eleven title rows, code row
constexpr int columns = 32;   // character cells across the picture
constexpr int title_font = cv::FONT_HERSHEY_SIMPLEX;

// The camera's title colour codes.
cv::Scalar title_colour(int code)
{
    switch (code) {
    case 1: return {0, 255, 255};    // yellow
    case 2: return {255, 0, 255};    // violet
    case 3: return {0, 0, 255};      // red
    case 4: return {255, 255, 0};    // cyan
    case 5: return {0, 255, 0};      // green
    case 6: return {255, 0, 0};      // blue
    default: return {255, 255, 255}; // white
    }
}

}  // namespace

SceneRenderer::SceneRenderer(int width, int height)
    : width_(width), height_(height), row_height_(height / rows), cell_width_(width / columns)
{
    int glyph = cv::getTextSize("X", title_font, 1.0, 1, nullptr).height;
    title_scale_ = 0.55 * row_height_ / glyph;

    // Colour bands a half picture apart, lighter towards the bottom; the
    // frames show a window sliding over it.
    int period = width / 2;
    cv::Mat hsv(height, width + period, CV_8UC3);
    for (int y = 0; y < hsv.rows; ++y)
        for (int x = 0; x < hsv.cols; ++x)
            hsv.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x % period) * 180 / period), 140,
                                                static_cast<uchar>(70 + 100 * y / height));
    cv::cvtColor(hsv, pattern_, cv::COLOR_HSV2BGR);
    frame_.create(height, width, CV_8UC3);
}

cv::Rect SceneRenderer::title_area(int line, int h_position, int characters) const
{
    return cv::Rect(h_position * cell_width_, (line + 1) * row_height_, characters * cell_width_, row_height_);
}

const cv::Mat &SceneRenderer::render(uint64_t now_ms, uint64_t frame_number, const SimCameraView &view)
{
    double seconds = static_cast<double>(now_ms % 86400000) / 1000.0;
    if (view.power) {
        int period = width_ / 2;
        int offset = static_cast<int>(seconds * width_ / 8) % period;
        pattern_(cv::Rect(offset, 0, width_, height_)).copyTo(frame_);
        cv::Point centre(static_cast<int>(width_ / 2 + 0.35 * width_ * std::sin(1.3 * seconds)),
                         static_cast<int>(height_ / 2 + 0.3 * height_ * std::sin(0.9 * seconds + 1)));
        int radius = height_ / 10;
        cv::circle(frame_, centre, radius, cv::Scalar(235, 235, 235), cv::FILLED, cv::LINE_AA);
        cv::circle(frame_, centre, radius, cv::Scalar(40, 40, 40), std::max(2, height_ / 180), cv::LINE_AA);
        cv::Point hand(static_cast<int>(centre.x + radius * std::cos(3 * seconds)),
                       static_cast<int>(centre.y + radius * std::sin(3 * seconds)));
        cv::line(frame_, centre, hand, cv::Scalar(0, 0, 200), std::max(2, height_ / 120), cv::LINE_AA);
        draw_titles(view, now_ms);
    } else {
        frame_.setTo(cv::Scalar(0, 0, 0));
    }

    // The encoder's own rows: the time of the frame on top, its code below.
    cv::rectangle(frame_, cv::Rect(0, 0, width_, row_height_), cv::Scalar(0, 0, 0), cv::FILLED);
    time_t whole = static_cast<time_t>(now_ms / 1000);
    tm local;
    localtime_r(&whole, &local);
    char clock[64];
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    char text[128];
    snprintf(text, sizeof text, "VX4 SIM  %s.%03u  frame %llu", clock, static_cast<unsigned>(now_ms % 1000),
             static_cast<unsigned long long>(frame_number));
    cv::putText(frame_, text, cv::Point(cell_width_ / 2, row_height_ * 3 / 4), title_font, title_scale_ * 0.8,
                cv::Scalar(255, 255, 255), std::max(1, height_ / 360), cv::LINE_AA);
    cv::rectangle(frame_, cv::Rect(0, row_height_ * (rows - 1), width_, height_ - row_height_ * (rows - 1)),
                  cv::Scalar(0, 0, 0), cv::FILLED);
    frame_code::draw(frame_, now_ms);
    return frame_;
}

void SceneRenderer::draw_titles(const SimCameraView &view, uint64_t now_ms)
{
    bool blink_off = (now_ms / 500) % 2 == 1;
    int thickness = std::max(1, height_ / 360);
    for (size_t line = 0; line < view.titles.size(); ++line) {
        const SimTitleLine &title = view.titles[line];
        if (!title.shown || (title.blink && blink_off))
            continue;
        cv::Scalar colour = title_colour(title.color);
        // One glyph per cell, as the camera's character generator draws them.
        for (size_t i = 0; i < title.text.size(); ++i) {
            char glyph[2] = {title.text[i], '\0'};
            if (glyph[0] == ' ' || glyph[0] == '\0')
                continue;
            cv::Rect cell = title_area(static_cast<int>(line), title.h_position + static_cast<int>(i), 1);
            cv::Size size = cv::getTextSize(glyph, title_font, title_scale_, thickness, nullptr);
            cv::Point origin(cell.x + (cell.width - size.width) / 2, cell.y + (cell.height + size.height) / 2);
            cv::putText(frame_, glyph, origin, title_font, title_scale_, cv::Scalar(0, 0, 0), thickness + 3,
                        cv::LINE_AA);
            cv::putText(frame_, glyph, origin, title_font, title_scale_, colour, thickness, cv::LINE_AA);
        }
    }
}
