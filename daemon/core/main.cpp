// vx4-api: the control daemon of the camera head.
#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "api_thread.h"
#include "application.h"
#include "fifo.h"
#include "motion_loops.h"
#include "platform.h"
#include "power_board.h"
#include "publisher.h"
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
    init_trace();
    vx4_init_nv();
    fputs("start\n", stderr);
    visca_thread_data.host = vx4_platform().camera_host.c_str();
    pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data);
    pthread_t api_thread;
    if (pthread_create(&api_thread, nullptr, http_server_thread, nullptr) == 0)
        pthread_detach(api_thread);
    vx4_create_intensity_loop();

    vx4_application application;
    if (vx4_application_init(&application, argv[0]) != 0)
        return 1;
    vx4_attach_api_timers(application.loop);

    // The power board: published before its service starts, so that every
    // caller finds it; a suspension the operator saved still holds.
    vx4_power_board board;
    if (vx4_power_board_init(&board, &application, advanced) != 0) {
        vx4_detach_api_timers();
        vx4_application_destroy(&application);
        return 1;
    }
    power_board_instance = &board;
    vx4_application_set_power_board(&application, &board);
    int32_t suspended = 0;
    vx4_read_nv(NV_PB_SUSPENDED, &suspended, sizeof suspended);
    if (suspended)
        vx4_power_board_suspend_refresh(&board);
    vx4_power_board_start_service(&board);

    if (vx4_open_command_fifo(&application) != 0) {
        // The service thread still runs on the board: stop it before the
        // board leaves the stack.
        vx4_power_board_destroy(&board);
        return 1;
    }
    vx4_start_redis_publisher(&application);
    vx4_power_board_enable_camera_power(&board);

    fputs("entering loop...\n", stderr);
    vx4_application_run(&application);
    vx4_detach_api_timers();
    vx4_power_board_destroy(&board);
    vx4_application_destroy(&application);
    return 0;
}
