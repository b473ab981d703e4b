#pragma once

#include "engine/Queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct _XDisplay Display;
typedef union _XEvent XEvent;

namespace orvane {

// The thread that owns the program's X connection for windows, focus and input ("orvane.accessibility").
// It runs one loop over the connection's events, the tasks posted to it and its timers, so that slow
// X round trips never block the user interface or the camera. The connection is used on this thread only.
class X11Thread : public TaskQueue {
  public:
    // Any X event of the connection; return true when the event was yours, so later handlers skip it.
    using EventHandler = std::function<bool(XEvent& event)>;
    using HandlerID = std::uint64_t;

    // Opens its own connection to the display (DISPLAY when empty) and returns once the thread runs.
    // Without an X server the thread still runs its tasks and display() is null.
    explicit X11Thread(std::string name = "orvane.accessibility", std::string displayName = {});
    // Runs the tasks already posted, drops the timers, closes the connection.
    ~X11Thread() override;
    X11Thread(const X11Thread&) = delete;
    X11Thread& operator=(const X11Thread&) = delete;

    // The task runs on the thread after every task posted before it.
    void perform(Task task);
    // The task runs on the thread once the delay (seconds) has passed; dropped if the thread ends first.
    void performAfter(double seconds, Task task);
    void post(Task task) override { perform(std::move(task)); }
    void postAfter(double seconds, Task task) override { performAfter(seconds, std::move(task)); }

    // Blocks until every task posted before this call has run. Not from the thread itself.
    void sync();
    // Runs the function on the thread and returns its result. Not from the thread itself.
    template <typename F> auto call(F function) -> decltype(function());

    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    // The thread's connection, on the thread only; null when no X server could be reached.
    Display* display() const { return display_; }

    // Handlers see every event read from the connection, in the order they were added; a generic event
    // (XInput 2) arrives with its cookie data already fetched. Callable from any thread; the handler runs
    // on the thread.
    HandlerID addEventHandler(EventHandler handler);
    // Once this returns, the handler no longer runs (it waits for the thread when called elsewhere).
    void removeEventHandler(HandlerID id);
    // Adds to the events this connection selects on the root window (one mask per connection, so every
    // component adds its part here instead of calling XSelectInput on the root). On the thread only.
    void addRootEventMask(long mask);

    const std::string& name() const { return name_; }

  private:
    using Clock = std::chrono::steady_clock;
    void run();
    void runTasks();
    void dispatchEvents();
    void wake();

    std::string name_;
    Display* display_ = nullptr;
    std::atomic<bool> broken_{false}; // the X server went away
    int wakeFd_ = -1;

    std::mutex mutex_;
    std::vector<Task> tasks_;
    std::multimap<Clock::time_point, Task> timers_;
    bool stopping_ = false;

    // Changed and read on the thread only.
    std::vector<std::pair<HandlerID, std::shared_ptr<EventHandler>>> handlers_;
    std::atomic<HandlerID> nextHandler_{1};

    std::thread thread_;
};

// While alive, X protocol errors raised on this thread for this connection are recorded here instead of
// reaching the default handler (which would end the process). Traps nest; the innermost one records.
// Errors of one-way requests arrive later: failed() waits for them, and so does the destructor.
// Errors outside any trap are printed as one line and ignored: a window that vanished mid-query is an
// absent answer, never a crash.
class X11ErrorTrap {
  public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Waits until the server has handled every earlier request; true when one of them failed.
    bool failed();
    // The error code of the last failure seen so far (without waiting), if any.
    std::optional<int> lastError() const { return error_; }

    // Installs the process-wide Xlib error handler once; done by every trap and by X11Thread.
    static void installHandler();

  private:
    friend bool recordXError(Display* display, int code);
    Display* display_;
    X11ErrorTrap* outer_;
    std::optional<int> error_;
};

template <typename F> auto X11Thread::call(F function) -> decltype(function()) {
    using Result = decltype(function());
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    if constexpr (std::is_void_v<Result>) {
        perform([&] {
            function();
            std::lock_guard lock(m);
            finished = true;
            done.notify_one();
        });
        std::unique_lock lock(m);
        done.wait(lock, [&] { return finished; });
    } else {
        std::optional<Result> result;
        perform([&] {
            Result value = function();
            std::lock_guard lock(m);
            result.emplace(std::move(value));
            finished = true;
            done.notify_one();
        });
        std::unique_lock lock(m);
        done.wait(lock, [&] { return finished; });
        return std::move(*result);
    }
}

} // namespace orvane
