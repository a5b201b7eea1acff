// The API's route table: one ordered list, registered in its order, which is
// also the order in which requests are matched (first method and path prefix
// that fit). A longer path must therefore come before a shorter one that it
// begins with, when both take the same method.
#pragma once

#include <vector>

#include "http/http_server.h"

struct api_route {
    const char *method;
    const char *path;
    http_handler_function handler;
    void *user_data;
};

const std::vector<api_route> &vx4_api_routes();
// Registers every route on the server. 0, or -1 when one could not be added.
int vx4_register_api_routes(http_server *server);
