// The API thread: the daemon's JSON API on its HTTP server.
#pragma once

#include <cstdint>

constexpr uint32_t API_CONNECTION_LIMIT = 15;
constexpr int API_WAIT_MS = 100;

// Thread body (pthread form, argument unused): creates the server on the API
// port, sets up the API state, registers the routes and serves requests for
// ever. Returns (void *)-1 only when the server cannot be created.
void *http_server_thread(void *argument);
