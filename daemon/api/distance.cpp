#include "api/distance.h"

#include <cstdint>
#include <cstdio>

#include "core/settings.h"
#include "power_board/power_board.h"

vx4_distance_unit vx4_load_distance_unit()
{
    int32_t units = 0;
    vx4_read_nv(NV_UNITS, &units, sizeof units);
    if (units == 1)
        return {"ft", 3.2808399200439453};
    return {"m", 1.0};
}

void vx4_format_distance(double metres, const vx4_distance_unit &unit, char *buffer, size_t size)
{
    if (size == 0)
        return;
    double distance = metres * unit.factor;
    snprintf(buffer, size, distance < 99.5 ? "%.1f %s" : "%.0f %s", distance, unit.text);
}

void vx4_load_laser_distance(char *buffer, size_t size)
{
    if (size == 0)
        return;
    buffer[0] = '\0';
    vx4_power_board *board = power_board_instance;
    double metres = 0;
    if (board && vx4_power_board_load_laser_reading(board, &metres, nullptr))
        vx4_format_distance(metres, vx4_load_distance_unit(), buffer, size);
}
