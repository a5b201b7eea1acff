#include "api/version_one.h"

#include <json-c/json.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/api_reply.h"
#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "core/state_files.h"
#include "core/trace.h"
#include "platform.h"
#include "power_board/power_board.h"

namespace {

using camera_command = int (*)(visca_camera *camera);
using camera_value_command = int (*)(visca_camera *camera, int value);

constexpr double metres_per_foot = 0.30480060960121924;
constexpr int fresh_laser_age = 6;  // refreshes
constexpr int zoom_stop_retries = 10;
constexpr auto zoom_stop_pause = std::chrono::milliseconds(5);
constexpr const char *channel_script = "/opt/vx4/bin/x4_post.sh";
constexpr size_t command_line_limit = 8191;
// The script is given this long before the reply goes; a slower one is
// left to finish on its own.
constexpr auto script_wait = std::chrono::seconds(5);

visca_camera *camera_of(void *user_data)
{
    auto *record = static_cast<visca_thread_record *>(user_data);
    return record ? record->camera.load() : nullptr;
}

// A command body: its "command" text and its "parameters" (or "params")
// object, both owned by the parsed body.
struct command_body {
    json_object *value = nullptr;
    bool malformed = false;
    char command[64] = "";
    json_object *parameters = nullptr;

    command_body(http_connection *connection, const char *body, int64_t length)
    {
        value = api_read_json_body(connection, body, length, &malformed);
        api_json_string(value, "command", command, sizeof command);
        if (value && !json_object_object_get_ex(value, "parameters", &parameters))
            json_object_object_get_ex(value, "params", &parameters);
    }
    ~command_body() { json_object_put(value); }
    command_body(const command_body &) = delete;
    command_body &operator=(const command_body &) = delete;

    // 1 with the value, 0 when absent, -1 when not an integer.
    int integer(const char *key, int32_t *number) const { return api_json_integer(parameters, key, number); }
};

// ---- camera commands ----

enum class parameter { none, speed, position };

struct named_camera_command {
    const char *name;
    camera_command plain;           // without the parameter (null: nothing)
    camera_value_command with;      // with it
    parameter kind;
};

const named_camera_command camera_commands[] = {
    {"power_on", visca_camera_power_on, nullptr, parameter::none},
    {"power_off", visca_camera_power_off, nullptr, parameter::none},
    {"zoom_tele", visca_camera_zoom_tele, visca_camera_zoom_tele_variable, parameter::speed},
    {"zoom_wide", visca_camera_zoom_wide, visca_camera_zoom_wide_variable, parameter::speed},
    {"zoom_direct", nullptr, visca_camera_zoom_direct, parameter::position},
    {"digital_zoom_on", visca_camera_digital_zoom_on, nullptr, parameter::none},
    {"digital_zoom_off", visca_camera_digital_zoom_off, nullptr, parameter::none},
    {"focus_near", visca_camera_focus_near, visca_camera_focus_near_variable, parameter::speed},
    {"focus_far", visca_camera_focus_far, visca_camera_focus_far_variable, parameter::speed},
    {"focus_stop", visca_camera_focus_stop, nullptr, parameter::none},
    {"focus_direct", nullptr, visca_camera_focus_direct, parameter::position},
    {"focus_mode_auto", visca_camera_auto_focus, nullptr, parameter::none},
    {"focus_mode_manual", visca_camera_manual_focus, nullptr, parameter::none},
    {"iris_reset", visca_camera_iris_reset, nullptr, parameter::none},
    {"iris_down", visca_camera_iris_down, nullptr, parameter::none},
    {"iris_up", visca_camera_iris_up, nullptr, parameter::none},
    {"shutter_reset", visca_camera_shutter_reset, nullptr, parameter::none},
    {"shutter_down", visca_camera_shutter_down, nullptr, parameter::none},
    {"shutter_up", visca_camera_shutter_up, nullptr, parameter::none},
    {"exposure_mode_auto", visca_camera_exposure_mode_auto, nullptr, parameter::none},
    {"exposure_mode_manual", visca_camera_exposure_mode_manual, nullptr, parameter::none},
    {"exposure_mode_shutter_priority", visca_camera_exposure_mode_shutter_priority, nullptr, parameter::none},
    {"exposure_mode_iris_priority", visca_camera_exposure_mode_iris_priority, nullptr, parameter::none},
};

// The stop must reach the camera, or the lens runs to its end.
void stop_zoom(visca_camera *camera)
{
    for (int attempt = 0; visca_camera_zoom_stop(camera) < 0 && attempt < zoom_stop_retries; ++attempt) {
        fputs("zoom stop failed!\n", stdout);
        std::this_thread::sleep_for(zoom_stop_pause);
    }
}

// A value the command can carry: speeds 0 to 7, positions in four nibbles.
// Anything else sends nothing, rather than a value the camera would misread.
void run_camera_command(visca_camera *camera, const named_camera_command &entry, const command_body &request)
{
    int32_t value = 0;
    int found = entry.kind == parameter::none ? 0
                : request.integer(entry.kind == parameter::speed ? "speed" : "position", &value);
    if (found < 0)
        return;
    if (found == 0) {
        if (entry.plain)
            entry.plain(camera);
        return;
    }
    int32_t most = entry.kind == parameter::speed ? 7 : 0xFFFF;
    if (value < 0 || value > most)
        return;
    if (entry.kind == parameter::position)
        printf("  position: %d\n", value);
    entry.with(camera, value);
}

// ---- video channels ----

// Runs the channel script with its words as separate arguments: nothing the
// client sends reaches a shell. Waits for it a bounded time.
void run_channel_script(const std::vector<std::string> &words)
{
    std::vector<std::string> argv{channel_script};
    argv.insert(argv.end(), words.begin(), words.end());
    trace(TRACE_HTTP_API, "video %s", words[0].c_str());
    pid_t pid = vx4_spawn(argv);
    if (pid < 0) {
        trace(TRACE_HTTP_API, "%s: %s", channel_script, strerror(errno));
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + script_wait;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    trace(TRACE_HTTP_API, "%s still runs", channel_script);
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

// ---- replies ----

void add_number(json_object *reply, const char *key, double value)
{
    json_object_object_add(reply, key, json_object_new_double(value));
}

bool target_has(const http_connection *connection, const char *word)
{
    const char *target = connection->request.target;
    return target && strstr(target, word);
}

// The distance in feet that a focus position suggests, by the lens's own
// curve.
double focus_distance_feet(int f)
{
    if (f < 7500)
        return f * -0.0653 + 596.0;
    if (f <= 41000)
        return static_cast<double>(2.9288e9f * std::pow(static_cast<float>(f), -1.9357f));
    return f * -0.000341 + 19.3;
}

}  // namespace

int api_get_v1_vx4(http_connection *connection, const char *, int64_t, void *user_data)
{
    visca_camera *camera = camera_of(user_data);
    int focus = camera ? camera->focus_position.load() : -1;
    int zoom = camera ? camera->zoom_position.load() : -1;
    printf("Focus: %d, Zoom: %d\n", focus, zoom);
    fflush(stdout);
    // Without a known focus there is nothing to estimate from.
    double feet = focus >= 0 ? focus_distance_feet(focus) : 0.0;

    double laser = 0.0;
    if (vx4_power_board *board = power_board_instance) {
        double metres = 0.0;
        int age = fresh_laser_age;
        vx4_power_board_load_laser_reading(board, &metres, &age);
        if (age < fresh_laser_age)
            laser = metres;
    }
    json_object *reply = json_object_new_object();
    if (reply) {
        add_number(reply, "distance", feet * metres_per_foot);
        add_number(reply, "tolerance", 0.1);
        add_number(reply, "lrf-distance", laser);
    }
    return api_reply_json_closing(connection, reply);
}

int api_post_v1_vx4(http_connection *connection, const char *body, int64_t length, void *)
{
    command_body request(connection, body, length);
    if (request.malformed)
        return 0;
    vx4_power_board *board = power_board_instance;
    int motor = strcmp(request.command, "tilt") == 0                                                ? 1
                : strcmp(request.command, "height") == 0 || strcmp(request.command, "pan") == 0 ? 2
                                                                                                : 0;
    if (board && strcmp(request.command, "stop") == 0) {
        vx4_power_board_stop_motor(board);
    } else if (board && motor) {
        int32_t speed = 0, duration = 0;
        // A speed beyond the board's range is its full speed, never a
        // wrapped value that would turn the motor the other way.
        if (request.integer("speed", &speed) >= 0 && request.integer("duration", &duration) >= 0) {
            speed = std::clamp(speed, -100, 100);
            duration = std::clamp(duration, 0, 0xFFFF);
            vx4_power_board_start_motor(board, motor, static_cast<int8_t>(speed), static_cast<uint16_t>(duration));
        }
    }
    return api_reply_empty_object(connection);
}

int api_get_v1_camera_zoom(http_connection *connection, const char *, int64_t, void *user_data)
{
    visca_camera *camera = camera_of(user_data);
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "digital_zoom_position",
                               json_object_new_int(camera ? camera->digital_zoom_position.load() : -1));
        json_object_object_add(reply, "zoom_position", json_object_new_int(camera ? camera->zoom_position.load() : -1));
    }
    return api_reply_json_closing(connection, reply);
}

int api_get_v1_camera_focus(http_connection *connection, const char *, int64_t, void *user_data)
{
    visca_camera *camera = camera_of(user_data);
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, "focus_position", json_object_new_int(camera ? camera->focus_position.load() : -1));
    return api_reply_json_closing(connection, reply);
}

int api_get_v1_nothing(http_connection *, const char *, int64_t, void *) { return 0; }

int api_post_v1_camera(http_connection *connection, const char *body, int64_t length, void *user_data)
{
    command_body request(connection, body, length);
    if (request.malformed)
        return 0;
    printf("%s\n", request.command);
    visca_camera *camera = camera_of(user_data);
    if (camera && strcmp(request.command, "zoom_stop") == 0)
        stop_zoom(camera);
    for (const named_camera_command &entry : camera_commands)
        if (camera && strcmp(request.command, entry.name) == 0)
            run_camera_command(camera, entry, request);
    fflush(stdout);
    return api_reply_empty_object(connection);
}

int api_post_v1_video(http_connection *connection, const char *body, int64_t length, void *)
{
    command_body request(connection, body, length);
    if (request.malformed)
        return 0;
    if (strcmp(request.command, "stop_stream") == 0) {
        run_channel_script({"StopChannel"});
    } else if (strcmp(request.command, "start_stream") == 0) {
        std::vector<std::string> words{"StartChannel"};
        size_t line_length = strlen(channel_script) + strlen(" StartChannel");
        for (const char *key : {"protocol", "destination"}) {
            json_object *value;
            if (!request.parameters || !json_object_object_get_ex(request.parameters, key, &value))
                break;  // the destination only follows a protocol
            words.emplace_back(json_object_get_string(value));
            line_length += 1 + words.back().size();
        }
        // A command line the script was never meant to take is not cut
        // into one it would misread.
        if (line_length <= command_line_limit)
            run_channel_script(words);
    }
    return api_reply_empty_object(connection);
}

int api_get_v1_lighting(http_connection *connection, const char *, int64_t, void *)
{
    char mode[99], intensity[99];
    if (!vx4_read_state_line("/tmp/lighting", mode, sizeof mode))
        snprintf(mode, sizeof mode, "leds_off");
    if (!vx4_read_state_line("/tmp/intensity", intensity, sizeof intensity))
        snprintf(intensity, sizeof intensity, "25");
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "mode", json_object_new_string(mode));
        json_object_object_add(reply, "intensity", json_object_new_string(intensity));
    }
    return api_reply_json_closing(connection, reply);
}

int api_post_v1_lighting(http_connection *connection, const char *body, int64_t length, void *)
{
    vx4_power_board *board = power_board_instance;
    if (target_has(connection, "off")) {
        if (board)
            vx4_power_board_enable_led_power(board, 0, 0);
        vx4_write_state_file("/tmp/lighting", "off");
        return api_reply_empty_object(connection);
    }
    command_body request(connection, body, length);
    if (request.malformed)
        return 0;
    int pwm = -1;  // the value the board holds
    int32_t intensity = 0;
    if (api_json_integer(request.value, "intensity", &intensity) == 1) {
        pwm = std::clamp(intensity, 0, 100);
        vx4_write_state_number("/tmp/intensity", pwm);
    }
    static const struct {
        const char *name;
        int mask;
        bool keeps_pwm;
    } modes[] = {{"low", 9, false}, {"medium", 18, false}, {"high", 36, false}, {"strip", 192, true}};
    for (const auto &mode : modes) {
        if (!target_has(connection, mode.name))
            continue;
        if (board)
            vx4_power_board_enable_led_power(board, mode.mask, mode.keeps_pwm ? -1 : pwm);
        vx4_write_state_file("/tmp/lighting", mode.name);
        break;
    }
    return api_reply_empty_object(connection);
}

int api_post_v1_laser(http_connection *connection, const char *, int64_t, void *)
{
    if (vx4_power_board *board = power_board_instance) {
        if (target_has(connection, "enable"))
            vx4_power_board_enable_laser_power(board);
        else if (target_has(connection, "disable"))
            vx4_power_board_disable_laser_power(board);
    }
    return api_reply_no_content(connection);
}
