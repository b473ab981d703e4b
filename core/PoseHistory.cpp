#include "core/PoseHistory.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvane {

void PoseHistory::append(const HeadPose& pose, double time) {
    entries_.push_back({pose, time});
    double cutoff = time - span_;
    auto firstKept = std::find_if(entries_.begin(), entries_.end(),
                                  [cutoff](const Entry& entry) { return entry.time >= cutoff; });
    // Nothing qualifies only with a negative span (or a NaN time): then nothing is removed.
    if (firstKept != entries_.end()) entries_.erase(entries_.begin(), firstKept);
}

namespace {

// Largest minus smallest; NaN as soon as any value is NaN, so that it never passes a spread test.
template <typename Field> double range(const std::vector<HeadPose>& poses, Field field) {
    double low = poses.front().*field;
    double high = low;
    for (const auto& pose : poses) {
        double value = pose.*field;
        if (std::isnan(value)) return value;
        low = std::min(low, value);
        high = std::max(high, value);
    }
    return high - low;
}

} // namespace

std::optional<HeadPose> PoseHistory::steadyPose(double before, double window, int minimumCount,
                                                double maximumSpread) const {
    double earliest = before - window;
    double latest = before + lateFrameSlack;
    std::vector<HeadPose> selected;
    for (const auto& entry : entries_)
        if (earliest <= entry.time && entry.time <= latest) selected.push_back(entry.pose);

    if (std::ptrdiff_t(selected.size()) < minimumCount || selected.empty()) return std::nullopt;
    if (range(selected, &HeadPose::yaw) <= maximumSpread &&
        range(selected, &HeadPose::pitch) <= maximumSpread)
        return HeadPose::mean(selected);
    return std::nullopt;
}

} // namespace orvane
