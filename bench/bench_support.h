// Small helpers the benchmark programs share.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vx4bench {

inline double monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// The value at share (0 to 1) of the sorted values, to the nearest rank.
inline double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * (values.size() - 1) + 0.5))];
}

// The text of --name=text among the arguments, or unset.
inline std::string option(int argc, char **argv, const char *name, const char *unset)
{
    std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return argv[i] + prefix.size();
    return unset;
}

// The number of --name=number, or unset.
inline long number_option(int argc, char **argv, const char *name, long unset)
{
    std::string text = option(argc, argv, name, "");
    return text.empty() ? unset : strtol(text.c_str(), nullptr, 10);
}

}  // namespace vx4bench
