// vx4-api: the control daemon of the camera head. main starts the modules in
// their order and wires the calls that go upward, from a lower module to a
// higher one, as callbacks.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "api/api_thread.h"
#include "camera/camera_settings.h"
#include "camera/motion_loops.h"
#include "camera/osd.h"
#include "camera/visca_connection.h"
#include "core/application.h"
#include "core/fifo.h"
#include "core/publisher.h"
#include "core/settings.h"
#include "core/trace.h"
#include "logger/logger.h"
#include "platform.h"
#include "power_board/power_board_internal.h"
#include "recorder/recorder.h"
#include "supervisor/installer.h"
#include "supervisor/supervisor.h"

namespace {

bool camera_update_active() { return visca_update_active(&visca_thread_data) != 0; }

bool external_usb_mounted() { return vx4_is_external_usb_mounted() != 0; }

// The logger's report shows the supervisor's identity and version texts.
const vx4_logger_callbacks logger_callbacks = {
    .load_model_name = vx4_load_supervisor_model_name,
    .load_serial_number = vx4_load_supervisor_serial_number,
    .load_firmware_version = vx4_load_supervisor_firmware_version,
    .load_camera_version = vx4_load_supervisor_camera_version,
    .load_battery_voltage = vx4_load_supervisor_battery_voltage,
    .external_usb_mounted = external_usb_mounted,
};

const vx4_recorder_hooks recorder_hooks = {
    .update_osd_recorder_activity = vx4_update_osd_recorder_activity,
    .is_external_usb_mounted = vx4_is_external_usb_mounted,
};

const vx4_power_board_events board_events = {
    vx4_report_logger_internal_pressure,
    vx4_report_logger_internal_humidity,
    vx4_report_logger_tilt_motor_warning,
    vx4_report_logger_height_motor_warning,
    vx4_report_logger_pan_motor_warning,
    vx4_report_logger_high_pressure_warning,
    vx4_report_logger_high_humidity_warning,
    vx4_trigger_supervisor_shutdown,
    vx4_load_supervisor_battery_type,
    vx4_set_osd_laser_reading,
    vx4_set_osd_item,
    vx4_get_osd_item,
    camera_update_active,
};

// A software update ends with a reboot through the supervisor.
const vx4_installer_events installer_events = {vx4_trigger_supervisor_shutdown};

// Light words change the mask and keep the PWM, "pwm" the reverse: each
// builds on what the board holds when its write goes out.
void apply_fifo_command(const fifo_command &command)
{
    vx4_power_board *board = power_board_instance;
    if (!board)
        return;
    switch (command.action) {
    case FIFO_CAMERA_ENABLE:
        vx4_power_board_enable_camera_power(board);
        break;
    case FIFO_CAMERA_DISABLE:
        vx4_power_board_disable_camera_power(board);
        break;
    case FIFO_LASER_ENABLE:
        vx4_power_board_enable_laser_power(board);
        break;
    case FIFO_LASER_DISABLE:
        vx4_power_board_disable_laser_power(board);
        break;
    case FIFO_LED_MASK:
        vx4_power_board_enable_led_power(board, command.value, -1);
        break;
    case FIFO_LED_PWM:
        vx4_power_board_enable_led_power(board, -1, command.value);
        break;
    }
}

bool load_published_readings(vx4_published_readings *readings)
{
    vx4_power_board *board = power_board_instance;
    if (!board)
        return false;
    vx4_power_board_registers registers;
    vx4_power_board_load_registers(board, &registers);
    readings->voltage = static_cast<double>(registers.pb_monitor_vin_volts);
    readings->temperature = static_cast<double>(registers.pb_bme280_temperature);
    readings->motor_type = vx4_power_board_motor_type_text(registers.pb_motor_type);
    return true;
}

}  // namespace

int main(int, char **argv)
{
    if (vx4_platform_init(argv[0]) != 0 || vx4_require_loopback_peers() != 0)
        return 1;
    // A second daemon would replace the first one's FIFO and rotate its trace.
    if (vx4_take_instance_lock("vx4-api") != 0)
        return 1;
    // A peer that closes a socket must not kill the daemon.
    signal(SIGPIPE, SIG_IGN);

    bool advanced = vx4_read_advanced_model();
    init_trace();
    vx4_init_nv();
    vx4_init_logger(&logger_callbacks);
    fputs("start\n", stderr);
    visca_thread_data.host = vx4_platform().camera_host.c_str();
    pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data);
    pthread_t api_thread;
    if (pthread_create(&api_thread, nullptr, http_server_thread, nullptr) == 0)
        pthread_detach(api_thread);
    vx4_init_camera();
    vx4_create_focus_loop();
    vx4_create_intensity_loop();
    vx4_create_zoom_loop();
    vx4_start_installer(&installer_events);
    // The display's tick runs on the application loop, which is the libev
    // default loop created here and run once everything is started.
    vx4_init_osd();
    vx4_create_recorder(&recorder_hooks);
    vx4_init_supervisor(1);

    vx4_application application;
    if (vx4_application_init(&application, argv[0]) != 0)
        return 1;
    vx4_attach_api_timers(application.loop);

    // The power board: published once initialised and before its service
    // starts, so that every caller finds it whole; a suspension the operator
    // saved still holds.
    vx4_power_board board;
    if (vx4_power_board_init(&board, &application, advanced, &board_events) != 0) {
        vx4_detach_api_timers();
        vx4_application_destroy(&application);
        return 1;
    }
    power_board_instance = &board;
    int32_t suspended = 0;
    vx4_read_nv(NV_PB_SUSPENDED, &suspended, sizeof suspended);
    if (suspended)
        vx4_power_board_suspend_refresh(&board);
    vx4_power_board_start_service(&board);

    if (vx4_open_command_fifo(&application, apply_fifo_command) != 0) {
        // The service thread still runs on the board: stop it before the
        // board leaves the stack.
        vx4_power_board_destroy(&board);
        return 1;
    }
    vx4_start_redis_publisher(&application, load_published_readings);
    vx4_power_board_enable_camera_power(&board);

    fputs("entering loop...\n", stderr);
    vx4_application_run(&application);
    vx4_finish_recorder();
    vx4_detach_api_timers();
    vx4_power_board_destroy(&board);
    vx4_application_destroy(&application);
    return 0;
}
