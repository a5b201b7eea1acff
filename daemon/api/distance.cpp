#include "platform.h"
#include "api/distance.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "core/settings.h"
#include "power_board/power_board.h"

namespace {

struct focus_distance {
    int position;
    float metres;
};

// From the near end to the far end of the lens.
constexpr focus_distance focus_distances[] = {
    {61440, 0.01f}, {57344, 0.11f}, {53248, 0.30f}, {49152, 0.80f}, {45056, 1.20f},
    {40960, 1.40f}, {36864, 1.65f}, {32768, 2.00f}, {28672, 2.50f}, {24576, 3.10f},
    {20480, 4.20f}, {16384, 6.00f}, {12288, 10.0f}, {8192, 20.0f},  {4096, 60.0f},
};

void format_limit(float distance, const char *unit, char *buffer, size_t size)
{
    if (size > 0)
        snprintf(buffer, size, distance < 99.5f ? "%.2g %s" : "%.0f %s", static_cast<double>(distance), unit);
}

}  // namespace

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

void vx4_load_depth_of_field(int focus_position, char *far_text, size_t far_size, char *near_text,
                             size_t near_size)
{
    constexpr const char *infinity = "\xE2\x88\x9E";
    const char *unknown = nullptr;
    if (focus_position == -1)
        unknown = "?";
    else if (focus_position < std::end(focus_distances)[-1].position)
        unknown = infinity;  // beyond the farthest distance the lens knows
    if (unknown) {
        vx4_copy_text(far_text, far_size, unknown);
        vx4_copy_text(near_text, near_size, unknown);
        return;
    }
    float metres = focus_distances[0].metres;
    for (size_t i = 1; focus_position < focus_distances[0].position && i < std::size(focus_distances); ++i) {
        const focus_distance &nearer = focus_distances[i - 1];
        const focus_distance &farther = focus_distances[i];
        if (focus_position < farther.position)
            continue;
        metres = farther.metres + (nearer.metres - farther.metres) *
                                      static_cast<float>(focus_position - farther.position) /
                                      static_cast<float>(nearer.position - farther.position);
        break;
    }
    vx4_distance_unit unit = vx4_load_distance_unit();
    float distance = metres * static_cast<float>(unit.factor);
    format_limit(1.1f * distance, unit.text, far_text, far_size);
    format_limit(0.9f * distance, unit.text, near_text, near_size);
}
