#pragma once

#include "engine/Log.h"
#include "engine/Platform.h"

#include <cstdint>
#include <functional>
#include <memory>

typedef union _XEvent XEvent;

namespace orvane {

class X11Thread;

// The pause hot key Ctrl+Alt+Super+G as a passive key grab on the root window, grabbed four times so
// that it works with Caps Lock and Num Lock on too. The grab delivers the key to us whatever has the
// focus; the handler runs on the X11 thread once per press (held keys repeat as presses without
// releases under XKB's detectable auto-repeat, and only the first press of a hold counts).
// A key that another program holds is refused by the X server (BadAccess): registering then fails and
// says so once in the log (category "engine", the pause it would toggle being the engine's).
class X11HotKeys : public HotKeys {
  public:
    X11HotKeys(X11Thread& thread, Log& log);
    ~X11HotKeys() override;
    X11HotKeys(const X11HotKeys&) = delete;
    X11HotKeys& operator=(const X11HotKeys&) = delete;

    // Not from the X11 thread.
    bool registerHotKey(std::function<void()> pressed) override;
    void unregisterHotKey() override;

  private:
    bool grab();
    void ungrab();
    bool handle(XEvent& event);

    X11Thread& thread_;
    Logger logger_;
    // Used on the X11 thread only.
    std::function<void()> pressed_;
    unsigned int keycode_ = 0;
    bool held_ = false;
    bool registered_ = false;
    bool refusalLogged_ = false;
    std::uint64_t handler_ = 0;
};

} // namespace orvane
