// State shared by the API handlers: seats, camera modes, network settings,
// forced warnings. The LED state lives with the power board's lights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr int API_SEAT_COUNT = 6;

struct api_seat {
    char token[17];
    int32_t remaining;  // seconds
    int32_t state;      // 0 free, 1 controller requested, 2 controller, 3 observer requested, 4 observer
};

enum api_debug_warning {
    API_WARNING_CRIT_TEMP,
    API_WARNING_HIGH_TEMP,
    API_WARNING_LOW_TEMP,
    API_WARNING_HIGH_PRESS,
    API_WARNING_HIGH_RH,
    API_WARNING_TILT_MTR,
    API_WARNING_PAN_MTR,
    API_WARNING_HEIGHT_MTR,
    API_WARNING_COUNT,
};

struct vx4_api_state {
    std::mutex seat_lock;  // seats, with the seat countdown on the main loop
    api_seat seats[API_SEAT_COUNT];
    int32_t observer_seat_limit;

    // The camera modes: set by the handlers and by the controller defaults,
    // which the seat countdown runs on the application loop.
    std::mutex mode_lock;
    char focus_mode[16];
    char exposure_mode[16];
    char ssid[32];
    char password[17];
    char language[8];
    bool debug_warnings[API_WARNING_COUNT];
};

extern vx4_api_state api_state;

// A camera mode (api_state.focus_mode or exposure_mode) read or set under
// the mode lock.
void vx4_load_api_mode(const char *mode, char *text, size_t size);
void vx4_set_api_mode(char *mode, const char *text);

// Start values: the seats free, the lights off, the modes "auto", the
// persisted limits and language from the settings store, and the state files
// /tmp/intensity (25), /tmp/focus_speed (2) and /tmp/zoom_speed (3).
void vx4_init_api_state();
