#include "platform/InputMonitor.h"

#include "engine/SystemServices.h"
#include "platform/X11Thread.h"
// After the engine's headers: Xlib's macros (Status, None) clash with names declared there.
#include "platform/tests/CollectingQueue.h"
#include "platform/tests/TestDesktop.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;

namespace {

struct InputMonitorTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(input->isMonitoring()); }

    // Real input through XTest, as a user's devices would send it.
    void xdotool(const std::string& arguments) {
        ASSERT_EQ(desktop.run("xdotool " + arguments), 0) << arguments;
    }

    // An event of that kind was read at or after the uptime.
    bool seenSince(InputEvent event, double since) {
        return input->secondsSinceLast(event) <= clock.uptime() - since;
    }
    bool waitSeen(InputEvent event, double since) {
        return waitUntil([&] { return seenSince(event, since); });
    }
    bool waitModifiers(std::uint32_t flags) {
        return waitUntil([&] { return input->modifierFlags() == flags; });
    }
    // Events arrive in order: once a key press made after the uptime is seen, so is all input before it.
    void settle(double since) {
        xdotool("key x");
        ASSERT_TRUE(waitSeen(InputEvent::keyDown, since));
    }
    InputActivity activity() { return InputMonitor::activity(*input, 0, clock.uptime()); }

    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"test.input", desktop.display()};
    CollectingQueue main;
    SystemClock clock;
    std::unique_ptr<X11InputSource> input = std::make_unique<X11InputSource>(thread, main, clock);
};

} // namespace

TEST_F(InputMonitorTest, KeysClicksMotionAndScrollingAreRecordedByKind) {
    const double start = clock.uptime();
    xdotool("mousemove 1920 900");
    settle(start);
    for (InputEvent event : {InputEvent::mouseMoved, InputEvent::leftMouseDown, InputEvent::rightMouseDown,
                             InputEvent::otherMouseDown, InputEvent::scrollWheel})
        EXPECT_FALSE(seenSince(event, start)) << int(event);
    EXPECT_GT(activity().secondsSincePointer, clock.uptime() - start);
    EXPECT_LE(activity().secondsSinceKeyboard, clock.uptime() - start);

    xdotool("mousemove_relative 5 5");
    EXPECT_TRUE(waitSeen(InputEvent::mouseMoved, start));
    EXPECT_LE(activity().secondsSincePointer, clock.uptime() - start);
    xdotool("click 1");
    EXPECT_TRUE(waitSeen(InputEvent::leftMouseDown, start));
    xdotool("click 3");
    EXPECT_TRUE(waitSeen(InputEvent::rightMouseDown, start));
    xdotool("click 2");
    EXPECT_TRUE(waitSeen(InputEvent::otherMouseDown, start));
    xdotool("click 5");
    EXPECT_TRUE(waitSeen(InputEvent::scrollWheel, start));
    EXPECT_FALSE(seenSince(InputEvent::leftMouseDragged, start)) << "nothing was held while moving";
}

TEST_F(InputMonitorTest, AWarpIsNotPointerActivity) {
    xdotool("mousemove_relative 3 3");
    ASSERT_TRUE(waitSeen(InputEvent::mouseMoved, 0));
    const double start = clock.uptime();
    xdotool("mousemove 1500 800");
    settle(start);
    EXPECT_FALSE(seenSince(InputEvent::mouseMoved, start));
    EXPECT_GT(activity().secondsSincePointer, clock.uptime() - start);
}

TEST_F(InputMonitorTest, HeldButtonsAndModifiersShowUntilReleased) {
    const double start = clock.uptime();
    xdotool("mousemove 1920 900 mousedown 1");
    ASSERT_TRUE(waitUntil([&] { return input->buttonDown(0); }));
    EXPECT_FALSE(input->buttonDown(1));
    EXPECT_TRUE(activity().mouseButtonDown);
    xdotool("mousemove_relative 4 0");
    EXPECT_TRUE(waitSeen(InputEvent::leftMouseDragged, start));
    xdotool("mouseup 1");
    ASSERT_TRUE(waitUntil([&] { return !input->buttonDown(0); }));
    EXPECT_FALSE(activity().mouseButtonDown);

    xdotool("mousedown 3");
    ASSERT_TRUE(waitUntil([&] { return input->buttonDown(1); }));
    EXPECT_TRUE(activity().mouseButtonDown);
    xdotool("mousemove_relative 0 4");
    EXPECT_TRUE(waitSeen(InputEvent::rightMouseDragged, start));
    xdotool("mouseup 3");
    ASSERT_TRUE(waitUntil([&] { return !input->buttonDown(1); }));

    const double modifiersStart = clock.uptime();
    const std::pair<const char*, std::uint32_t> modifiers[] = {{"shift", modifier::shift},
                                                               {"ctrl", modifier::control},
                                                               {"alt", modifier::alt},
                                                               {"super", modifier::super}};
    for (auto [key, flag] : modifiers) {
        xdotool(std::string("keydown ") + key);
        EXPECT_TRUE(waitModifiers(flag)) << key;
        EXPECT_TRUE(activity().modifierDown) << key;
        xdotool(std::string("keyup ") + key);
        EXPECT_TRUE(waitModifiers(0)) << key;
        EXPECT_FALSE(activity().modifierDown) << key;
    }
    xdotool("keydown ctrl keydown shift");
    EXPECT_TRUE(waitModifiers(modifier::control | modifier::shift));
    xdotool("keyup shift keyup ctrl");
    EXPECT_TRUE(waitModifiers(0));
    EXPECT_FALSE(seenSince(InputEvent::keyDown, modifiersStart)) << "modifiers alone are not typing";
}

TEST_F(InputMonitorTest, CapsLockAndNumLockAreNotHeldModifiers) {
    const double start = clock.uptime();
    xdotool("key Caps_Lock");
    ASSERT_TRUE(waitModifiers(modifier::capsLock));
    EXPECT_FALSE(activity().modifierDown);
    xdotool("key Num_Lock");
    EXPECT_TRUE(waitModifiers(modifier::capsLock | modifier::numLock));
    EXPECT_FALSE(activity().modifierDown);
    // The locks are part of the desktop the other tests share: turn them off again.
    xdotool("key Caps_Lock key Num_Lock");
    EXPECT_TRUE(waitModifiers(0));
    EXPECT_FALSE(seenSince(InputEvent::keyDown, start)) << "nor are the locks";
}

TEST_F(InputMonitorTest, LeftAndRightClicksInOtherProgramsAreReportedWhereTheyHappened) {
    std::vector<Point> clicks;
    input->onMouseDown = [&](Point location, double uptime) {
        EXPECT_LE(uptime, clock.uptime());
        clicks.push_back(location);
    };
    auto waitClicks = [&](std::size_t count) {
        return waitUntil([&] {
            main.runAll();
            return clicks.size() >= count;
        });
    };
    TestClient other("Other");
    WindowSpec spec;
    spec.frame = {100, 100, 400, 300};
    other.createWindow(spec);
    TestClient own("Orvane", getpid()); // a window of this very process
    spec.frame = {700, 100, 400, 300};
    own.createWindow(spec);

    xdotool("mousemove 300 250 click 1");
    ASSERT_TRUE(waitClicks(1));
    EXPECT_EQ(clicks[0], (Point{300, 250}));

    // Our own window, a middle click and scrolling are not reported; the right click after them is.
    xdotool("mousemove 900 250 click 1 click 3");
    xdotool("mousemove 320 260 click 2 click 4 click 3");
    ASSERT_TRUE(waitClicks(2));
    EXPECT_EQ(clicks[1], (Point{320, 260}));

    // A click still queued when the source goes away is dropped.
    const double beforeLast = clock.uptime();
    xdotool("click 1");
    ASSERT_TRUE(waitSeen(InputEvent::leftMouseDown, beforeLast));
    thread.sync(); // the event's handling, which queues the report, is over
    input.reset();
    main.runAll();
    EXPECT_EQ(clicks.size(), 2u);
}

TEST(InputMonitorWithoutXTest, EverythingReadsAsNeverSeen) {
    X11Thread thread{"test.input", "unix:/nonexistent/display"};
    CollectingQueue main;
    SystemClock clock;
    X11InputSource input(thread, main, clock);
    EXPECT_FALSE(input.isMonitoring());
    EXPECT_TRUE(std::isinf(input.secondsSinceLast(InputEvent::keyDown)));
    EXPECT_FALSE(input.buttonDown(0));
    EXPECT_EQ(input.modifierFlags(), 0u);
}
