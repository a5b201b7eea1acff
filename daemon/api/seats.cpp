#include "api/seats.h"

#include <json-c/json.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "api/api_reply.h"
#include "api/api_state.h"
#include "api/lighting.h"
#include "camera/camera_settings.h"
#include "core/settings.h"
#include "core/state_files.h"
#include "core/trace.h"
#include "power_board/power_board.h"
#include "recorder/recorder.h"

namespace {

enum seat_state : int32_t {
    SEAT_FREE = 0,
    SEAT_CONTROLLER_REQUESTED = 1,
    SEAT_CONTROLLER = 2,
    SEAT_OBSERVER_REQUESTED = 3,
    SEAT_OBSERVER = 4,
};

constexpr int32_t confirm_seconds = 2;
constexpr int32_t hold_seconds = 30;
constexpr int32_t warning_seconds = 6;
constexpr int32_t most_observer_seats = 5;
constexpr size_t token_length = sizeof api_seat::token - 1;

struct seat_timer_state {
    struct ev_loop *loop = nullptr;
    ev_timer timer;
};

seat_timer_state seat_timer;  // the application loop's thread only

api_seat *seats() { return api_state.seats; }

bool controller_held(const api_seat &seat)
{
    return seat.state == SEAT_CONTROLLER_REQUESTED || seat.state == SEAT_CONTROLLER;
}

bool observer(const api_seat &seat) { return seat.state == SEAT_OBSERVER_REQUESTED || seat.state == SEAT_OBSERVER; }

// The seat lock is held by the callers of the functions below.

int count_observers()
{
    int count = 0;
    for (int i = 0; i < API_SEAT_COUNT; ++i)
        count += observer(seats()[i]);
    return count;
}

bool any_controller_held()
{
    for (int i = 0; i < API_SEAT_COUNT; ++i)
        if (controller_held(seats()[i]))
            return true;
    return false;
}

// The free seat with the highest index, or -1.
int last_free_seat()
{
    for (int i = API_SEAT_COUNT - 1; i >= 0; --i)
        if (seats()[i].state == SEAT_FREE)
            return i;
    return -1;
}

// Uniform below n from the operating system's random source: a token must
// not be guessed from the daemon's start or from other tokens.
bool random_below(uint32_t n, uint32_t *value)
{
    const uint32_t limit = UINT32_MAX - UINT32_MAX % n;
    for (;;) {
        uint32_t word;
        ssize_t got = getrandom(&word, sizeof word, 0);
        if (got != static_cast<ssize_t>(sizeof word)) {
            if (got < 0 && errno == EINTR)
                continue;
            return false;
        }
        if (word < limit) {
            *value = word % n;
            return true;
        }
    }
}

// Digits, upper- and lower-case letters, each class chosen first with equal
// chance. false (and the token left empty) when no randomness is to be had.
bool make_token(char (&token)[sizeof api_seat::token])
{
    static const struct {
        char first;
        uint32_t count;
    } classes[] = {{'0', 10}, {'A', 26}, {'a', 26}};
    memset(token, 0, sizeof token);
    for (size_t i = 0; i < token_length; ++i) {
        uint32_t kind, offset;
        if (!random_below(3, &kind) || !random_below(classes[kind].count, &offset)) {
            memset(token, 0, sizeof token);
            return false;
        }
        token[i] = static_cast<char>(classes[kind].first + static_cast<char>(offset));
    }
    return true;
}

// Grants the seat at index in the given requested state; its token into
// the reply's copy.
void grant(int index, int32_t state, char (&token)[sizeof api_seat::token])
{
    api_seat &seat = seats()[index];
    if (!make_token(seat.token))
        return;
    seat.remaining = confirm_seconds;
    seat.state = state;
    memcpy(token, seat.token, sizeof token);
}

// The head back to what nobody controls: no recording, camera modes auto,
// zoom and focus at their start speeds, lights and laser off.
void apply_controller_defaults()
{
    trace(TRACE_HTTP_API, "controller defaults");
    if (vx4_get_recorder_recording())
        vx4_stop_recorder();
    vx4_set_api_mode(api_state.focus_mode, "auto");
    vx4_set_api_mode(api_state.exposure_mode, "auto");
    vx4_set_controller_defaults();
    vx4_write_state_number("/tmp/zoom_speed", 3);
    vx4_write_state_file("/tmp/focus_mode", "auto");
    vx4_write_state_number("/tmp/focus_speed", 2);
    vx4_write_state_file("/tmp/exposure_mode", "auto");
    vx4_switch_api_lights_off();
    if (vx4_power_board *board = power_board_instance) {
        vx4_power_board_set_laser_mode(board, VX4_LASER_OFF);
        vx4_power_board_clear_laser_reading(board);
    }
}

void free_seat(api_seat &seat)
{
    seat.remaining = 0;
    seat.state = SEAT_FREE;
}

// One update action on the seat; the role the seat has after it.
const char *update_seat(api_seat &seat, const char *action, int32_t limit)
{
    const bool controller = seat.state == SEAT_CONTROLLER;
    const bool observing = seat.state == SEAT_OBSERVER;
    if (strcmp(action, "lock") == 0) {
        if (controller_held(seat)) {
            seat.remaining = hold_seconds;
            seat.state = SEAT_CONTROLLER;
            vx4_service_recorder_watchdog();
            return "controller";
        }
        if (observer(seat)) {
            seat.remaining = hold_seconds;
            seat.state = SEAT_OBSERVER;
            return "observer";
        }
    } else if (strcmp(action, "refresh") == 0) {
        if (controller || observing) {
            seat.remaining = hold_seconds;
            if (controller)
                vx4_service_recorder_watchdog();
            return controller ? "controller" : "observer";
        }
    } else if (strcmp(action, "release") == 0) {
        if (controller)
            apply_controller_defaults();
        if (controller || observing)
            free_seat(seat);
    } else if (strcmp(action, "make_controller") == 0) {
        api_seat *first_held = nullptr;
        for (int i = 0; i < API_SEAT_COUNT && !first_held; ++i)
            if (controller_held(seats()[i]))
                first_held = &seats()[i];
        if (first_held == &seat || (observing && !first_held)) {
            seat.remaining = hold_seconds;
            if (observing)
                seat.state = SEAT_CONTROLLER;
            vx4_service_recorder_watchdog();
            return "controller";
        }
        if (observing) {
            seat.remaining = hold_seconds;
            return "observer";
        }
    } else if (strcmp(action, "make_observer") == 0) {
        if (observing || (controller && count_observers() < limit)) {
            if (controller)
                apply_controller_defaults();
            seat.remaining = hold_seconds;
            seat.state = SEAT_OBSERVER;
            return "observer";
        }
        if (controller) {
            seat.remaining = hold_seconds;
            vx4_service_recorder_watchdog();
            return "controller";
        }
    }
    return "";
}

// Frees the observer seat that is best lost: a pending one before a
// confirmed one, the one with most time left (lowest index on a tie).
void kick_one_observer()
{
    for (int32_t state : {SEAT_OBSERVER_REQUESTED, SEAT_OBSERVER}) {
        int chosen = -1;
        for (int i = 0; i < API_SEAT_COUNT; ++i)
            if (seats()[i].state == state && (chosen < 0 || seats()[i].remaining > seats()[chosen].remaining))
                chosen = i;
        if (chosen >= 0) {
            trace(TRACE_HTTP_API, state == SEAT_OBSERVER_REQUESTED ? "kick pending %d" : "kick observer %d", chosen);
            free_seat(seats()[chosen]);
            return;
        }
    }
}

void on_seat_tick(struct ev_loop *, ev_timer *, int) { vx4_count_down_api_seats(); }

}  // namespace

int api_post_seats_request(http_connection *connection, const char *body, int64_t length, void *)
{
    char role[12] = "";
    api_read_json_text(connection, body, length, "seat_role", role, sizeof role);
    trace(TRACE_HTTP_API, "seat request '%s'", role);

    char token[sizeof api_seat::token] = "";
    bool wants_controller = strcmp(role, "controller") == 0;
    if (wants_controller || strcmp(role, "observer") == 0) {
        std::lock_guard<std::mutex> hold(api_state.seat_lock);
        bool controller_present = false;
        for (int i = 0; i < API_SEAT_COUNT; ++i)
            controller_present |= seats()[i].state == SEAT_CONTROLLER;
        int free_index = last_free_seat();
        if (free_index >= 0 && wants_controller && !controller_present)
            grant(free_index, SEAT_CONTROLLER_REQUESTED, token);
        else if (free_index >= 0 && !wants_controller && count_observers() < api_state.observer_seat_limit)
            grant(free_index, SEAT_OBSERVER_REQUESTED, token);
    }
    trace(TRACE_HTTP_API, "seat token '%s'", token);
    return api_reply_text(connection, "seat_token", token);
}

int api_post_seats_update(http_connection *connection, const char *body, int64_t length, void *)
{
    char action[20] = "", token[sizeof api_seat::token] = "";
    json_object *request = api_read_json_body(connection, body, length);
    api_json_string(request, "seat_update", action, sizeof action);
    api_json_string(request, "seat_token", token, sizeof token);
    json_object_put(request);
    trace(TRACE_HTTP_API, "seat update '%s' '%s'", action, token);

    const char *role = "";
    int controller_seats, observer_seats;
    {
        std::lock_guard<std::mutex> hold(api_state.seat_lock);
        for (int i = 0; i < API_SEAT_COUNT; ++i) {
            if (strcmp(seats()[i].token, token) == 0) {
                role = update_seat(seats()[i], action, api_state.observer_seat_limit);
                break;
            }
        }
        controller_seats = any_controller_held() ? 0 : 1;
        observer_seats = api_state.observer_seat_limit - count_observers();
        if (observer_seats < 0)
            observer_seats = 0;
    }
    trace(TRACE_HTTP_API, "seat status %d %d '%s'", controller_seats, observer_seats, role);
    json_object *reply = json_object_new_object();
    if (reply) {
        json_object_object_add(reply, "controller_seats", json_object_new_int(controller_seats));
        json_object_object_add(reply, "observer_seats", json_object_new_int(observer_seats));
        json_object_object_add(reply, "seat_role", json_object_new_string(role));
    }
    return json_response_handler(connection, reply);
}

int api_get_setup_observer_seats(http_connection *connection, const char *, int64_t, void *)
{
    int32_t limit;
    {
        std::lock_guard<std::mutex> hold(api_state.seat_lock);
        limit = api_state.observer_seat_limit;
    }
    return api_reply_number_text(connection, "observer_seats", limit);
}

int api_put_setup_observer_seats(http_connection *connection, const char *body, int64_t length, void *)
{
    char value[5] = "";
    api_read_json_text(connection, body, length, "observer_seats", value, sizeof value);
    trace(TRACE_HTTP_API, "observer seats '%s'", value);
    if (value[0] < '0' || value[0] > '0' + most_observer_seats || value[1] != '\0')
        return api_reply_status(connection, "BAD_REQUEST");
    int32_t limit = static_cast<int32_t>(strtol(value, nullptr, 10));
    vx4_write_nv(NV_VIEWER_SEATS, &limit, sizeof limit);
    {
        std::lock_guard<std::mutex> hold(api_state.seat_lock);
        api_state.observer_seat_limit = limit;
        while (count_observers() > limit)
            kick_one_observer();
    }
    return api_reply_status(connection, "OK");
}

void vx4_count_down_api_seats()
{
    std::lock_guard<std::mutex> hold(api_state.seat_lock);
    for (int i = 0; i < API_SEAT_COUNT; ++i) {
        api_seat &seat = seats()[i];
        if (seat.remaining <= 0 || --seat.remaining > 0)
            continue;
        if (seat.state == SEAT_CONTROLLER)
            apply_controller_defaults();
        seat.state = SEAT_FREE;
    }
}

bool vx4_get_controller_seat_warning()
{
    std::lock_guard<std::mutex> hold(api_state.seat_lock);
    for (int i = 0; i < API_SEAT_COUNT; ++i)
        if (seats()[i].state == SEAT_CONTROLLER)
            return seats()[i].remaining < warning_seconds;
    return false;
}

void vx4_attach_seat_timer(struct ev_loop *loop)
{
    if (seat_timer.loop)
        return;
    ev_timer_init(&seat_timer.timer, on_seat_tick, 1.0, 1.0);
    ev_timer_start(loop, &seat_timer.timer);
    seat_timer.loop = loop;
}

void vx4_detach_seat_timer()
{
    if (!seat_timer.loop)
        return;
    ev_timer_stop(seat_timer.loop, &seat_timer.timer);
    seat_timer.loop = nullptr;
}
