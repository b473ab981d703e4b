#include "core/OneEuroFilter.h"

#include <cmath>

namespace orvane {

namespace {

constexpr double twoPi = 6.283185307179586;

// Exponential smoothing factor for a cut-off frequency and a time step, written as the
// reciprocal of one plus time constant over dt (not dt / (dt + tau), which rounds differently).
double smoothingFactor(double cutoff, double dt) {
    double tau = 1.0 / (twoPi * cutoff);
    return 1.0 / (1.0 + tau / dt);
}

} // namespace

double OneEuroFilter::filter(double x, double t) {
    // Written as "not later" so that a NaN time restarts instead of poisoning the state.
    if (!value_ || !lastTime_ || !(t > *lastTime_)) {
        value_ = x;
        lastTime_ = t;
        derivative_ = 0;
        return x;
    }
    double dt = t - *lastTime_;
    double v = *value_;
    double dx = (x - v) / dt;
    derivative_ = derivative_ + smoothingFactor(derivativeCutoff, dt) * (dx - derivative_);
    double cutoff = minCutoff + beta * std::abs(derivative_);
    double smoothed = v + smoothingFactor(cutoff, dt) * (x - v);
    value_ = smoothed;
    lastTime_ = t;
    return smoothed;
}

double OneEuroFilter::speed() const {
    return std::abs(derivative_);
}

void OneEuroFilter::reset() {
    value_.reset();
    derivative_ = 0;
    lastTime_.reset();
}

PoseFilter::PoseFilter(double minCutoff, double beta)
    : yaw(minCutoff, beta, 1.0), pitch(minCutoff, beta, 1.0), roll(minCutoff, beta, 1.0),
      faceX(0.6, 2.0, 1.0), faceY(0.6, 2.0, 1.0), faceSize(0.4, 2.0, 1.0) {}

HeadPose PoseFilter::filter(const HeadPose& pose, double t) {
    HeadPose smoothed;
    smoothed.yaw = yaw.filter(pose.yaw, t);
    smoothed.pitch = pitch.filter(pose.pitch, t);
    smoothed.roll = roll.filter(pose.roll, t);
    smoothed.faceX = faceX.filter(pose.faceX, t);
    smoothed.faceY = faceY.filter(pose.faceY, t);
    smoothed.faceSize = faceSize.filter(pose.faceSize, t);
    return smoothed;
}

double PoseFilter::angularSpeed() const {
    // speed() is |derivative|, and squaring drops the sign anyway.
    double yawRate = yaw.speed();
    double pitchRate = pitch.speed();
    return std::sqrt(yawRate * yawRate + pitchRate * pitchRate);
}

void PoseFilter::reset() {
    yaw.reset();
    pitch.reset();
    roll.reset();
    faceX.reset();
    faceY.reset();
    faceSize.reset();
}

} // namespace orvane
