#include "api/camera.h"

#include <json-c/json.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "api/api_reply.h"
#include "api/api_state.h"
#include "api/distance.h"
#include "camera/camera_settings.h"
#include "camera/motion_loops.h"
#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "core/state_files.h"
#include "core/trace.h"
#include "platform.h"
#include "power_board/power_board.h"

namespace {

using camera_command = int (*)(visca_camera *camera);

constexpr int loop_hold_ms = 500;
constexpr int fastest_speed = 7;
constexpr int last_title_line = 10;
constexpr int64_t image_cache_limit = 524287;
constexpr const char *image_cache = "/tmp/imagecache";
constexpr auto title_pause = std::chrono::milliseconds(150);

int reply_ok(http_connection *connection, bool ok) { return api_reply_status(connection, ok ? "OK" : "BAD_REQUEST"); }

visca_camera *camera_there() { return visca_thread_data.camera; }

// The command went to the camera: there is one and it took the command.
bool send(camera_command command)
{
    visca_camera *camera = camera_there();
    return camera && command(camera) == 0;
}

// ---- modes ----

constexpr size_t mode_size = sizeof api_state.focus_mode;
static_assert(sizeof api_state.exposure_mode == mode_size);

struct camera_mode {
    const char *key;
    const char *trace_format;
    char *state;  // in the API state
    const char *file;
    camera_command automatic;
    camera_command manual;
};

const camera_mode exposure_mode = {"exposure_mode", "exposure mode '%s'", api_state.exposure_mode,
                                   "/tmp/exposure_mode", visca_camera_exposure_mode_auto,
                                   visca_camera_exposure_mode_manual};
const camera_mode focus_mode = {"focus_mode", "focus mode '%s'", api_state.focus_mode, "/tmp/focus_mode",
                                visca_camera_auto_focus, visca_camera_manual_focus};

int put_mode(http_connection *connection, const char *body, int64_t length, const camera_mode &mode)
{
    char name[16] = "";
    api_read_json_text(connection, body, length, mode.key, name, sizeof name);
    trace(TRACE_HTTP_API, mode.trace_format, name);
    bool automatic = strcmp(name, "auto") == 0;
    if ((!automatic && strcmp(name, "manual") != 0) || !send(automatic ? mode.automatic : mode.manual))
        return reply_ok(connection, false);
    vx4_set_api_mode(mode.state, name);
    vx4_write_state_file(mode.file, name);
    return reply_ok(connection, true);
}

bool manual(const char *mode)
{
    char text[mode_size];
    vx4_load_api_mode(mode, text, sizeof text);
    return strcmp(text, "manual") == 0;
}

int reply_mode(http_connection *connection, const camera_mode &mode)
{
    char text[mode_size];
    vx4_load_api_mode(mode.state, text, sizeof text);
    return api_reply_text(connection, mode.key, text);
}

// ---- speeds ----

struct speed_setting {
    const char *key;
    const char *operation_key;
    const char *put_trace;
    const char *post_trace;
    const char *file;
};

const speed_setting focus_speed = {"focus_speed", "focus_operation", "focus speed %d", "focus speed '%s'",
                                   "/tmp/focus_speed"};
const speed_setting zoom_speed = {"zoom_speed", "zoom_operation", "zoom speed %d", "zoom speed op '%s'",
                                  "/tmp/zoom_speed"};

long read_speed(const speed_setting &speed)
{
    long value;
    return vx4_read_state_number(speed.file, 14, &value) ? value : -1;
}

int reply_number(http_connection *connection, const char *key, long value)
{
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, key, json_object_new_int64(value));
    return json_response_handler(connection, reply);
}

int put_speed(http_connection *connection, const char *body, int64_t length, const speed_setting &speed)
{
    int32_t value = -1;
    bool valid = api_read_json_integer(connection, body, length, speed.key, &value) == 1;
    trace(TRACE_HTTP_API, speed.put_trace, valid ? value : -1);
    if (!valid || value < 0 || value > fastest_speed)
        return reply_ok(connection, false);
    return reply_ok(connection, vx4_write_state_number(speed.file, value) == 0);
}

int post_speed(http_connection *connection, const char *body, int64_t length, const speed_setting &speed)
{
    char operation[16] = "";
    api_read_json_text(connection, body, length, speed.operation_key, operation, sizeof operation);
    trace(TRACE_HTTP_API, speed.post_trace, operation);
    long value = read_speed(speed);
    long next = value;
    if (strcmp(operation, "increment") == 0 && value >= 0 && value < fastest_speed)
        next = value + 1;
    else if (strcmp(operation, "decrement") == 0 && value >= 1)
        next = value - 1;
    if (next != value && vx4_write_state_number(speed.file, static_cast<int>(next)) != 0)
        next = value;
    return reply_number(connection, speed.key, next);
}

// ---- positions ----

int focus_position()
{
    visca_camera *camera = camera_there();
    return camera ? camera->focus_position.load() : -1;
}

void add_focus_keys(json_object *reply)
{
    int position = focus_position();
    char far_limit[32], near_limit[32];
    vx4_load_depth_of_field(position, far_limit, sizeof far_limit, near_limit, sizeof near_limit);
    json_object_object_add(reply, "focus_position", json_object_new_int(position));
    json_object_object_add(reply, "max_depth_of_field", json_object_new_string(far_limit));
    json_object_object_add(reply, "min_depth_of_field", json_object_new_string(near_limit));
}

void add_zoom_keys(json_object *reply)
{
    int position;
    char magnification[16];
    vx4_load_camera_zoom_values(&position, nullptr, magnification, sizeof magnification);
    json_object_object_add(reply, "zoom_position", json_object_new_int(position));
    json_object_object_add(reply, "zoom_magnification", json_object_new_string(magnification));
}

// {"status"} with the position keys of focus or zoom.
int reply_with(http_connection *connection, bool ok, void (*add_keys)(json_object *reply), bool keys_first)
{
    json_object *reply = json_object_new_object();
    if (reply) {
        if (keys_first)
            add_keys(reply);
        json_object_object_add(reply, "status", json_object_new_string(ok ? "OK" : "BAD_REQUEST"));
        if (!keys_first)
            add_keys(reply);
    }
    return json_response_handler(connection, reply);
}

// A position the camera's four nibbles can carry; -1 when absent or not one.
bool read_position(http_connection *connection, const char *body, int64_t length, const char *key, int32_t *value)
{
    int found = api_read_json_integer(connection, body, length, key, value);
    return found == 1 && *value >= 0 && *value <= 0xFFFF;
}

// The laser reading belongs to what the lens showed before the zoom moved.
void clear_laser_reading()
{
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_clear_laser_reading(board);
}

int post_focus_move(http_connection *connection, const char *message, int direction)
{
    trace(TRACE_HTTP_API, "%s", message);
    bool ok = camera_there() && manual(api_state.focus_mode);
    if (ok)
        vx4_trigger_focus_loop(direction, loop_hold_ms);
    return reply_with(connection, ok, add_focus_keys, false);
}

int post_zoom_move(http_connection *connection, const char *message, int direction)
{
    trace(TRACE_HTTP_API, "%s", message);
    vx4_trigger_zoom_loop(direction, loop_hold_ms);
    clear_laser_reading();
    return reply_with(connection, true, add_zoom_keys, true);
}

// ---- exposure steps ----

struct exposure_commands {
    const char *name;
    camera_command increment, decrement, reset;
};

const exposure_commands exposure_controls[] = {
    {"shutter", visca_camera_shutter_up, visca_camera_shutter_down, visca_camera_shutter_reset},
    {"iris", visca_camera_iris_up, visca_camera_iris_down, visca_camera_iris_reset},
    {"gain", visca_camera_gain_up, visca_camera_gain_down, visca_camera_gain_reset},
};

constexpr const char *step_names[] = {"inc", "dec", "reset", "stop"};

// ---- image settings ----

struct image_setting {
    const char *key;
    const char *trace_format;
    void (*load)(char *text, size_t size);
    int (*set)(const char *text);
};

const image_setting image_settings[] = {
    {"invert_image", "invert image '%s'", vx4_load_camera_invert_image, vx4_set_camera_invert_image},
    {"image_stabilizer", "image stabilizer '%s'", vx4_load_camera_image_stabilizer,
     vx4_set_camera_image_stabilizer},
    {"sensitivity", "sensitivity '%s'", vx4_load_camera_sensitivity, vx4_set_camera_sensitivity},
    {"ir_filter", "ir filter '%s'", vx4_load_camera_ir_filter, vx4_set_camera_ir_filter},
    {"defog", "defog '%s'", vx4_load_camera_defog, vx4_set_camera_defog},
};

// ---- title lines ----

struct title_commands {
    const char *line_trace;
    const char *all_trace;
    int (*line)(visca_camera *camera, int line);
    camera_command all;
};

const title_commands title_actions[] = {
    {"title clear line %d", "title clear all", visca_camera_title_clear_line, visca_camera_title_clear_all},
    {"title turn line on %d", "title turn all on", visca_camera_title_turn_line_on, visca_camera_title_turn_all_on},
    {"title turn line off %d", "title turn all off", visca_camera_title_turn_line_off,
     visca_camera_title_turn_all_off},
};

// An integer of the title request: 0 when absent, -1 when not one.
int32_t title_number(json_object *request, const char *key)
{
    int32_t value = 0;
    return api_json_integer(request, key, &value) >= 0 ? value : -1;
}

bool title_line_number(int32_t line) { return line >= 0 && line <= last_title_line; }

// ---- image cache ----

// Written beside its place and renamed over it, never through a link, so a
// reader sees the old image or the new one whole.
bool replace_image_cache(const char *data, size_t length)
{
    return vx4_replace_file(vx4_path(image_cache), std::string_view(data, length)) == 0;
}

}  // namespace

// ---- exposure ----

int api_get_camera_exposure_mode(http_connection *connection, const char *, int64_t, void *)
{
    return reply_mode(connection, exposure_mode);
}

int api_put_camera_exposure_mode(http_connection *connection, const char *body, int64_t length, void *)
{
    return put_mode(connection, body, length, exposure_mode);
}

template <api_exposure_control control, api_exposure_step step>
int api_post_camera_exposure(http_connection *connection, const char *, int64_t, void *)
{
    const exposure_commands &commands = exposure_controls[control];
    trace(TRACE_HTTP_API, "%s %s", commands.name, step_names[step]);
    if (!camera_there() || !manual(api_state.exposure_mode))
        return reply_ok(connection, false);
    switch (step) {
    case API_STEP_UP: return reply_ok(connection, send(commands.increment));
    case API_STEP_DOWN: return reply_ok(connection, send(commands.decrement));
    case API_STEP_RESET: return reply_ok(connection, send(commands.reset));
    case API_STEP_STOP: break;
    }
    return reply_ok(connection, true);
}

#define VX4_EXPOSURE_STEPS(control)                                                                           \
    template int api_post_camera_exposure<control, API_STEP_UP>(http_connection *, const char *, \
                                                                            int64_t, void *);                \
    template int api_post_camera_exposure<control, API_STEP_DOWN>(http_connection *, const char *, \
                                                                            int64_t, void *);                \
    template int api_post_camera_exposure<control, API_STEP_RESET>(http_connection *, const char *,     \
                                                                        int64_t, void *);                    \
    template int api_post_camera_exposure<control, API_STEP_STOP>(http_connection *, const char *,      \
                                                                       int64_t, void *);
VX4_EXPOSURE_STEPS(API_SHUTTER)
VX4_EXPOSURE_STEPS(API_IRIS)
VX4_EXPOSURE_STEPS(API_GAIN)
#undef VX4_EXPOSURE_STEPS

// ---- focus ----

int api_get_camera_focus_mode(http_connection *connection, const char *, int64_t, void *)
{
    return reply_mode(connection, focus_mode);
}

int api_put_camera_focus_mode(http_connection *connection, const char *body, int64_t length, void *)
{
    return put_mode(connection, body, length, focus_mode);
}

int api_get_camera_focus_speed(http_connection *connection, const char *, int64_t, void *)
{
    return reply_number(connection, focus_speed.key, read_speed(focus_speed));
}

int api_put_camera_focus_speed(http_connection *connection, const char *body, int64_t length, void *)
{
    return put_speed(connection, body, length, focus_speed);
}

int api_post_camera_focus_speed(http_connection *connection, const char *body, int64_t length, void *)
{
    return post_speed(connection, body, length, focus_speed);
}

int api_get_camera_focus_position(http_connection *connection, const char *, int64_t, void *)
{
    json_object *reply = json_object_new_object();
    if (reply)
        add_focus_keys(reply);
    return json_response_handler(connection, reply);
}

int api_put_camera_focus_position(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t position = -1;
    bool valid = read_position(connection, body, length, "focus_position", &position);
    trace(TRACE_HTTP_API, "focus pos %d %d", valid ? 1 : 0, valid ? position : -1);
    visca_camera *camera = camera_there();
    return reply_ok(connection, valid && camera && visca_camera_focus_direct(camera, position) == 0);
}

// Focus moves, like the other focus commands, need manual focus and a camera.
int api_post_camera_focus_increment(http_connection *connection, const char *, int64_t, void *)
{
    return post_focus_move(connection, "focus inc", 1);
}

int api_post_camera_focus_decrement(http_connection *connection, const char *, int64_t, void *)
{
    return post_focus_move(connection, "focus dec", -1);
}

int api_post_camera_focus_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "focus stop");
    if (manual(api_state.focus_mode))
        vx4_stop_focus_loop();
    return reply_with(connection, true, add_focus_keys, false);
}

// ---- zoom ----

int api_post_camera_zoom_reset(http_connection *connection, const char *, int64_t, void *)
{
    constexpr int reset_speed = 3;
    trace(TRACE_HTTP_API, "zoom reset");
    vx4_write_state_number(zoom_speed.file, reset_speed);
    if (visca_camera *camera = camera_there())
        visca_camera_zoom_direct(camera, 0);
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "zoom_speed", json_object_new_int(reset_speed));
        add_zoom_keys(reply);
        json_object_object_add(reply, "status", json_object_new_string("OK"));
    }
    return json_response_handler(connection, reply);
}

int api_get_camera_zoom_speed(http_connection *connection, const char *, int64_t, void *)
{
    return reply_number(connection, zoom_speed.key, read_speed(zoom_speed));
}

int api_put_camera_zoom_speed(http_connection *connection, const char *body, int64_t length, void *)
{
    return put_speed(connection, body, length, zoom_speed);
}

int api_post_camera_zoom_speed(http_connection *connection, const char *body, int64_t length, void *)
{
    return post_speed(connection, body, length, zoom_speed);
}

int api_get_camera_zoom_position(http_connection *connection, const char *, int64_t, void *)
{
    json_object *reply = json_object_new_object();
    if (reply)
        add_zoom_keys(reply);
    return json_response_handler(connection, reply);
}

int api_put_camera_zoom_position(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t position = -1;
    bool valid = read_position(connection, body, length, "zoom_position", &position);
    trace(TRACE_HTTP_API, "zoom pos %d %d", valid ? 1 : 0, valid ? position : -1);
    clear_laser_reading();
    visca_camera *camera = camera_there();
    return reply_ok(connection, valid && camera && visca_camera_zoom_direct(camera, position) == 0);
}

int api_post_camera_zoom_increment(http_connection *connection, const char *, int64_t, void *)
{
    return post_zoom_move(connection, "zoom inc", 1);
}

int api_post_camera_zoom_decrement(http_connection *connection, const char *, int64_t, void *)
{
    return post_zoom_move(connection, "zoom dec", -1);
}

int api_post_camera_zoom_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "zoom stop");
    vx4_stop_zoom_loop();
    return reply_with(connection, true, add_zoom_keys, true);
}

// ---- image settings ----

template <api_image_setting setting>
int api_get_camera_image_setting(http_connection *connection, const char *, int64_t, void *)
{
    char text[16];
    image_settings[setting].load(text, sizeof text);
    return api_reply_text(connection, image_settings[setting].key, text);
}

template <api_image_setting setting>
int api_put_camera_image_setting(http_connection *connection, const char *body, int64_t length, void *)
{
    char text[16] = "";
    api_read_json_text(connection, body, length, image_settings[setting].key, text, sizeof text);
    trace(TRACE_HTTP_API, image_settings[setting].trace_format, text);
    return reply_ok(connection, image_settings[setting].set(text) == 0);
}

#define VX4_IMAGE_SETTING(setting)                                                                          \
    template int api_get_camera_image_setting<setting>(http_connection *, const char *, int64_t, void *); \
    template int api_put_camera_image_setting<setting>(http_connection *, const char *, int64_t, void *);
VX4_IMAGE_SETTING(API_INVERT_IMAGE)
VX4_IMAGE_SETTING(API_IMAGE_STABILIZER)
VX4_IMAGE_SETTING(API_SENSITIVITY)
VX4_IMAGE_SETTING(API_IR_FILTER)
VX4_IMAGE_SETTING(API_DEFOG)
#undef VX4_IMAGE_SETTING

// ---- title lines ----

int api_put_camera_title_line(http_connection *connection, const char *body, int64_t length, void *)
{
    char text[21] = "";
    json_object *request = api_read_json_body(connection, body, length);
    api_json_string(request, "text", text, sizeof text);
    int32_t line = title_number(request, "line_number");
    int32_t position = title_number(request, "h_position");
    int32_t color = title_number(request, "color");
    int32_t blink = title_number(request, "blink");
    json_object_put(request);
    trace(TRACE_HTTP_API, "title line '%s' %d %d %d %d", text, line, position, color, blink);
    visca_camera *camera = camera_there();
    // Each number goes out as one byte of the packet.
    bool fits = title_line_number(line) && position >= 0 && position <= 0xFF && color >= 0 && color <= 0xFF &&
                blink >= 0 && blink <= 0xFF;
    if (!camera || !fits)
        return reply_ok(connection, false);
    char first[11] = {}, second[11] = {};
    size_t count = strlen(text);
    memcpy(first, text, count < 10 ? count : 10);
    if (count > 10)
        memcpy(second, text + 10, count - 10);
    bool ok = visca_camera_title_set_1(camera, line, position, color, blink) == 0;
    std::this_thread::sleep_for(title_pause);
    ok = visca_camera_title_set_2(camera, line, first) == 0 && ok;
    std::this_thread::sleep_for(title_pause);
    ok = visca_camera_title_set_3(camera, line, second) == 0 && ok;
    std::this_thread::sleep_for(title_pause);
    return reply_ok(connection, ok);
}

template <api_title_action action>
int api_post_camera_title_line_action(http_connection *connection, const char *body, int64_t length, void *)
{
    json_object *request = api_read_json_body(connection, body, length);
    int32_t line = title_number(request, "line_number");
    json_object_put(request);
    trace(TRACE_HTTP_API, title_actions[action].line_trace, line);
    // Only the camera's lines: 0x0F in the packet would mean all of them.
    visca_camera *camera = camera_there();
    return reply_ok(connection, camera && title_line_number(line) && title_actions[action].line(camera, line) == 0);
}

template <api_title_action action>
int api_post_camera_title_all_action(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "%s", title_actions[action].all_trace);
    return reply_ok(connection, send(title_actions[action].all));
}

#define VX4_TITLE_ACTION(action)                                                                                 \
    template int api_post_camera_title_line_action<action>(http_connection *, const char *, int64_t, void *); \
    template int api_post_camera_title_all_action<action>(http_connection *, const char *, int64_t, void *);
VX4_TITLE_ACTION(API_TITLE_CLEAR)
VX4_TITLE_ACTION(API_TITLE_TURN_ON)
VX4_TITLE_ACTION(API_TITLE_TURN_OFF)
#undef VX4_TITLE_ACTION

// ---- image cache ----

int api_get_camera_imagecache(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "get image cache");
    return api_reply_jpeg_file(connection, image_cache);
}

int api_post_camera_imagecache(http_connection *connection, const char *body, int64_t length, void *)
{
    trace(TRACE_HTTP_API, "post image cache %d", static_cast<int>(length));
    if (!body || length < 1 || length > image_cache_limit)
        return reply_ok(connection, false);
    return reply_ok(connection, replace_image_cache(body, static_cast<size_t>(length)));
}
