// Operator settings that survive restarts and power cuts: one fixed record of
// numbered items, saved after every change alternately into two JSON files.
#pragma once

#include <cstddef>

enum nv_item {
    NV_DATE_TIME_OSD = 0,
    NV_OPERATOR_ID_OSD = 1,
    NV_TITLE_OSD = 2,
    NV_FLOW_DIRECTION_OSD = 3,
    NV_ZOOM_OSD = 4,
    NV_COMPASS_DIRECTION_OSD = 5,
    NV_VIEWER_SEATS = 6,
    NV_LANGUAGE = 7,
    NV_CAMERA_INVERT_IMAGE = 8,
    NV_CAMERA_STABILIZE_IMAGE = 9,
    NV_CAMERA_SENSITIVITY = 10,
    NV_CAMERA_IR_FILTER = 11,
    NV_CAMERA_DEFOG = 12,
    NV_OPERATOR_ID = 13,
    NV_TITLE = 14,
    NV_FLOW_DIRECTION = 15,
    NV_OSD_COLOR = 16,
    NV_OSD_DELAY = 17,
    NV_HIGH_BEAM_TIME = 18,
    NV_PB_SUSPENDED = 19,
    NV_UNITS = 20,
    NV_MAGNETOMETER_CALIBRATED = 21,
    NV_MAGNETOMETER_CALIBRATION_X = 22,
    NV_MAGNETOMETER_CALIBRATION_Y = 23,
    NV_MAGNETOMETER_CALIBRATION_Z = 24,
    NV_MAGNETOMETER_ELLIPSOID_00 = 25,
    NV_MAGNETOMETER_ELLIPSOID_01 = 26,
    NV_MAGNETOMETER_ELLIPSOID_02 = 27,
    NV_MAGNETOMETER_ELLIPSOID_10 = 28,
    NV_MAGNETOMETER_ELLIPSOID_11 = 29,
    NV_MAGNETOMETER_ELLIPSOID_12 = 30,
    NV_MAGNETOMETER_ELLIPSOID_20 = 31,
    NV_MAGNETOMETER_ELLIPSOID_21 = 32,
    NV_MAGNETOMETER_ELLIPSOID_22 = 33,
    NV_ITEM_COUNT = 34,
};

// Sizes of the text items (without their terminator).
constexpr size_t NV_LANGUAGE_SIZE = 3;
constexpr size_t NV_OPERATOR_ID_SIZE = 41;
constexpr size_t NV_TITLE_SIZE = 41;
constexpr size_t NV_FLOW_DIRECTION_SIZE = 19;

// Chooses the newer valid file, or writes defaults when neither is valid.
void vx4_init_nv();
// Copies an item out. A longer buffer is zero-filled first; a shorter one
// gets the item's leading bytes. Unknown ids leave the buffer untouched.
void vx4_read_nv(int id, void *buffer, size_t length);
// Sets an item (a shorter input zero-fills the rest, a longer one is cut)
// and saves the whole record before returning. Unknown ids do nothing.
void vx4_write_nv(int id, const void *buffer, size_t length);

// Sets several items as vx4_write_nv does and saves them in one file, so that
// a setting made of several items is stored whole or not at all.
struct nv_write {
    int id;
    const void *buffer;
    size_t length;
};
void vx4_write_nv_items(const nv_write *writes, size_t count);
