// Service endpoints for engineering and test: the power board's decoded
// registers, raw register writes, control of the board's refresh, forced
// warnings for the status document, and the trace mask.
#pragma once

#include <cstdint>

#include "api/api_state.h"
#include "http/http_server.h"

int api_get_power_board_readings(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_power_board_read_command(http_connection *connection, const char *body, int64_t length,
                                     void *user_data);
int api_put_power_board_read_command(http_connection *connection, const char *body, int64_t length,
                                     void *user_data);
int api_post_power_board_suspend(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_power_board_resume(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_power_board_trigger(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_power_board_write(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_power_board_zero_buffer(http_connection *connection, const char *body, int64_t length,
                                    void *user_data);

// One GET and one PUT per forced warning (api_debug_warning).
template <api_debug_warning flag>
int api_get_debug_warning(http_connection *connection, const char *body, int64_t length, void *user_data);
template <api_debug_warning flag>
int api_put_debug_warning(http_connection *connection, const char *body, int64_t length, void *user_data);

int api_get_trace_mask(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_trace_mask(http_connection *connection, const char *body, int64_t length, void *user_data);
