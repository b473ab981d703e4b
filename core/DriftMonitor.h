#pragma once

#include <cstddef>
#include <deque>
#include <optional>

namespace orvane {

// Sliding window of right/wrong outcomes of the screen model, checked against clicks; reports when
// the share of right ones has fallen below a threshold.
class DriftMonitor {
  public:
    // window must not be negative; a negative one is treated as 0 (nothing is retained).
    DriftMonitor(int window, int minimumCount, double threshold);

    void record(bool predictionWasCorrect);
    void reset() { outcomes_.clear(); }

    // Share of correct outcomes; absent while none is stored.
    std::optional<double> accuracy() const;

    // At least minimumCount outcomes stored and accuracy strictly below the threshold.
    bool accuracyDropped() const;

    int window() const { return int(window_); }
    int minimumCount() const { return minimumCount_; }
    double threshold() const { return threshold_; }
    std::size_t size() const { return outcomes_.size(); }

  private:
    std::deque<bool> outcomes_; // oldest first
    std::size_t window_;
    int minimumCount_;
    double threshold_;
};

} // namespace orvane
