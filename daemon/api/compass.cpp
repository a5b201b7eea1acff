#include "api/compass.h"

#include <json-c/json.h>

#include "api/api_reply.h"
#include "core/settings.h"
#include "core/trace.h"

namespace {

constexpr int value_count = 12;

// In settings order from item 22 on.
const char *const value_keys[value_count] = {
    "magnetometer_calibration_x", "magnetometer_calibration_y", "magnetometer_calibration_z",
    "magnetometer_ellipsoid_00",  "magnetometer_ellipsoid_01",  "magnetometer_ellipsoid_02",
    "magnetometer_ellipsoid_10",  "magnetometer_ellipsoid_11",  "magnetometer_ellipsoid_12",
    "magnetometer_ellipsoid_20",  "magnetometer_ellipsoid_21",  "magnetometer_ellipsoid_22",
};

}  // namespace

int api_get_magnetometer_calibration(http_connection *connection, const char *, int64_t, void *)
{
    int32_t calibrated = 0;
    vx4_read_nv(NV_MAGNETOMETER_CALIBRATED, &calibrated, sizeof calibrated);
    json_object *reply = json_object_new_object();
    if (!reply)
        return 0;
    json_object_object_add(reply, "magnetometer_calibrated", json_object_new_boolean(calibrated != 0));
    for (int i = 0; i < value_count; ++i) {
        double value = 0;
        vx4_read_nv(NV_MAGNETOMETER_CALIBRATION_X + i, &value, sizeof value);
        json_object_object_add(reply, value_keys[i], api_new_exact_double(value));
    }
    return json_response_handler(connection, reply);
}

int api_put_magnetometer_calibration(http_connection *connection, const char *body, int64_t length, void *)
{
    double values[value_count] = {};
    int found = 0;
    json_object *request = api_read_json_body(connection, body, length);
    for (int i = 0; i < value_count; ++i)
        found += api_json_double(request, value_keys[i], &values[i]) ? 1 : 0;
    json_object_put(request);
    trace(TRACE_HTTP_API, "magnetometer %d %.3f %.3f %.3f", found, values[0], values[1], values[2]);
    for (int row = 0; row < 3; ++row)
        trace(TRACE_HTTP_API, "magnetometer %.3f %.3f %.3f", values[3 + 3 * row], values[4 + 3 * row],
              values[5 + 3 * row]);
    if (found != value_count)
        return api_reply_status(connection, "BAD_REQUEST");
    // The values and the flag the heading checks are saved as one: a crash
    // leaves the old calibration or the new one, never a mix.
    nv_write writes[value_count + 1];
    for (int i = 0; i < value_count; ++i)
        writes[i] = {NV_MAGNETOMETER_CALIBRATION_X + i, &values[i], sizeof values[i]};
    int32_t calibrated = 1;
    writes[value_count] = {NV_MAGNETOMETER_CALIBRATED, &calibrated, sizeof calibrated};
    vx4_write_nv_items(writes, value_count + 1);
    return api_reply_status(connection, "OK");
}
