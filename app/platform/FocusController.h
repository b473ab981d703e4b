#pragma once

#include "engine/Clock.h"
#include "engine/DisplayInfo.h"
#include "engine/Log.h"
#include "engine/Platform.h"
#include "platform/WindowTracker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef union _XEvent XEvent;

namespace orvane {

class X11Thread;

// Moves keyboard focus to a window on another display and, when asked, brings the pointer along: through the
// window manager's activation request, else by raising the window and setting the input focus directly;
// then checks that focus arrived, retries once, and reports which way worked. Focus is confirmed as soon as
// the window manager announces the new active window; the timed checks stand in where it announces nothing.
class FocusController {
  public:
    using Completion = std::function<void(FocusMethod method, bool ok)>;
    // When the checks look whether focus arrived, in seconds after the call.
    static constexpr double firstCheck = 0.12, secondCheck = 0.32, finalCheck = 0.57;
    // How far inside a display's edges the pointer lands.
    static constexpr double pointerInset = 2;

    FocusController(X11Thread& thread, Log& log, const Clock& clock);
    // Call before the thread ends; a focus change in flight then reports nothing.
    ~FocusController();
    FocusController(const FocusController&) = delete;
    FocusController& operator=(const FocusController&) = delete;

    // On the X11 thread. The completion runs once, on that thread, with the method that finally applied and
    // whether the window's program was confirmed to hold focus. Without a window only the pointer moves.
    void focus(const std::optional<WindowTracker::Window>& window, const DisplayInfo& display,
               const std::vector<DisplayInfo>& displays, bool movePointer, Completion completion);

    // Uptime of the last pointer warp, 0 before the first; readable from any thread.
    double lastWarp() const { return lastWarp_.load(); }
    // On the X11 thread: where the pointer was on each display when a warp took it away.
    const std::map<std::string, Point>& pointerPositions() const { return pointerPositions_; }

  private:
    struct Attempt;
    struct Connection;
    void warpPointer(const DisplayInfo& display, const std::optional<WindowTracker::Window>& window,
                     const std::vector<DisplayInfo>& displays);
    bool focusWithWindowManager(const WindowTracker::Window& window);
    void focusDirectly(const WindowTracker::Window& window);
    bool confirmed(const WindowTracker::Window& window);
    unsigned long serverTime();
    void check(std::shared_ptr<Attempt> attempt, int step);
    bool activeWindowChanged(XEvent& event);
    void report(Attempt& attempt, FocusMethod method, bool ok);

    X11Thread& thread_;
    Logger log_;
    const Clock& clock_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::map<std::string, Point> pointerPositions_;
    std::atomic<double> lastWarp_{0};
    std::unique_ptr<Connection> connection_; // atoms and the time-stamp window, made on first use
    std::weak_ptr<Attempt> pending_;         // the attempt the window manager's announcement may confirm
    std::uint64_t handler_ = 0;
};

} // namespace orvane
