// The on-screen display drawn with the camera's title lines.
#pragma once

// Item 6 is the laser reading.
void vx4_set_osd_item(int item, int value, int unused);
int vx4_get_osd_item(int item);
// The laser reading shown by item 6, in metres.
void vx4_set_osd_laser_reading(float value);
