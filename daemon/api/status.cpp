#include "api/status.h"

#include <json-c/json.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/api_reply.h"
#include "api/api_state.h"
#include "api/distance.h"
#include "api/lighting.h"
#include "api/seats.h"
#include "camera/camera_settings.h"
#include "camera/visca_connection.h"
#include "core/state_files.h"
#include "power_board/power_board.h"
#include "supervisor/supervisor.h"

namespace {

// What the power board holds for the document; zeros without a board.
struct board_values {
    int model = -1;
    vx4_power_board_warnings warnings{};
    int laser_age = 0;
    bool laser_valid = false;  // a reading and its age from one look
    double laser_metres = 0;
};

board_values load_board()
{
    board_values values;
    if (vx4_power_board *board = power_board_instance) {
        values.model = vx4_power_board_get_model(board);
        vx4_power_board_load_warnings(board, &values.warnings);
        values.laser_valid = vx4_power_board_load_laser_reading(board, &values.laser_metres, &values.laser_age);
    }
    return values;
}

long state_number(const char *file, long missing)
{
    long value;
    return vx4_read_state_number(file, 14, &value) ? value : missing;
}

class document {
public:
    explicit document(json_object *object) : object_(object) {}

    void text(const char *key, const char *value) { add(key, json_object_new_string(value)); }
    void flag(const char *key, bool value) { add(key, json_object_new_boolean(value)); }
    void integer(const char *key, int64_t value) { add(key, json_object_new_int64(value)); }
    // The number as the format writes it. A value that is none (a reading
    // not delivered) is null: "nan" would make the whole document unreadable.
    void number(const char *key, const char *format, double value)
    {
        if (!std::isfinite(value)) {
            add(key, nullptr);
            return;
        }
        char digits[64];  // the widest float written "%.2f"
        snprintf(digits, sizeof digits, format, value);
        add(key, json_object_new_double_s(value, digits));
    }

private:
    // Every key is a literal, added once: json-c neither copies nor looks it up.
    void add(const char *key, json_object *value)
    {
        json_object_object_add_ex(object_, key, value, JSON_C_OBJECT_ADD_KEY_IS_NEW | JSON_C_OBJECT_KEY_IS_CONSTANT);
    }
    json_object *object_;
};

}  // namespace

int api_get_status(http_connection *connection, const char *, int64_t, void *)
{
    json_object *reply = json_object_new_object();
    if (!reply)
        return 0;
    vx4_supervisor_values s;
    vx4_load_supervisor_values(&s);
    board_values board = load_board();
    bool debug[API_WARNING_COUNT];
    memcpy(debug, api_state.debug_warnings, sizeof debug);

    document d(reply);
    d.text("version", s.version);
    d.flag("camera_signal", s.camera_signal > 0);
    d.text("usb_pcent", s.usb_used);
    d.flag("recording", s.recording > 0);
    d.flag("paused", s.paused > 0);
    d.flag("transferring", s.post_processing > 0);
    d.text("battery", s.battery);
    d.number("power", "%.1f", s.power);
    d.number("avr_temp", "%.1f", s.board_temperature);
    d.number("fpga_temp", "%.2f", s.fpga_temperature);
    d.number("lens_temp", "%.2f", s.lens_temperature);
    d.number("cpu_temp", "%.2f", s.cpu_temperature);
    d.text("channel_1", s.channel_1);
    d.text("channel_2", s.channel_2);
    d.integer("emmc_space", s.emmc_kb);
    d.integer("usb_spaceavail", s.usb_kb);
    d.text("ext_usb_status", s.ext_usb_status);
    d.number("up_temp", "%.1f", s.processor_temperature);
    static const char *const core_keys[] = {"core0_temp", "core1_temp", "core2_temp", "core3_temp"};
    for (int i = 0; i < 4; ++i)
        d.number(core_keys[i], "%.1f", s.core_temperature[i]);
    d.text("time_remaining", s.time_remaining);
    d.text("recording_time_remaining", s.emmc_time);
    d.text("storage_time_remaining", s.usb_time);
    d.flag("update_available", s.update_available > 0);
    d.text("update_status", s.update_status);

    char led_mode[16], led_intensity[24];
    vx4_load_api_led_status(led_mode, sizeof led_mode, led_intensity, sizeof led_intensity);
    d.text("led_intensity", led_intensity);
    d.text("led_mode", led_mode);
    d.text("camera_type", board.model == 0 ? "basic" : board.model == 1 ? "advanced" : "unknown");
    char mode[16];
    vx4_load_api_mode(api_state.exposure_mode, mode, sizeof mode);
    d.text("exposure_mode", mode);
    vx4_load_api_mode(api_state.focus_mode, mode, sizeof mode);
    d.text("focus_mode", mode);

    visca_camera *camera = visca_thread_data.camera;
    int focus = camera ? camera->focus_position.load() : -1;
    char far_limit[32], near_limit[32];
    vx4_load_depth_of_field(focus, far_limit, sizeof far_limit, near_limit, sizeof near_limit);
    d.integer("focus_position", focus);
    d.text("max_depth_of_field", far_limit);
    d.text("min_depth_of_field", near_limit);
    d.integer("focus_speed", state_number("/tmp/focus_speed", -1));
    d.integer("laser_age", board.laser_age);
    char laser[32] = "";
    if (board.laser_valid)
        vx4_format_distance(board.laser_metres, vx4_load_distance_unit(), laser, sizeof laser);
    d.text("laser_distance", laser);
    int zoom;
    char magnification[16];
    vx4_load_camera_zoom_values(&zoom, nullptr, magnification, sizeof magnification);
    d.integer("zoom_position", zoom);
    d.text("zoom_magnification", magnification);
    d.integer("zoom_speed", state_number("/tmp/zoom_speed", 0));
    d.text("motor_type", s.motor_type);

    const vx4_power_board_warnings &w = board.warnings;
    d.flag("crit_temp_warning", debug[API_WARNING_CRIT_TEMP] || s.hot > 0);
    d.flag("high_temp_warning", debug[API_WARNING_HIGH_TEMP] || s.warm > 0);
    d.flag("low_temp_warning", debug[API_WARNING_LOW_TEMP] || s.below_zero > 0);
    d.flag("high_press_warning", w.pressure != 0 || debug[API_WARNING_HIGH_PRESS]);
    d.flag("high_rh_warning", w.humidity != 0 || debug[API_WARNING_HIGH_RH]);
    d.flag("tilt_mtr_warning", w.tilt_motor != 0 || debug[API_WARNING_TILT_MTR]);
    d.flag("pan_mtr_warning", debug[API_WARNING_PAN_MTR] || (strcmp(s.motor_type, "pan") == 0 && w.motor2 != 0));
    d.flag("height_mtr_warning",
           debug[API_WARNING_HEIGHT_MTR] || (strcmp(s.motor_type, "height") == 0 && w.motor2 != 0));
    d.flag("ctrl_seat_warning", vx4_get_controller_seat_warning());
    d.text("battery_level", s.battery_level);
    d.text("tilt_angle", s.tilt_angle);
    d.text("direction", s.direction);
    d.text("height", s.height);
    return json_response_handler(connection, reply);
}
