// The logger's endpoints: the readings report, report files on the internal
// stick (write, read, list, copy to the external stick, delete) and reset.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_logger_readings(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_logger_log_file(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_logger_log_file(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_logger_reset(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_logger_files(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_logger_copy(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_logger_delete(http_connection *connection, const char *body, int64_t length, void *user_data);
