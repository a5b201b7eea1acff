// The daemon's application context: program name, the libev default loop and
// the signal watchers that end it.
#pragma once

#include <ev.h>

struct vx4_application {
    char *program_name;  // the program's own path, first word of start-up failure messages
    struct ev_loop *loop;
    ev_signal signals[5];  // SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2
};

int vx4_application_init(vx4_application *application, const char *program_name);
int vx4_application_run(vx4_application *application);
void vx4_application_destroy(vx4_application *application);

// True when /config/system.json names the advanced model exactly.
bool vx4_read_advanced_model();
