#pragma once

#include "core/SwitchDecider.h"
#include "engine/Platform.h"
#include "engine/Queue.h"

#include <functional>
#include <memory>

namespace orvane {

// Whether the session is one where tracking makes sense: machine awake, screen unlocked, displays
// awake and the session on the console. Lives on the main thread.
class SystemStateMonitor {
  public:
    static constexpr double pollInterval = 5.0;
    // Session data and display sleep flags can lag behind the notification that announces them.
    static constexpr double settleDelay = 0.5;

    SystemStateMonitor(Session& session, MainQueue& main) : session_(session), main_(main) {}
    ~SystemStateMonitor();
    SystemStateMonitor(const SystemStateMonitor&) = delete;
    SystemStateMonitor& operator=(const SystemStateMonitor&) = delete;

    // Follows the session's notifications, computes the verdict and polls it every 5 s.
    // Set onChange first. Repeated calls do nothing.
    void start();

    bool isActive() const { return isActive_; }

    // Called on the main thread when isActive() changes.
    std::function<void()> onChange;

  private:
    void handle(SessionEvent event);
    void recompute();
    bool verdict();
    void schedulePoll();

    Session& session_;
    MainQueue& main_;
    bool isActive_ = true;
    bool systemAsleep_ = false;
    bool started_ = false;
    // Delayed work holds this weakly and does nothing once the monitor is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The global pause hot key: registered for the object's lifetime; each press posts the action to the
// main queue.
class HotKey {
  public:
    HotKey(HotKeys& hotKeys, MainQueue& main, std::function<void()> action);
    ~HotKey();
    HotKey(const HotKey&) = delete;
    HotKey& operator=(const HotKey&) = delete;

    // False when the platform refused the key (it then never fires).
    bool isRegistered() const { return registered_; }

  private:
    HotKeys& hotKeys_;
    bool registered_ = false;
};

// The user's recent keyboard and pointer activity as the switch decider needs it.
namespace InputMonitor {

// A pointer event this close to the program's own warp is taken to be that warp.
inline constexpr double warpWindow = 0.15;

// ignoringWarpAt: uptime of the program's own last pointer warp, 0 when none; now: the current uptime.
InputActivity activity(InputSource& input, double ignoringWarpAt, double now);

} // namespace InputMonitor

} // namespace orvane
