// Placeholder until the display is drawn: calls are only traced.
#include "camera/osd.h"

#include "core/trace.h"

void vx4_set_osd_item(int item, int value, int unused)
{
    trace(TRACE_OSD, "vx4_set_osd_item(%d, %d, %d)", item, value, unused);
}

int vx4_get_osd_item(int item)
{
    trace(TRACE_OSD, "vx4_get_osd_item(%d)", item);
    return 0;
}

void vx4_set_osd_laser_reading(float value) { trace(TRACE_OSD, "vx4_set_osd_laser_reading(%.3f)", value); }
