#include "rate_meter.h"

#include <chrono>

std::optional<double> RateMeter::add(int64_t nanoseconds)
{
    if (stamps_.size() >= window)
        stamps_.pop_front();
    stamps_.push_back(nanoseconds);
    int64_t span = stamps_.back() - stamps_.front();
    if (stamps_.size() < 2 || span <= 0)
        return std::nullopt;
    return static_cast<double>(stamps_.size() - 1) * 1000.0 / (static_cast<double>(span) * 1e-6);
}

int64_t rate_clock_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
