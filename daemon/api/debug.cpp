#include "api/debug.h"

#include <json-c/json.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/api_reply.h"
#include "core/settings.h"
#include "core/trace.h"
#include "power_board/power_board.h"

namespace {

constexpr size_t register_characters = 2;
constexpr size_t data_characters = 2 * VX4_POWER_BOARD_MAX_WRITE;

const char *const warning_names[API_WARNING_COUNT] = {
    "crit_temp", "high_temp", "low_temp", "high_press", "high_rh", "tilt_mtr", "pan_mtr", "height_mtr",
};

void add_text(json_object *object, const char *key, const char *format, ...) __attribute__((format(printf, 3, 4)));

void add_text(json_object *object, const char *key, const char *format, ...)
{
    char text[64];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    json_object_object_add(object, key, json_object_new_string(text));
}

void add_readings(json_object *o, const vx4_power_board_registers &r)
{
    add_text(o, "pb_power_enable", "0x%02X", r.pb_power_enable);
    add_text(o, "pb_led_enable", "0x%02X", r.pb_led_enable);
    add_text(o, "pb_led_pwm", "%u", r.pb_led_pwm);
    add_text(o, "pb_board_revision", "%u", r.pb_board_revision);
    add_text(o, "pb_build_number", "%u", r.pb_build_number);
    add_text(o, "pb_status", "0x%02X", r.pb_status);
    add_text(o, "pb_local_time", "%u", r.pb_local_time);
    add_text(o, "pb_motor_command", "%u", r.pb_motor_command);
    add_text(o, "pb_motor_pwm", "%d", r.pb_motor_pwm);
    add_text(o, "pb_motor_duration", "%u", r.pb_motor_duration);
    add_text(o, "pb_bme280_pressure", "%u", r.pb_bme280_pressure);
    add_text(o, "pb_bme280_humidity", "%.2f", r.pb_bme280_humidity);
    add_text(o, "pb_bme280_temperature", "%.2f", r.pb_bme280_temperature);
    add_text(o, "pb_imu_gyroscope_0", "%.2f", r.pb_imu_gyroscope_0);
    add_text(o, "pb_imu_gyroscope_1", "%.2f", r.pb_imu_gyroscope_1);
    add_text(o, "pb_imu_gyroscope_2", "%.2f", r.pb_imu_gyroscope_2);
    add_text(o, "pb_imu_accelerometer_0", "%.3f", r.pb_imu_accelerometer_0);
    add_text(o, "pb_imu_accelerometer_1", "%.3f", r.pb_imu_accelerometer_1);
    add_text(o, "pb_imu_accelerometer_2", "%.3f", r.pb_imu_accelerometer_2);
    add_text(o, "pb_imu_magnetometer_0", "%d", r.pb_imu_magnetometer_0);
    add_text(o, "pb_imu_magnetometer_1", "%d", r.pb_imu_magnetometer_1);
    add_text(o, "pb_imu_magnetometer_2", "%d", r.pb_imu_magnetometer_2);
    add_text(o, "pb_imu_temperature", "%.2f", r.pb_imu_temperature);
    add_text(o, "pb_imu_sample_count", "%u", r.pb_imu_sample_count);
    add_text(o, "pb_status_period", "%u", r.pb_status_period);
    add_text(o, "pb_board_time", "%u", r.pb_board_time);
    add_text(o, "pb_up_time", "%u", r.pb_up_time);
    add_text(o, "pb_motor_time", "%u", r.pb_motor_time);
    add_text(o, "pb_camera_time", "%u", r.pb_camera_time);
    add_text(o, "pb_laser_time", "%u", r.pb_laser_time);
    add_text(o, "pb_led_time", "%u", r.pb_led_time);
    add_text(o, "pb_over_temperature_events", "%u", r.pb_over_temperature_events);
    add_text(o, "pb_under_temperature_events", "%u", r.pb_under_temperature_events);
    add_text(o, "pb_over_voltage_events", "%u", r.pb_over_voltage_events);
    add_text(o, "pb_under_voltage_events", "%u", r.pb_under_voltage_events);
    add_text(o, "pb_power_on_events", "%u", r.pb_power_on_events);
    add_text(o, "pb_monitor_vin_volts", "%.3f", r.pb_monitor_vin_volts);
    add_text(o, "pb_monitor_vin_amps", "%.3f", r.pb_monitor_vin_amps);
    add_text(o, "pb_monitor_vin_power", "%.3f", r.pb_monitor_vin_power);
    add_text(o, "pb_monitor_camera_volts", "%.3f", r.pb_monitor_camera_volts);
    add_text(o, "pb_monitor_camera_amps", "%.3f", r.pb_monitor_camera_amps);
    add_text(o, "pb_monitor_camera_power", "%.3f", r.pb_monitor_camera_power);
    add_text(o, "pb_monitor_motor_volts", "%.3f", r.pb_monitor_motor_volts);
    add_text(o, "pb_monitor_motor_amps", "%.3f", r.pb_monitor_motor_amps);
    add_text(o, "pb_monitor_motor_power", "%.3f", r.pb_monitor_motor_power);
    add_text(o, "pb_encoder_count_0", "%d", r.pb_encoder_count_0);
    add_text(o, "pb_encoder_count_1", "%d", r.pb_encoder_count_1);
    add_text(o, "pb_encoder_speed_0", "%d", r.pb_encoder_speed_0);
    add_text(o, "pb_encoder_speed_1", "%d", r.pb_encoder_speed_1);
    add_text(o, "pb_laser_distance", "%.3f", r.pb_laser_distance);
    add_text(o, "pb_laser_quality", "%u", r.pb_laser_quality);
    add_text(o, "pb_laser_error_code", "%u", r.pb_laser_error_code);
    add_text(o, "pb_laser_serial_number", "%u", r.pb_laser_serial_number);
    add_text(o, "pb_laser_software_version", "%u", r.pb_laser_software_version);
    add_text(o, "pb_laser_hardware_version", "%u", r.pb_laser_hardware_version);
    add_text(o, "pb_laser_sample_count", "%u", r.pb_laser_sample_count);
    add_text(o, "pb_checksum", "0x%04X", r.pb_checksum);
    add_text(o, "pb_motor_type", "%u", r.pb_motor_type);
}

// Only texts of hex digits and nothing else are taken: a text that does not
// parse must never become register 0, the power rails.
bool is_hex(const char *text)
{
    return text[strspn(text, "0123456789abcdefABCDEF")] == '\0';
}

uint8_t parse_hex_byte(const char *text)
{
    return static_cast<uint8_t>(strtoul(text, nullptr, 16));
}

// Integers above 32 bits' signed range stay whole (json-c's int would clamp
// them): the mask uses all 32 bits.
bool read_int64(json_object *body, const char *key, int64_t *value)
{
    json_object *found;
    if (!body || !json_object_object_get_ex(body, key, &found))
        return false;
    *value = json_object_get_int64(found);
    return true;
}

}  // namespace

int api_get_power_board_readings(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board_registers registers{};
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_load_registers(board, &registers);
    json_object *reply = json_object_new_object();
    if (reply)
        add_readings(reply, registers);
    return json_response_handler(connection, reply);
}

int api_get_power_board_read_command(http_connection *connection, const char *, int64_t, void *)
{
    vx4_power_board *board = power_board_instance;
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, "read_command",
                               json_object_new_int(board ? vx4_power_board_get_read_command(board) : 0));
    return json_response_handler(connection, reply);
}

int api_put_power_board_read_command(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t command = 0;
    json_object *request = api_read_json_body(connection, body, length);
    bool present = api_json_int(request, "read_command", &command);
    json_object_put(request);
    uint8_t byte = present ? static_cast<uint8_t>(command) : 0;
    trace(TRACE_HTTP_API, "pb read command %d 0x%02X", present ? 1 : 0, byte);
    vx4_power_board *board = power_board_instance;
    if (!present || !board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_set_read_command(board, byte);
    return api_reply_status(connection, "OK");
}

// The suspension is saved, so that it still holds after a restart.
static int set_refresh_suspended(http_connection *connection, int32_t suspended)
{
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_write_nv(NV_PB_SUSPENDED, &suspended, sizeof suspended);
    if (suspended)
        vx4_power_board_suspend_refresh(board);
    else
        vx4_power_board_resume_refresh(board);
    return api_reply_status(connection, "OK");
}

int api_post_power_board_suspend(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "suspend pb");
    return set_refresh_suspended(connection, 1);
}

int api_post_power_board_resume(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "resume pb");
    return set_refresh_suspended(connection, 0);
}

int api_post_power_board_trigger(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "trigger pb");
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_trigger_refresh(board);
    return api_reply_status(connection, "OK");
}

int api_post_power_board_write(http_connection *connection, const char *body, int64_t length, void *)
{
    char reg_text[register_characters + 1] = "";
    char data_text[data_characters + 1] = "";
    json_object *request = api_read_json_body(connection, body, length);
    api_json_string(request, "register", reg_text, sizeof reg_text);
    api_json_string(request, "data", data_text, sizeof data_text);
    json_object_put(request);
    trace(TRACE_HTTP_API, "write pb '%s' '%s'", reg_text, data_text);
    if (!*reg_text || !is_hex(reg_text) || !is_hex(data_text))
        return api_reply_status(connection, "BAD_REQUEST");

    uint8_t reg = parse_hex_byte(reg_text);
    // Pairs of digits; a lone last digit is the high half of its byte.
    size_t digits = strlen(data_text);
    int count = static_cast<int>((digits + 1) / 2);
    uint8_t data[VX4_POWER_BOARD_MAX_WRITE] = {};
    for (int i = 0; i < count; ++i) {
        char pair[3] = {data_text[2 * i], data_text[2 * i + 1] ? data_text[2 * i + 1] : '0', '\0'};
        data[i] = parse_hex_byte(pair);
    }
    trace(TRACE_HTTP_API, "write pb reg %02X %d", reg, count);
    for (int i = 0; i < count; ++i)
        trace(TRACE_HTTP_API, "write pb reg data[%d] %02X", i, data[i]);

    vx4_power_board *board = power_board_instance;
    bool queued = board && vx4_power_board_issue_write(board, reg, data, count) == 0;
    return api_reply_status(connection, queued ? "OK" : "BAD_REQUEST");
}

int api_put_power_board_zero_buffer(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t flag = 0;
    json_object *request = api_read_json_body(connection, body, length);
    api_json_int(request, "zero_buffer", &flag);
    json_object_put(request);
    trace(TRACE_HTTP_API, "pb zero buffer %d", flag);
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_set_zero_buffer(board, flag & 0xFF);
    return api_reply_status(connection, "OK");
}

template <api_debug_warning flag>
int api_get_debug_warning(http_connection *connection, const char *, int64_t, void *)
{
    char key[48];
    snprintf(key, sizeof key, "debug_%s_warning", warning_names[flag]);
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, key, json_object_new_boolean(api_state.debug_warnings[flag]));
    return json_response_handler(connection, reply);
}

template <api_debug_warning flag>
int api_put_debug_warning(http_connection *connection, const char *body, int64_t length, void *)
{
    char key[48];
    snprintf(key, sizeof key, "debug_%s_warning", warning_names[flag]);
    bool value = false;
    json_object *request = api_read_json_body(connection, body, length);
    api_json_boolean(request, key, &value);
    json_object_put(request);
    trace(TRACE_HTTP_API, "debug %s_warning %d", warning_names[flag], value ? 1 : 0);
    api_state.debug_warnings[flag] = value;
    return api_reply_status(connection, "OK");
}

#define VX4_DEBUG_WARNING_HANDLERS(flag)                                                                   \
    template int api_get_debug_warning<flag>(http_connection *, const char *, int64_t, void *);           \
    template int api_put_debug_warning<flag>(http_connection *, const char *, int64_t, void *);
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_CRIT_TEMP)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_HIGH_TEMP)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_LOW_TEMP)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_HIGH_PRESS)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_HIGH_RH)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_TILT_MTR)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_PAN_MTR)
VX4_DEBUG_WARNING_HANDLERS(API_WARNING_HEIGHT_MTR)
#undef VX4_DEBUG_WARNING_HANDLERS

int api_get_trace_mask(http_connection *connection, const char *, int64_t, void *)
{
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, "trace_mask", json_object_new_int64(get_trace_mask()));
    return json_response_handler(connection, reply);
}

int api_put_trace_mask(http_connection *connection, const char *body, int64_t length, void *)
{
    int64_t value = 0;
    json_object *request = api_read_json_body(connection, body, length);
    bool present = read_int64(request, "trace_mask", &value);
    json_object_put(request);
    uint32_t mask = present ? static_cast<uint32_t>(value) : 0xFFFFFFFFu;
    trace(TRACE_HTTP_API, "trace mask %d %08lX", present ? 1 : 0, static_cast<unsigned long>(mask));
    if (!present || set_trace_mask(mask) < 0)
        return api_reply_status(connection, "BAD_REQUEST");
    return api_reply_status(connection, "OK");
}
