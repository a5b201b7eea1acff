#include "overlay.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "platform.h"

namespace {

constexpr int font = cv::FONT_HERSHEY_DUPLEX;
constexpr double font_scale = 1.0;
constexpr size_t max_text = 128;  // with its end: what one line can show
constexpr size_t max_file = 4 << 20;  // room for a megabyte of text, cut when drawn

std::string cut(std::string text)
{
    if (text.size() >= max_text)
        text.resize(max_text - 1);
    return text;
}

// Keeps absurd positions from the file inside the int range.
int to_pixel(double value)
{
    if (!(value > -100000.0))  // also NaN
        return -100000;
    if (value > 100000.0)
        return 100000;
    return static_cast<int>(value);
}

}  // namespace

bool rate_format_is_safe(std::string_view format)
{
    int conversions = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        if (++i < format.size() && format[i] == '%')
            continue;
        while (i < format.size() && format[i] && strchr("-+ #0", format[i]))
            ++i;
        for (int digits = 0; i < format.size() && isdigit(static_cast<unsigned char>(format[i])); ++digits, ++i)
            if (digits == 3)
                return false;
        if (i < format.size() && format[i] == '.') {
            ++i;
            for (int digits = 0; i < format.size() && isdigit(static_cast<unsigned char>(format[i])); ++digits, ++i)
                if (digits == 3)
                    return false;
        }
        if (i < format.size() && format[i] == 'l')
            ++i;
        if (i >= format.size() || !format[i] || !strchr("fFeEgGaA", format[i]))
            return false;
        ++conversions;
    }
    return conversions == 1;
}

std::optional<std::string> overlay_text(std::string_view type, const std::string &value,
                                        const OverlayRates &rates, time_t now)
{
    auto is = [type](const char *name) {
        return type.size() == strlen(name) && strncasecmp(type.data(), name, type.size()) == 0;
    };
    if (is("date") || is("time")) {
        tm local;
        localtime_r(&now, &local);
        char text[101];
        if (strftime(text, sizeof text, value.c_str(), &local) == 0)
            text[0] = '\0';
        return text;
    }
    if (is("text"))
        return cut(value);
    if (is("queue_rate") || is("dequeue_rate")) {
        if (!rate_format_is_safe(value))
            return cut(value);
        char text[max_text];
        snprintf(text, sizeof text, value.c_str(), is("queue_rate") ? rates.capture : rates.delivery);
        return text;
    }
    return std::nullopt;
}

OverlayPlacement place_overlay_text(const std::string &text, double px, double py)
{
    OverlayPlacement place;
    place.size = cv::getTextSize(text, font, font_scale, 1, &place.baseline);
    place.x0 = to_pixel(px - place.size.width / 2);
    place.y0 = to_pixel(place.size.height / 2 + py);
    return place;
}

cv::Rect OverlayPlacement::area() const
{
    constexpr int margin = 8;
    return cv::Rect(cv::Point(x0 - 4 - margin, y0 - size.height - 4 - margin),
                    cv::Point(x0 + size.width + 4 + margin, y0 + std::max(7, baseline) + margin));
}

void draw_overlay_text(cv::Mat &level, cv::Mat &cover, cv::Point origin, const std::string &text,
                       const OverlayPlacement &place)
{
    cv::Point at(place.x0 - origin.x, place.y0 - origin.y);
    cv::Point box_from(at.x - 4, at.y + 7), box_to(at.x + place.size.width + 4, at.y - place.size.height - 4);
    cv::rectangle(level, box_from, box_to, cv::Scalar(0), cv::FILLED, cv::LINE_8);
    cv::rectangle(cover, box_from, box_to, cv::Scalar(255), cv::FILLED, cv::LINE_8);
    cv::putText(level, text, at, font, font_scale, cv::Scalar(255), 1, cv::LINE_AA);
}

void finish_overlay_cover(const cv::Mat &level, cv::Mat &cover) { cv::max(cover, level, cover); }

void blend_overlay(Picture &picture, const cv::Mat &level, const cv::Mat &cover, cv::Point origin)
{
    // With c the cover from 0 to 1 and l the level: y' = l / 2 + (1 - c / 2) y.
    // Grey has no colour, so chroma only moves towards neutral by the same
    // (1 - c / 2), c averaged over the 2 x 2 pixels a chroma sample spans.
    for (int r = 0; r < cover.rows; ++r) {
        const uchar *c = cover.ptr(r), *l = level.ptr(r);
        uchar *y = picture.y.ptr(origin.y + r) + origin.x;
        for (int x = 0; x < cover.cols; ++x)
            if (c[x])
                y[x] = static_cast<uchar>((255 * l[x] + (510 - c[x]) * y[x] + 255) / 510);
    }
    for (int r = 0; r + 1 < cover.rows; r += 2) {
        const uchar *c0 = cover.ptr(r), *c1 = cover.ptr(r + 1);
        uchar *u = picture.u.ptr((origin.y + r) / 2) + origin.x / 2;
        uchar *v = picture.v.ptr((origin.y + r) / 2) + origin.x / 2;
        for (int x = 0; x + 1 < cover.cols; x += 2) {
            int sum = c0[x] + c0[x + 1] + c1[x] + c1[x + 1];
            if (sum == 0)
                continue;
            int keep = 2040 - sum;  // (1 - c / 2) in 2040ths
            for (uchar *chroma : {u + x / 2, v + x / 2}) {
                int d = (*chroma - 128) * keep;
                *chroma = static_cast<uchar>(128 + (d >= 0 ? (d + 1020) / 2040 : -((1020 - d) / 2040)));
            }
        }
    }
}

OverlayRenderer::OverlayRenderer(std::string file, FILE *messages) : file_(std::move(file)), messages_(messages) {}

void OverlayRenderer::say(const char *message) const
{
    fputs(message, messages_);
    fflush(messages_);
}

json_object *OverlayRenderer::parse_file() const
{
    // Whatever sits at the name (a FIFO, a link to a device, a huge file)
    // is refused like a file that does not parse.
    std::string text;
    if (vx4_read_small_file(file_, max_file, &text) != 0)
        return nullptr;
    json_tokener *tokener = json_tokener_new();
    if (!tokener)
        return nullptr;
    json_object *document = json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size()));
    json_tokener_free(tokener);
    return document;
}

bool OverlayRenderer::draw(Picture &frame, const OverlayRates &rates)
{
    struct stat st;
    if (stat(file_.c_str(), &st) != 0) {
        if (seen_) {
            say("Cannot stat /tmp/overlays.json\n");
            seen_ = false;
        }
        return false;
    }
    seen_ = true;
    if (st.st_mtime != modified_) {
        say("/tmp/overlays.json updated\n");
        modified_ = st.st_mtime;
        document_.reset(parse_file());
        if (!document_) {
            say("Error parsing /tmp/overlays.json\n");
            return false;
        }
    } else if (!document_) {
        return false;
    }

    json_object *overlays = nullptr;
    if (!json_object_object_get_ex(document_.get(), "overlays", &overlays) ||
        !json_object_is_type(overlays, json_type_array)) {
        document_.reset();
        say("Array 'overlays' missing in /tmp/overlays.json\n");
        return false;
    }
    size_t count = json_object_array_length(overlays);
    if (count == 0) {
        document_.reset();
        say("No overlays in /tmp/overlays.json\n");
        return false;
    }

    struct Item {
        std::string text;
        OverlayPlacement place;
    };
    std::vector<Item> items;
    cv::Rect area;
    time_t now = vx4_time();
    for (size_t i = 0; i < count; ++i) {
        json_object *entry = json_object_array_get_idx(overlays, i);
        json_object *x = nullptr, *y = nullptr, *type = nullptr, *value = nullptr;
        bool has_x = json_object_object_get_ex(entry, "x", &x);
        bool has_y = json_object_object_get_ex(entry, "y", &y);
        bool has_type = json_object_object_get_ex(entry, "type", &type);
        bool has_value = json_object_object_get_ex(entry, "value", &value);
        if (!has_x || !has_y || !has_type || !has_value) {
            if (!has_x)
                say("Missing 'x' tag in overlay\n");
            if (!has_y)
                say("Missing 'y' tag in overlay\n");
            if (!has_type)
                say("Missing 'type' tag in overlay\n");
            if (!has_value)
                say("Missing 'value' tag in overlay\n");
            continue;
        }
        const char *type_text = json_object_get_string(type);
        const char *value_text = json_object_get_string(value);
        std::optional<std::string> text =
            overlay_text(type_text ? type_text : "", value_text ? value_text : "", rates, now);
        if (!text)
            continue;
        OverlayPlacement place =
            place_overlay_text(*text, json_object_get_double(x) * 12.8, json_object_get_double(y) * 7.2);
        area |= place.area();
        items.push_back({std::move(*text), place});
    }

    // Only the area the boxes and texts touch is drawn and blended; its
    // corners on even pixels, where chroma samples begin.
    area.width += area.x & 1;
    area.x &= ~1;
    area.height += area.y & 1;
    area.y &= ~1;
    area.width += area.width & 1;
    area.height += area.height & 1;
    area &= cv::Rect(0, 0, frame.width(), frame.height());
    if (area.empty())
        return true;
    level_.create(area.size(), CV_8UC1);
    cover_.create(area.size(), CV_8UC1);
    level_.setTo(0);
    cover_.setTo(0);
    for (const Item &item : items)
        draw_overlay_text(level_, cover_, area.tl(), item.text, item.place);
    finish_overlay_cover(level_, cover_);
    blend_overlay(frame, level_, cover_, area.tl());
    return true;
}
