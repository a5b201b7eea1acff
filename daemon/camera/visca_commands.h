// One function per camera command. Each builds the VISCA packet for the
// camera record it is given and queues it; none waits for the camera.
// Results: 0 queued, -1 when the camera is not connected, its queue is full
// or an argument cannot be framed.
#pragma once

#include <cstdint>

struct visca_camera;

// The camera's title character code of a byte ("a" and "A" give the same
// code; bytes without a code give the blank 0x1B).
uint8_t visca_title_code(unsigned char character);

// Power and inquiry
int visca_camera_power_on(visca_camera *camera);
int visca_camera_power_off(visca_camera *camera);
int visca_camera_version_inq(visca_camera *camera);
int visca_camera_initialize_lens(visca_camera *camera);
int visca_camera_initialize_camera(visca_camera *camera);

// Optical zoom
int visca_camera_zoom_stop(visca_camera *camera);
int visca_camera_zoom_tele(visca_camera *camera);
int visca_camera_zoom_wide(visca_camera *camera);
int visca_camera_zoom_tele_variable(visca_camera *camera, int speed);
int visca_camera_zoom_wide_variable(visca_camera *camera, int speed);
int visca_camera_zoom_direct(visca_camera *camera, int position);
int visca_camera_zoom_focus_direct(visca_camera *camera, int zoom_position, int focus_position);
int visca_camera_continuous_zoom_position_on(visca_camera *camera);
int visca_camera_continuous_zoom_position_off(visca_camera *camera);

// Digital zoom
int visca_camera_digital_zoom_on(visca_camera *camera);
int visca_camera_digital_zoom_off(visca_camera *camera);
int visca_camera_digital_zoom_stop(visca_camera *camera);
int visca_camera_digital_zoom_combine_mode(visca_camera *camera);
int visca_camera_digital_zoom_separate_mode(visca_camera *camera);
int visca_camera_digital_zoom_tele_variable(visca_camera *camera, int speed);
int visca_camera_digital_zoom_wide_variable(visca_camera *camera, int speed);
int visca_camera_digital_zoom_direct(visca_camera *camera, int position);

// Focus
int visca_camera_focus_stop(visca_camera *camera);
int visca_camera_focus_far(visca_camera *camera);
int visca_camera_focus_near(visca_camera *camera);
int visca_camera_focus_far_variable(visca_camera *camera, int speed);
int visca_camera_focus_near_variable(visca_camera *camera, int speed);
int visca_camera_focus_direct(visca_camera *camera, int position);
int visca_camera_focus_near_limit(visca_camera *camera, int position);
int visca_camera_auto_focus(visca_camera *camera);
int visca_camera_manual_focus(visca_camera *camera);
int visca_camera_auto_focus_trigger(visca_camera *camera);
int visca_camera_auto_focus_trigger_full_scan(visca_camera *camera);
int visca_camera_auto_focus_sensitivity_normal(visca_camera *camera);
int visca_camera_auto_focus_sensitivity_low(visca_camera *camera);
int visca_camera_auto_focus_mode_normal(visca_camera *camera);
int visca_camera_auto_focus_mode_interval(visca_camera *camera);
int visca_camera_auto_focus_mode_zoom_trigger(visca_camera *camera);
int visca_camera_ir_correction_standard(visca_camera *camera);
int visca_camera_ir_correction_ir_light(visca_camera *camera);
int visca_camera_continuous_focus_position_on(visca_camera *camera);
int visca_camera_continuous_focus_position_off(visca_camera *camera);

// White balance
int visca_camera_white_balance_auto(visca_camera *camera);
int visca_camera_white_balance_indoor(visca_camera *camera);
int visca_camera_white_balance_outdoor(visca_camera *camera);
int visca_camera_white_balance_one_push(visca_camera *camera);
int visca_camera_white_balance_auto_tracing(visca_camera *camera);
int visca_camera_white_balance_manual(visca_camera *camera);
int visca_camera_white_balance_outdoor_auto(visca_camera *camera);
int visca_camera_white_balance_sodium_lamp_auto(visca_camera *camera);
int visca_camera_white_balance_sodium_lamp(visca_camera *camera);
int visca_camera_white_balance_sodium_lamp_outdoor_auto(visca_camera *camera);
int visca_camera_white_balance_one_push_trigger(visca_camera *camera);

// Gains, iris and shutter
int visca_camera_red_gain_reset(visca_camera *camera);
int visca_camera_red_gain_up(visca_camera *camera);
int visca_camera_red_gain_down(visca_camera *camera);
int visca_camera_red_gain_direct(visca_camera *camera, int value);
int visca_camera_blue_gain_reset(visca_camera *camera);
int visca_camera_blue_gain_up(visca_camera *camera);
int visca_camera_blue_gain_down(visca_camera *camera);
int visca_camera_blue_gain_direct(visca_camera *camera, int value);
int visca_camera_gain_reset(visca_camera *camera);
int visca_camera_gain_up(visca_camera *camera);
int visca_camera_gain_down(visca_camera *camera);
int visca_camera_gain_direct(visca_camera *camera, int value);
int visca_camera_iris_reset(visca_camera *camera);
int visca_camera_iris_up(visca_camera *camera);
int visca_camera_iris_down(visca_camera *camera);
int visca_camera_iris_direct(visca_camera *camera, int value);
int visca_camera_shutter_reset(visca_camera *camera);
int visca_camera_shutter_up(visca_camera *camera);
int visca_camera_shutter_down(visca_camera *camera);
int visca_camera_shutter_direct(visca_camera *camera, int value);

// Exposure and image
int visca_camera_exposure_mode_auto(visca_camera *camera);
int visca_camera_exposure_mode_manual(visca_camera *camera);
int visca_camera_exposure_mode_shutter_priority(visca_camera *camera);
int visca_camera_exposure_mode_iris_priority(visca_camera *camera);
int visca_camera_picture_flip_on(visca_camera *camera);
int visca_camera_picture_flip_off(visca_camera *camera);
int visca_camera_stabilizer_on(visca_camera *camera);
int visca_camera_stabilizer_off(visca_camera *camera);
int visca_camera_high_sensitivity_on(visca_camera *camera);
int visca_camera_high_sensitivity_off(visca_camera *camera);
int visca_camera_icr_on(visca_camera *camera);
int visca_camera_icr_off(visca_camera *camera);
int visca_camera_auto_icr_on(visca_camera *camera);
int visca_camera_auto_icr_off(visca_camera *camera);
int visca_camera_defog_off(visca_camera *camera);
int visca_camera_defog_level(visca_camera *camera, int level);

// Titles: text lines the camera draws into its own video. A line's text goes
// out in two halves of ten characters (set_2, then set_3 with the text from
// its eleventh character).
int visca_camera_title_set_1(visca_camera *camera, int line, int position, int color, int blink);
int visca_camera_title_set_2(visca_camera *camera, int line, const char *text);
int visca_camera_title_set_3(visca_camera *camera, int line, const char *text);
int visca_camera_title_clear_all(visca_camera *camera);
int visca_camera_title_turn_all_on(visca_camera *camera);
int visca_camera_title_turn_all_off(visca_camera *camera);
int visca_camera_title_clear_line(visca_camera *camera, int line);
int visca_camera_title_turn_line_on(visca_camera *camera, int line);
int visca_camera_title_turn_line_off(visca_camera *camera, int line);
