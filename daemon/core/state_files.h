// The small state files under /tmp through which the API, the motion loops,
// the status document and the supervisor share values such as the LED
// intensity, the zoom and focus speeds and the modes: plain text, no line end.
#pragma once

#include <cstddef>

// Read and written through the platform layer's safe helpers. A write
// replaces the file whole, so a reader never sees it half written and a link
// at the name is replaced, not followed.
// 0, or -1 when it could not be written (callers skip it).
int vx4_write_state_file(const char *absolute, const char *text);
int vx4_write_state_number(const char *absolute, int value);
// The first line of the file, at most size - 1 characters. false when the
// file cannot be read (missing, not a regular file, over 4 KiB) or is empty.
bool vx4_read_state_line(const char *absolute, char *buffer, size_t size);
// The first line (at most max_characters) read as a base-10 number.
bool vx4_read_state_number(const char *absolute, size_t max_characters, long *value);
