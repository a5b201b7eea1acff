#include "api/routes.h"

#include "api/compass.h"
#include "api/debug.h"
#include "api/laser.h"
#include "api/lighting.h"
#include "api/logger.h"
#include "api/motion.h"
#include "api/system.h"

const std::vector<api_route> &vx4_api_routes()
{
    // Rows are added family by family, each block at its place below; until
    // a family is there, its paths get the 404 page.
    static const std::vector<api_route> routes = {
        // Version 1.0: /api/1.0/vx4 ... /api/1.0/laser/disable
        // Setup: /api/setup/date ... /api/setup/password
        // Seats: /api/setup/observer_seats
        // Setup: /api/setup/language ... /api/setup/units
        // System: /api/model ... /api/install/camera
        {"GET", "/api/model", api_get_model, nullptr},
        {"GET", "/api/serial_number", api_get_serial_number, nullptr},
        // (/api/status comes with the status document)
        {"GET", "/api/versions", api_get_versions, nullptr},
        {"GET", "/api/install/versions", api_get_install_versions, nullptr},
        {"GET", "/api/install/status", api_get_install_status, nullptr},
        {"POST", "/api/install/software", api_post_install_software, nullptr},
        {"POST", "/api/install/firmware", api_post_install_firmware, nullptr},
        {"POST", "/api/install/camera", api_post_install_camera, nullptr},
        // Lights: /api/led/...
        {"GET", "/api/led/mode", api_get_led_mode, nullptr},
        {"PUT", "/api/led/mode", api_put_led_mode, nullptr},
        {"POST", "/api/led/high_beam/on", api_post_led_high_beam_on, nullptr},
        {"POST", "/api/led/high_beam/off", api_post_led_high_beam_off, nullptr},
        {"GET", "/api/led/intensity", api_get_led_intensity, nullptr},
        {"PUT", "/api/led/intensity", api_put_led_intensity, nullptr},
        {"POST", "/api/led/intensity/increment", api_post_led_intensity_increment, nullptr},
        {"POST", "/api/led/intensity/decrement", api_post_led_intensity_decrement, nullptr},
        {"POST", "/api/led/intensity/stop", api_post_led_intensity_stop, nullptr},
        // Camera: /api/camera/exposure/... ... /api/camera/title/...
        // Recorder: /api/camera/recorder/...
        // Camera: /api/camera/imagecache
        // Laser and compass: /api/laser/... ... /api/magnetometer/calibration
        {"GET", "/api/laser/status", api_get_laser_status, nullptr},
        {"GET", "/api/laser/distance", api_get_laser_distance, nullptr},
        {"GET", "/api/laser/speed", api_get_laser_speed, nullptr},
        {"PUT", "/api/laser/speed", api_put_laser_speed, nullptr},
        {"GET", "/api/laser/mode", api_get_laser_mode, nullptr},
        {"PUT", "/api/laser/mode", api_put_laser_mode, nullptr},
        {"POST", "/api/laser/execute", api_post_laser_execute, nullptr},
        {"GET", "/api/magnetometer/calibration", api_get_magnetometer_calibration, nullptr},
        {"PUT", "/api/magnetometer/calibration", api_put_magnetometer_calibration, nullptr},
        // Motors and height: /api/motor/tilt/increment ... /api/motor/pan/stop
        {"POST", "/api/motor/tilt/increment", api_post_motor_tilt_increment, nullptr},
        {"POST", "/api/motor/tilt/decrement", api_post_motor_tilt_decrement, nullptr},
        {"POST", "/api/motor/tilt/stop", api_post_motor_tilt_stop, nullptr},
        {"POST", "/api/motor/height/increment", api_post_motor_height_increment, nullptr},
        {"POST", "/api/motor/height/decrement", api_post_motor_height_decrement, nullptr},
        {"POST", "/api/motor/height/stop", api_post_motor_height_stop, nullptr},
        {"POST", "/api/motor/height/findhome", api_post_motor_height_findhome, nullptr},
        {"GET", "/api/height/extension", api_get_height_extension, nullptr},
        {"PUT", "/api/height/extension", api_put_height_extension, nullptr},
        {"GET", "/api/height/preset", api_get_height_preset, nullptr},
        {"PUT", "/api/height/preset", api_put_height_preset, nullptr},
        {"POST", "/api/motor/pan/increment", api_post_motor_pan_increment, nullptr},
        {"POST", "/api/motor/pan/decrement", api_post_motor_pan_decrement, nullptr},
        {"POST", "/api/motor/pan/stop", api_post_motor_pan_stop, nullptr},
        // On-screen display: /api/osd/...
        // Seats: /api/seats/request, /api/seats/update
        // Logger: /api/logger/...
        {"GET", "/api/logger/readings", api_get_logger_readings, nullptr},
        {"GET", "/api/logger/log_file", api_get_logger_log_file, nullptr},
        {"POST", "/api/logger/log_file", api_post_logger_log_file, nullptr},
        {"POST", "/api/logger/reset", api_post_logger_reset, nullptr},
        {"GET", "/api/logger/files", api_get_logger_files, nullptr},
        {"POST", "/api/logger/copy", api_post_logger_copy, nullptr},
        {"POST", "/api/logger/delete", api_post_logger_delete, nullptr},
        // System: /api/eject, /api/shutdown
        {"POST", "/api/eject", api_post_eject, nullptr},
        {"POST", "/api/shutdown", api_post_shutdown, nullptr},
        // Debug and power board: /api/debug/... ... /api/power_board/zero_buffer
        {"GET", "/api/debug/crit_temp_warning", api_get_debug_warning<API_WARNING_CRIT_TEMP>, nullptr},
        {"PUT", "/api/debug/crit_temp_warning", api_put_debug_warning<API_WARNING_CRIT_TEMP>, nullptr},
        {"GET", "/api/debug/high_temp_warning", api_get_debug_warning<API_WARNING_HIGH_TEMP>, nullptr},
        {"PUT", "/api/debug/high_temp_warning", api_put_debug_warning<API_WARNING_HIGH_TEMP>, nullptr},
        {"GET", "/api/debug/low_temp_warning", api_get_debug_warning<API_WARNING_LOW_TEMP>, nullptr},
        {"PUT", "/api/debug/low_temp_warning", api_put_debug_warning<API_WARNING_LOW_TEMP>, nullptr},
        {"GET", "/api/debug/high_press_warning", api_get_debug_warning<API_WARNING_HIGH_PRESS>, nullptr},
        {"PUT", "/api/debug/high_press_warning", api_put_debug_warning<API_WARNING_HIGH_PRESS>, nullptr},
        {"GET", "/api/debug/high_rh_warning", api_get_debug_warning<API_WARNING_HIGH_RH>, nullptr},
        {"PUT", "/api/debug/high_rh_warning", api_put_debug_warning<API_WARNING_HIGH_RH>, nullptr},
        {"GET", "/api/debug/tilt_mtr_warning", api_get_debug_warning<API_WARNING_TILT_MTR>, nullptr},
        {"PUT", "/api/debug/tilt_mtr_warning", api_put_debug_warning<API_WARNING_TILT_MTR>, nullptr},
        {"GET", "/api/debug/pan_mtr_warning", api_get_debug_warning<API_WARNING_PAN_MTR>, nullptr},
        {"PUT", "/api/debug/pan_mtr_warning", api_put_debug_warning<API_WARNING_PAN_MTR>, nullptr},
        {"GET", "/api/debug/height_mtr_warning", api_get_debug_warning<API_WARNING_HEIGHT_MTR>, nullptr},
        {"PUT", "/api/debug/height_mtr_warning", api_put_debug_warning<API_WARNING_HEIGHT_MTR>, nullptr},
        {"GET", "/api/power_board/readings", api_get_power_board_readings, nullptr},
        {"GET", "/api/power_board/read_command", api_get_power_board_read_command, nullptr},
        {"PUT", "/api/power_board/read_command", api_put_power_board_read_command, nullptr},
        {"POST", "/api/power_board/suspend", api_post_power_board_suspend, nullptr},
        {"POST", "/api/power_board/resume", api_post_power_board_resume, nullptr},
        {"POST", "/api/power_board/trigger", api_post_power_board_trigger, nullptr},
        {"POST", "/api/power_board/write", api_post_power_board_write, nullptr},
        {"PUT", "/api/power_board/zero_buffer", api_put_power_board_zero_buffer, nullptr},
        // Trace: /api/trace/mask
        {"GET", "/api/trace/mask", api_get_trace_mask, nullptr},
        {"PUT", "/api/trace/mask", api_put_trace_mask, nullptr},
    };
    return routes;
}

int vx4_register_api_routes(http_server *server)
{
    int result = 0;
    for (const api_route &route : vx4_api_routes())
        if (http_server_register_handler(server, route.method, route.path, route.handler, nullptr,
                                         route.user_data) != 0)
            result = -1;
    return result;
}
