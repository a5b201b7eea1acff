// The on-screen display, drawn by the camera module itself with its title
// lines: the date and time on line 0, the recording's title, flow direction
// and operator on lines 1 to 3, and a bottom line (10) with the compass
// field, the laser reading and the zoom magnification. A 100 ms tick on the
// application loop sends the camera only what changed since the last tick;
// after the link to the camera comes back it clears the titles and draws
// every shown line again.
#pragma once

// The display's items: 0 to 6 show (1) or hide (0) a part; 7 is the text
// colour (the camera's title colour code); 8 the dwell, seconds after which
// lines 1 to 3 hide while recording (0 and 999: never).
enum vx4_osd_item {
    VX4_OSD_ZOOM = 0,
    VX4_OSD_FLOW_DIRECTION = 1,
    VX4_OSD_DATE_TIME = 2,
    VX4_OSD_COMPASS = 3,
    VX4_OSD_TITLE = 4,
    VX4_OSD_OPERATOR_ID = 5,
    VX4_OSD_LASER = 6,  // not kept: the power board sets it with the reading
    VX4_OSD_COLOR = 7,
    VX4_OSD_DWELL = 8,
    VX4_OSD_ITEM_COUNT = 9,
};

// Reads the kept items and starts the tick on the libev default loop (the
// application's loop, run by the main thread). Called once.
void vx4_init_osd();

// Items other than the laser's are kept in the settings store. Other item
// numbers do nothing (set) or read 0 (get). The third argument is unused.
void vx4_set_osd_item(int item, int value, int unused);
int vx4_get_osd_item(int item);
// The laser reading shown by item 6, in metres.
void vx4_set_osd_laser_reading(float value);
// Non-zero while the recorder records: the dwell counts from then on.
void vx4_update_osd_recorder_activity(int active);
