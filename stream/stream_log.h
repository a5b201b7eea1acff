// The video server's log, /media/usb99/stream.log: one line per message,
// stamped with the UTC time to the microsecond. Safe from any thread.
#pragma once

#include <sys/time.h>

#include <string>

void stream_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "YYYY-MM-DD HH:MM:SS.uuuuuu" in UTC.
std::string stream_log_stamp(const timeval &time);
