#pragma once

#include "core/DateTime.h"

namespace orvane {

// Uptime (monotonic seconds) for everything per frame; wall-clock time only for samples and logs.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double uptime() const = 0;
    virtual WallTime now() const = 0;
};

// The real clocks: CLOCK_MONOTONIC (the camera's and the X server's time base) and the system clock.
class SystemClock : public Clock {
public:
    double uptime() const override;
    WallTime now() const override;
};

} // namespace orvane
