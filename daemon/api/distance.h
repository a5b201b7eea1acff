// Distances as the operator reads them: in metres or feet by the units
// setting, with one decimal below 99.5 and none from there on. The status
// document, the laser endpoints and the depth of field share them.
#pragma once

#include <cstddef>

struct vx4_distance_unit {
    const char *text;  // "m" or "ft"
    double factor;     // metres to the unit
};

// The unit chosen by settings item units: 1 feet, anything else metres.
vx4_distance_unit vx4_load_distance_unit();
// "12.3 m", "105 ft": the distance in metres converted to the unit.
void vx4_format_distance(double metres, const vx4_distance_unit &unit, char *buffer, size_t size);
// The laser reading of the power board in the chosen unit, or the empty text
// while there is no valid reading (or no board).
void vx4_load_laser_distance(char *buffer, size_t size);
// The depth of field around the distance the lens is focused at, from the
// camera's focus position: far and near limits in the chosen unit ("2 m",
// "1.6 m"), the infinity sign when focused beyond the table, "?" for an
// unknown position (-1).
void vx4_load_depth_of_field(int focus_position, char *far_text, size_t far_size, char *near_text,
                             size_t near_size);
