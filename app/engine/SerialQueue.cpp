#include "engine/SerialQueue.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>

namespace orvane {

int niceValue(QueuePriority priority) {
    switch (priority) {
    case QueuePriority::userInteractive:
    case QueuePriority::standard: return 0;
    case QueuePriority::utility: return 5;
    case QueuePriority::background: return 10;
    }
    return 0;
}

SerialQueue::SerialQueue(std::string label, QueuePriority priority) : label_(std::move(label)) {
    thread_ = std::thread([this, priority] { run(priority); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SerialQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::postAfter(double seconds, Task task) {
    auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(due, std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::sync() {
    std::promise<void> done;
    post([&done] { done.set_value(); });
    done.get_future().wait();
}

void SerialQueue::run(QueuePriority priority) {
    // Linux names threads with at most 15 characters; the label's start is the useful part.
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    // On Linux a nice value applies to one thread when given its thread id.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), niceValue(priority));

    std::unique_lock lock(mutex_);
    for (;;) {
        auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            tasks_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (!tasks_.empty()) {
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (stopping_) return;
        if (delayed_.empty())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, delayed_.begin()->first);
    }
}

} // namespace orvane
