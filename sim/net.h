// Socket helpers shared by the simulator's servers.
#pragma once

#include <string_view>

// Sends every byte, retrying short sends; false when the peer is gone.
bool send_all(int fd, std::string_view bytes);

// A listening TCP socket on 127.0.0.1:port (SO_REUSEADDR, close-on-exec,
// plus extra_flags such as SOCK_NONBLOCK). -1 with errno set on failure.
int listen_loopback(int port, int backlog, int extra_flags = 0);
