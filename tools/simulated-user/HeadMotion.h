#pragma once

#include "headrender/HeadRenderer.h"
#include "simulated-user/Desk.h"

#include <cmath>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>

namespace orvane::simulated {

// How a person's head moves towards where they look: a smooth turn (about 0.4 s to settle, no
// overshoot), then a hold that is never quite still: a slow sway of about a degree and a few
// millimetres, and a faint tremor. The same seed gives the same motion.
class HeadMotion {
  public:
    // Angular frequency of the turn (critically damped): 95 % of a turn is made in 0.43 s.
    static constexpr double turnRate = 11;

    explicit HeadMotion(std::uint64_t seed);

    // Turns towards a new target from wherever the head is; the first target is taken at once.
    void lookTowards(const HeadTurn& target);
    const HeadTurn& target() const { return target_; }
    // The turn has come within this many radians of its target, in yaw and in pitch (sway aside).
    bool arrived(double within) const {
        return std::abs(yaw_.value - target_.yaw) < within && std::abs(pitch_.value - target_.pitch) < within;
    }

    // The head at `time` (seconds; calls come in increasing time): the resting placement moved by the
    // sway and turned as far as the turn has come.
    headrender::HeadPlacement at(double time, const headrender::HeadPlacement& resting);

  private:
    struct Axis {
        double value = 0, velocity = 0;
        void advance(double target, double seconds);
    };

    HeadTurn target_;
    bool started_ = false;
    std::optional<double> lastTime_;
    Axis yaw_, pitch_, roll_;
    cv::RNG rng_;
    double phases_[8] = {};
};

} // namespace orvane::simulated
