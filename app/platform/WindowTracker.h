#pragma once

#include "engine/DisplayInfo.h"
#include "engine/Log.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef union _XEvent XEvent;

namespace orvane {

class X11Thread;
namespace x11 {
struct Atoms;
struct WindowFacts;
} // namespace x11

// Follows keyboard focus across other programs' windows (the window manager's _NET_ACTIVE_WINDOW) and keeps
// the windows that held it, most recent first, so that a switch lands on the window the user last worked in
// on a display rather than on whatever lies in front there. Its state lives on the X11 thread.
class WindowTracker {
  public:
    // One window of the window list, front to back.
    struct VisibleWindow {
        std::uint32_t windowID = 0;
        std::int32_t pid = 0;
        Rect frame;
        bool operator==(const VisibleWindow&) const = default;
    };
    // The tracker's answer and the target of a focus change.
    struct Window {
        std::int32_t pid = 0;
        std::uint32_t windowID = 0;
        Rect frame;
        bool operator==(const Window&) const = default;
    };
    struct RecentWindow {
        std::int32_t pid = 0;
        std::uint32_t windowID = 0;
        bool operator==(const RecentWindow&) const = default;
    };
    static constexpr std::size_t recentLimit = 64;
    // Windows smaller than this are not switch targets (tool strips, splash remnants).
    static constexpr double minimumWidth = 100, minimumHeight = 60;

    // Observes nothing until start(). ownPID's windows are never recorded or answered.
    WindowTracker(X11Thread& thread, Log& log, std::int32_t ownPID);
    // Call before the thread ends; waits for the thread unless called on it.
    ~WindowTracker();
    WindowTracker(const WindowTracker&) = delete;
    WindowTracker& operator=(const WindowTracker&) = delete;

    // Begins following focus (from any thread); later calls do nothing.
    void start();
    // Replaces the display list the tracker works with (from any thread).
    void updateDisplays(std::vector<DisplayInfo> displays);

    // On the X11 thread: the most recently focused window still visible on the display, else the frontmost
    // visible window there; absent when the display shows none.
    std::optional<Window> bestWindow(const DisplayInfo& display);
    // On the X11 thread: the windows a switch may go to, front to back.
    std::vector<VisibleWindow> visibleWindows();
    // On the X11 thread: the windows that held focus, most recent first.
    const std::vector<RecentWindow>& recent() const { return recent_; }

    // The focused window was seen on this display (after a focus change, or when it moved); on the X11
    // thread.
    std::function<void(const std::string& screenID)> onFocusedDisplayChange;

  private:
    bool handle(XEvent& event);
    void focusChanged();
    void record(std::uint32_t windowID, std::int32_t pid);
    void reportDisplay(const Rect& frame);
    // The window as a switch target, if it is one.
    std::optional<VisibleWindow> visible(const x11::WindowFacts& facts) const;

    X11Thread& thread_;
    Logger log_;
    std::int32_t ownPID_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::unique_ptr<x11::Atoms> atoms_;
    std::uint64_t handler_ = 0;
    bool started_ = false;

    std::vector<DisplayInfo> displays_;
    std::vector<RecentWindow> recent_;
    std::uint32_t lastActive_ = 0;  // the last value of _NET_ACTIVE_WINDOW, repeats skipped
    std::uint32_t activeFrame_ = 0; // the frame of the active window, whose moves are reported
};

} // namespace orvane
