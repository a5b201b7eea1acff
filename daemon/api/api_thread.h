// The API thread: the daemon's JSON API on its HTTP server.
#pragma once

#include <ev.h>

#include <cstdint>

constexpr uint32_t API_CONNECTION_LIMIT = 15;
constexpr int API_WAIT_MS = 100;

// Thread body (pthread form, argument unused): creates the server on the API
// port, sets up the API state, registers the routes and serves requests for
// ever. Returns (void *)-1 only when the server cannot be created.
void *http_server_thread(void *argument);

// The API's one-second timers run on the application loop (the main thread):
// attached from that thread once the loop exists and before it runs, and
// detached once it has stopped, before the loop is destroyed.
void vx4_attach_api_timers(struct ev_loop *loop);
void vx4_detach_api_timers();
