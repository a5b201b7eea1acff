// Frames per second over a window of the last 121 time stamps.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

class RateMeter {
public:
    // Adds a time stamp in nanoseconds; the rate once two stamps span time.
    std::optional<double> add(int64_t nanoseconds);
    void clear() { stamps_.clear(); }

    static constexpr size_t window = 121;

private:
    std::deque<int64_t> stamps_;
};

// Now, in nanoseconds, on a clock that setting the date does not move.
int64_t rate_clock_ns();
