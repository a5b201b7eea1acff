#include "core/application.h"

#include <json-c/json.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/json_file.h"
#include "platform.h"

namespace {

const int watched_signals[5] = {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2};

void on_stop_signal(struct ev_loop *loop, ev_signal *, int) { ev_break(loop, EVBREAK_ALL); }

// Caught only so that their default action, termination, does not happen.
void on_user_signal(struct ev_loop *, ev_signal *, int) {}

}  // namespace

int vx4_application_init(vx4_application *application, const char *program_name)
{
    memset(application, 0, sizeof *application);
    application->program_name = strdup(program_name);
    if (!application->program_name) {
        fprintf(stderr, "%s: strdup() failed at line %d: %s\n", program_name, 36, strerror(errno));
        return -1;
    }
    application->loop = ev_default_loop(EVFLAG_AUTO);
    if (!application->loop) {
        fprintf(stderr, "%s: ev_default_loop() failed at line %d\n", program_name, 43);
        free(application->program_name);
        application->program_name = nullptr;
        return -1;
    }
    // The default loop reaps every child it hears of, for child watchers we
    // never use; the modules that start programs (recorder, supervisor,
    // installer) wait for their own children and must see them exit.
    signal(SIGCHLD, SIG_DFL);
    for (int i = 0; i < 5; ++i) {
        int signal_number = watched_signals[i];
        bool stops = signal_number == SIGHUP || signal_number == SIGINT || signal_number == SIGTERM;
        ev_signal_init(&application->signals[i], stops ? on_stop_signal : on_user_signal, signal_number);
        application->signals[i].data = application;
        ev_signal_start(application->loop, &application->signals[i]);
    }
    return 0;
}

int vx4_application_run(vx4_application *application)
{
    return ev_run(application->loop, 0);
}

void vx4_application_destroy(vx4_application *application)
{
    for (int i = 4; i >= 0; --i)
        ev_signal_stop(application->loop, &application->signals[i]);
    ev_loop_destroy(application->loop);
    application->loop = nullptr;
    free(application->program_name);
    application->program_name = nullptr;
}

bool vx4_read_advanced_model()
{
    json_object *system = vx4_read_json_file("/config/system.json", 64 * 1024);
    if (!system)
        return false;
    json_object *model;
    bool advanced = json_object_get_type(system) == json_type_object &&
                    json_object_object_get_ex(system, "model_name", &model) &&
                    json_object_is_type(model, json_type_string) &&
                    json_object_get_string_len(model) == 12 &&
                    memcmp(json_object_get_string(model), "VX4 Advanced", 12) == 0;
    json_object_put(system);
    return advanced;
}
