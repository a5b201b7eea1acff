#include "power_board/lights.h"

#include <cstdio>

#include "core/state_files.h"
#include "power_board/power_board.h"

vx4_led_state led_state;

void vx4_init_led_state(int32_t high_beam_time)
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    snprintf(led_state.mode, sizeof led_state.mode, "off");
    snprintf(led_state.saved_mode, sizeof led_state.saved_mode, "off");
    led_state.mask = 0;
    led_state.saved_mask = 0;
    led_state.saved_pwm = 0;
    led_state.high_beam_time = high_beam_time;
    led_state.high_beam_countdown = 0;
}

void vx4_set_api_led_intensity(int value)
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_enable_led_power(board, static_cast<int>(led_state.mask), value & 0xFF);
    vx4_write_state_number("/tmp/intensity", value);
}
