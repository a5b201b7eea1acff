#include "platform.h"
#include "api/api_state.h"

#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "core/state_files.h"
#include "power_board/lights.h"

vx4_api_state api_state;

void vx4_load_api_mode(const char *mode, char *text, size_t size)
{
    std::lock_guard<std::mutex> hold(api_state.mode_lock);
    vx4_copy_text(text, size, mode);
}

void vx4_set_api_mode(char *mode, const char *text)
{
    std::lock_guard<std::mutex> hold(api_state.mode_lock);
    vx4_copy_text(mode, sizeof api_state.focus_mode, text);
}

void vx4_init_api_state()
{
    {
        std::lock_guard<std::mutex> hold(api_state.seat_lock);
        memset(api_state.seats, 0, sizeof api_state.seats);
        vx4_read_nv(NV_VIEWER_SEATS, &api_state.observer_seat_limit, sizeof api_state.observer_seat_limit);
    }
    int32_t high_beam_time = 0;
    vx4_read_nv(NV_HIGH_BEAM_TIME, &high_beam_time, sizeof high_beam_time);
    vx4_init_led_state(high_beam_time);
    vx4_write_state_number("/tmp/intensity", 25);
    vx4_set_api_mode(api_state.exposure_mode, "auto");
    vx4_set_api_mode(api_state.focus_mode, "auto");
    vx4_write_state_number("/tmp/focus_speed", 2);
    vx4_write_state_number("/tmp/zoom_speed", 3);

    api_state.ssid[0] = '\0';
    api_state.password[0] = '\0';
    vx4_read_nv(NV_LANGUAGE, api_state.language, sizeof api_state.language);
    api_state.language[sizeof api_state.language - 1] = '\0';
    memset(api_state.debug_warnings, 0, sizeof api_state.debug_warnings);
}
