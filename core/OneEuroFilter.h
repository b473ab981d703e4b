#pragma once

#include "core/HeadPose.h"

#include <optional>

namespace orvane {

// Adaptive low-pass filter for one value: smooths strongly while the value is still and raises its
// cut-off with the value's speed, so that quick movements follow with little lag.
class OneEuroFilter {
  public:
    double minCutoff;        // Hz, the cut-off while the value does not change
    double beta;             // Hz per value-unit per second of speed
    double derivativeCutoff; // Hz, fixed cut-off for the speed estimate

    OneEuroFilter(double minCutoff, double beta, double derivativeCutoff)
        : minCutoff(minCutoff), beta(beta), derivativeCutoff(derivativeCutoff) {}

    // Feeds the sample x taken at time t (seconds) and returns the smoothed value. A time that is
    // not later than the previous one (repeated, backwards or NaN) restarts the filter at x.
    // A NaN sample is not checked: it propagates until reset().
    double filter(double x, double t);

    // Smoothed rate of change, in value-units per second; 0 before the first sample.
    double speed() const;

    void reset();

  private:
    std::optional<double> value_;
    double derivative_ = 0;
    std::optional<double> lastTime_;
};

// One filter per head-pose field; the angles use the given parameters, the face box fixed ones.
class PoseFilter {
  public:
    OneEuroFilter yaw;
    OneEuroFilter pitch;
    OneEuroFilter roll;
    OneEuroFilter faceX;
    OneEuroFilter faceY;
    OneEuroFilter faceSize;

    PoseFilter(double minCutoff, double beta);

    // Smooths every field at the same time t, in field order.
    HeadPose filter(const HeadPose& pose, double t);

    // How fast the head turns, radians per second, from the yaw and pitch rates only.
    double angularSpeed() const;

    void reset();
};

} // namespace orvane
