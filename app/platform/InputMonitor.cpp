#include "platform/InputMonitor.h"

#include "platform/X11Thread.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <deque>
#include <limits>
#include <unistd.h>

namespace orvane {

namespace {

constexpr double never = -std::numeric_limits<double>::infinity();

std::size_t slot(InputEvent event) {
    return static_cast<std::size_t>(event);
}

bool movesPointer(const XIRawEvent& raw) {
    return (raw.valuators.mask_len > 0) &&
           (XIMaskIsSet(raw.valuators.mask, 0) || XIMaskIsSet(raw.valuators.mask, 1));
}

std::optional<long> windowPid(Display* display, Window window, Atom netWmPid) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<long> pid;
    if (XGetWindowProperty(display, window, netWmPid, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                           &after, &data) == Success &&
        data && format == 32 && count == 1)
        pid = reinterpret_cast<long*>(data)[0];
    if (data) XFree(data);
    return pid;
}

// The client window inside a window manager's frame: the first window, breadth first, with WM_STATE.
std::optional<Window> clientWindow(Display* display, Window frame, Atom wmState) {
    std::deque<Window> pending{frame};
    for (int visited = 0; !pending.empty() && visited < 64; ++visited) {
        const Window window = pending.front();
        pending.pop_front();
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(display, window, wmState, 0, 0, False, AnyPropertyType, &type, &format, &count,
                           &after, &data);
        if (data) XFree(data);
        if (type != None) return window;
        Window root = 0, parent = 0, *children = nullptr;
        unsigned int childCount = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &childCount)) continue;
        pending.insert(pending.end(), children, children + childCount);
        if (children) XFree(children);
    }
    return std::nullopt;
}

} // namespace

X11InputSource::X11InputSource(X11Thread& thread, MainQueue& main, const Clock& clock)
    : thread_(thread), main_(main), clock_(clock) {
    for (auto& last : lastEvent_)
        last.store(never);
    monitoring_ = thread_.call([this] { return start(); });
    if (monitoring_) handler_ = thread_.addEventHandler([this](XEvent& event) { return handle(event); });
}

X11InputSource::~X11InputSource() {
    if (!monitoring_) return;
    thread_.removeEventHandler(handler_);
    thread_.call([this] {
        Display* display = thread_.display();
        XIEventMask none{XIAllMasterDevices, 0, nullptr};
        X11ErrorTrap trap(display);
        XISelectEvents(display, DefaultRootWindow(display), &none, 1);
    });
}

bool X11InputSource::start() {
    Display* display = thread_.display();
    if (!display) return false;
    int event = 0, error = 0;
    if (!XQueryExtension(display, "XInputExtension", &xinputOpcode_, &event, &error)) return false;
    int major = 2, minor = 2;
    if (XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 2))
        return false;

    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    for (int type : {XI_RawKeyPress, XI_RawKeyRelease, XI_RawButtonPress, XI_RawButtonRelease, XI_RawMotion})
        XISetMask(bits, type);
    // All master devices: every physical event once (all devices would report it again from its slave).
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    netWmPid_ = XInternAtom(display, "_NET_WM_PID", False);
    wmState_ = XInternAtom(display, "WM_STATE", False);
    X11ErrorTrap trap(display);
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    readModifierKeys();
    refreshPointer(false, 0);
    return !trap.failed();
}

bool X11InputSource::handle(XEvent& event) {
    // Every client is told of keyboard mapping changes; others may want to hear of it too.
    if (event.type == MappingNotify) {
        if (event.xmapping.request != MappingPointer) readModifierKeys();
        return false;
    }
    // While our own key grab (the pause hot key) holds the keyboard, the server sends this connection the
    // keys as core events and no raw ones: without a look at the pointer then, modifiers released during
    // the grab would read as held until the next key.
    if (event.type == KeyPress || event.type == KeyRelease) {
        refreshPointer(false, clock_.uptime());
        return false; // the hot key's own handler needs them too
    }
    XGenericEventCookie& cookie = event.xcookie;
    if (cookie.type != GenericEvent || cookie.extension != xinputOpcode_ || !cookie.data) return false;
    const auto& raw = *static_cast<const XIRawEvent*>(cookie.data);
    const double now = clock_.uptime();
    switch (cookie.evtype) {
    case XI_RawKeyPress:
        if (raw.detail < 0 || raw.detail >= 256 || !modifierKeys_[std::size_t(raw.detail)])
            record(InputEvent::keyDown, now);
        refreshPointer(false, now);
        return true;
    case XI_RawKeyRelease:
        refreshPointer(false, now);
        return true;
    case XI_RawButtonPress:
        if (raw.detail >= 4 && raw.detail <= 7) {
            record(InputEvent::scrollWheel, now);
            return true;
        }
        record(raw.detail == 1   ? InputEvent::leftMouseDown
               : raw.detail == 3 ? InputEvent::rightMouseDown
                                 : InputEvent::otherMouseDown,
               now);
        refreshPointer(raw.detail == 1 || raw.detail == 3, now);
        return true;
    case XI_RawButtonRelease:
        if (raw.detail < 4 || raw.detail > 7) refreshPointer(false, now);
        return true;
    case XI_RawMotion: {
        if (!movesPointer(raw)) {
            record(InputEvent::scrollWheel, now);
            return true;
        }
        const unsigned mask = pointerMask_.load(std::memory_order_relaxed);
        record((mask & Button1Mask)   ? InputEvent::leftMouseDragged
               : (mask & Button3Mask) ? InputEvent::rightMouseDragged
                                      : InputEvent::mouseMoved,
               now);
        return true;
    }
    default:
        return false;
    }
}

void X11InputSource::record(InputEvent event, double uptime) {
    lastEvent_[slot(event)].store(uptime, std::memory_order_relaxed);
}

// Reads the pointer's mask, and for a click where it happened and on whose window.
void X11InputSource::refreshPointer(bool reportClick, double uptime) {
    Display* display = thread_.display();
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask))
        return;
    pointerMask_.store(mask, std::memory_order_relaxed);
    if (!reportClick) return;
    {
        // The window under the pointer may vanish while we look at it: then it was not ours.
        X11ErrorTrap trap(display);
        if (isOwnWindow(child)) return;
    }

    const Point location{double(rootX), double(rootY)};
    std::weak_ptr<int> alive = alive_;
    main_.post([this, alive, location, uptime] {
        if (alive.lock() && onMouseDown) onMouseDown(location, uptime);
    });
}

// Our windows carry our process id: override-redirect ones (the overlay) on themselves, managed ones on
// the client window inside the window manager's frame.
bool X11InputSource::isOwnWindow(unsigned long window) {
    if (window == None) return false;
    Display* display = thread_.display();
    const long self = getpid();
    if (windowPid(display, window, netWmPid_) == self) return true;
    const auto client = clientWindow(display, window, wmState_);
    return client && *client != window && windowPid(display, *client, netWmPid_) == self;
}

void X11InputSource::readModifierKeys() {
    modifierKeys_.reset();
    XModifierKeymap* map = XGetModifierMapping(thread_.display());
    if (!map) return;
    for (int i = 0; i < 8 * map->max_keypermod; ++i)
        modifierKeys_.set(map->modifiermap[i]);
    XFreeModifiermap(map);
}

double X11InputSource::secondsSinceLast(InputEvent event) {
    return clock_.uptime() - lastEvent_[slot(event)].load(std::memory_order_relaxed);
}

bool X11InputSource::buttonDown(int button) {
    const unsigned mask = pointerMask_.load(std::memory_order_relaxed);
    if (button == 0) return mask & Button1Mask;
    if (button == 1) return mask & Button3Mask;
    return false;
}

std::uint32_t X11InputSource::modifierFlags() {
    const unsigned mask = pointerMask_.load(std::memory_order_relaxed);
    std::uint32_t flags = 0;
    if (mask & ShiftMask) flags |= modifier::shift;
    if (mask & ControlMask) flags |= modifier::control;
    if (mask & Mod1Mask) flags |= modifier::alt;
    if (mask & Mod4Mask) flags |= modifier::super;
    if (mask & LockMask) flags |= modifier::capsLock;
    if (mask & Mod2Mask) flags |= modifier::numLock;
    return flags;
}

} // namespace orvane
