#include "api_state.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"
#include "settings.h"

vx4_api_state api_state;

namespace {

void set_text(char *field, size_t size, const char *text)
{
    snprintf(field, size, "%s", text);
}

}  // namespace

void vx4_init_api_state()
{
    {
        std::lock_guard<std::mutex> hold(api_state.seat_lock);
        memset(api_state.seats, 0, sizeof api_state.seats);
        vx4_read_nv(NV_VIEWER_SEATS, &api_state.observer_seat_limit, sizeof api_state.observer_seat_limit);
    }
    {
        std::lock_guard<std::mutex> hold(api_state.led_lock);
        set_text(api_state.led_mode, sizeof api_state.led_mode, "off");
        set_text(api_state.saved_led_mode, sizeof api_state.saved_led_mode, "off");
        api_state.led_mask = 0;
        api_state.saved_led_mask = 0;
        api_state.saved_pwm = 0;
        vx4_read_nv(NV_HIGH_BEAM_TIME, &api_state.high_beam_time, sizeof api_state.high_beam_time);
        api_state.high_beam_countdown = 0;
    }
    vx4_write_state_number("/tmp/intensity", 25);
    set_text(api_state.exposure_mode, sizeof api_state.exposure_mode, "auto");
    set_text(api_state.focus_mode, sizeof api_state.focus_mode, "auto");
    vx4_write_state_number("/tmp/focus_speed", 2);
    vx4_write_state_number("/tmp/zoom_speed", 3);

    api_state.ssid[0] = '\0';
    api_state.password[0] = '\0';
    vx4_read_nv(NV_LANGUAGE, api_state.language, sizeof api_state.language);
    api_state.language[sizeof api_state.language - 1] = '\0';
    memset(api_state.debug_warnings, 0, sizeof api_state.debug_warnings);
}

int vx4_write_state_file(const char *absolute, const char *text)
{
    std::string path = vx4_path(absolute);
    std::string scratch = path + ".new";
    FILE *file = fopen(scratch.c_str(), "we");
    if (!file)
        return -1;
    bool written = fputs(text, file) >= 0;
    if (fclose(file) != 0 || !written || rename(scratch.c_str(), path.c_str()) != 0) {
        unlink(scratch.c_str());
        return -1;
    }
    return 0;
}

int vx4_write_state_number(const char *absolute, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return vx4_write_state_file(absolute, text);
}

bool vx4_read_state_line(const char *absolute, char *buffer, size_t size)
{
    FILE *file = fopen(vx4_path(absolute).c_str(), "re");
    if (!file)
        return false;
    bool got = fgets(buffer, static_cast<int>(size), file) != nullptr;
    fclose(file);
    if (got)
        buffer[strcspn(buffer, "\n")] = '\0';
    return got;
}

bool vx4_read_state_number(const char *absolute, size_t max_characters, long *value)
{
    char line[128];
    size_t size = max_characters + 1 < sizeof line ? max_characters + 1 : sizeof line;
    if (!vx4_read_state_line(absolute, line, size))
        return false;
    *value = strtol(line, nullptr, 10);
    return true;
}
