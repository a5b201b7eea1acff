// Text overlays drawn onto each frame before it is encoded, described by
// /tmp/overlays.json, which another program writes. The file is re-read when
// its modification time changes, so overlays change while streaming.
#pragma once

#include <json-c/json.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "picture.h"

struct OverlayRates {
    double capture = 0;   // shown by "queue_rate"
    double delivery = 0;  // shown by "dequeue_rate"
};

class OverlayRenderer {
public:
    // file: where the overlay file is on disk; messages: where problems
    // with it are printed.
    explicit OverlayRenderer(std::string file, FILE *messages = stdout);

    // Draws the overlays onto the frame (a 1280 x 720 picture); false when
    // the frame was left unchanged.
    bool draw(Picture &frame, const OverlayRates &rates);

private:
    struct JsonRelease {
        void operator()(json_object *object) const { json_object_put(object); }
    };
    void say(const char *message) const;
    json_object *parse_file() const;

    std::string file_;
    FILE *messages_;
    cv::Mat level_, cover_;      // the boxes and texts before blending
    time_t modified_ = 0;        // of the file when it was last parsed
    bool seen_ = true;           // the last stat succeeded
    std::unique_ptr<json_object, JsonRelease> document_;
};

// True when the format takes exactly one double: one floating-point
// conversion (flags, width, precision and 'l' allowed), "%%" anywhere.
bool rate_format_is_safe(std::string_view format);

// The text an entry draws, at most 127 characters, or nothing for "image"
// and unknown types.
std::optional<std::string> overlay_text(std::string_view type, const std::string &value,
                                        const OverlayRates &rates, time_t now);

// Where a text centred on (px, py) goes: its origin (bottom left) and size.
struct OverlayPlacement {
    int x0 = 0, y0 = 0;
    cv::Size size;
    int baseline = 0;
    // Everything drawing it may touch: the box, descenders, smoothed edges.
    cv::Rect area() const;
};
OverlayPlacement place_overlay_text(const std::string &text, double px, double py);
// Draws the text at its place over a filled black box onto a grey layer:
// level is what is drawn (box black, text white), cover how much of each
// pixel the drawing covers. The box goes onto cover here; the text's share
// (part at its smoothed edges) is its level, which finish_overlay_cover
// adds once every text is drawn. origin: where the layer's top left is in
// the picture.
void draw_overlay_text(cv::Mat &level, cv::Mat &cover, cv::Point origin, const std::string &text,
                       const OverlayPlacement &place);
// After the last draw_overlay_text: the texts' cover. Outside the boxes
// level and cover would see the same drawing; inside them cover is full.
void finish_overlay_cover(const cv::Mat &level, cv::Mat &cover);
// Half the layer over half the picture where the layer covers it, as if the
// layer were drawn on a copy of the picture and the two added at half
// weight each; the rest stays. origin: even coordinates.
void blend_overlay(Picture &picture, const cv::Mat &level, const cv::Mat &cover, cv::Point origin);
