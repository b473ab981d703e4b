#pragma once

// A main queue for tests that collects the tasks posted from any thread; the test runs them on its own
// thread, as the Qt event loop would on the main thread.

#include "engine/Queue.h"

#include <mutex>
#include <utility>
#include <vector>

namespace orvane::test {

class CollectingQueue : public MainQueue {
  public:
    void post(Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    // Delays do not matter to the tests that use this queue: the task is collected at once.
    void postAfter(double, Task task) override { post(std::move(task)); }

    // Runs the tasks collected so far; returns how many ran.
    std::size_t runAll() {
        std::vector<Task> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks)
            task();
        return tasks.size();
    }

  private:
    std::mutex mutex_;
    std::vector<Task> tasks_;
};

} // namespace orvane::test
