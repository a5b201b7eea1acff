// The lights: LED modes, the timed high beam and the intensity. The LED
// state (power_board/lights.h) is shared by these endpoints, the high-beam
// countdown on the application loop and the intensity loop.
#pragma once

#include <ev.h>

#include <cstddef>
#include <cstdint>

#include "http/http_server.h"

int api_get_led_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_led_mode(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_led_high_beam_on(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_led_high_beam_off(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_led_intensity(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_led_intensity(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_led_intensity_increment(http_connection *connection, const char *body, int64_t length,
                                     void *user_data);
int api_post_led_intensity_decrement(http_connection *connection, const char *body, int64_t length,
                                     void *user_data);
int api_post_led_intensity_stop(http_connection *connection, const char *body, int64_t length, void *user_data);

// For the status document, under the LED lock: the LED mode, and the
// intensity as the operator reads it: the high beam's seconds left ("9 s")
// while it runs, nothing while the LEDs are off or only the strip is lit,
// else the intensity file's number ("60%"; nothing without the file).
void vx4_load_api_led_status(char *mode, size_t mode_size, char *intensity, size_t intensity_size);

// The lights off when a controller leaves: the high beam ends, the mode is
// "off", the board's LEDs dark at PWM 25 and the intensity file 25.
void vx4_switch_api_lights_off();

// The high-beam countdown runs on the application loop (the main thread).
// Attach it once the loop exists, from the loop's thread before it runs;
// detach it before the loop is destroyed. Requests made before the attach
// take effect at the attach.
void vx4_attach_high_beam_timer(struct ev_loop *loop);
void vx4_detach_high_beam_timer();
