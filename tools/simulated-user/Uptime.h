#pragma once

#include <ctime>

namespace orvane::simulated {

// Seconds of CLOCK_MONOTONIC: the clock the program under test stamps its camera frames and decisions with.
inline double uptime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace orvane::simulated
