// The first generation of the API under /api/1.0/, kept for older controller
// applications: commands as {"command", "parameters"} objects, some named by
// the request target itself, and the older reply forms ("{}" or JSON with
// "Connection: close", 204 No Content). The camera routes take the VISCA
// thread record as their user data.
#pragma once

#include <cstdint>

#include "http/http_server.h"

// Distance estimate from the focus position, and the laser's distance.
int api_get_v1_vx4(http_connection *connection, const char *body, int64_t length, void *user_data);
// Motor command: "stop", "tilt", "height" or "pan" with speed and duration.
int api_post_v1_vx4(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_v1_camera_zoom(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_v1_camera_focus(http_connection *connection, const char *body, int64_t length, void *user_data);
// Writes nothing: the connection closes without a reply.
int api_get_v1_nothing(http_connection *connection, const char *body, int64_t length, void *user_data);
// Camera command by name, straight to the camera whatever the modes.
int api_post_v1_camera(http_connection *connection, const char *body, int64_t length, void *user_data);
// Starts or stops a video channel through the channel script.
int api_post_v1_video(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_v1_lighting(http_connection *connection, const char *body, int64_t length, void *user_data);
// The lighting mode comes from the request target ("off", "low", ...).
int api_post_v1_lighting(http_connection *connection, const char *body, int64_t length, void *user_data);
// Laser power on or off by the request target ("enable" or "disable").
int api_post_v1_laser(http_connection *connection, const char *body, int64_t length, void *user_data);
