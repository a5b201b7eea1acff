#include "power_board/heading.h"

#include <cmath>
#include <cstring>

#include "core/settings.h"

namespace {

// Mounting angles of the sensors about their y and z axes.
constexpr float magnetometer_y_angle = 1.57079632679489661923f;
constexpr float magnetometer_z_angle = 1.57079632679489661923f;
constexpr float accelerometer_y_angle = 1.57079632679489661923f;
constexpr float accelerometer_z_angle = 3.14159265358979323846f;

struct vector3 {
    float x, y, z;
};

// Rotation about z by z_angle, then about y by y_angle, in single
// precision: the headings of installed heads were calibrated against it.
vector3 mount(vector3 v, float y_angle, float z_angle)
{
    float sin_a, cos_a, sin_b, cos_b;
    sincosf(y_angle, &sin_a, &cos_a);
    sincosf(z_angle, &sin_b, &cos_b);
    float u = v.x * cos_b + v.y * sin_b;
    return {u * cos_a - v.z * sin_a, v.y * cos_b - v.x * sin_b, u * sin_a + v.z * cos_a};
}

float read_float(int item)
{
    double value = 0;
    vx4_read_nv(item, &value, sizeof value);
    return static_cast<float>(value);
}

const char *direction(int degrees)
{
    if (degrees <= 22)
        return "N";
    if (degrees <= 67)
        return "NE";
    if (degrees <= 112)
        return "E";
    if (degrees <= 157)
        return "SE";
    if (degrees <= 202)
        return "S";
    if (degrees <= 247)
        return "SW";
    if (degrees <= 293)
        return "W";
    if (degrees <= 337)
        return "NW";
    return "N";
}

void copy_text(char *buffer, size_t size, const char *text)
{
    if (size == 0)
        return;
    strncpy(buffer, text, size);
    buffer[size - 1] = '\0';
}

}  // namespace

void vx4_load_heading(int16_t magnetometer_x, int16_t magnetometer_y, int16_t magnetometer_z, char *buffer,
                      size_t size, float accelerometer_x, float accelerometer_y, float accelerometer_z)
{
    int32_t calibrated = 0;
    vx4_read_nv(NV_MAGNETOMETER_CALIBRATED, &calibrated, sizeof calibrated);
    if (calibrated == 0) {
        copy_text(buffer, size, "XX");
        return;
    }

    // Hard-iron offsets, then each axis scaled by its row of the ellipsoid.
    float d0 = magnetometer_x - read_float(NV_MAGNETOMETER_CALIBRATION_X);
    float d1 = magnetometer_y - read_float(NV_MAGNETOMETER_CALIBRATION_Y);
    float d2 = magnetometer_z - read_float(NV_MAGNETOMETER_CALIBRATION_Z);
    float rows[3];
    for (int row = 0; row < 3; ++row) {
        int first = NV_MAGNETOMETER_ELLIPSOID_00 + 3 * row;
        rows[row] = read_float(first) + read_float(first + 1) + read_float(first + 2);
    }
    vector3 r = mount({rows[0] * d0, rows[1] * d1, rows[2] * d2}, magnetometer_y_angle, magnetometer_z_angle);
    vector3 g = mount({accelerometer_x, accelerometer_y, accelerometer_z}, accelerometer_y_angle,
                      accelerometer_z_angle);

    float roll = atan2f(g.y, g.z);
    float sin_roll, cos_roll;
    sincosf(roll, &sin_roll, &cos_roll);
    float pitch = atan2f(-g.x, g.y * sin_roll + g.z * cos_roll);
    float sin_pitch, cos_pitch;
    sincosf(pitch, &sin_pitch, &cos_pitch);
    float x = r.x * cos_pitch + (r.y * sin_roll + r.z * cos_roll) * sin_pitch;
    float y = r.y * cos_roll - r.z * sin_roll;
    float psi = atan2f(x, y);

    double degrees = psi >= 0 ? (6.283185307179586 - psi) * 57.29577951308232 : fabsf(psi) * 57.29577951308232;
    copy_text(buffer, size, direction(static_cast<int>(roundf(static_cast<float>(degrees)))));
}
