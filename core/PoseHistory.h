#pragma once

#include "core/HeadPose.h"

#include <cstddef>
#include <deque>
#include <optional>

namespace orvane {

// The poses of the last few seconds, oldest first, so that a click can be paired with the pose the
// head held just before it. Times are on the caller's clock, in seconds.
class PoseHistory {
  public:
    struct Entry {
        HeadPose pose;
        double time = 0;

        bool operator==(const Entry&) const = default;
    };

    // A frame stamped this much after the event still counts as "before" it.
    static constexpr double lateFrameSlack = 0.02;

    explicit PoseHistory(double span) : span_(span) {}

    // Adds a pose and drops the leading entries older than `span` before `time`. Entries are
    // expected in time order; only the leading run is examined.
    void append(const HeadPose& pose, double time);
    void removeAll() { entries_.clear(); }

    // Mean pose of the entries in [before - window, before + lateFrameSlack], provided there are at
    // least minimumCount of them and neither yaw nor pitch ranges over more than maximumSpread.
    // A NaN yaw or pitch among them counts as unsteady.
    std::optional<HeadPose> steadyPose(double before, double window, int minimumCount,
                                       double maximumSpread) const;

    double span() const { return span_; }
    std::size_t size() const { return entries_.size(); }
    const std::deque<Entry>& entries() const { return entries_; }

  private:
    std::deque<Entry> entries_;
    double span_;
};

} // namespace orvane
