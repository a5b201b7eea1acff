#include "api/laser.h"

#include <json-c/json.h>

#include <cstring>

#include "api/api_reply.h"
#include "api/distance.h"
#include "core/trace.h"
#include "power_board/power_board.h"

namespace {

// Index = the board's value.
const char *const speed_names[] = {"slow", "fast", "auto"};
const char *const mode_names[] = {"off", "manual", "picture", "auto"};

int index_of(const char *name, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i)
        if (strcmp(name, names[i]) == 0)
            return i;
    return -1;
}

}  // namespace

int api_get_laser_status(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board_registers r{};
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_load_registers(board, &r);
    char distance[32];
    vx4_load_laser_distance(distance, sizeof distance);
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "laser_hw_version", json_object_new_int(r.pb_laser_hardware_version));
        json_object_object_add(reply, "laser_sw_version", json_object_new_int(r.pb_laser_software_version));
        json_object_object_add(reply, "laser_sn", json_object_new_int64(r.pb_laser_serial_number));
        json_object_object_add(reply, "laser_sample_count", json_object_new_int(r.pb_laser_sample_count));
        json_object_object_add(reply, "laser_error_code", json_object_new_int(r.pb_laser_error_code));
        json_object_object_add(reply, "laser_quality", json_object_new_int(r.pb_laser_quality));
        json_object_object_add(reply, "laser_distance", json_object_new_string(distance));
    }
    return json_response_handler(connection, reply);
}

int api_get_laser_distance(http_connection *connection, const char *, int64_t, void *)
{
    char distance[32];
    vx4_load_laser_distance(distance, sizeof distance);
    return api_reply_text(connection, "laser_distance", distance);
}

int api_get_laser_speed(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board *board = power_board_instance;
    int speed = board ? vx4_power_board_get_laser_speed(board) : 2;
    return api_reply_text(connection, "laser_speed", speed == 0 || speed == 1 ? speed_names[speed] : "auto");
}

int api_put_laser_speed(http_connection *connection, const char *body, int64_t length, void *)
{
    char name[16] = "";
    api_read_json_text(connection, body, length, "laser_speed", name, sizeof name);
    trace(TRACE_HTTP_API, "laser speed '%s'", name);
    int speed = index_of(name, speed_names, 3);
    vx4_power_board *board = power_board_instance;
    if (speed < 0 || !board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_set_laser_speed(board, speed);
    return api_reply_status(connection, "OK");
}

int api_get_laser_mode(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board *board = power_board_instance;
    int mode = board ? vx4_power_board_get_laser_mode(board) : 0;
    return api_reply_text(connection, "laser_mode", mode >= 1 && mode <= 3 ? mode_names[mode] : "off");
}

int api_put_laser_mode(http_connection *connection, const char *body, int64_t length, void *)
{
    char name[16] = "";
    api_read_json_text(connection, body, length, "laser_mode", name, sizeof name);
    trace(TRACE_HTTP_API, "laser mode '%s'", name);
    // "off" is reported but cannot be chosen here.
    int mode = index_of(name, mode_names, 4);
    vx4_power_board *board = power_board_instance;
    if (mode < 1 || !board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_set_laser_mode(board, mode);
    return api_reply_status(connection, "OK");
}

int api_post_laser_execute(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "laser execute");
    vx4_power_board *board = power_board_instance;
    bool done = board && vx4_power_board_trigger_laser_reading(board) == 0;
    return api_reply_status(connection, done ? "OK" : "BAD_REQUEST");
}
