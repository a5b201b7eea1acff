// What the simulated camera module shows, shared between its VISCA side
// (which changes it) and its video streams (which draw it).
#pragma once

#include <array>
#include <mutex>
#include <string>

struct SimTitleLine {
    std::string text;      // the twenty characters, decoded from the camera's title codes
    int h_position = 0;    // horizontal position in character cells
    int color = 0;         // the camera's colour code
    bool blink = false;
    bool shown = false;
};

struct SimCameraView {
    bool power = true;
    int zoom_position = 0;   // 0x0000 (wide) to 0x4000 (optical tele), on to 0x7AC0 with digital zoom combined
    int digital_zoom = 0;
    int focus_position = 0x1000;
    std::array<SimTitleLine, 11> titles;
};

// One process-wide instance; hold the lock while reading or changing it.
struct SimCameraState {
    std::mutex lock;
    SimCameraView view;

    SimCameraView snapshot()
    {
        std::lock_guard<std::mutex> hold(lock);
        return view;
    }
};

inline SimCameraState &sim_camera_state()
{
    static SimCameraState state;
    return state;
}
