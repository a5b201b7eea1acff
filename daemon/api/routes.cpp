#include "api/routes.h"

#include "api/camera.h"
#include "api/compass.h"
#include "api/debug.h"
#include "api/laser.h"
#include "api/lighting.h"
#include "api/logger.h"
#include "api/motion.h"
#include "api/osd.h"
#include "api/recorder.h"
#include "api/seats.h"
#include "api/setup.h"
#include "api/status.h"
#include "api/system.h"
#include "api/version_one.h"
#include "camera/visca_connection.h"

const std::vector<api_route> &vx4_api_routes()
{
    // The version 1.0 camera routes reach the camera through the VISCA
    // thread's record.
    void *const camera = &visca_thread_data;
    static const std::vector<api_route> routes = {
        // Version 1.0: /api/1.0/vx4 ... /api/1.0/laser/disable
        {"GET", "/api/1.0/vx4", api_get_v1_vx4, camera},
        {"POST", "/api/1.0/vx4", api_post_v1_vx4, nullptr},
        {"GET", "/api/1.0/camera/zoom", api_get_v1_camera_zoom, camera},
        {"GET", "/api/1.0/camera/focus", api_get_v1_camera_focus, camera},
        {"GET", "/api/1.0/camera", api_get_v1_nothing, camera},
        {"POST", "/api/1.0/camera", api_post_v1_camera, camera},
        {"GET", "/api/1.0/video", api_get_v1_nothing, nullptr},
        {"POST", "/api/1.0/video", api_post_v1_video, nullptr},
        {"GET", "/api/1.0/lighting", api_get_v1_lighting, nullptr},
        {"POST", "/api/1.0/lighting", api_post_v1_lighting, nullptr},
        {"GET", "/api/1.0/recordings", api_get_recordings, nullptr},
        {"POST", "/api/1.0/laser/enable", api_post_v1_laser, nullptr},
        {"POST", "/api/1.0/laser/disable", api_post_v1_laser, nullptr},
        // Setup: /api/setup/date ... /api/setup/password
        {"GET", "/api/setup/date", api_get_setup_date, nullptr},
        {"PUT", "/api/setup/date", api_put_setup_date, nullptr},
        {"GET", "/api/setup/time", api_get_setup_time, nullptr},
        {"PUT", "/api/setup/time", api_put_setup_time, nullptr},
        {"GET", "/api/setup/title", api_get_setup_text<API_SETUP_TITLE>, nullptr},
        {"PUT", "/api/setup/title", api_put_setup_text<API_SETUP_TITLE>, nullptr},
        {"GET", "/api/setup/flow_direction", api_get_setup_text<API_SETUP_FLOW_DIRECTION>, nullptr},
        {"PUT", "/api/setup/flow_direction", api_put_setup_text<API_SETUP_FLOW_DIRECTION>, nullptr},
        {"GET", "/api/setup/operator_id", api_get_setup_text<API_SETUP_OPERATOR_ID>, nullptr},
        {"PUT", "/api/setup/operator_id", api_put_setup_text<API_SETUP_OPERATOR_ID>, nullptr},
        {"GET", "/api/setup/filename", api_get_setup_text<API_SETUP_FILENAME>, nullptr},
        {"PUT", "/api/setup/filename", api_put_setup_text<API_SETUP_FILENAME>, nullptr},
        {"GET", "/api/setup/gps_data", api_get_setup_text<API_SETUP_GPS_DATA>, nullptr},
        {"PUT", "/api/setup/gps_data", api_put_setup_text<API_SETUP_GPS_DATA>, nullptr},
        {"GET", "/api/setup/gps_location", api_get_setup_gps_location, nullptr},
        {"PUT", "/api/setup/gps_location", api_put_setup_gps_location, nullptr},
        {"GET", "/api/setup/ssid", api_get_setup_text<API_SETUP_SSID>, nullptr},
        {"PUT", "/api/setup/ssid", api_put_setup_text<API_SETUP_SSID>, nullptr},
        {"GET", "/api/setup/password", api_get_setup_text<API_SETUP_PASSWORD>, nullptr},
        {"PUT", "/api/setup/password", api_put_setup_text<API_SETUP_PASSWORD>, nullptr},
        // Seats: /api/setup/observer_seats
        {"GET", "/api/setup/observer_seats", api_get_setup_observer_seats, nullptr},
        {"PUT", "/api/setup/observer_seats", api_put_setup_observer_seats, nullptr},
        // Setup: /api/setup/language ... /api/setup/units
        {"GET", "/api/setup/language", api_get_setup_text<API_SETUP_LANGUAGE>, nullptr},
        {"PUT", "/api/setup/language", api_put_setup_text<API_SETUP_LANGUAGE>, nullptr},
        {"GET", "/api/setup/battery_type", api_get_setup_text<API_SETUP_BATTERY_TYPE>, nullptr},
        {"PUT", "/api/setup/battery_type", api_put_setup_text<API_SETUP_BATTERY_TYPE>, nullptr},
        {"GET", "/api/setup/save_delay", api_get_setup_save_delay, nullptr},
        {"PUT", "/api/setup/save_delay", api_put_setup_save_delay, nullptr},
        {"GET", "/api/setup/high_beam_time", api_get_setup_high_beam_time, nullptr},
        {"PUT", "/api/setup/high_beam_time", api_put_setup_high_beam_time, nullptr},
        {"GET", "/api/setup/units", api_get_setup_text<API_SETUP_UNITS>, nullptr},
        {"PUT", "/api/setup/units", api_put_setup_text<API_SETUP_UNITS>, nullptr},
        // System: /api/model ... /api/install/camera
        {"GET", "/api/model", api_get_model, nullptr},
        {"GET", "/api/serial_number", api_get_serial_number, nullptr},
        {"GET", "/api/status", api_get_status, nullptr},
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
        {"GET", "/api/camera/exposure/mode", api_get_camera_exposure_mode, nullptr},
        {"PUT", "/api/camera/exposure/mode", api_put_camera_exposure_mode, nullptr},
        {"POST", "/api/camera/exposure/shutter/increment", api_post_camera_exposure<API_SHUTTER, API_STEP_UP>, nullptr},
        {"POST", "/api/camera/exposure/shutter/decrement", api_post_camera_exposure<API_SHUTTER, API_STEP_DOWN>,
         nullptr},
        {"POST", "/api/camera/exposure/shutter/reset", api_post_camera_exposure<API_SHUTTER, API_STEP_RESET>, nullptr},
        {"POST", "/api/camera/exposure/shutter/stop", api_post_camera_exposure<API_SHUTTER, API_STEP_STOP>, nullptr},
        {"POST", "/api/camera/exposure/iris/increment", api_post_camera_exposure<API_IRIS, API_STEP_UP>, nullptr},
        {"POST", "/api/camera/exposure/iris/decrement", api_post_camera_exposure<API_IRIS, API_STEP_DOWN>, nullptr},
        {"POST", "/api/camera/exposure/iris/reset", api_post_camera_exposure<API_IRIS, API_STEP_RESET>, nullptr},
        {"POST", "/api/camera/exposure/iris/stop", api_post_camera_exposure<API_IRIS, API_STEP_STOP>, nullptr},
        {"POST", "/api/camera/exposure/gain/increment", api_post_camera_exposure<API_GAIN, API_STEP_UP>, nullptr},
        {"POST", "/api/camera/exposure/gain/decrement", api_post_camera_exposure<API_GAIN, API_STEP_DOWN>, nullptr},
        {"POST", "/api/camera/exposure/gain/reset", api_post_camera_exposure<API_GAIN, API_STEP_RESET>, nullptr},
        {"POST", "/api/camera/exposure/gain/stop", api_post_camera_exposure<API_GAIN, API_STEP_STOP>, nullptr},
        {"GET", "/api/camera/focus/mode", api_get_camera_focus_mode, nullptr},
        {"PUT", "/api/camera/focus/mode", api_put_camera_focus_mode, nullptr},
        {"GET", "/api/camera/focus/speed", api_get_camera_focus_speed, nullptr},
        {"PUT", "/api/camera/focus/speed", api_put_camera_focus_speed, nullptr},
        {"POST", "/api/camera/focus/speed", api_post_camera_focus_speed, nullptr},
        {"GET", "/api/camera/focus/position", api_get_camera_focus_position, nullptr},
        {"PUT", "/api/camera/focus/position", api_put_camera_focus_position, nullptr},
        {"POST", "/api/camera/focus/increment", api_post_camera_focus_increment, nullptr},
        {"POST", "/api/camera/focus/decrement", api_post_camera_focus_decrement, nullptr},
        {"POST", "/api/camera/focus/stop", api_post_camera_focus_stop, nullptr},
        {"POST", "/api/camera/zoom/reset", api_post_camera_zoom_reset, nullptr},
        {"GET", "/api/camera/zoom/speed", api_get_camera_zoom_speed, nullptr},
        {"PUT", "/api/camera/zoom/speed", api_put_camera_zoom_speed, nullptr},
        {"POST", "/api/camera/zoom/speed", api_post_camera_zoom_speed, nullptr},
        {"GET", "/api/camera/zoom/position", api_get_camera_zoom_position, nullptr},
        {"PUT", "/api/camera/zoom/position", api_put_camera_zoom_position, nullptr},
        {"POST", "/api/camera/zoom/increment", api_post_camera_zoom_increment, nullptr},
        {"POST", "/api/camera/zoom/decrement", api_post_camera_zoom_decrement, nullptr},
        {"POST", "/api/camera/zoom/stop", api_post_camera_zoom_stop, nullptr},
        {"GET", "/api/camera/invert_image", api_get_camera_image_setting<API_INVERT_IMAGE>, nullptr},
        {"PUT", "/api/camera/invert_image", api_put_camera_image_setting<API_INVERT_IMAGE>, nullptr},
        {"GET", "/api/camera/image_stabilizer", api_get_camera_image_setting<API_IMAGE_STABILIZER>, nullptr},
        {"PUT", "/api/camera/image_stabilizer", api_put_camera_image_setting<API_IMAGE_STABILIZER>, nullptr},
        {"GET", "/api/camera/sensitivity", api_get_camera_image_setting<API_SENSITIVITY>, nullptr},
        {"PUT", "/api/camera/sensitivity", api_put_camera_image_setting<API_SENSITIVITY>, nullptr},
        {"GET", "/api/camera/ir_filter", api_get_camera_image_setting<API_IR_FILTER>, nullptr},
        {"PUT", "/api/camera/ir_filter", api_put_camera_image_setting<API_IR_FILTER>, nullptr},
        {"GET", "/api/camera/defog", api_get_camera_image_setting<API_DEFOG>, nullptr},
        {"PUT", "/api/camera/defog", api_put_camera_image_setting<API_DEFOG>, nullptr},
        {"PUT", "/api/camera/title/line", api_put_camera_title_line, nullptr},
        {"POST", "/api/camera/title/clear_all", api_post_camera_title_all_action<API_TITLE_CLEAR>, nullptr},
        {"POST", "/api/camera/title/turn_all_on", api_post_camera_title_all_action<API_TITLE_TURN_ON>, nullptr},
        {"POST", "/api/camera/title/turn_all_off", api_post_camera_title_all_action<API_TITLE_TURN_OFF>, nullptr},
        {"POST", "/api/camera/title/clear_line", api_post_camera_title_line_action<API_TITLE_CLEAR>, nullptr},
        {"POST", "/api/camera/title/turn_line_on", api_post_camera_title_line_action<API_TITLE_TURN_ON>, nullptr},
        {"POST", "/api/camera/title/turn_line_off", api_post_camera_title_line_action<API_TITLE_TURN_OFF>, nullptr},
        // Recorder: /api/camera/recorder/...
        {"POST", "/api/camera/recorder/start", api_post_recorder_start, nullptr},
        {"POST", "/api/camera/recorder/stop", api_post_recorder_stop, nullptr},
        {"POST", "/api/camera/recorder/pause", api_post_recorder_pause, nullptr},
        {"POST", "/api/camera/recorder/resume", api_post_recorder_resume, nullptr},
        {"POST", "/api/camera/recorder/save", api_post_recorder_save, nullptr},
        {"POST", "/api/camera/recorder/remove", api_post_recorder_remove, nullptr},
        {"GET", "/api/camera/recorder/files", api_get_recorder_files, nullptr},
        {"POST", "/api/camera/recorder/copy", api_post_recorder_copy, nullptr},
        {"POST", "/api/camera/recorder/delete", api_post_recorder_delete, nullptr},
        {"GET", "/api/camera/recorder/video/metadata", api_get_recorder_video_metadata, nullptr},
        {"PUT", "/api/camera/recorder/video/note", api_put_recorder_video_note, nullptr},
        {"GET", "/api/camera/recorder/image/metadata", api_get_recorder_image_metadata, nullptr},
        {"PUT", "/api/camera/recorder/image/note", api_put_recorder_image_note, nullptr},
        {"POST", "/api/camera/recorder/file/metadata", api_post_recorder_file_metadata, nullptr},
        {"PUT", "/api/camera/recorder/file/note", api_put_recorder_file_note, nullptr},
        // Camera: /api/camera/imagecache
        {"GET", "/api/camera/imagecache", api_get_camera_imagecache, nullptr},
        {"POST", "/api/camera/imagecache", api_post_camera_imagecache, nullptr},
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
        {"GET", "/api/osd/zoom", api_get_osd_switch<VX4_OSD_ZOOM>, nullptr},
        {"PUT", "/api/osd/zoom", api_put_osd_switch<VX4_OSD_ZOOM>, nullptr},
        {"GET", "/api/osd/flow_direction", api_get_osd_switch<VX4_OSD_FLOW_DIRECTION>, nullptr},
        {"PUT", "/api/osd/flow_direction", api_put_osd_switch<VX4_OSD_FLOW_DIRECTION>, nullptr},
        {"GET", "/api/osd/date_time", api_get_osd_switch<VX4_OSD_DATE_TIME>, nullptr},
        {"PUT", "/api/osd/date_time", api_put_osd_switch<VX4_OSD_DATE_TIME>, nullptr},
        {"GET", "/api/osd/compass", api_get_osd_switch<VX4_OSD_COMPASS>, nullptr},
        {"PUT", "/api/osd/compass", api_put_osd_switch<VX4_OSD_COMPASS>, nullptr},
        {"GET", "/api/osd/title", api_get_osd_switch<VX4_OSD_TITLE>, nullptr},
        {"PUT", "/api/osd/title", api_put_osd_switch<VX4_OSD_TITLE>, nullptr},
        {"GET", "/api/osd/operator_id", api_get_osd_switch<VX4_OSD_OPERATOR_ID>, nullptr},
        {"PUT", "/api/osd/operator_id", api_put_osd_switch<VX4_OSD_OPERATOR_ID>, nullptr},
        {"GET", "/api/osd/color", api_get_osd_color, nullptr},
        {"PUT", "/api/osd/color", api_put_osd_color, nullptr},
        {"GET", "/api/osd/dwell", api_get_osd_dwell, nullptr},
        {"PUT", "/api/osd/dwell", api_put_osd_dwell, nullptr},
        // Seats: /api/seats/request, /api/seats/update
        {"POST", "/api/seats/request", api_post_seats_request, nullptr},
        {"POST", "/api/seats/update", api_post_seats_update, nullptr},
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
