#include "camera/osd.h"

#include <ev.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "camera/camera_settings.h"
#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "core/settings.h"
#include "core/trace.h"
#include "platform.h"
#include "recorder/recorder_texts.h"

namespace {

constexpr double tick_seconds = 0.1;
constexpr int ticks_per_second = 10;
constexpr int dwell_never = 999;
constexpr int line_width = 20;  // characters the camera shows of a line
constexpr int left_position = 6;
constexpr int bottom_line = 10;
constexpr int text_size = 41;
constexpr float feet_per_metre = 3.28084f;

// The settings store's item of each display item; -1: not kept.
constexpr int stored_items[VX4_OSD_ITEM_COUNT] = {
    NV_ZOOM_OSD, NV_FLOW_DIRECTION_OSD, NV_DATE_TIME_OSD, NV_COMPASS_DIRECTION_OSD, NV_TITLE_OSD,
    NV_OPERATOR_ID_OSD, -1, NV_OSD_COLOR, NV_OSD_DELAY,
};

// Written by the API and power board threads, read by the tick.
std::atomic<int32_t> items[VX4_OSD_ITEM_COUNT];
std::atomic<float> laser_reading{0};
std::atomic<int> recorder_active{0};

// What the camera was last sent for one line.
struct line_state {
    bool on;
    char text[text_size];
    int position;
    int color;
};

// The recording's text lines 1 to 3.
struct text_line {
    int item;
    void (*load)(char *buffer, size_t length);
    const char *text_message;
    const char *set_message;
    const char *on_message;
    const char *off_message;
};

const text_line text_lines[] = {
    {VX4_OSD_TITLE, vx4_load_recorder_title, "title text set", "title line set", "title line on", "title line off"},
    {VX4_OSD_FLOW_DIRECTION, vx4_load_recorder_flow_direction, "flow direction text set",
     "flow direction line set", "flow direction line on", "flow direction line off"},
    {VX4_OSD_OPERATOR_ID, vx4_load_recorder_operator_id, "operator text set", "operator line set",
     "operator line on", "operator line off"},
};

// On the main thread only.
struct display_state {
    bool initialised;
    line_state lines[4];  // 0: date and time, 1 to 3: text_lines
    line_state bottom;
    // The bottom line's inputs when it was last sent.
    int32_t shown_compass, shown_laser, shown_zoom;
    float shown_reading;
    char shown_zoom_text[16];
    int last_minute;
    int dwell_ticks;
    int dwell_seconds;
    bool dwell_timed_out;
    ev_timer timer;
};

display_state display;

bool item_on(int item) { return (items[item] & 1) != 0; }

// Each half of the line's first twenty characters, ending early at the end
// of the text.
void send_text(visca_camera *camera, int line, const char *text)
{
    visca_camera_title_set_2(camera, line, text);
    visca_camera_title_set_3(camera, line, strlen(text) > 10 ? text + 10 : "");
}

// A text centred on the camera's twenty characters by its full length; one
// too long to centre starts at the left edge.
int centred_position(const char *text)
{
    int room = line_width - static_cast<int>(strlen(text));
    int position = left_position + (room >= 0 ? room / 2 : -((1 - room) / 2));
    return position < 0 ? 0 : position;
}

void turn_off(visca_camera *camera, line_state &line, int number, const char *message)
{
    if (!line.on)
        return;
    trace(TRACE_OSD, "%s", message);
    visca_camera_title_turn_line_off(camera, number);
    line.on = false;
}

// Position and colour when they changed, then the line on if it was off.
void show(visca_camera *camera, line_state &line, int number, int position, const char *set_message,
          const char *on_message)
{
    int color = items[VX4_OSD_COLOR];
    if (line.on && line.position == position && line.color == color)
        return;
    trace(TRACE_OSD, "%s", set_message);
    visca_camera_title_set_1(camera, number, position, color, 0);
    line.position = position;
    line.color = color;
    if (line.on)
        return;
    trace(TRACE_OSD, "%s", on_message);
    visca_camera_title_turn_line_on(camera, number);
    line.on = true;
}

void count_dwell()
{
    if (!recorder_active) {
        display.dwell_ticks = 0;
        display.dwell_seconds = 0;
        if (display.dwell_timed_out) {
            display.dwell_timed_out = false;
            trace(TRACE_OSD, "delay reset");
        }
        return;
    }
    if (++display.dwell_ticks >= ticks_per_second) {
        display.dwell_ticks = 0;
        if (display.dwell_seconds < dwell_never) {
            ++display.dwell_seconds;
            trace(TRACE_OSD, "delay second %d", display.dwell_seconds);
        }
    }
    int dwell = items[VX4_OSD_DWELL];
    if (!display.dwell_timed_out && dwell > 0 && dwell != dwell_never && dwell <= display.dwell_seconds) {
        display.dwell_timed_out = true;
        trace(TRACE_OSD, "delay timeout");
    }
}

void draw_date_time(visca_camera *camera, const tm &now)
{
    line_state &line = display.lines[0];
    if (!item_on(VX4_OSD_DATE_TIME)) {
        turn_off(camera, line, 0, "top line off");
        return;
    }
    if (!line.on || now.tm_min != display.last_minute) {
        char text[32];
        snprintf(text, sizeof text, "VX4  %02d/%02d/%02d  %02d:%02d", now.tm_mon + 1, now.tm_mday, now.tm_year % 100,
                 now.tm_hour, now.tm_min);
        trace(TRACE_OSD, "top text set");
        send_text(camera, 0, text);
    }
    show(camera, line, 0, left_position, "top line set", "top line on");
}

void draw_text_line(visca_camera *camera, int number, const text_line &kind)
{
    line_state &line = display.lines[number];
    if (!item_on(kind.item) || display.dwell_timed_out) {
        turn_off(camera, line, number, kind.off_message);
        return;
    }
    char text[text_size] = "";
    kind.load(text, sizeof text);
    if (!line.on || strcmp(text, line.text) != 0) {
        trace(TRACE_OSD, "%s", kind.text_message);
        send_text(camera, number, text);
        memcpy(line.text, text, sizeof text);
    }
    show(camera, line, number, centred_position(line.text), kind.set_message, kind.on_message);
}

// Twenty characters: the compass field from 0, the laser reading from 6,
// the zoom magnification ending at 19.
void compose_bottom_line(bool compass, bool laser, bool zoom, float reading, const char *zoom_text,
                         char (&line)[line_width + 1])
{
    memset(line, ' ', line_width);
    line[line_width] = '\0';
    if (compass)
        memcpy(line, "NE", 2);
    if (laser) {
        int32_t units = 0;
        vx4_read_nv(NV_UNITS, &units, sizeof units);
        float distance = units == 1 ? reading * feet_per_metre : reading;
        char text[32];
        snprintf(text, sizeof text, distance < 99.5f ? "%.1f %s" : "%.0f %s", static_cast<double>(distance),
                 units == 1 ? "ft" : "m");
        size_t length = strlen(text);
        memcpy(line + 6, text, length < line_width - 6 ? length : line_width - 6);
    }
    if (zoom) {
        size_t length = strlen(zoom_text);
        if (length > line_width)
            length = line_width;
        memcpy(line + line_width - length, zoom_text, length);
    }
}

void draw_bottom_line(visca_camera *camera)
{
    line_state &line = display.bottom;
    bool compass = item_on(VX4_OSD_COMPASS);
    bool laser = item_on(VX4_OSD_LASER);
    bool zoom = item_on(VX4_OSD_ZOOM);
    if (!compass && !laser && !zoom) {
        turn_off(camera, line, bottom_line, "bottom line off");
        return;
    }
    float reading = laser_reading;
    char zoom_text[16] = "";
    if (zoom)
        vx4_load_camera_zoom_values(nullptr, nullptr, zoom_text, sizeof zoom_text);
    bool changed = !line.on || compass != display.shown_compass || laser != display.shown_laser ||
                   zoom != display.shown_zoom || (laser && reading != display.shown_reading) ||
                   (zoom && strcmp(zoom_text, display.shown_zoom_text) != 0);
    if (changed) {
        char text[line_width + 1];
        compose_bottom_line(compass, laser, zoom, reading, zoom_text, text);
        trace(TRACE_OSD, "bottom text set");
        send_text(camera, bottom_line, text);
        display.shown_compass = compass;
        display.shown_laser = laser;
        display.shown_zoom = zoom;
        display.shown_reading = reading;
        memcpy(display.shown_zoom_text, zoom_text, sizeof zoom_text);
    }
    show(camera, line, bottom_line, left_position, "bottom line set", "bottom line on");
}

void forget_camera_lines()
{
    for (line_state &line : display.lines)
        line = line_state{};
    display.bottom = line_state{};
    display.shown_compass = display.shown_laser = display.shown_zoom = 0;
    display.shown_reading = 0;
    display.shown_zoom_text[0] = '\0';
    display.last_minute = -1;
}

void on_tick(struct ev_loop *, ev_timer *, int)
{
    count_dwell();
    visca_camera *camera = visca_thread_data.camera;
    if (!camera || !visca_connection_is_connected(visca_thread_data.connection)) {
        display.initialised = false;
        return;
    }
    time_t seconds = vx4_time();
    tm now;
    localtime_r(&seconds, &now);
    if (!display.initialised) {
        trace(TRACE_OSD, "clear all");
        visca_camera_title_clear_all(camera);
        forget_camera_lines();
        display.initialised = true;
    }
    draw_date_time(camera, now);
    for (int number = 1; number <= 3; ++number)
        draw_text_line(camera, number, text_lines[number - 1]);
    draw_bottom_line(camera);
    display.last_minute = now.tm_min;
}

}  // namespace

void vx4_init_osd()
{
    trace(TRACE_OSD, "init");
    for (int item = 0; item < VX4_OSD_ITEM_COUNT; ++item) {
        int32_t value = 0;
        if (stored_items[item] >= 0)
            vx4_read_nv(stored_items[item], &value, sizeof value);
        items[item] = value;
    }
    display = display_state{};
    forget_camera_lines();
    ev_timer_init(&display.timer, on_tick, tick_seconds, tick_seconds);
    ev_timer_start(ev_default_loop(0), &display.timer);
}

void vx4_set_osd_item(int item, int value, int)
{
    if (item < 0 || item >= VX4_OSD_ITEM_COUNT)
        return;
    items[item] = value;
    if (stored_items[item] >= 0) {
        int32_t stored = value;
        vx4_write_nv(stored_items[item], &stored, sizeof stored);
    }
}

int vx4_get_osd_item(int item) { return item >= 0 && item < VX4_OSD_ITEM_COUNT ? items[item].load() : 0; }

void vx4_set_osd_laser_reading(float value) { laser_reading = value; }

void vx4_update_osd_recorder_activity(int active)
{
    trace(TRACE_OSD, "recorder %d", active);
    recorder_active = active;
}
