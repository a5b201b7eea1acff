// Diagnostic trace: one text file on the internal stick, written line by line
// for the categories whose bit is set in a 32-bit mask. The mask lives in a
// small file next to the trace and is reloaded as soon as it is edited.
#pragma once

#include <cstdint>

enum trace_category {
    TRACE_SUPERVISOR = 0,
    TRACE_CAMERA_PING = 1,
    TRACE_CAMERA_STATUS = 2,
    TRACE_INTENSITY_LOOP = 3,
    TRACE_HTTP_API = 4,
    TRACE_POWER_BOARD = 5,
    TRACE_VISCA = 6,
    TRACE_FOCUS_LOOP = 7,
    TRACE_ZOOM_LOOP = 8,
    TRACE_RECORDER = 9,
    TRACE_INSTALLER = 10,
    TRACE_OSD = 11,
    TRACE_CAMERA = 12,
    TRACE_SETTINGS = 13,
    TRACE_LOGGER = 14,
    TRACE_HEIGHT_MOTOR = 15,
    TRACE_POWER_BOARD_REFRESH = 16,
    TRACE_HTTP_SERVER = 17,
    TRACE_MASK_WATCHER = 31,
};

// Rotates the previous trace, reads the mask, starts the mask watcher and
// opens the new trace. Called once, first of all.
void init_trace();

void trace(int category, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Hex and text dump of count bytes, 16 per line, under a "label:" line.
void trace_data(int category, const char *label, const void *bytes, int count);

// Writes the mask file; the watcher applies it a moment later. 0 or -1.
int set_trace_mask(uint32_t mask);
uint32_t get_trace_mask();
