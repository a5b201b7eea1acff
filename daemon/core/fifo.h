// The command FIFO through which local programs (the video server, shell
// scripts) switch the power rails and the lights, one command per line.
#pragma once

#include <cstdio>

struct vx4_application;

enum fifo_action {
    FIFO_CAMERA_ENABLE,
    FIFO_CAMERA_DISABLE,
    FIFO_LASER_ENABLE,
    FIFO_LASER_DISABLE,
    FIFO_LED_MASK,  // value: the LED enable mask
    FIFO_LED_PWM,   // value: the PWM, 0 to 255
};

struct fifo_command {
    fifo_action action;
    int value;
};

constexpr int FIFO_MAX_COMMANDS = 10;

// Matches the start of a line against every command word, each test on its
// own; returns how many commands were written to commands[].
int vx4_match_fifo_line(const char *line, fifo_command commands[FIFO_MAX_COMMANDS]);

// Carries out one matched command (main acts on the power board).
using fifo_command_handler = void (*)(const fifo_command &command);

// Creates /var/run/vx4/api.fifo afresh and watches it on the application's
// loop, handing every matched command to handler. 0, or -1 after printing
// the failure.
int vx4_open_command_fifo(vx4_application *application, fifo_command_handler handler);

extern FILE *fifo_stream;
