#include "engine/SystemServices.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace orvane {

// MARK: SystemStateMonitor

SystemStateMonitor::~SystemStateMonitor() {
    if (started_) session_.onEvent = nullptr;
}

void SystemStateMonitor::start() {
    if (started_) return;
    started_ = true;
    std::weak_ptr<int> alive = alive_;
    session_.onEvent = [this, alive](SessionEvent event) {
        if (alive.lock()) handle(event);
    };
    recompute();
    schedulePoll();
}

void SystemStateMonitor::handle(SessionEvent event) {
    if (event == SessionEvent::willSleep) systemAsleep_ = true;
    if (event == SessionEvent::didWake) systemAsleep_ = false;
    recompute();
    std::weak_ptr<int> alive = alive_;
    main_.postAfter(settleDelay, [this, alive] {
        if (alive.lock()) recompute();
    });
}

void SystemStateMonitor::schedulePoll() {
    std::weak_ptr<int> alive = alive_;
    main_.postAfter(pollInterval, [this, alive] {
        if (!alive.lock()) return;
        recompute();
        schedulePoll();
    });
}

void SystemStateMonitor::recompute() {
    const bool active = verdict();
    if (active == isActive_) return;
    isActive_ = active;
    if (onChange) onChange();
}

// Every unanswered question takes the permissive answer: unlocked, awake, on the console.
bool SystemStateMonitor::verdict() {
    if (systemAsleep_) return false;
    if (session_.screenLocked().value_or(false)) return false;
    const auto asleep = session_.displaysAsleep();
    if (asleep && !asleep->empty() && std::all_of(asleep->begin(), asleep->end(), [](bool a) { return a; }))
        return false;
    return session_.onConsole().value_or(true);
}

// MARK: HotKey

HotKey::HotKey(HotKeys& hotKeys, MainQueue& main, std::function<void()> action) : hotKeys_(hotKeys) {
    // The platform may run the handler on another thread, and may still run it while this object
    // unregisters: it holds the queue and its own copy of the action, never this object.
    auto shared = std::make_shared<const std::function<void()>>(std::move(action));
    MainQueue* queue = &main;
    registered_ = hotKeys_.registerHotKey([queue, shared] {
        queue->post([shared] {
            if (*shared) (*shared)();
        });
    });
}

HotKey::~HotKey() {
    if (registered_) hotKeys_.unregisterHotKey();
}

// MARK: InputMonitor

namespace InputMonitor {

namespace {

constexpr InputEvent pointerEvents[] = {InputEvent::mouseMoved,       InputEvent::leftMouseDown,
                                        InputEvent::rightMouseDown,   InputEvent::otherMouseDown,
                                        InputEvent::leftMouseDragged, InputEvent::rightMouseDragged,
                                        InputEvent::scrollWheel};

constexpr std::uint32_t heldModifiers = modifier::shift | modifier::control | modifier::alt | modifier::super;

} // namespace

InputActivity activity(InputSource& input, double ignoringWarpAt, double now) {
    InputActivity result;
    result.secondsSinceKeyboard = input.secondsSinceLast(InputEvent::keyDown);

    double pointer = std::numeric_limits<double>::infinity();
    for (InputEvent event : pointerEvents)
        pointer = std::min(pointer, input.secondsSinceLast(event));
    // The last pointer event was our own warp rather than the user.
    if (ignoringWarpAt > 0 && std::abs(now - pointer - ignoringWarpAt) < warpWindow)
        pointer = std::numeric_limits<double>::infinity();
    result.secondsSincePointer = pointer;

    result.mouseButtonDown = input.buttonDown(0) || input.buttonDown(1);
    result.modifierDown = (input.modifierFlags() & heldModifiers) != 0;
    return result;
}

} // namespace InputMonitor

} // namespace orvane
