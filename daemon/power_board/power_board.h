// The power board: rails, lights, motors and sensors behind one SPI link.
//
// One object, owned by main and reached by the rest of the daemon through
// power_board_instance. Callers on any thread append command records to its
// queue; only the service thread talks to the board. Every 100 ms a refresh
// reads the whole status frame and turns it into readings and events.
//
// Calls upward. The board sits low in the daemon: it never includes the
// modules above it (logger, supervisor, on-screen display, camera link).
// What it must tell them, or ask of them, goes through the events below,
// function pointers that main hands over at init, wired to the real
// functions. A null member is simply not called. Tests pass their own
// recorder of events. Every module that must reach a higher one does the
// same: an events structure given at init, never an include.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "power_board/registers.h"

struct vx4_application;
struct vx4_power_board;

struct vx4_power_board_events {
    // Logger: 50-sample means of the internal pressure (mb) and humidity (%RH),
    // and the begin of each warning.
    void (*report_internal_pressure)(double sample);
    void (*report_internal_humidity)(double sample);
    void (*report_tilt_motor_warning)();
    void (*report_height_motor_warning)();
    void (*report_pan_motor_warning)();
    void (*report_high_pressure_warning)();
    void (*report_high_humidity_warning)();
    // Supervisor: the board's own shutdown request (mode 3), and the battery
    // type that chooses the level thresholds ("Indipro" or another text).
    void (*trigger_shutdown)(int mode);
    void (*load_battery_type)(char *buffer, size_t size);
    // On-screen display: the laser reading in metres, and item 6 that shows it.
    void (*set_osd_laser_reading)(float metres);
    void (*set_osd_item)(int item, int value, int unused);
    int (*get_osd_item)(int item);
    // Camera link: true while the camera's firmware is being updated (the
    // camera rail then stays on).
    bool (*camera_update_active)();
};

enum vx4_laser_mode {
    VX4_LASER_OFF = 0,
    VX4_LASER_MANUAL = 1,   // one reading on request
    VX4_LASER_PICTURE = 2,  // one reading on request, for a picture
    VX4_LASER_AUTO = 3,     // reads all the time
};

// Published by main once the board is initialised; null before and after.
extern std::atomic<vx4_power_board *> power_board_instance;

// Battery thresholds t0 > t1 > t2 > t3 in volts.
extern const float vx4_power_board_indepro_thresholds[4];
extern const float vx4_power_board_dewalt_thresholds[4];

// events may be null (nothing is reported); it is copied.
int vx4_power_board_init(vx4_power_board *board, vx4_application *application, bool advanced,
                         const vx4_power_board_events *events);
int vx4_power_board_start_service(vx4_power_board *board);
void vx4_power_board_stop_service(vx4_power_board *board);
void vx4_power_board_destroy(vx4_power_board *board);

void vx4_power_board_suspend_refresh(vx4_power_board *board);
void vx4_power_board_resume_refresh(vx4_power_board *board);
void vx4_power_board_trigger_refresh(vx4_power_board *board);

int vx4_power_board_signal_shutdown(vx4_power_board *board);

int vx4_power_board_enable_camera_power(vx4_power_board *board);
int vx4_power_board_disable_camera_power(vx4_power_board *board);
int vx4_power_board_enable_laser_power(vx4_power_board *board);
int vx4_power_board_disable_laser_power(vx4_power_board *board);
// Mask or pwm below 0 keeps the value the board holds when the write goes out.
int vx4_power_board_enable_led_power(vx4_power_board *board, int mask, int pwm);

int vx4_power_board_set_laser_mode(vx4_power_board *board, int mode);
void vx4_power_board_set_laser_speed(vx4_power_board *board, int speed);
int vx4_power_board_trigger_laser_reading(vx4_power_board *board);
int vx4_power_board_clear_laser_reading(vx4_power_board *board);
int vx4_power_board_get_laser_mode(vx4_power_board *board);
int vx4_power_board_get_laser_speed(vx4_power_board *board);
// The last valid distance in metres and its age in refreshes; returns 1 while
// the reading is shown as valid, else 0.
int vx4_power_board_load_laser_reading(vx4_power_board *board, double *metres, int *age);

int vx4_power_board_get_board_type(vx4_power_board *board);
// 1 for the advanced model, 0 for the basic one.
int vx4_power_board_get_model(vx4_power_board *board);
// The warnings the readings raise, each non-zero while it lasts: internal
// pressure, internal humidity, tilt motor and second motor over-current.
struct vx4_power_board_warnings {
    int pressure;
    int humidity;
    int tilt_motor;
    int motor2;
};
void vx4_power_board_load_warnings(vx4_power_board *board, vx4_power_board_warnings *warnings);
// "25%" to "100%", or "?" before the first evaluation.
void vx4_power_board_load_battery_level(vx4_power_board *board, char *buffer, size_t size);

// Motors. Motor 1 is the tilt motor, motor 2 the second motor (pan drive or
// mast). A run lasts duration milliseconds at pwm (-100 to 100, scaled to
// 60 % on boards that report status bit 0). 0 when the run is queued; 1
// when it is refused but the press still acted: a press while the mast
// moves cancels the move, and a motor-2 press on a mast that is not homed
// asks for homing; -1 when refused with no effect at all (over-current, or
// a tilt press while homing runs); -2 for another motor number.
int vx4_power_board_start_motor(vx4_power_board *board, int motor, int8_t pwm, uint16_t duration);
// Stops both motors, and cancels a mast move. -1 while homing is asked for
// and the mast moves or is not homed.
int vx4_power_board_stop_motor(vx4_power_board *board);
// Homes the mast: 0, or -1 when the board reports no height motor.
int vx4_power_board_home_height(vx4_power_board *board);
// Moves a homed, idle mast to the preset height in inches (6 homes it).
// Presets less than half an inch away, or beyond the mast's travel, are
// only remembered. Returns 0.
int vx4_power_board_set_height_preset(vx4_power_board *board, int preset);
int vx4_power_board_get_height_preset(vx4_power_board *board);
// Whether the height extension is fitted; it adds 24 inches to the shown height.
int vx4_power_board_set_height_extension(vx4_power_board *board, int flag);
int vx4_power_board_get_height_extension(vx4_power_board *board);
// The mast's height for display: "30.0 in" or "76.2 cm" by the units
// setting, "HOMING", "SETTING" during a move, or empty without a height
// motor. Cut to the buffer and always terminated in its last byte.
void vx4_power_board_load_height(vx4_power_board *board, char *buffer, size_t size);

// A raw register write: 0, -2 for a register above 127 or a count outside
// 1 to 16 (nothing queued), -1 when no memory.
int vx4_power_board_issue_write(vx4_power_board *board, int reg, const uint8_t *data, int count);
// "height", "pan" or "none" for the board's motor type register.
const char *vx4_power_board_motor_type_text(uint8_t type);
// Copies the decoded block under the register lock.
void vx4_power_board_load_registers(vx4_power_board *board, vx4_power_board_registers *registers);
uint8_t vx4_power_board_get_read_command(vx4_power_board *board);
void vx4_power_board_set_read_command(vx4_power_board *board, uint8_t command);
// Test aid: received frames are zeroed before the frame check.
void vx4_power_board_set_zero_buffer(vx4_power_board *board, int flag);

// Firmware update from the external stick (firmware_update_*.hex, the last
// name in byte order). An update is possible when the board reports status
// bit 0 or its last frame was all zero (a board that does not answer can
// still be reprogrammed).
// 1 with the image's path (cut to the buffer, terminated) when possible and
// an image is there, else 0 and "". A null buffer only asks.
int vx4_power_board_get_update_available(vx4_power_board *board, char *buffer, size_t size);
// The image's version ("1.4" for firmware_update_1.4.hex); "" when none.
void vx4_power_board_load_update_version(vx4_power_board *board, char *buffer, size_t size);
// Queues an update: 1, or 0 (nothing queued) when none is possible. done is
// called on the update thread when the update has ended.
int vx4_power_board_trigger_firmware_update(vx4_power_board *board, void (*done)());
// The three status texts ("0 of 0", "not active", "not active" at rest); a
// null board reads as at rest.
void vx4_power_board_load_update_status(vx4_power_board *board, char *progress, size_t progress_size,
                                        char *stage, size_t stage_size, char *detail, size_t detail_size);
