#pragma once

// EWMH and ICCCM reads about other programs' windows, on one X connection (the X11 thread's).
// Every read of a window that vanished meanwhile gives an absent answer.

#include "engine/DisplayInfo.h"

#include <X11/Xlib.h>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane::x11 {

// The atoms the window code uses, interned once per connection.
struct Atoms {
    explicit Atoms(Display* display);

    Atom netSupported, netActiveWindow, netClientList, netClientListStacking, netCurrentDesktop;
    Atom netWmPid, netWmDesktop, netWmState, netWmStateHidden, netWmStateSticky;
    Atom netWmWindowType, netWmWindowTypeNormal, netWmWindowTypeDialog;
    Atom netWmWindowOpacity, netFrameExtents;
    Atom wmState, wmProtocols, wmTakeFocus, timestamp;
};

// What the window lists need to know about one managed window, read for many windows at once.
struct WindowFacts {
    Window window = 0;
    bool viewable = false;
    std::optional<Atom> type; // the first, preferred entry of _NET_WM_WINDOW_TYPE
    bool hidden = false;      // _NET_WM_STATE_HIDDEN: minimised
    bool sticky = false;
    std::optional<std::uint32_t> desktop;
    std::optional<std::int32_t> pid;
    std::optional<double> opacity; // 0 to 1
    std::optional<Rect> frame;     // with the window manager's decorations, in root coordinates
};

// Facts about each window, in the same order; windows that vanished come back not viewable, without a frame.
// The requests are sent together and answered in one round trip.
std::vector<WindowFacts> describeWindows(Display* display, const Atoms& atoms,
                                         const std::vector<Window>& windows);

// The managed windows from the bottom of the stack to the top (_NET_CLIENT_LIST_STACKING, else
// _NET_CLIENT_LIST).
std::vector<Window> stackingOrder(Display* display, const Atoms& atoms);
std::optional<std::uint32_t> currentDesktop(Display* display, const Atoms& atoms);
// The window manager's active window; absent when none (0) or unreadable.
std::optional<Window> activeWindow(Display* display, const Atoms& atoms);
// The window manager announces _NET_ACTIVE_WINDOW in _NET_SUPPORTED.
bool supportsActiveWindow(Display* display, const Atoms& atoms);

// The owner process: _NET_WM_PID, else the client's process as the X-Resource extension knows it.
std::optional<std::int32_t> windowPid(Display* display, const Atoms& atoms, Window window);
// The class part of WM_CLASS; absent when none.
std::optional<std::string> windowClass(Display* display, Window window);
std::optional<Rect> windowFrame(Display* display, const Atoms& atoms, Window window);
// The window's ancestor that is a child of the root (the window manager's frame), or the window itself.
std::optional<Window> topLevelFrame(Display* display, Window window);
// WM_HINTS input: whether the client takes keyboard focus when given it (true when unset).
bool acceptsInputFocus(Display* display, Window window);
bool supportsProtocol(Display* display, const Atoms& atoms, Window window, Atom protocol);

// A 32-bit property of one value (CARDINAL, WINDOW or ATOM); absent when missing or unreadable.
std::optional<unsigned long> cardinalProperty(Display* display, Window window, Atom property, Atom type);

} // namespace orvane::x11
