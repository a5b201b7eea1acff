// The recording's descriptive texts: title, operator id and flow direction,
// kept in the settings store, and the file name of the next recording (not
// kept). The on-screen display shows the first three; recordings carry them.
#pragma once

#include <cstddef>

// Loads the three kept texts; the file name starts as the title.
void vx4_init_recorder_texts();

// Copy the text into the caller's buffer, at most length - 1 characters,
// always terminated (nothing for a length of 0).
void vx4_load_recorder_title(char *buffer, size_t length);
void vx4_load_recorder_flow_direction(char *buffer, size_t length);
void vx4_load_recorder_operator_id(char *buffer, size_t length);
void vx4_load_recorder_filename(char *buffer, size_t length);

// Store the text, cut to the field (80 characters; 31 for the flow
// direction), and keep it in the settings store (not the file name).
void vx4_set_recorder_title(const char *text);
void vx4_set_recorder_operator_id(const char *text);
void vx4_set_recorder_flow_direction(const char *text);
void vx4_set_recorder_filename(const char *text);
