#include "platform/WindowControl.h"

#include "platform/X11Thread.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cstdlib>
#include <vector>

namespace orvane {

namespace {

std::vector<unsigned long> property32(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, type, &actualType, &format, &count,
                           &after, &data) == Success &&
        data && format == 32)
        values.assign(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + count);
    if (data) XFree(data);
    return values;
}

bool isWaylandSession(const std::function<std::optional<std::string>(const char*)>& environment) {
    return environment("XDG_SESSION_TYPE") == "wayland" ||
           !environment("WAYLAND_DISPLAY").value_or("").empty();
}

// The EWMH checks on the thread's connection. A window manager that died leaves its properties on the
// root: the check window it named is then gone.
bool hasActivatingWindowManager(Display* display) {
    const Window root = DefaultRootWindow(display);
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    X11ErrorTrap trap(display);
    const auto named = property32(display, root, check, XA_WINDOW);
    if (named.size() != 1) return false;
    const auto confirmed = property32(display, Window(named[0]), check, XA_WINDOW);
    if (trap.failed() || confirmed != named) return false;
    const auto supported = property32(display, root, XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM);
    const Atom activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    for (unsigned long atom : supported)
        if (atom == activeWindow) return true;
    return false;
}

} // namespace

bool windowControlAvailable(X11Thread& thread,
                            const std::function<std::optional<std::string>(const char* name)>& environment) {
    if (isWaylandSession(environment)) return false;
    return thread.call(
        [&thread] { return thread.display() && hasActivatingWindowManager(thread.display()); });
}

bool windowControlAvailable(X11Thread& thread) {
    return windowControlAvailable(thread, [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    });
}

} // namespace orvane
