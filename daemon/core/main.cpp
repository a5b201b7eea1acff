// vx4-api: the control daemon of the camera head.
#include <pthread.h>

#include <csignal>
#include <cstdio>

#include "api_thread.h"
#include "application.h"
#include "fifo.h"
#include "platform.h"
#include "settings.h"
#include "trace.h"
#include "visca_connection.h"

int main(int, char **argv)
{
    if (vx4_platform_init(argv[0]) != 0 || vx4_require_loopback_peers() != 0)
        return 1;
    // A peer that closes a socket must not kill the daemon.
    signal(SIGPIPE, SIG_IGN);

    bool advanced = vx4_read_advanced_model();
    (void)advanced;
    init_trace();
    vx4_init_nv();
    fputs("start\n", stderr);
    visca_thread_data.host = vx4_platform().camera_host.c_str();
    pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data);
    pthread_t api_thread;
    if (pthread_create(&api_thread, nullptr, http_server_thread, nullptr) == 0)
        pthread_detach(api_thread);

    vx4_application application;
    if (vx4_application_init(&application, argv[0]) != 0)
        return 1;
    if (vx4_open_command_fifo(&application) != 0)
        return 1;
    fputs("entering loop...\n", stderr);
    vx4_application_run(&application);
    vx4_application_destroy(&application);
    return 0;
}
