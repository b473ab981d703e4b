#include "platform/FocusController.h"

#include "platform/WindowProperties.h"
#include "platform/X11Thread.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <xcb/xcb.h>

namespace orvane {

struct FocusController::Attempt {
    WindowTracker::Window window;
    FocusMethod method;
    Completion completion;
    bool reported = false;
};

struct FocusController::Connection {
    explicit Connection(Display* display) : atoms(display) {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        // Never mapped: it only serves to learn the server's current time.
        stamp = XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, InputOnly,
                              CopyFromParent, CWEventMask, &attributes);
    }
    x11::Atoms atoms;
    ::Window stamp;
};

namespace {

// Whether `inner` is `outer` or lies inside it.
bool isWithin(Display* display, ::Window inner, ::Window outer) {
    xcb_connection_t* c = XGetXCBConnection(display);
    const ::Window root = DefaultRootWindow(display);
    for (int depth = 0; depth < 16 && inner != 0 && inner != root; ++depth) {
        if (inner == outer) return true;
        xcb_generic_error_t* error = nullptr;
        auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, static_cast<xcb_window_t>(inner)), &error);
        std::free(error);
        if (!tree) return false;
        inner = tree->parent;
        std::free(tree);
    }
    return false;
}

} // namespace

FocusController::FocusController(X11Thread& thread, Log& log, const Clock& clock)
    : thread_(thread), log_(log, "focus"), clock_(clock) {}

FocusController::~FocusController() {
    auto stop = [this] {
        alive_.reset();
        if (handler_) thread_.removeEventHandler(handler_);
        if (connection_ && thread_.display()) XDestroyWindow(thread_.display(), connection_->stamp);
    };
    if (thread_.isCurrent())
        stop();
    else
        thread_.call(stop);
}

void FocusController::focus(const std::optional<WindowTracker::Window>& window, const DisplayInfo& display,
                            const std::vector<DisplayInfo>& displays, bool movePointer,
                            Completion completion) {
    if (!thread_.display()) {
        completion(window ? FocusMethod::inputFocus : FocusMethod::pointerOnly, !window);
        return;
    }
    if (!connection_) {
        connection_ = std::make_unique<Connection>(thread_.display());
        thread_.addRootEventMask(PropertyChangeMask);
        handler_ = thread_.addEventHandler([this](XEvent& event) { return activeWindowChanged(event); });
    }
    if (movePointer) warpPointer(display, window, displays);
    if (!window) {
        completion(FocusMethod::pointerOnly, true);
        return;
    }
    auto attempt =
        std::make_shared<Attempt>(Attempt{*window, FocusMethod::inputFocus, std::move(completion)});
    if (focusWithWindowManager(*window))
        attempt->method = FocusMethod::windowManager;
    else
        focusDirectly(*window);
    pending_ = attempt;
    thread_.performAfter(firstCheck, [this, alive = std::weak_ptr(alive_), attempt] {
        if (!alive.expired()) check(attempt, 0);
    });
}

// Step 0 and 1 confirm the first method; after them comes the one retry through the input focus,
// confirmed by step 2, which reports whatever it finds.
void FocusController::check(std::shared_ptr<Attempt> attempt, int step) {
    if (attempt->reported) return;
    bool ok = confirmed(attempt->window);
    if (ok && step < 2) {
        report(*attempt, attempt->method, true);
        return;
    }
    if (step == 0) {
        thread_.performAfter(secondCheck - firstCheck, [this, alive = std::weak_ptr(alive_), attempt] {
            if (!alive.expired()) check(attempt, 1);
        });
    } else if (step == 1) {
        log_.info("Focus not confirmed via " + std::string(toString(attempt->method)) + " for pid " +
                  std::to_string(attempt->window.pid) + "; retrying via AX");
        attempt->method = FocusMethod::inputFocus;
        focusDirectly(attempt->window);
        thread_.performAfter(finalCheck - secondCheck, [this, alive = std::weak_ptr(alive_), attempt] {
            if (!alive.expired()) check(attempt, 2);
        });
    } else {
        report(*attempt, FocusMethod::inputFocus, ok);
    }
}

// The window manager announced a new active window: the attempt in flight may be confirmed now.
bool FocusController::activeWindowChanged(XEvent& event) {
    if (event.type != PropertyNotify || !connection_ ||
        event.xproperty.atom != connection_->atoms.netActiveWindow)
        return false;
    if (auto attempt = pending_.lock(); attempt && !attempt->reported && confirmed(attempt->window))
        report(*attempt, attempt->method, true);
    return false; // the window tracker follows focus through the same announcement
}

void FocusController::report(Attempt& attempt, FocusMethod method, bool ok) {
    attempt.reported = true;
    pending_.reset();
    attempt.completion(method, ok);
}

bool FocusController::focusWithWindowManager(const WindowTracker::Window& window) {
    Display* display = thread_.display();
    const auto& atoms = connection_->atoms;
    if (!x11::supportsActiveWindow(display, atoms)) return false;
    X11ErrorTrap trap(display);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window.windowID;
    event.xclient.message_type = atoms.netActiveWindow;
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2; // the request comes from a pager-like tool acting for the user
    // A fresh time stamp: some window managers refuse activation requests with stale ones, and 0.
    event.xclient.data.l[1] = static_cast<long>(serverTime());
    event.xclient.data.l[2] = 0;
    Status sent = XSendEvent(display, DefaultRootWindow(display), False,
                             SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XRaiseWindow(display, window.windowID);
    return sent != 0 && !trap.failed();
}

void FocusController::focusDirectly(const WindowTracker::Window& window) {
    Display* display = thread_.display();
    const auto& atoms = connection_->atoms;
    X11ErrorTrap trap(display);
    unsigned long time = serverTime();
    XRaiseWindow(display, window.windowID);
    // ICCCM: a client that declines the input focus is never given it; one that wants to be asked is asked.
    if (x11::acceptsInputFocus(display, window.windowID))
        XSetInputFocus(display, window.windowID, RevertToParent, time);
    if (x11::supportsProtocol(display, atoms, window.windowID, atoms.wmTakeFocus)) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window.windowID;
        event.xclient.message_type = atoms.wmProtocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(atoms.wmTakeFocus);
        event.xclient.data.l[1] = static_cast<long>(time);
        XSendEvent(display, window.windowID, False, NoEventMask, &event);
    }
    trap.failed(); // a window that vanished meanwhile is simply not focused
}

bool FocusController::confirmed(const WindowTracker::Window& window) {
    Display* display = thread_.display();
    const auto& atoms = connection_->atoms;
    if (auto active = x11::activeWindow(display, atoms)) {
        if (*active == window.windowID) return true;
        if (x11::windowPid(display, atoms, *active) == window.pid) return true;
    }
    // Without an active window from the window manager, the input focus itself tells.
    ::Window focused = 0;
    int revert = 0;
    XGetInputFocus(display, &focused, &revert);
    return focused != None && focused != PointerRoot && isWithin(display, focused, window.windowID);
}

unsigned long FocusController::serverTime() {
    Display* display = thread_.display();
    // A zero-length append changes nothing but makes the server report a property change with its time.
    XChangeProperty(display, connection_->stamp, connection_->atoms.timestamp, XA_INTEGER, 8, PropModeAppend,
                    nullptr, 0);
    struct Match {
        ::Window window;
        Atom atom;
    } match{connection_->stamp, connection_->atoms.timestamp};
    XEvent event;
    XIfEvent(
        display, &event,
        [](Display*, XEvent* e, XPointer arg) -> Bool {
            auto* m = reinterpret_cast<Match*>(arg);
            return e->type == PropertyNotify && e->xproperty.window == m->window &&
                   e->xproperty.atom == m->atom;
        },
        reinterpret_cast<XPointer>(&match));
    return event.xproperty.time;
}

void FocusController::warpPointer(const DisplayInfo& display,
                                  const std::optional<WindowTracker::Window>& window,
                                  const std::vector<DisplayInfo>& displays) {
    Display* x = thread_.display();
    const ::Window root = DefaultRootWindow(x);
    ::Window rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    Point location{0, 0};
    if (XQueryPointer(x, root, &rootReturn, &child, &rootX, &rootY, &windowX, &windowY, &mask))
        location = {double(rootX), double(rootY)};
    if (display.bounds.contains(location)) return;

    if (auto left = displayContaining(location, displays)) pointerPositions_[left->uuid] = location;
    std::optional<Point> remembered;
    if (auto found = pointerPositions_.find(display.uuid); found != pointerPositions_.end())
        remembered = found->second;

    auto centre = [](const Rect& r) { return Point{r.x + r.width / 2, r.y + r.height / 2}; };
    Point target;
    Rect visiblePart = window ? window->frame.intersection(display.bounds) : Rect{};
    if (!visiblePart.isEmpty())
        target = remembered && visiblePart.contains(*remembered) ? *remembered : centre(visiblePart);
    else
        target = remembered ? *remembered : centre(display.bounds);

    const Rect& b = display.bounds;
    target.x = std::min(std::max(target.x, b.x + pointerInset), b.right() - pointerInset);
    target.y = std::min(std::max(target.y, b.y + pointerInset), b.bottom() - pointerInset);

    lastWarp_ = clock_.uptime();
    XWarpPointer(x, None, root, 0, 0, 0, 0, static_cast<int>(std::floor(target.x)),
                 static_cast<int>(std::floor(target.y)));
    // Done before the switch reports, so that whoever reads the pointer next finds it there.
    XSync(x, False);
}

} // namespace orvane
