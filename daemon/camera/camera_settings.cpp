#include "camera/camera_settings.h"

#include <cstdio>
#include <cstring>

#include "camera/visca_connection.h"

namespace {

struct zoom_step {
    float magnification;
    int position;
};

// From the tele end (digital zoom) to the wide end, then the end marker.
constexpr zoom_step zoom_steps[] = {
    {360, 31424}, {330, 31232}, {300, 31104}, {270, 30912}, {240, 30720}, {210, 30400}, {180, 30016},
    {150, 29440}, {120, 28672}, {90, 27264},  {60, 24576},  {30, 16384},  {29, 16348},  {28, 16310},
    {27, 16266},  {26, 16215},  {25, 16158},  {24, 16092},  {23, 16016},  {22, 15929},  {21, 15828},
    {20, 15712},  {19, 15580},  {18, 15430},  {17, 15260},  {16, 15069},  {15, 14858},  {14, 14624},
    {13, 14368},  {12, 14089},  {11, 13783},  {10, 13446},  {9, 13069},   {8, 12641},   {7, 12141},
    {6, 11539},   {5, 10781},   {4, 9768},    {3, 8291},    {2, 5793},    {1, 0},       {0, -1},
};

float magnification_at(int zoom)
{
    if (zoom >= zoom_steps[0].position)
        return zoom_steps[0].magnification;
    for (size_t i = 1; zoom_steps[i].position >= 0; ++i) {
        const zoom_step &step = zoom_steps[i];
        if (step.position > zoom)
            continue;
        // The optical wide range is interpolated; the tele and digital
        // steps are shown as they stand.
        if (step.magnification >= 10)
            return step.magnification;
        const zoom_step &previous = zoom_steps[i - 1];
        return step.magnification + (previous.magnification - step.magnification) *
                                        static_cast<float>(zoom - step.position) /
                                        static_cast<float>(previous.position - step.position);
    }
    return 0;
}

}  // namespace

int vx4_load_camera_zoom_values(int *zoom_position, float *magnification, char *text, int text_size)
{
    visca_camera *camera = visca_thread_data.camera;
    int zoom = camera ? camera->zoom_position.load() : -1;
    if (zoom_position)
        *zoom_position = zoom;
    if (!magnification && !text)
        return 0;
    float value = magnification_at(zoom);
    if (magnification)
        *magnification = value;
    if (text && text_size > 0) {
        char formatted[32];
        if (value == 0)
            strcpy(formatted, "?");
        else
            snprintf(formatted, sizeof formatted, value >= 9.95f ? "%.0fx" : "%.1fx", static_cast<double>(value));
        strncpy(text, formatted, static_cast<size_t>(text_size - 1));
        text[text_size - 1] = '\0';
    }
    return 0;
}
