// What the logger's own files share: the statistics records, the stored
// record's format and the small file helpers. Included by the logger's
// sources, its tests and its fuzzer only.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "logger/logger.h"

// Measured quantities, in the order they are processed, stored and reported.
enum logger_quantity {
    LOGGER_UP_TEMPERATURE,
    LOGGER_CAMERA_CPU_TEMPERATURE,
    LOGGER_CAMERA_FPGA_TEMPERATURE,
    LOGGER_CAMERA_LENS_TEMPERATURE,
    LOGGER_PSB_TEMPERATURE,
    LOGGER_INTERNAL_HUMIDITY,
    LOGGER_INTERNAL_PRESSURE,
    LOGGER_QUANTITY_COUNT
};

enum logger_warning {
    LOGGER_HEIGHT_MOTOR_WARNING,
    LOGGER_TILT_MOTOR_WARNING,
    LOGGER_PAN_MOTOR_WARNING,
    LOGGER_HIGH_TEMPERATURE_WARNING,
    LOGGER_HIGH_PRESSURE_WARNING,
    LOGGER_HIGH_HUMIDITY_WARNING,
    LOGGER_WARNING_COUNT
};

struct logger_quantity_info {
    const char *stem;     // "camera_cpu"
    const char *measure;  // "temperature", "humidity" or "pressure"
    bool counts_invalid;  // the camera's readings can be invalid
};
extern const logger_quantity_info logger_quantities[LOGGER_QUANTITY_COUNT];
extern const char *const logger_warning_names[LOGGER_WARNING_COUNT];  // "height_motor"

// A count of 0 means that max and min hold no value yet.
struct logger_present_quantity {
    double max, min, avg_acc;
    uint32_t avg_count;  // at most 65535
    uint32_t invalid;
};

struct logger_present {
    uint32_t minutes;
    uint32_t warnings[LOGGER_WARNING_COUNT];
    logger_present_quantity quantities[LOGGER_QUANTITY_COUNT];
};

struct logger_history_quantity {
    double max, min, avg_acc;
    uint64_t avg_count;
    uint32_t invalid;
};

struct logger_history {
    int32_t previous_id;
    uint32_t current_id;
    uint64_t total_runtime;
    uint32_t session_count;
    uint32_t warnings[LOGGER_WARNING_COUNT];
    logger_history_quantity quantities[LOGGER_QUANTITY_COUNT];
};

// The stored form. A text counts when it is one JSON object with a nonzero
// "values_valid"; missing keys leave their fields 0, numbers that are not
// finite read as 0.
bool logger_parse_history(const char *text, size_t length, logger_history *history);
// The record as the next store writes it: previous_id is the record's
// current_id, current_id one more. Null when a value cannot be made.
json_object *logger_build_history(const logger_history &history);

// The timer's minute: folds the samples at once and leaves the store to the
// logger's writer thread, so that a slow flash never holds up the main loop.
void logger_minute_tick();
// Copies of either set (null: not wanted) under the logger lock, for the reports.
void logger_snapshot(logger_present *present, logger_history *history);
// The callbacks given at init (members may be null).
vx4_logger_callbacks logger_callbacks();
// Starts the copy and delete workers once; 0 or the pthread error.
int logger_start_workers();
// Files in shared or removable places (read them with vx4_read_small_file).
// Replaces the file by write-then-rename and flushes the file and its folder:
// only then is the write done. 0, or -1 when any step failed.
int logger_replace_file(const std::string &folder, const std::string &name, const std::string &text);
// Removes the file and flushes its folder. 0, or -1 (a missing file is 0).
int logger_remove_file(const std::string &folder, const std::string &name);
// Creates a new file (never through a link, never over an existing one) and
// writes and flushes it; a failed write leaves no file. 0, -1, or 1 when the
// name exists already.
int logger_create_file(const std::string &path, const std::string &text);
