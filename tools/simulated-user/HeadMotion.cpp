#include "simulated-user/HeadMotion.h"

#include <cmath>

namespace orvane::simulated {

namespace {

constexpr double degree = M_PI / 180;

// A slow sway: the sum of two sines of unrelated periods.
double sway(double time, double amplitude, double period, double phase, double period2, double phase2) {
    return amplitude * (0.7 * std::sin(2 * M_PI * time / period + phase) +
                        0.3 * std::sin(2 * M_PI * time / period2 + phase2));
}

} // namespace

HeadMotion::HeadMotion(std::uint64_t seed) : rng_(seed * 2654435761u + 17) {
    for (double& phase : phases_)
        phase = rng_.uniform(0.0, 2 * M_PI);
}

// The exact step of a critically damped spring towards the target.
void HeadMotion::Axis::advance(double target, double seconds) {
    const double offset = value - target;
    const double decay = std::exp(-turnRate * seconds);
    const double carried = velocity + turnRate * offset;
    value = target + (offset + carried * seconds) * decay;
    velocity = (velocity - turnRate * carried * seconds) * decay;
}

void HeadMotion::lookTowards(const HeadTurn& target) {
    target_ = target;
    if (!started_) {
        yaw_ = {target.yaw, 0};
        pitch_ = {target.pitch, 0};
        roll_ = {target.roll, 0};
        started_ = true;
    }
}

headrender::HeadPlacement HeadMotion::at(double time, const headrender::HeadPlacement& resting) {
    const double seconds = lastTime_ ? std::max(time - *lastTime_, 0.0) : 0;
    lastTime_ = time;
    yaw_.advance(target_.yaw, seconds);
    pitch_.advance(target_.pitch, seconds);
    roll_.advance(target_.roll, seconds);

    headrender::HeadPlacement placement = resting;
    const double* p = phases_;
    placement.yaw = yaw_.value + degree * (sway(time, 0.8, 7.3, p[0], 3.1, p[1]) + rng_.gaussian(0.15));
    placement.pitch = pitch_.value + degree * (sway(time, 0.6, 6.1, p[2], 2.7, p[3]) + rng_.gaussian(0.15));
    placement.roll = roll_.value + degree * sway(time, 0.8, 9.7, p[4], 4.3, p[5]);
    placement.x += sway(time, 3, 8.3, p[6], 3.7, p[7]);
    placement.y += sway(time, 2, 6.7, p[7], 2.9, p[6]);
    placement.distance += sway(time, 6, 11.9, p[5], 5.3, p[4]);
    return placement;
}

} // namespace orvane::simulated
