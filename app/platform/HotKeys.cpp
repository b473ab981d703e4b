#include "platform/HotKeys.h"

#include "platform/X11Thread.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <string>
#include <utility>

namespace orvane {

namespace {

constexpr unsigned int combination = ControlMask | Mod1Mask | Mod4Mask;
// A grab matches the modifier state exactly: Caps Lock (Lock) and Num Lock (Mod2) need grabs of their own.
constexpr unsigned int lockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

} // namespace

X11HotKeys::X11HotKeys(X11Thread& thread, Log& log) : thread_(thread), logger_(log, "engine") {
    handler_ = thread_.addEventHandler([this](XEvent& event) { return handle(event); });
}

X11HotKeys::~X11HotKeys() {
    thread_.removeEventHandler(handler_);
    unregisterHotKey();
}

bool X11HotKeys::registerHotKey(std::function<void()> pressed) {
    return thread_.call([&] {
        if (registered_) ungrab();
        registered_ = false;
        if (!grab()) return false;
        pressed_ = std::move(pressed);
        held_ = false;
        registered_ = true;
        return true;
    });
}

void X11HotKeys::unregisterHotKey() {
    thread_.call([this] {
        if (registered_) ungrab();
        registered_ = false;
        pressed_ = nullptr;
    });
}

bool X11HotKeys::grab() {
    Display* display = thread_.display();
    if (!display) return false;
    keycode_ = XKeysymToKeycode(display, XK_g);
    if (keycode_ == 0) {
        if (!std::exchange(refusalLogged_, true))
            logger_.error("The hot key Ctrl+Alt+Super+G cannot be registered: the keyboard has no G key");
        return false;
    }
    // Held keys then repeat as presses alone, without a release before each.
    XkbSetDetectableAutoRepeat(display, True, nullptr);

    X11ErrorTrap trap(display);
    for (unsigned int locks : lockVariants)
        XGrabKey(display, int(keycode_), combination | locks, DefaultRootWindow(display), False,
                 GrabModeAsync, GrabModeAsync);
    if (!trap.failed()) return true;

    ungrab();
    if (!std::exchange(refusalLogged_, true)) {
        if (trap.lastError() == BadAccess)
            logger_.error(
                "The hot key Ctrl+Alt+Super+G is taken by another program; it will not pause tracking");
        else
            logger_.error("The hot key Ctrl+Alt+Super+G cannot be registered: X error " +
                          std::to_string(trap.lastError().value_or(0)));
    }
    return false;
}

// Releases only our own grabs, whichever of them were made.
void X11HotKeys::ungrab() {
    Display* display = thread_.display();
    X11ErrorTrap trap(display);
    for (unsigned int locks : lockVariants)
        XUngrabKey(display, int(keycode_), combination | locks, DefaultRootWindow(display));
}

bool X11HotKeys::handle(XEvent& event) {
    if (!registered_ || (event.type != KeyPress && event.type != KeyRelease)) return false;
    const XKeyEvent& key = event.xkey;
    if (key.keycode != keycode_ || key.window != key.root) return false;
    if (event.type == KeyRelease) {
        held_ = false;
        return true;
    }
    if ((key.state & combination) != combination) return false;
    if (!held_ && pressed_) pressed_();
    held_ = true;
    return true;
}

} // namespace orvane
