// The camera endpoints: exposure, focus, zoom, image settings, the camera's
// own title lines and the cached still image. A command goes to the camera
// only while it is there; otherwise, or when the camera does not take it
// (link down, queue full), the reply is "BAD_REQUEST" and nothing changes.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_camera_exposure_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_camera_exposure_mode(http_connection *connection, const char *body, int64_t length, void *user_data);

enum api_exposure_control { API_SHUTTER, API_IRIS, API_GAIN };
enum api_exposure_step { API_STEP_UP, API_STEP_DOWN, API_STEP_RESET, API_STEP_STOP };
// One step of shutter, iris or gain, in manual exposure only ("stop" sends
// nothing).
template <api_exposure_control control, api_exposure_step step>
int api_post_camera_exposure(http_connection *connection, const char *body, int64_t length, void *user_data);

int api_get_camera_focus_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_camera_focus_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_camera_focus_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_camera_focus_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_focus_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_camera_focus_position(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_camera_focus_position(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_focus_increment(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_focus_decrement(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_focus_stop(http_connection *connection, const char *body, int64_t length, void *user_data);

int api_post_camera_zoom_reset(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_camera_zoom_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_camera_zoom_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_zoom_speed(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_camera_zoom_position(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_camera_zoom_position(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_zoom_increment(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_zoom_decrement(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_zoom_stop(http_connection *connection, const char *body, int64_t length, void *user_data);

// The camera settings layer's five options, by their text forms.
enum api_image_setting {
    API_INVERT_IMAGE,
    API_IMAGE_STABILIZER,
    API_SENSITIVITY,
    API_IR_FILTER,
    API_DEFOG,
};
template <api_image_setting setting>
int api_get_camera_image_setting(http_connection *connection, const char *body, int64_t length, void *user_data);
template <api_image_setting setting>
int api_put_camera_image_setting(http_connection *connection, const char *body, int64_t length, void *user_data);

int api_put_camera_title_line(http_connection *connection, const char *body, int64_t length, void *user_data);
enum api_title_action { API_TITLE_CLEAR, API_TITLE_TURN_ON, API_TITLE_TURN_OFF };
// One line ("line_number", 0 to 10) or all of them.
template <api_title_action action>
int api_post_camera_title_line_action(http_connection *connection, const char *body, int64_t length, void *user_data);
template <api_title_action action>
int api_post_camera_title_all_action(http_connection *connection, const char *body, int64_t length, void *user_data);

// The raw request body (up to 512 KiB - 1) is the image.
int api_get_camera_imagecache(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_camera_imagecache(http_connection *connection, const char *body, int64_t length, void *user_data);
