#pragma once

#include "engine/Queue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace orvane {

// How urgent a queue's work is; mapped to a nice value of its thread.
enum class QueuePriority { userInteractive, standard, utility, background };

// One named worker thread running posted tasks in order, and delayed tasks when due.
// Destruction runs the tasks already posted (so queued file writes complete) and drops delayed ones.
class SerialQueue : public TaskQueue {
public:
    SerialQueue(std::string label, QueuePriority priority);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
    // Blocks until every task posted before this call has run. Must not be called from the queue itself.
    void sync();

    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    using Clock = std::chrono::steady_clock;
    void run(QueuePriority priority);

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    std::multimap<Clock::time_point, Task> delayed_;
    bool stopping_ = false;
    std::thread thread_;
};

int niceValue(QueuePriority priority);

// The main thread's part served by a worker thread, for programs without an event loop (tools, measurements).
class ThreadMainQueue : public MainQueue {
public:
    void post(Task task) override { queue_.post(std::move(task)); }
    void postAfter(double seconds, Task task) override { queue_.postAfter(seconds, std::move(task)); }

private:
    SerialQueue queue_{"orvane.main", QueuePriority::standard};
};

} // namespace orvane
