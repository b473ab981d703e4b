#include "platform/WindowTracker.h"

#include "platform/WindowProperties.h"
#include "platform/X11Thread.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace orvane {

WindowTracker::WindowTracker(X11Thread& thread, Log& log, std::int32_t ownPID)
    : thread_(thread), log_(log, "windows"), ownPID_(ownPID) {}

WindowTracker::~WindowTracker() {
    auto stop = [this] {
        alive_.reset();
        if (handler_) thread_.removeEventHandler(handler_);
    };
    if (thread_.isCurrent())
        stop();
    else
        thread_.call(stop);
}

void WindowTracker::start() {
    thread_.perform([this, alive = std::weak_ptr(alive_)] {
        if (alive.expired() || started_) return;
        Display* display = thread_.display();
        if (!display) return;
        started_ = true;
        atoms_ = std::make_unique<x11::Atoms>(display);
        handler_ = thread_.addEventHandler([this](XEvent& event) { return handle(event); });
        // Focus changes arrive as property changes of the root, frame moves as its substructure's.
        thread_.addRootEventMask(PropertyChangeMask | SubstructureNotifyMask);
        focusChanged();
    });
}

void WindowTracker::updateDisplays(std::vector<DisplayInfo> displays) {
    thread_.perform([this, alive = std::weak_ptr(alive_), displays = std::move(displays)]() mutable {
        if (!alive.expired()) displays_ = std::move(displays);
    });
}

bool WindowTracker::handle(XEvent& event) {
    Display* display = thread_.display();
    const ::Window root = DefaultRootWindow(display);
    switch (event.type) {
    case PropertyNotify:
        if (event.xproperty.window == root && event.xproperty.atom == atoms_->netActiveWindow) focusChanged();
        return false;
    case ConfigureNotify:
        if (activeFrame_ != 0 && event.xconfigure.window == activeFrame_ && event.xconfigure.event == root) {
            const auto& c = event.xconfigure;
            reportDisplay({double(c.x), double(c.y), double(c.width + 2 * c.border_width),
                           double(c.height + 2 * c.border_width)});
        }
        return false;
    case DestroyNotify: {
        // A destroyed window is forgotten; when its program exits, the server destroys all its windows.
        auto window = static_cast<std::uint32_t>(event.xdestroywindow.window);
        std::erase_if(recent_, [window](const RecentWindow& r) { return r.windowID == window; });
        if (window == activeFrame_ || window == lastActive_) activeFrame_ = lastActive_ = 0;
        return false;
    }
    default:
        return false;
    }
}

void WindowTracker::focusChanged() {
    Display* display = thread_.display();
    auto active = x11::activeWindow(display, *atoms_);
    auto window = static_cast<std::uint32_t>(active.value_or(0));
    if (window == lastActive_) return;
    // A window that is gone already (the value can lag behind) is not taken, so that a later window with
    // the reused number is not mistaken for a repeat.
    auto frame = window ? x11::topLevelFrame(display, window) : std::nullopt;
    lastActive_ = frame ? window : 0;
    activeFrame_ = frame ? static_cast<std::uint32_t>(*frame) : 0;
    if (!frame) return;

    auto pid = x11::windowPid(display, *atoms_, window);
    if (pid && *pid != ownPID_) record(window, *pid);
    // Our own windows count for the focused display too (calibration, settings).
    if (auto bounds = x11::windowFrame(display, *atoms_, window)) reportDisplay(*bounds);
}

void WindowTracker::record(std::uint32_t windowID, std::int32_t pid) {
    Display* display = thread_.display();
    // Told when the window is destroyed.
    X11ErrorTrap trap(display);
    XSelectInput(display, windowID, StructureNotifyMask);
    if (trap.failed()) return; // gone already

    std::erase_if(recent_, [windowID](const RecentWindow& r) { return r.windowID == windowID; });
    recent_.insert(recent_.begin(), {pid, windowID});
    if (recent_.size() > recentLimit) {
        for (auto dropped = recent_.begin() + recentLimit; dropped != recent_.end(); ++dropped)
            XSelectInput(display, dropped->windowID, NoEventMask);
        recent_.resize(recentLimit);
    }
}

void WindowTracker::reportDisplay(const Rect& frame) {
    auto display = displayFor(frame, displays_);
    if (display && onFocusedDisplayChange) onFocusedDisplayChange(display->uuid);
}

std::optional<WindowTracker::VisibleWindow> WindowTracker::visible(const x11::WindowFacts& f) const {
    bool ordinaryType =
        !f.type || *f.type == atoms_->netWmWindowTypeNormal || *f.type == atoms_->netWmWindowTypeDialog;
    // Viewable, not the desktop number, tells a window in view: window managers unmap the windows of the
    // desktops out of view, and tiling ones show a desktop on each monitor at once (i3's workspaces), where
    // _NET_CURRENT_DESKTOP names only the focused monitor's.
    if (!f.viewable || !ordinaryType || f.hidden) return std::nullopt;
    if (!f.pid || *f.pid == ownPID_) return std::nullopt;
    if (f.opacity && *f.opacity <= 0.01) return std::nullopt;
    if (!f.frame || f.frame->width < minimumWidth || f.frame->height < minimumHeight) return std::nullopt;
    return VisibleWindow{static_cast<std::uint32_t>(f.window), *f.pid, *f.frame};
}

std::vector<WindowTracker::VisibleWindow> WindowTracker::visibleWindows() {
    Display* display = thread_.display();
    if (!display || !atoms_) return {};
    auto stacking = x11::stackingOrder(display, *atoms_);
    // The stacking list runs from the bottom up; the answer goes front to back.
    std::reverse(stacking.begin(), stacking.end());
    std::vector<VisibleWindow> result;
    for (const auto& f : x11::describeWindows(display, *atoms_, stacking))
        if (auto v = visible(f)) result.push_back(*v);
    return result;
}

// The same answer as going through visibleWindows(), but asking the server only about the windows needed: the
// recent ones first, then the others front to back in small batches until one lies on the display.
std::optional<WindowTracker::Window> WindowTracker::bestWindow(const DisplayInfo& display) {
    Display* x = thread_.display();
    if (!x || !atoms_) return std::nullopt;
    auto stacking = x11::stackingOrder(x, *atoms_);
    std::reverse(stacking.begin(), stacking.end());
    auto onDisplay = [&](const Rect& frame) {
        auto found = displayFor(frame, displays_);
        return found && found->uuid == display.uuid;
    };

    // The first window of the list that is visible on the display. The server is asked about a few windows
    // first, then about all the others at once; windows already asked about are not asked again.
    std::unordered_map<::Window, std::optional<VisibleWindow>> known;
    auto firstOnDisplay = [&](const std::vector<::Window>& windows) -> std::optional<Window> {
        std::size_t batch = 8;
        for (std::size_t start = 0; start < windows.size(); start += batch, batch = windows.size()) {
            auto end = windows.begin() + std::min(start + batch, windows.size());
            std::vector<::Window> unknown;
            for (auto w = windows.begin() + start; w != end; ++w)
                if (!known.contains(*w)) unknown.push_back(*w);
            for (const auto& f : x11::describeWindows(x, *atoms_, unknown))
                known[f.window] = visible(f);
            for (auto w = windows.begin() + start; w != end; ++w)
                if (const auto& v = known[*w]; v && onDisplay(v->frame))
                    return Window{v->pid, v->windowID, v->frame};
        }
        return std::nullopt;
    };

    std::unordered_set<::Window> listed(stacking.begin(), stacking.end());
    std::vector<::Window> recentListed;
    for (const auto& r : recent_)
        if (listed.contains(r.windowID)) recentListed.push_back(r.windowID);
    // Minimised windows are not visible, so a recent one that was minimised is passed over.
    if (auto window = firstOnDisplay(recentListed)) return window;
    return firstOnDisplay(stacking);
}

} // namespace orvane
