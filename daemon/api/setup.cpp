#include "api/setup.h"

#include <json-c/json.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "api/api_reply.h"
#include "api/api_state.h"
#include "core/settings.h"
#include "core/trace.h"
#include "platform.h"
#include "power_board/lights.h"
#include "recorder/gps.h"
#include "recorder/recorder.h"
#include "recorder/recorder_texts.h"
#include "supervisor/supervisor.h"

namespace {

constexpr int32_t longest_high_beam = 30;  // seconds
constexpr const char *network_password = "RW5@TIDE";

// ---- date and time ----

// Three numbers of digits only, separated by separator.
bool parse_three(const char *text, char separator, long (&fields)[3])
{
    const char *field = text;
    for (int i = 0; i < 3; ++i) {
        if (*field < '0' || *field > '9')
            return false;
        char *end;
        errno = 0;
        fields[i] = strtol(field, &end, 10);
        if (errno == ERANGE || *end != (i < 2 ? separator : '\0'))
            return false;
        field = end + 1;
    }
    return true;
}

struct tm local_now(struct timeval *now)
{
    vx4_gettimeofday(now);
    struct tm local {};
    localtime_r(&now->tv_sec, &local);
    return local;
}

// The clock set to the local time given; on the unit the system clock, in
// the sandbox only the process's offset.
bool set_local_time(struct tm local, const struct timeval &now)
{
    struct tm wanted = local;
    local.tm_isdst = -1;  // the new date may lie on the other side of a change
    time_t seconds = mktime(&local);
    // A day the month does not have would become a day of the next.
    if (seconds == static_cast<time_t>(-1) || local.tm_mday != wanted.tm_mday || local.tm_mon != wanted.tm_mon)
        return false;
    struct timeval next = {seconds, now.tv_usec};
    return vx4_settimeofday(&next) == 0;
}

// Sets the date ("YYYY-MM-DD") or the time ("HH:MM:SS") of the clock,
// fields of any width, digits only; false for anything else.
bool set_clock_text(const char *text, bool date)
{
    long f[3];
    bool valid = date ? parse_three(text, '-', f) && f[0] >= 1900 && f[0] <= 9999 && f[1] >= 1 && f[1] <= 12 &&
                            f[2] >= 1 && f[2] <= 31
                      : parse_three(text, ':', f) && f[0] <= 23 && f[1] <= 59 && f[2] <= 59;
    if (!valid)
        return false;
    struct timeval now;
    struct tm local = local_now(&now);
    int &first = date ? local.tm_year : local.tm_hour, &second = date ? local.tm_mon : local.tm_min,
        &third = date ? local.tm_mday : local.tm_sec;
    first = static_cast<int>(date ? f[0] - 1900 : f[0]);
    second = static_cast<int>(date ? f[1] - 1 : f[1]);
    third = static_cast<int>(f[2]);
    return set_local_time(local, now);
}

int reply_clock(http_connection *connection, const char *key, const char *format, int a, int b, int c)
{
    char text[32];
    snprintf(text, sizeof text, format, a, b, c);
    return api_reply_text(connection, key, text);
}

// ---- text settings ----

int32_t read_units()
{
    int32_t units = 0;
    vx4_read_nv(NV_UNITS, &units, sizeof units);
    return units;
}

struct text_setting {
    const char *key;
    const char *trace_format;
    size_t size;  // of the value taken from a PUT, with its terminator
    void (*load)(char *text, size_t size);
    // 0 when taken, else the PUT is refused.
    int (*set)(const char *text);
};

void load_units(char *text, size_t size) { vx4_copy_text(text, size, read_units() == 1 ? "english" : "metric"); }

int set_units(const char *text)
{
    int32_t units = strcmp(text, "english") == 0 ? 1 : strcmp(text, "metric") == 0 ? 0 : -1;
    if (units < 0)
        return -1;
    vx4_write_nv(NV_UNITS, &units, sizeof units);
    return 0;
}

int set_language(const char *text)
{
    if (strcmp(text, "ENG") != 0 && strcmp(text, "FRA") != 0 && strcmp(text, "ESP") != 0)
        return -1;
    vx4_copy_text(api_state.language, sizeof api_state.language, text);
    vx4_write_nv(NV_LANGUAGE, api_state.language, sizeof api_state.language);
    return 0;
}

const text_setting text_settings[] = {
    {"title", "title '%s'", 41, vx4_load_recorder_title,
     [](const char *text) { return vx4_set_recorder_title(text), 0; }},
    {"flow_direction", "flow direction '%s'", 16, vx4_load_recorder_flow_direction,
     [](const char *text) { return vx4_set_recorder_flow_direction(text), 0; }},
    {"operator_id", "operator id '%s'", 41, vx4_load_recorder_operator_id,
     [](const char *text) { return vx4_set_recorder_operator_id(text), 0; }},
    {"filename", "filename '%s'", 81, vx4_load_recorder_filename,
     [](const char *text) { return vx4_set_recorder_filename(text), 0; }},
    {"gps_data", "gps data '%s'", 81, vx4_load_recorder_gps_data, vx4_set_recorder_gps_data},
    // The network name and password are only kept for the operator to read.
    {"ssid", "ssid '%s'", 33, [](char *text, size_t size) { vx4_copy_text(text, size, api_state.ssid); },
     [](const char *text) { return vx4_copy_text(api_state.ssid, sizeof api_state.ssid, text), 0; }},
    {"password", "password '%s'", 17, [](char *text, size_t size) { vx4_copy_text(text, size, network_password); },
     [](const char *text) { return vx4_copy_text(api_state.password, sizeof api_state.password, text), 0; }},
    {"language", "language '%s'", 8, [](char *text, size_t size) { vx4_copy_text(text, size, api_state.language); },
     set_language},
    {"battery_type", "battery type '%s'", 16, vx4_load_supervisor_battery_type, vx4_set_supervisor_battery_type},
    {"units", "units '%s'", 16, load_units, set_units},
};

}  // namespace

int api_get_setup_date(http_connection *connection, const char *, int64_t, void *)
{
    struct timeval now;
    struct tm local = local_now(&now);
    return reply_clock(connection, "date", "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

int api_put_setup_date(http_connection *connection, const char *body, int64_t length, void *)
{
    char value[12] = "";
    api_read_json_text(connection, body, length, "date", value, sizeof value);
    trace(TRACE_HTTP_API, "date '%s'", value);
    return api_reply_status(connection, set_clock_text(value, true) ? "OK" : "BAD_REQUEST");
}

int api_get_setup_time(http_connection *connection, const char *, int64_t, void *)
{
    struct timeval now;
    struct tm local = local_now(&now);
    return reply_clock(connection, "time", "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
}

int api_put_setup_time(http_connection *connection, const char *body, int64_t length, void *)
{
    char value[10] = "";
    api_read_json_text(connection, body, length, "time", value, sizeof value);
    trace(TRACE_HTTP_API, "time '%s'", value);
    return api_reply_status(connection, set_clock_text(value, false) ? "OK" : "BAD_REQUEST");
}

template <api_setup_text setting>
int api_get_setup_text(http_connection *connection, const char *, int64_t, void *)
{
    const text_setting &entry = text_settings[setting];
    char text[96];
    entry.load(text, sizeof text);
    return api_reply_text(connection, entry.key, text);
}

template <api_setup_text setting>
int api_put_setup_text(http_connection *connection, const char *body, int64_t length, void *)
{
    const text_setting &entry = text_settings[setting];
    char text[96] = "";
    api_read_json_text(connection, body, length, entry.key, text, entry.size);
    trace(TRACE_HTTP_API, entry.trace_format, text);
    return api_reply_status(connection, entry.set(text) == 0 ? "OK" : "BAD_REQUEST");
}

#define VX4_SETUP_TEXT(setting)                                                               \
    template int api_get_setup_text<setting>(http_connection *, const char *, int64_t, void *); \
    template int api_put_setup_text<setting>(http_connection *, const char *, int64_t, void *);
VX4_SETUP_TEXT(API_SETUP_TITLE)
VX4_SETUP_TEXT(API_SETUP_FLOW_DIRECTION)
VX4_SETUP_TEXT(API_SETUP_OPERATOR_ID)
VX4_SETUP_TEXT(API_SETUP_FILENAME)
VX4_SETUP_TEXT(API_SETUP_GPS_DATA)
VX4_SETUP_TEXT(API_SETUP_SSID)
VX4_SETUP_TEXT(API_SETUP_PASSWORD)
VX4_SETUP_TEXT(API_SETUP_LANGUAGE)
VX4_SETUP_TEXT(API_SETUP_BATTERY_TYPE)
VX4_SETUP_TEXT(API_SETUP_UNITS)
#undef VX4_SETUP_TEXT

int api_get_setup_gps_location(http_connection *connection, const char *, int64_t, void *)
{
    char latitude[81], longitude[81], time[81];
    vx4_load_recorder_gps_location(latitude, sizeof latitude, longitude, sizeof longitude, time, sizeof time);
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "gps_latitude", json_object_new_string(latitude));
        json_object_object_add(reply, "gps_longitude", json_object_new_string(longitude));
        json_object_object_add(reply, "gps_time", json_object_new_string(time));
    }
    return json_response_handler(connection, reply);
}

int api_put_setup_gps_location(http_connection *connection, const char *body, int64_t length, void *)
{
    char latitude[81] = "", longitude[81] = "", time[81] = "";
    json_object *request = api_read_json_body(connection, body, length);
    api_json_string(request, "gps_latitude", latitude, sizeof latitude);
    api_json_string(request, "gps_longitude", longitude, sizeof longitude);
    api_json_string(request, "gps_time", time, sizeof time);
    json_object_put(request);
    trace(TRACE_HTTP_API, "gps location '%s' '%s' '%s'", latitude, longitude, time);
    vx4_set_recorder_gps_location(latitude, longitude, time);
    return api_reply_status(connection, "OK");
}

int api_get_setup_save_delay(http_connection *connection, const char *, int64_t, void *)
{
    return api_reply_number_text(connection, "save_delay", vx4_get_recorder_save_delay());
}

int api_put_setup_save_delay(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t delay = 0;  // also without the key
    int found = api_read_json_integer(connection, body, length, "save_delay", &delay);
    trace(TRACE_HTTP_API, "save delay %d", delay);
    bool taken = found >= 0 && delay >= 0 && vx4_set_recorder_save_delay(static_cast<unsigned>(delay)) == 0;
    return api_reply_status(connection, taken ? "OK" : "BAD_REQUEST");
}

int api_get_setup_high_beam_time(http_connection *connection, const char *, int64_t, void *)
{
    int32_t seconds;
    {
        std::lock_guard<std::mutex> hold(led_state.lock);
        seconds = led_state.high_beam_time;
    }
    return api_reply_number_text(connection, "high_beam_time", seconds);
}

int api_put_setup_high_beam_time(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t seconds = 0;  // also without the key
    int found = api_read_json_integer(connection, body, length, "high_beam_time", &seconds);
    trace(TRACE_HTTP_API, "high beam time %d", seconds);
    if (found < 0 || seconds < 0 || seconds > longest_high_beam)
        return api_reply_status(connection, "BAD_REQUEST");
    {
        std::lock_guard<std::mutex> hold(led_state.lock);
        led_state.high_beam_time = seconds;
    }
    vx4_write_nv(NV_HIGH_BEAM_TIME, &seconds, sizeof seconds);
    return api_reply_status(connection, "OK");
}
