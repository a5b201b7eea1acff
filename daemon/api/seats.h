// Seats: who may drive the head. At most one controller and a settable
// number of observers (0 to 5) hold one of six seats. A client asks for a
// seat and gets a random token, confirms it within 2 s and then refreshes it
// at least every 30 s; a one-second countdown on the application loop frees
// seats that are not. When the controller's seat ends the head goes back to
// safe defaults: recording stopped, camera modes auto, LEDs and laser off.
#pragma once

#include <ev.h>

#include <cstdint>

#include "http/http_server.h"

int api_post_seats_request(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_seats_update(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_setup_observer_seats(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_setup_observer_seats(http_connection *connection, const char *body, int64_t length, void *user_data);

// One second of the countdown: every seat with time left loses a second,
// and one that reaches 0 is freed (a controller's with the defaults).
void vx4_count_down_api_seats();
// True while the first controller seat has less than 6 s left.
bool vx4_get_controller_seat_warning();

// The countdown runs on the application loop: attached from the loop's
// thread before it runs, detached once it has stopped.
void vx4_attach_seat_timer(struct ev_loop *loop);
void vx4_detach_seat_timer();
