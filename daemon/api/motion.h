// Moving the head: tilt at a speed that falls as the camera zooms in, the
// second axis (a pan drive or the height mast, both motor 2), homing, the
// mast's presets and its extension.
#pragma once

#include <cstdint>

#include "http/http_server.h"

// The tilt speed for a zoom magnification: 100 up to 1x, falling to 20 at
// 30x and staying there beyond.
int vx4_tilt_speed(float magnification);

int api_post_motor_tilt_increment(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_tilt_decrement(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_tilt_stop(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_height_increment(http_connection *connection, const char *body, int64_t length,
                                    void *user_data);
int api_post_motor_height_decrement(http_connection *connection, const char *body, int64_t length,
                                    void *user_data);
int api_post_motor_height_stop(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_height_findhome(http_connection *connection, const char *body, int64_t length,
                                   void *user_data);
int api_get_height_extension(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_height_extension(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_height_preset(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_height_preset(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_pan_increment(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_pan_decrement(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_motor_pan_stop(http_connection *connection, const char *body, int64_t length, void *user_data);
