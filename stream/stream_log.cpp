#include "stream_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform.h"

namespace {
std::mutex log_lock;
}

std::string stream_log_stamp(const timeval &time)
{
    tm utc;
    gmtime_r(&time.tv_sec, &utc);
    char day[64];
    strftime(day, sizeof day, "%Y-%m-%d %X", &utc);
    char stamp[96];
    snprintf(stamp, sizeof stamp, "%s.%06ld", day, static_cast<long>(time.tv_usec));
    return stamp;
}

void stream_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> message(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0)
        vsnprintf(message.data(), message.size(), format, args);
    va_end(args);

    timeval now;
    vx4_gettimeofday(&now);
    std::string stamp = stream_log_stamp(now);

    std::string line = stamp + " " + message.data() + "\n";
    std::lock_guard<std::mutex> hold(log_lock);
    // Opened per line so that the stick may be swapped or the file removed;
    // a line the file cannot take is dropped.
    vx4_append_file(vx4_path("/media/usb99/stream.log"), line);
}
