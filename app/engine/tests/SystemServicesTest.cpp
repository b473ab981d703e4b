#include "engine/SystemServices.h"

#include "FakePlatform.h"
#include "VirtualTime.h"

#include <cmath>
#include <gtest/gtest.h>
#include <memory>

using namespace orvane;
using namespace orvane::test;

namespace {

struct SystemStateMonitorTest : ::testing::Test {
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    FakeSession session;
    std::unique_ptr<SystemStateMonitor> monitor = std::make_unique<SystemStateMonitor>(session, main);
    int changes = 0;

    void start() {
        monitor->onChange = [this] { ++changes; };
        monitor->start();
    }
};

} // namespace

TEST_F(SystemStateMonitorTest, StartsActiveAndJudgesOnStart) {
    EXPECT_TRUE(monitor->isActive());
    session.locked = true;
    start();
    EXPECT_FALSE(monitor->isActive());
    EXPECT_EQ(changes, 1);
}

TEST_F(SystemStateMonitorTest, SleepWinsOverEverythingAndWakeIsJudgedNowAndHalfASecondLater) {
    start();
    session.send(SessionEvent::willSleep);
    EXPECT_FALSE(monitor->isActive());
    EXPECT_EQ(changes, 1);
    scheduler.advance(0.5);
    EXPECT_FALSE(monitor->isActive()) << "still asleep when the delayed check runs";

    // On waking the screen still reads as locked; the lock clears shortly after.
    session.locked = true;
    session.send(SessionEvent::didWake);
    EXPECT_FALSE(monitor->isActive());
    scheduler.advance(0.2);
    session.locked = false;
    scheduler.advance(0.29);
    EXPECT_FALSE(monitor->isActive());
    scheduler.advance(0.02);
    EXPECT_TRUE(monitor->isActive());
    EXPECT_EQ(changes, 2);

    // Waking with nothing else in the way is active at once.
    session.send(SessionEvent::willSleep);
    session.send(SessionEvent::didWake);
    EXPECT_TRUE(monitor->isActive());
}

TEST_F(SystemStateMonitorTest, LockAndUnlock) {
    start();
    session.locked = true;
    session.send(SessionEvent::screenLocked);
    EXPECT_FALSE(monitor->isActive());

    // The unlock notification comes before the session data catches up.
    session.send(SessionEvent::screenUnlocked);
    EXPECT_FALSE(monitor->isActive());
    session.locked = false;
    scheduler.advance(0.5);
    EXPECT_TRUE(monitor->isActive());
    EXPECT_EQ(changes, 2);
}

TEST_F(SystemStateMonitorTest, VerdictOrderAndPermissiveAnswers) {
    start();
    auto verdict = [&] {
        session.send(SessionEvent::sessionDidBecomeActive);
        return monitor->isActive();
    };
    session.console = false;
    EXPECT_FALSE(verdict()) << "another user's session";
    session.console = std::nullopt;
    EXPECT_TRUE(verdict()) << "unknown console state counts as on the console";

    session.asleep = std::vector<bool>{true, true};
    EXPECT_FALSE(verdict()) << "every display asleep";
    session.asleep = std::vector<bool>{true, false};
    EXPECT_TRUE(verdict()) << "one display awake";
    session.asleep = std::vector<bool>{};
    EXPECT_TRUE(verdict()) << "an empty display list means awake";
    session.asleep = std::nullopt;
    EXPECT_TRUE(verdict()) << "an unreadable display list means awake";

    session.locked = std::nullopt;
    EXPECT_TRUE(verdict()) << "unknown lock state means unlocked";
}

TEST_F(SystemStateMonitorTest, AnUnchangedVerdictNeverCallsOnChange) {
    start();
    for (auto event :
         {SessionEvent::screensDidSleep, SessionEvent::screensDidWake, SessionEvent::sessionDidResignActive,
          SessionEvent::sessionDidBecomeActive, SessionEvent::screenLocked, SessionEvent::screenUnlocked})
        session.send(event);
    scheduler.advance(60);
    EXPECT_TRUE(monitor->isActive());
    EXPECT_EQ(changes, 0);
    EXPECT_GT(session.queries, 12 * 3) << "the polls and delayed checks did run";
}

TEST_F(SystemStateMonitorTest, TheFiveSecondPollPicksUpSilentChanges) {
    start();
    session.locked = true;
    scheduler.advance(4.9);
    EXPECT_TRUE(monitor->isActive());
    scheduler.advance(0.2);
    EXPECT_FALSE(monitor->isActive());
    session.locked = false;
    scheduler.advance(5);
    EXPECT_TRUE(monitor->isActive());
    EXPECT_EQ(changes, 2);
}

TEST_F(SystemStateMonitorTest, DestructionStopsThePollAndTheObservers) {
    start();
    session.send(SessionEvent::screenLocked); // leaves a delayed check behind
    monitor.reset();
    EXPECT_FALSE(session.onEvent);
    int queries = session.queries;
    scheduler.advance(20);
    EXPECT_EQ(session.queries, queries);
    EXPECT_EQ(scheduler.pending(), 0u) << "the poll no longer reschedules itself";
}

TEST(HotKey, EachPressPostsTheActionOnceToTheMainQueueAndDestructionUnregisters) {
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    FakeHotKeys hotKeys;
    int toggles = 0;
    std::function<void()> lateHandler;
    {
        HotKey hotKey(hotKeys, main, [&] { ++toggles; });
        EXPECT_TRUE(hotKey.isRegistered());
        EXPECT_EQ(hotKeys.registrations, 1);

        hotKeys.press();
        EXPECT_EQ(toggles, 0) << "runs on the main queue, not in the handler";
        scheduler.runDue();
        EXPECT_EQ(toggles, 1);
        hotKeys.press();
        hotKeys.press();
        scheduler.runDue();
        EXPECT_EQ(toggles, 3);
        lateHandler = hotKeys.handler;
    }
    EXPECT_EQ(hotKeys.unregistrations, 1);
    EXPECT_FALSE(hotKeys.isRegistered());

    // A press already under way on the platform's thread while the key goes away stays safe.
    lateHandler();
    scheduler.runDue();
    EXPECT_EQ(toggles, 4);
}

TEST(HotKey, ARefusedKeyNeverFiresAndIsNotUnregistered) {
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    FakeHotKeys hotKeys;
    hotKeys.grant = false;
    {
        HotKey hotKey(hotKeys, main, [] { FAIL(); });
        EXPECT_FALSE(hotKey.isRegistered());
        hotKeys.press();
        scheduler.runDue();
    }
    EXPECT_EQ(hotKeys.unregistrations, 0);
}

TEST(InputMonitor, KeyboardAndTheMostRecentOfTheSevenPointerKinds) {
    FakeInputSource input;
    auto idle = InputMonitor::activity(input, 0, 100);
    EXPECT_EQ(idle, InputActivity::idle);

    input.secondsSince[InputEvent::keyDown] = 0.25;
    const InputEvent pointerKinds[] = {InputEvent::mouseMoved,       InputEvent::leftMouseDown,
                                       InputEvent::rightMouseDown,   InputEvent::otherMouseDown,
                                       InputEvent::leftMouseDragged, InputEvent::rightMouseDragged,
                                       InputEvent::scrollWheel};
    for (auto recent : pointerKinds) {
        for (auto kind : pointerKinds)
            input.secondsSince[kind] = 9.0;
        input.secondsSince[recent] = 1.5;
        auto activity = InputMonitor::activity(input, 0, 100);
        EXPECT_EQ(activity.secondsSinceKeyboard, 0.25);
        EXPECT_EQ(activity.secondsSincePointer, 1.5) << int(recent);
    }
}

TEST(InputMonitor, APointerEventAtTheProgramsOwnWarpIsNotTheUser) {
    FakeInputSource input;
    const double now = 100;
    auto pointerAfter = [&](double warp, double lastEvent) {
        input.secondsSince[InputEvent::mouseMoved] = now - lastEvent;
        return InputMonitor::activity(input, warp, now).secondsSincePointer;
    };
    EXPECT_TRUE(std::isinf(pointerAfter(99.0, 99.1))) << "warp 0.1 s before the last pointer event";
    EXPECT_TRUE(std::isinf(pointerAfter(99.2, 99.1))) << "within 0.15 s either way";
    EXPECT_NEAR(pointerAfter(99.0, 99.2), 0.8, 1e-9) << "a user movement 0.2 s after the warp";
    EXPECT_NEAR(pointerAfter(99.5, 99.0), 1.0, 1e-9) << "a user movement 0.5 s before the warp";
    EXPECT_DOUBLE_EQ(pointerAfter(0, 0.0), 100) << "0 means no warp was ever made";
    input.secondsSince.clear();
    EXPECT_TRUE(std::isinf(InputMonitor::activity(input, 99.0, now).secondsSincePointer));
}

TEST(InputMonitor, ButtonsZeroAndOneAndTheFourHeldModifiersOnly) {
    FakeInputSource input;
    input.leftButton = true;
    EXPECT_TRUE(InputMonitor::activity(input, 0, 100).mouseButtonDown);
    input.leftButton = false;
    input.rightButton = true;
    EXPECT_TRUE(InputMonitor::activity(input, 0, 100).mouseButtonDown);
    input.rightButton = false;
    EXPECT_FALSE(InputMonitor::activity(input, 0, 100).mouseButtonDown);

    for (auto held : {modifier::shift, modifier::control, modifier::alt, modifier::super}) {
        input.modifiers = held | modifier::numLock;
        EXPECT_TRUE(InputMonitor::activity(input, 0, 100).modifierDown) << held;
    }
    for (auto toggle : {modifier::capsLock, modifier::numLock, modifier::capsLock | modifier::numLock}) {
        input.modifiers = toggle;
        EXPECT_FALSE(InputMonitor::activity(input, 0, 100).modifierDown) << toggle;
    }
}
