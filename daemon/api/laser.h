// The laser range finder: its readings, speed and mode, and single readings
// on request.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_laser_status(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_laser_distance(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_laser_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_laser_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_laser_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_laser_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_laser_execute(http_connection *connection, const char *body, int64_t length, void *user_data);
