#include "api/motion.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/api_reply.h"
#include "camera/camera_settings.h"
#include "core/trace.h"
#include "power_board/power_board.h"

namespace {

constexpr int tilt_motor = 1;
constexpr int second_motor = 2;  // pan drive or height mast
constexpr int second_motor_speed = 100;
constexpr uint16_t run_ms = 500;

const char *const height_presets[] = {"6", "8", "10", "12", "24", "36", "48"};

// A press the board refused but acted on (it cancelled a move, or asked for
// homing) did what the operator asked; only a press with no effect at all
// (over-current) is answered as refused. Any move makes the distance shown
// stale.
int start_motor(http_connection *connection, int motor, int speed)
{
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    int result = vx4_power_board_start_motor(board, motor, static_cast<int8_t>(speed), run_ms);
    vx4_power_board_clear_laser_reading(board);
    return api_reply_status(connection, result >= 0 ? "OK" : "BAD_REQUEST");
}

// A stop the board does not write at once (the mast moving or homing) is
// still honoured: the mast's own supervision ends the move.
int stop_motors(http_connection *connection)
{
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_stop_motor(board);
    return api_reply_status(connection, "OK");
}

int current_tilt_speed()
{
    float magnification = 0;
    vx4_load_camera_zoom_values(nullptr, &magnification, nullptr, 0);
    return vx4_tilt_speed(magnification);
}

}  // namespace

int vx4_tilt_speed(float magnification)
{
    if (magnification > 30.0f)
        return 20;
    if (magnification >= 1.0f)
        return static_cast<int>((1.0f - magnification) * 2.7586206896551726 + 100);
    return 100;
}

int api_post_motor_tilt_increment(http_connection *connection, const char *, int64_t, void *)
{
    int speed = current_tilt_speed();
    trace(TRACE_HTTP_API, "motor tilt inc %d", speed);
    return start_motor(connection, tilt_motor, speed);
}

int api_post_motor_tilt_decrement(http_connection *connection, const char *, int64_t, void *)
{
    int speed = current_tilt_speed();
    trace(TRACE_HTTP_API, "motor tilt dec %d", speed);
    return start_motor(connection, tilt_motor, -speed);
}

int api_post_motor_tilt_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor tilt stop");
    return stop_motors(connection);
}

int api_post_motor_height_increment(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor height inc");
    return start_motor(connection, second_motor, second_motor_speed);
}

int api_post_motor_height_decrement(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor height dec");
    return start_motor(connection, second_motor, -second_motor_speed);
}

int api_post_motor_height_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor height stop");
    return stop_motors(connection);
}

int api_post_motor_height_findhome(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor height find home");
    vx4_power_board *board = power_board_instance;
    bool homing = board && vx4_power_board_home_height(board) == 0;
    return api_reply_status(connection, homing ? "OK" : "BAD_REQUEST");
}

int api_get_height_extension(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board *board = power_board_instance;
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, "height_extension",
                               json_object_new_boolean(board && vx4_power_board_get_height_extension(board)));
    return json_response_handler(connection, reply);
}

int api_put_height_extension(http_connection *connection, const char *body, int64_t length, void *)
{
    bool fitted = false;
    json_object *request = api_read_json_body(connection, body, length);
    api_json_boolean(request, "height_extension", &fitted);
    json_object_put(request);
    trace(TRACE_HTTP_API, "height extension %d", fitted ? 1 : 0);
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_set_height_extension(board, fitted ? 1 : 0);
    return api_reply_status(connection, "OK");
}

int api_get_height_preset(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board *board = power_board_instance;
    char text[16];
    snprintf(text, sizeof text, "%d", board ? vx4_power_board_get_height_preset(board) : 6);
    return api_reply_text(connection, "height_preset", text);
}

int api_put_height_preset(http_connection *connection, const char *body, int64_t length, void *)
{
    char preset[16] = "";
    api_read_json_text(connection, body, length, "height_preset", preset, sizeof preset);
    trace(TRACE_HTTP_API, "height preset '%s'", preset);
    bool known = false;
    for (const char *candidate : height_presets)
        known = known || strcmp(preset, candidate) == 0;
    vx4_power_board *board = power_board_instance;
    if (!known || !board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_set_height_preset(board, static_cast<int>(strtol(preset, nullptr, 10)));
    return api_reply_status(connection, "OK");
}

int api_post_motor_pan_increment(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor pan inc");
    return start_motor(connection, second_motor, second_motor_speed);
}

int api_post_motor_pan_decrement(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor pan dec");
    return start_motor(connection, second_motor, -second_motor_speed);
}

int api_post_motor_pan_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "motor pan stop");
    return stop_motors(connection);
}
