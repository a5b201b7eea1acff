// State shared by the API handlers (seats, lights, camera modes, network
// settings, forced warnings) and the small state files under /tmp through
// which the API, the motion loops, the status document and the supervisor
// share the LED intensity, the speeds and the modes.
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

    std::mutex led_lock;  // the LED fields, with the high-beam countdown
    char led_mode[16];
    char saved_led_mode[16];
    uint32_t led_mask;
    uint32_t saved_led_mask;
    uint32_t saved_pwm;
    int32_t high_beam_time;  // seconds
    uint32_t high_beam_countdown;

    char focus_mode[16];
    char exposure_mode[16];
    char ssid[32];
    char password[17];
    char language[8];
    bool debug_warnings[API_WARNING_COUNT];
};

extern vx4_api_state api_state;

// Start values: the seats free, the lights off, the modes "auto", the
// persisted limits and language from the settings store, and the state files
// /tmp/intensity (25), /tmp/focus_speed (2) and /tmp/zoom_speed (3).
void vx4_init_api_state();

// State files hold plain text without a line end. A write replaces the file
// whole, so a reader never sees it half written. 0, or -1 when it could not
// be written (callers skip it).
int vx4_write_state_file(const char *absolute, const char *text);
int vx4_write_state_number(const char *absolute, int value);
// The first line of the file, at most size - 1 characters. false when the
// file cannot be opened or is empty.
bool vx4_read_state_line(const char *absolute, char *buffer, size_t size);
// The first line (at most max_characters) read as a base-10 number.
bool vx4_read_state_number(const char *absolute, size_t max_characters, long *value);
