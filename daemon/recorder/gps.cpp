#include "recorder/gps.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/trace.h"
#include "platform.h"

namespace {

constexpr int max_fields = 15;

struct gps_state {
    std::mutex lock;  // the API thread sets, post-processing and the metadata loaders read
    char sentence[81];
    char latitude[21];
    char longitude[21];
    char time[21];
};

gps_state gps;

// The whole field as a finite number.
bool number(const char *field, double *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtod(field, &end);
    return *field && end && *end == '\0' && errno == 0 && std::isfinite(*value);
}

// ddmm.mmmm (or dddmm.mmmm) to signed degrees.
double degrees(double value, bool negative)
{
    double whole = std::trunc(value / 100);
    double result = whole + (value - 100 * whole) / 60;
    return negative ? -result : result;
}

}  // namespace

int vx4_parse_gps_sentence(const char *sentence, char *latitude, char *longitude, char *time, size_t size)
{
    char copy[81];
    snprintf(copy, sizeof copy, "%s", sentence ? sentence : "");
    const char *fields[max_fields];
    int count = 0;
    fields[count++] = copy;
    for (char *p = copy; *p && count < max_fields; ++p)
        if (*p == ',') {
            *p = '\0';
            fields[count++] = p + 1;
        }
    trace(TRACE_RECORDER, "gps values %d", count);
    double lat, lon, stamp;
    if (strcmp(fields[0], "$GPGGA") != 0 || count < 6 || !number(fields[2], &lat) || !number(fields[4], &lon) ||
        !number(fields[1], &stamp))
        return -1;
    snprintf(latitude, size, "%.5f", degrees(lat, strcmp(fields[3], "S") == 0));
    snprintf(longitude, size, "%.5f", degrees(lon, strcmp(fields[5], "W") == 0));
    double hours = std::trunc(stamp / 10000);
    double rest = stamp - 10000 * hours;
    double minutes = std::trunc(rest / 100);
    snprintf(time, size, "%02.0f:%02.0f:%02.2f UTC", hours, minutes, rest - 100 * minutes);
    return 0;
}

int vx4_set_recorder_gps_data(const char *sentence)
{
    std::lock_guard<std::mutex> hold(gps.lock);
    snprintf(gps.sentence, sizeof gps.sentence, "%s", sentence ? sentence : "");
    char latitude[21], longitude[21], time[21];
    if (vx4_parse_gps_sentence(gps.sentence, latitude, longitude, time, sizeof latitude) != 0)
        return -1;
    memcpy(gps.latitude, latitude, sizeof latitude);
    memcpy(gps.longitude, longitude, sizeof longitude);
    memcpy(gps.time, time, sizeof time);
    trace(TRACE_RECORDER, "gps location '%s' '%s' '%s'", gps.latitude, gps.longitude, gps.time);
    return 0;
}

void vx4_load_recorder_gps_data(char *buffer, size_t size)
{
    std::lock_guard<std::mutex> hold(gps.lock);
    vx4_copy_text(buffer, size, gps.sentence);
}

void vx4_set_recorder_gps_location(const char *latitude, const char *longitude, const char *time)
{
    std::lock_guard<std::mutex> hold(gps.lock);
    snprintf(gps.latitude, sizeof gps.latitude, "%s", latitude ? latitude : "");
    snprintf(gps.longitude, sizeof gps.longitude, "%s", longitude ? longitude : "");
    snprintf(gps.time, sizeof gps.time, "%s", time ? time : "");
}

void vx4_load_recorder_gps_location(char *latitude, size_t latitude_size, char *longitude, size_t longitude_size,
                                    char *time, size_t time_size)
{
    std::lock_guard<std::mutex> hold(gps.lock);
    vx4_copy_text(latitude, latitude_size, gps.latitude);
    vx4_copy_text(longitude, longitude_size, gps.longitude);
    vx4_copy_text(time, time_size, gps.time);
}
