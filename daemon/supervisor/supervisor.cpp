// Placeholder until the supervisor runs: calls are only traced.
#include "supervisor/supervisor.h"

#include <cstring>

#include "core/trace.h"

void vx4_trigger_supervisor_shutdown(int mode) { trace(TRACE_SUPERVISOR, "vx4_trigger_supervisor_shutdown(%d)", mode); }

void vx4_load_supervisor_battery_type(char *buffer, size_t size)
{
    trace(TRACE_SUPERVISOR, "vx4_load_supervisor_battery_type()");
    if (size == 0)
        return;
    strncpy(buffer, "unknown", size);
    buffer[size - 1] = '\0';
}
