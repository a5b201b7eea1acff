// The status document: one JSON object with everything the controller
// application shows (power, temperatures, storage, recording, lights,
// camera, laser, warnings, seat warning, battery, pose), built from values
// its sources already hold, so that polling it costs little.
#pragma once

#include <cstdint>

#include "http/http_server.h"

int api_get_status(http_connection *connection, const char *body, int64_t length, void *user_data);
