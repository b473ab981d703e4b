#include "engine/Clock.h"

#include <time.h>

namespace orvane {

double SystemClock::uptime() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

WallTime SystemClock::now() const { return std::chrono::system_clock::now(); }

} // namespace orvane
