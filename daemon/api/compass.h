// The compass calibration kept in the settings store: the magnetometer's
// offsets and its ellipsoid correction, used by the heading.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_magnetometer_calibration(http_connection *connection, const char *body, int64_t length,
                                     void *user_data);
int api_put_magnetometer_calibration(http_connection *connection, const char *body, int64_t length,
                                     void *user_data);
