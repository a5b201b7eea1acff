// The logger: the head's service record. Present statistics cover this run and
// live in memory; historical statistics cover the unit's life and are stored
// once a minute, alternately in two files chained by their ids, so that a
// power cut during a write never loses the last complete record.
//
// Other modules report samples and warnings as they measure them; the minute
// roll-up on the main loop folds the samples into both sets. The readings
// report and report files on the internal stick are made from both sets.
//
// The logger sits below the supervisor but reports the supervisor's identity
// and version texts: main hands them over as callbacks at init (null members
// mean "not wired" and give the texts the supervisor itself gives when it
// does not know: "unknown", "00.00", "" and "? V"; an unwired stick counts as
// not mounted).
#pragma once

#include <json-c/json.h>

#include <cstddef>

struct vx4_logger_callbacks {
    void (*load_model_name)(char *buffer, size_t size);
    void (*load_serial_number)(char *buffer, size_t size);
    void (*load_firmware_version)(char *buffer, size_t size);
    void (*load_camera_version)(char *buffer, size_t size);
    void (*load_battery_voltage)(char *buffer, size_t size);
    // True while the external stick is mounted and no eject is pending.
    bool (*external_usb_mounted)();
};

// Creates the logger's folders, loads the historical record, starts the
// one-minute roll-up on the default event loop and the copy and delete
// workers. 0, or the error of a worker that could not be started. A second
// call reloads the statistics from the files (the workers and the timer are
// started once).
int vx4_init_logger(const vx4_logger_callbacks *callbacks);

// Samples, in °C, % and mbar as measured. A sample that is not a finite
// number is ignored.
void vx4_report_logger_up_temperature(double sample);
void vx4_report_logger_camera_cpu_temperature(double sample);
void vx4_report_logger_camera_fpga_temperature(double sample);
void vx4_report_logger_camera_lens_temperature(double sample);
void vx4_report_logger_psb_temperature(double sample);
void vx4_report_logger_internal_humidity(double sample);
void vx4_report_logger_internal_pressure(double sample);

void vx4_report_logger_height_motor_warning();
void vx4_report_logger_tilt_motor_warning();
void vx4_report_logger_pan_motor_warning();
void vx4_report_logger_high_temperature_warning();
void vx4_report_logger_high_pressure_warning();
void vx4_report_logger_high_humidity_warning();

void vx4_report_logger_invalid_camera_cpu_temperature();
void vx4_report_logger_invalid_camera_fpga_temperature();
void vx4_report_logger_invalid_camera_lens_temperature();

// The minute's work, done at once: folds the samples into both sets and
// stores the historical record. The one-minute timer does the same, with the
// store on the logger's own writer thread.
void vx4_roll_up_logger();

// Zeroes the present and historical statistics and stores the zero record
// at once. 0.
int vx4_reset_logger();
// Resets when the external stick holds the reset marker file.
void vx4_check_logger_reset();

// The readings report: 72 display texts, present values first. A new object,
// or null when it cannot be made.
json_object *vx4_get_logger_current_readings();

// Report files on the internal stick.
// True for a name that stays inside its store: not empty, no '/', not "." or "..".
bool vx4_is_logger_file_name(const char *name);
// Writes the readings report to a new file. 0 or -1.
int vx4_create_logger_file();
// The content of a report file: an empty object when there is no such file
// (or the name is refused), null when it does not parse.
json_object *vx4_get_logger_file_readings(const char *name);
// One entry per report file with where it is and how far its copy has come.
json_object *vx4_get_logger_files();
// Hand an array of {"name": ...} objects (or plain names) to the copy or
// delete worker. The owner document is released in every case. 0 accepted,
// 1 busy with an earlier request, -1 refused (no array, a name that leaves
// its store, or for a copy no external stick).
int vx4_copy_logger_files(json_object *files, json_object *owner);
int vx4_delete_logger_files(json_object *files, json_object *owner);
