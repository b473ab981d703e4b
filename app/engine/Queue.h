#pragma once

#include <functional>

namespace orvane {

using Task = std::function<void()>;

// Where work is posted: a serial queue, the main thread, or a manual queue in tests.
class TaskQueue {
public:
    virtual ~TaskQueue() = default;
    // Runs the task after every task posted before it.
    virtual void post(Task task) = 0;
    // Runs the task once the delay (seconds of uptime) has passed.
    virtual void postAfter(double seconds, Task task) = 0;
};

// The engine's handle to the main thread: the Qt event loop in the program, a manual queue in tests.
class MainQueue : public TaskQueue {};

} // namespace orvane
