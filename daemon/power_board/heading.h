// The compass direction of the head: the power board's magnetometer,
// corrected with the stored calibration and the head's tilt, as one of the
// eight points of the compass.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes "N", "NE", ... "NW", or "XX" while the magnetometer is not
// calibrated; cut to the buffer and always terminated in its last byte.
// The accelerometer values are in g.
void vx4_load_heading(int16_t magnetometer_x, int16_t magnetometer_y, int16_t magnetometer_z, char *buffer,
                      size_t size, float accelerometer_x, float accelerometer_y, float accelerometer_z);
