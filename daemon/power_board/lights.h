// The LED state the operator chose: mode, enable mask and the values saved
// while the timed high beam runs. Shared by the lighting endpoints, the
// high-beam countdown on the main loop and the intensity loop, all under
// the one lock.
#pragma once

#include <cstdint>
#include <mutex>

struct vx4_led_state {
    std::mutex lock;
    char mode[16];
    char saved_mode[16];
    uint32_t mask;
    uint32_t saved_mask;
    uint32_t saved_pwm;
    int32_t high_beam_time;  // seconds
    uint32_t high_beam_countdown;
};

extern vx4_led_state led_state;

// The lights off, no high beam; the high beam time given in seconds.
void vx4_init_led_state(int32_t high_beam_time);

// Under the LED lock: the power board's lights at the current mask and
// value as PWM (its low 8 bits); then value into /tmp/intensity.
void vx4_set_api_led_intensity(int value);
