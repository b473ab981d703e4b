#include "core/DriftMonitor.h"

#include <algorithm>

namespace orvane {

DriftMonitor::DriftMonitor(int window, int minimumCount, double threshold)
    : window_(std::size_t(std::max(window, 0))), minimumCount_(minimumCount), threshold_(threshold) {}

void DriftMonitor::record(bool predictionWasCorrect) {
    outcomes_.push_back(predictionWasCorrect);
    if (outcomes_.size() > window_)
        outcomes_.erase(outcomes_.begin(), outcomes_.begin() + std::ptrdiff_t(outcomes_.size() - window_));
}

std::optional<double> DriftMonitor::accuracy() const {
    if (outcomes_.empty()) return std::nullopt;
    auto correct = std::count(outcomes_.begin(), outcomes_.end(), true);
    return double(correct) / double(outcomes_.size());
}

bool DriftMonitor::accuracyDropped() const {
    auto current = accuracy();
    return current && std::ptrdiff_t(outcomes_.size()) >= minimumCount_ && *current < threshold_;
}

} // namespace orvane
