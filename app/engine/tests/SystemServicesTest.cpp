#include "engine/SystemServices.h"

#include "FakePlatform.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;

namespace {

struct SystemServicesTest : ::testing::Test {
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

TEST_F(SystemServicesTest, TheVerdictIsJudgedOnStartAndTakesThePermissiveAnswerToOpenQuestions) {
    session.locked = true;
    start();
    EXPECT_FALSE(monitor->isActive());
    EXPECT_EQ(changes, 1);

    using Asleep = std::optional<std::vector<bool>>;
    const std::tuple<std::optional<bool>, std::optional<bool>, Asleep, bool> cases[] = {
        {false, true, Asleep{{false, false}}, true},
        {true, true, Asleep{{false}}, false},
        {std::nullopt, true, Asleep{{false}}, true},
        {false, false, Asleep{{false}}, false},
        {false, std::nullopt, Asleep{{false}}, true},
        {false, true, Asleep{{true, true}}, false},
        {false, true, Asleep{{true, false}}, true},
        {false, true, Asleep{std::vector<bool>{}}, true},
        {false, true, std::nullopt, true},
    };
    for (const auto& [locked, console, asleep, active] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::tuple(locked, console, asleep)));
        session.locked = locked;
        session.console = console;
        session.asleep = asleep;
        session.onEvent(SessionEvent::sessionDidBecomeActive);
        EXPECT_EQ(monitor->isActive(), active);
    }
}

TEST_F(SystemServicesTest, SleepWinsAndEventsAreJudgedAtOnceAndHalfASecondLater) {
    start();
    session.onEvent(SessionEvent::willSleep);
    EXPECT_FALSE(monitor->isActive());
    scheduler.advance(0.5);
    EXPECT_FALSE(monitor->isActive()) << "still asleep when the delayed check runs";

    // On waking the screen still reads as locked; the lock clears shortly after.
    session.locked = true;
    session.onEvent(SessionEvent::didWake);
    scheduler.advance(0.2);
    session.locked = false;
    scheduler.advance(0.29);
    EXPECT_FALSE(monitor->isActive());
    scheduler.advance(0.02);
    EXPECT_TRUE(monitor->isActive());
    EXPECT_EQ(changes, 2);
}

TEST_F(SystemServicesTest, AnUnchangedVerdictNeverCallsOnChangeWhileTheFiveSecondPollRuns) {
    start();
    for (auto event :
         {SessionEvent::screensDidSleep, SessionEvent::screensDidWake, SessionEvent::screenLocked,
          SessionEvent::screenUnlocked, SessionEvent::sessionDidResignActive})
        session.onEvent(event);
    scheduler.advance(60);
    EXPECT_EQ(changes, 0);

    session.locked = true; // the poll picks up a change nobody announced
    scheduler.advance(4.9);
    EXPECT_TRUE(monitor->isActive());
    scheduler.advance(0.2);
    EXPECT_FALSE(monitor->isActive());

    monitor.reset(); // and stops with the monitor, delayed checks too
    EXPECT_FALSE(session.onEvent);
    const int queries = session.queries;
    scheduler.advance(20);
    EXPECT_EQ(session.queries, queries);
    EXPECT_EQ(scheduler.pending(), 0u);
}

TEST(InputMonitor, KeyboardThePointersMostRecentKindOutsideTheWarpWindowButtonsAndHeldModifiers) {
    FakeInputSource input;
    EXPECT_EQ(InputMonitor::activity(input, 0, 100), InputActivity::idle);
    for (auto recent : {InputEvent::mouseMoved, InputEvent::leftMouseDown, InputEvent::rightMouseDown,
                        InputEvent::otherMouseDown, InputEvent::leftMouseDragged,
                        InputEvent::rightMouseDragged, InputEvent::scrollWheel}) {
        input.secondsSince = {{InputEvent::keyDown, 0.25}, {InputEvent::mouseMoved, 9}};
        input.secondsSince[recent] = 1.5;
        EXPECT_EQ(InputMonitor::activity(input, 0, 100), (InputActivity{0.25, 1.5})) << int(recent);
    }
    // A pointer event within 0.15 s of the program's own warp (either way) is not the user; 0 is no warp.
    input.secondsSince.clear();
    for (auto [warp, event, seconds] : {std::tuple{99.0, 99.1, double(INFINITY)},
                                        {99.2, 99.1, INFINITY},
                                        {99.0, 99.2, 0.8},
                                        {99.5, 99.0, 1.0},
                                        {0.0, 0.0, 100.0}}) {
        input.secondsSince[InputEvent::mouseMoved] = 100 - event;
        const double pointer = InputMonitor::activity(input, warp, 100).secondsSincePointer;
        EXPECT_TRUE(pointer == seconds || std::abs(pointer - seconds) < 1e-9) << warp << ": " << pointer;
    }
    for (auto [left, right] : {std::pair{true, false}, {false, true}, {false, false}}) {
        input.leftButton = left;
        input.rightButton = right;
        EXPECT_EQ(InputMonitor::activity(input, 0, 100).mouseButtonDown, left || right);
    }
    using namespace modifier;
    for (auto [flags, held] : {std::pair{shift, true},
                               {control, true},
                               {alt | numLock, true},
                               {super, true},
                               {capsLock | numLock, false}}) {
        input.modifiers = flags;
        EXPECT_EQ(InputMonitor::activity(input, 0, 100).modifierDown, held) << flags;
    }
}
