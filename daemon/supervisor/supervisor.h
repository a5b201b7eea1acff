// System supervision: shutdown requests and the identity values kept in redis.
#pragma once

#include <cstddef>

// Wakes the shutdown sequence; mode 3 is the power board's own request.
void vx4_trigger_supervisor_shutdown(int mode);
// The battery type ("Dewalt", "Indipro", or "unknown"), cut to the buffer.
void vx4_load_supervisor_battery_type(char *buffer, size_t size);
