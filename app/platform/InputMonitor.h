#pragma once

#include "engine/Clock.h"
#include "engine/Platform.h"
#include "engine/Queue.h"

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>

typedef union _XEvent XEvent;

namespace orvane {

class X11Thread;

// The user's keyboard and pointer activity from XInput 2.2 raw events on the root for all master
// devices (raw events come whatever window has the pointer or a grab, and our own pointer warps
// produce none). Everything the engine reads is kept in atomics, so reads from the frame queue never
// touch the X connection:
// - the uptime of the last event of each kind, stamped when the event is read;
// - the pointer's button and modifier mask, refreshed with XQueryPointer on the X11 thread after each
//   raw key or button press or release (the only events that change it), so it already holds the event.
// Key presses of modifier keys (the keyboard's modifier map: Shift, Control, Alt, Super, Caps Lock,
// Num Lock, ...) change the flags but are not key-downs, as typing is what the key-down time measures.
// Raw motion that moves x or y (valuators 0 and 1) is pointer movement, a drag while the left or right
// button is held; motion of other valuators only is smooth scrolling, as are buttons 4 to 7.
class X11InputSource : public InputSource {
  public:
    // Runs its X work on the thread's connection; onMouseDown is called on `main`.
    X11InputSource(X11Thread& thread, MainQueue& main, const Clock& clock);
    ~X11InputSource() override;
    X11InputSource(const X11InputSource&) = delete;
    X11InputSource& operator=(const X11InputSource&) = delete;

    // False when the X server has no XInput 2.2: every kind then reads as never seen.
    bool isMonitoring() const { return monitoring_; }

    double secondsSinceLast(InputEvent event) override;
    bool buttonDown(int button) override;
    std::uint32_t modifierFlags() override;

  private:
    bool start();
    bool handle(XEvent& event);
    void record(InputEvent event, double uptime);
    void refreshPointer(bool reportClick, double uptime);
    bool isOwnWindow(unsigned long window);
    void readModifierKeys();

    X11Thread& thread_;
    MainQueue& main_;
    const Clock& clock_;
    std::array<std::atomic<double>, 8> lastEvent_; // uptime per InputEvent, -infinity when none
    std::atomic<unsigned> pointerMask_{0};         // X key and button mask (ShiftMask, Button1Mask, ...)
    // Set by start(), used on the X11 thread only.
    int xinputOpcode_ = -1;
    unsigned long netWmPid_ = 0, wmState_ = 0;
    std::bitset<256> modifierKeys_; // by keycode
    bool monitoring_ = false;
    std::uint64_t handler_ = 0;
    // The queued click reports hold this weakly and are dropped once the source is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace orvane
