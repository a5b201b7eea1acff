// System endpoints beside the status document: versions, model and serial
// number, the installer's updates, shutdown and ejection of the stick.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_versions(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_model(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_serial_number(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_install_versions(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_install_status(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_install_software(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_install_firmware(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_install_camera(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_shutdown(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_eject(http_connection *connection, const char *body, int64_t length, void *user_data);
