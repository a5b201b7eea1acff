// The check that the camera module answers before its stream is opened.
#pragma once

#include <string>

// True when a TCP connection to host:port (a dotted IPv4 address) is
// established within timeout_seconds.
bool test_connection(const std::string &host, int port, int timeout_seconds);
