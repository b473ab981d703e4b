#pragma once

// Virtual time for engine tests: a manual clock and queues whose work runs only when the test
// advances time, in due order across all queues, so that "0.5 s later" is exact and instant.

#include "engine/Clock.h"
#include "engine/Queue.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

namespace orvane::test {

class ManualClock : public Clock {
  public:
    double uptime() const override { return uptime_; }
    WallTime now() const override { // December 2025 at uptime 0
        return WallTime{} + std::chrono::seconds(1'765'000'000) +
               std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(uptime_));
    }
    void set(double uptime) { uptime_ = uptime; }

  private:
    double uptime_ = 1000.0;
};

class ManualScheduler {
  public:
    explicit ManualScheduler(ManualClock& clock) : clock_(clock) {}
    void schedule(double due, Task task) { tasks_.emplace(std::make_pair(due, next_++), std::move(task)); }
    // Runs everything due now, including work that due work posts for now.
    void runDue() { advanceTo(clock_.uptime()); }
    void advance(double seconds) { advanceTo(clock_.uptime() + seconds); }
    // Moves time forward task by task, running each when its time comes.
    void advanceTo(double target) {
        while (!tasks_.empty() && tasks_.begin()->first.first <= target) {
            auto node = tasks_.extract(tasks_.begin());
            clock_.set(std::max(clock_.uptime(), node.key().first));
            node.mapped()();
        }
        clock_.set(std::max(clock_.uptime(), target));
    }
    std::size_t pending() const { return tasks_.size(); }
    ManualClock& clock() { return clock_; }

  private:
    ManualClock& clock_;
    std::map<std::pair<double, std::uint64_t>, Task> tasks_;
    std::uint64_t next_ = 0;
};

class ManualQueue : public MainQueue {
  public:
    explicit ManualQueue(ManualScheduler& scheduler) : scheduler_(scheduler) {}
    void post(Task task) override { postAfter(0, std::move(task)); }
    void postAfter(double seconds, Task task) override {
        scheduler_.schedule(scheduler_.clock().uptime() + seconds, std::move(task));
    }

  private:
    ManualScheduler& scheduler_;
};

} // namespace orvane::test
