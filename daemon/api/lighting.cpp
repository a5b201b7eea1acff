#include "platform.h"
#include "api/lighting.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "api/api_reply.h"
#include "camera/motion_loops.h"
#include "core/state_files.h"
#include "core/trace.h"
#include "power_board/lights.h"
#include "power_board/power_board.h"

namespace {

constexpr uint32_t high_beam_mask = 255;
constexpr int high_beam_pwm = 100;
constexpr int intensity_hold_ms = 500;

struct led_mode_entry {
    const char *name;
    uint32_t mask;
};

const led_mode_entry led_modes[] = {
    {"off", 0}, {"low", 9}, {"medium", 18}, {"high", 36}, {"strip", 192},
};

// libev is not thread-safe: the API thread only records what the timer
// should do and wakes the loop, whose thread starts or stops it.
enum class timer_request { none, start, stop };

struct high_beam_timer_state {
    struct ev_loop *loop = nullptr;  // null while detached
    ev_timer timer;
    ev_async wake;
    timer_request pending = timer_request::none;
};

high_beam_timer_state high_beam;  // under the LED lock

// The LED lock is held by the callers of the *_locked functions.

void request_timer_locked(timer_request request)
{
    high_beam.pending = request;
    if (high_beam.loop)
        ev_async_send(high_beam.loop, &high_beam.wake);
}

void apply_timer_request_locked()
{
    switch (high_beam.pending) {
    case timer_request::start:
        // A fresh first expiry a whole second from now.
        ev_timer_stop(high_beam.loop, &high_beam.timer);
        ev_timer_set(&high_beam.timer, 1.0, 1.0);
        ev_timer_start(high_beam.loop, &high_beam.timer);
        break;
    case timer_request::stop:
        ev_timer_stop(high_beam.loop, &high_beam.timer);
        break;
    case timer_request::none:
        break;
    }
    high_beam.pending = timer_request::none;
}

// Back to the mode, mask and PWM from before the high beam.
void restore_saved_locked()
{
    vx4_copy_text(led_state.mode, sizeof led_state.mode, led_state.saved_mode);
    led_state.mask = led_state.saved_mask;
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_enable_led_power(board, static_cast<int>(led_state.saved_mask),
                                         static_cast<int>(led_state.saved_pwm & 0xFF));
    vx4_write_state_file("/tmp/lighting", led_state.mode);
}

void on_timer_request(struct ev_loop *, ev_async *, int)
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    apply_timer_request_locked();
}

void on_high_beam_tick(struct ev_loop *loop, ev_timer *timer, int)
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    if (led_state.high_beam_countdown == 0)
        return;
    if (--led_state.high_beam_countdown > 0)
        return;
    trace(TRACE_HTTP_API, "high beam timeout");
    ev_timer_stop(loop, timer);
    restore_saved_locked();
}

// The intensity file as "%d%%"; false when it cannot be read.
bool load_intensity_text(char *buffer, size_t size)
{
    long intensity;
    if (!vx4_read_state_number("/tmp/intensity", 14, &intensity))
        return false;
    snprintf(buffer, size, "%ld%%", intensity);
    return true;
}

int reply_intensity_step(http_connection *connection)
{
    char text[24];
    if (!load_intensity_text(text, sizeof text))
        vx4_copy_text(text, sizeof text, "0%");
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "led_intensity", json_object_new_string(text));
        json_object_object_add(reply, "status", json_object_new_string("OK"));
    }
    return json_response_handler(connection, reply);
}

// Under the LED lock: "" while dark, else the intensity file's "%d%%".
void load_lit_intensity_locked(char *text, size_t size)
{
    bool dark = strcmp(led_state.mode, "off") == 0 || strcmp(led_state.mode, "strip") == 0;
    if (dark || !load_intensity_text(text, size))
        text[0] = '\0';
}

}  // namespace

int api_get_led_mode(http_connection *connection, const char *, int64_t, void *)
{
    char mode[sizeof led_state.mode];
    {
        std::lock_guard<std::mutex> hold(led_state.lock);
        vx4_copy_text(mode, sizeof mode, led_state.mode);
    }
    return api_reply_text(connection, "led_mode", mode);
}

int api_put_led_mode(http_connection *connection, const char *body, int64_t length, void *)
{
    char mode[16] = "";
    api_read_json_text(connection, body, length, "led_mode", mode, sizeof mode);
    trace(TRACE_HTTP_API, "led mode '%s'", mode);

    const led_mode_entry *entry = nullptr;
    for (const led_mode_entry &candidate : led_modes)
        if (strcmp(mode, candidate.name) == 0)
            entry = &candidate;
    vx4_power_board *board = power_board_instance;
    if (!entry || !board)
        return api_reply_status(connection, "BAD_REQUEST");

    long intensity;
    // Without the file the board keeps the PWM it has.
    int pwm = vx4_read_state_number("/tmp/intensity", 18, &intensity) ? static_cast<int>(intensity & 0xFF) : -1;
    {
        std::lock_guard<std::mutex> hold(led_state.lock);
        if (strcmp(led_state.mode, "all") == 0) {
            request_timer_locked(timer_request::stop);
            led_state.high_beam_countdown = 0;
        }
        vx4_power_board_enable_led_power(board, static_cast<int>(entry->mask), pwm);
        vx4_copy_text(led_state.mode, sizeof led_state.mode, entry->name);
        led_state.mask = entry->mask;
        vx4_write_state_file("/tmp/lighting", led_state.mode);
    }
    return api_reply_status(connection, "OK");
}

int api_post_led_high_beam_on(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "high beam on");
    vx4_power_board *board = power_board_instance;
    if (!board)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_power_board_registers registers;
    vx4_power_board_load_registers(board, &registers);

    std::lock_guard<std::mutex> hold(led_state.lock);
    if (led_state.mask == high_beam_mask)
        return api_reply_status(connection, "OK");
    led_state.saved_mask = led_state.mask;
    led_state.saved_pwm = registers.pb_led_pwm;
    vx4_copy_text(led_state.saved_mode, sizeof led_state.saved_mode, led_state.mode);
    led_state.mask = high_beam_mask;
    vx4_power_board_enable_led_power(board, high_beam_mask, high_beam_pwm);
    vx4_copy_text(led_state.mode, sizeof led_state.mode, "all");
    vx4_write_state_file("/tmp/lighting", led_state.mode);
    led_state.high_beam_countdown = led_state.high_beam_time > 0 ? static_cast<uint32_t>(led_state.high_beam_time) : 0;
    request_timer_locked(timer_request::start);
    return api_reply_status(connection, "OK");
}

int api_post_led_high_beam_off(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "high beam off");
    std::lock_guard<std::mutex> hold(led_state.lock);
    if (led_state.mask == high_beam_mask) {
        request_timer_locked(timer_request::stop);
        led_state.high_beam_countdown = 0;
        restore_saved_locked();
    }
    return api_reply_status(connection, "OK");
}

int api_get_led_intensity(http_connection *connection, const char *, int64_t, void *)
{
    char text[24] = "";
    {
        std::lock_guard<std::mutex> hold(led_state.lock);
        load_lit_intensity_locked(text, sizeof text);
    }
    return api_reply_text(connection, "led_intensity", text);
}

void vx4_load_api_led_status(char *mode, size_t mode_size, char *intensity, size_t intensity_size)
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    vx4_copy_text(mode, mode_size, led_state.mode);
    if (led_state.high_beam_countdown != 0)
        snprintf(intensity, intensity_size, "%u s", led_state.high_beam_countdown);
    else
        load_lit_intensity_locked(intensity, intensity_size);
}

int api_put_led_intensity(http_connection *connection, const char *body, int64_t length, void *)
{
    char text[16] = "";
    bool present = api_read_json_text(connection, body, length, "led_intensity", text, sizeof text);
    trace(TRACE_HTTP_API, "led intensity '%s'", text);

    // A request without a number must not darken the lights.
    char *end;
    long value = strtol(text, &end, 10);
    vx4_power_board *board = power_board_instance;
    if (!present || end == text || !board)
        return api_reply_status(connection, "BAD_REQUEST");
    value = value < 0 ? 0 : value > 100 ? 100 : value;
    // The mask the board holds when the write goes out.
    vx4_power_board_enable_led_power(board, -1, static_cast<int>(value));
    vx4_write_state_number("/tmp/intensity", static_cast<int>(value));
    return api_reply_status(connection, "OK");
}

int api_post_led_intensity_increment(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "led intensity inc");
    vx4_trigger_intensity_loop(1, intensity_hold_ms);
    return reply_intensity_step(connection);
}

int api_post_led_intensity_decrement(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "led intensity dec");
    vx4_trigger_intensity_loop(-1, intensity_hold_ms);
    return reply_intensity_step(connection);
}

int api_post_led_intensity_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "led intensity stop");
    vx4_stop_intensity_loop();
    return reply_intensity_step(connection);
}

void vx4_switch_api_lights_off()
{
    constexpr int start_intensity = 25;
    std::lock_guard<std::mutex> hold(led_state.lock);
    if (strcmp(led_state.mode, "all") == 0) {
        request_timer_locked(timer_request::stop);
        led_state.high_beam_countdown = 0;
    }
    vx4_copy_text(led_state.mode, sizeof led_state.mode, "off");
    led_state.mask = 0;
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_enable_led_power(board, 0, start_intensity);
    vx4_write_state_number("/tmp/intensity", start_intensity);
    // The older lighting read-out shows the lights as they are.
    vx4_write_state_file("/tmp/lighting", led_state.mode);
}

void vx4_attach_high_beam_timer(struct ev_loop *loop)
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    if (high_beam.loop)
        return;
    ev_timer_init(&high_beam.timer, on_high_beam_tick, 1.0, 1.0);
    ev_async_init(&high_beam.wake, on_timer_request);
    ev_async_start(loop, &high_beam.wake);
    high_beam.loop = loop;
    apply_timer_request_locked();
}

void vx4_detach_high_beam_timer()
{
    std::lock_guard<std::mutex> hold(led_state.lock);
    if (!high_beam.loop)
        return;
    ev_timer_stop(high_beam.loop, &high_beam.timer);
    ev_async_stop(high_beam.loop, &high_beam.wake);
    high_beam.loop = nullptr;
}
