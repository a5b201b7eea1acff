// The job settings the operator enters before an inspection: date and
// time, the recording's texts, GPS data, network name and password, language,
// battery type, save delay, high beam time and units. Each GET replies one
// key holding the value as a JSON string; each PUT takes the same key and
// replies {"status"}. Most values belong to the recorder, the supervisor or
// the settings store: these handlers check them and pass them on.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_setup_date(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_setup_date(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_setup_time(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_setup_time(http_connection *connection, const char *body, int64_t length, void *user_data);

// The settings that are one text each.
enum api_setup_text {
    API_SETUP_TITLE,
    API_SETUP_FLOW_DIRECTION,
    API_SETUP_OPERATOR_ID,
    API_SETUP_FILENAME,
    API_SETUP_GPS_DATA,
    API_SETUP_SSID,
    API_SETUP_PASSWORD,
    API_SETUP_LANGUAGE,
    API_SETUP_BATTERY_TYPE,
    API_SETUP_UNITS,
};
template <api_setup_text setting>
int api_get_setup_text(http_connection *connection, const char *body, int64_t length, void *user_data);
template <api_setup_text setting>
int api_put_setup_text(http_connection *connection, const char *body, int64_t length, void *user_data);

// Latitude, longitude and time of the inspection's position, as one setting.
int api_get_setup_gps_location(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_setup_gps_location(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_setup_save_delay(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_setup_save_delay(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_setup_high_beam_time(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_setup_high_beam_time(http_connection *connection, const char *body, int64_t length, void *user_data);
