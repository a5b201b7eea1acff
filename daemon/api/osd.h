// The on-screen display's settings: which parts are shown, the text colour
// and the dwell of the recording's lines. Each is an item of the display
// (camera/osd.h), kept in the settings store.
#pragma once

#include <cstdint>

#include "camera/osd.h"
#include "http/http_server.h"

// The items shown or hidden, as JSON booleans.
template <vx4_osd_item item>
int api_get_osd_switch(http_connection *connection, const char *body, int64_t length, void *user_data);
template <vx4_osd_item item>
int api_put_osd_switch(http_connection *connection, const char *body, int64_t length, void *user_data);

// "wht", "yel", "vio", "red", "cyn", "grn" or "blu".
int api_get_osd_color(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_osd_color(http_connection *connection, const char *body, int64_t length, void *user_data);
// Seconds 0 to 999, as a string.
int api_get_osd_dwell(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_osd_dwell(http_connection *connection, const char *body, int64_t length, void *user_data);
