#include "engine/SystemServices.h"
#include "engine/tests/CapturingLog.h"
#include "platform/HotKeys.h"
#include "platform/InputMonitor.h"
#include "platform/X11Thread.h"
// After the engine's headers: Xlib's macros (Status, None) clash with names declared there.
#include "desk/TestDesktop.h"

#include <X11/keysym.h>
#include <atomic>

using namespace orvane;
using namespace orvane::test;

namespace {

// Real input through XTest on the shared desktop, as a user's devices would send it.
struct KeyboardAndMouse : ::testing::Test {
    void xdotool(const std::string& arguments) {
        ASSERT_EQ(desktop.run("xdotool " + arguments), 0) << arguments;
    }

    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"test.input", desktop.display()};
    CollectingQueue main;
    CapturingLog log;
};

struct InputMonitorTest : KeyboardAndMouse {
    void SetUp() override { ASSERT_TRUE(input->isMonitoring()); }

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
    InputActivity activity() { return InputMonitor::activity(*input, 0, clock.uptime()); }

    SystemClock clock;
    std::unique_ptr<X11InputSource> input = std::make_unique<X11InputSource>(thread, main, clock);
};

struct HotKeysTest : KeyboardAndMouse {};

// Whether another program can grab the combination (with lock modifiers); false when refused. With `hold` it
// keeps the grab, else it lets go at once.
bool grabElsewhere(TestClient& other, unsigned int locks = 0, bool hold = false) {
    Display* display = other.connection();
    const int keycode = XKeysymToKeycode(display, XK_g);
    const unsigned int modifiers = ControlMask | Mod1Mask | Mod4Mask | locks;
    X11ErrorTrap trap(display);
    XGrabKey(display, keycode, modifiers, other.root(), False, GrabModeAsync, GrabModeAsync);
    if (!hold) XUngrabKey(display, keycode, modifiers, other.root());
    return !trap.failed();
}

} // namespace

TEST_F(InputMonitorTest, InputShowsInTheActivityButWarpsAndLocksDoNotAndClicksAreReportedWhereTheyHappened) {
    using enum InputEvent;
    const double start = clock.uptime();
    // A warp, then a key: events arrive in order, so once the key is seen the warp has been handled.
    xdotool("mousemove 1920 900 key x");
    ASSERT_TRUE(waitSeen(keyDown, start));
    for (InputEvent event : {mouseMoved, leftMouseDown, rightMouseDown, otherMouseDown, scrollWheel})
        EXPECT_FALSE(seenSince(event, start)) << int(event);
    EXPECT_GT(activity().secondsSincePointer, clock.uptime() - start);
    EXPECT_LE(activity().secondsSinceKeyboard, clock.uptime() - start);
    xdotool("mousemove_relative 5 5");
    EXPECT_TRUE(waitSeen(mouseMoved, start));
    EXPECT_LE(activity().secondsSincePointer, clock.uptime() - start);
    for (auto [button, event] :
         {std::pair{1, leftMouseDown}, {3, rightMouseDown}, {2, otherMouseDown}, {5, scrollWheel}}) {
        xdotool("click " + std::to_string(button));
        EXPECT_TRUE(waitSeen(event, start)) << button;
    }
    EXPECT_FALSE(seenSince(leftMouseDragged, start)) << "nothing was held while moving";
    // Held buttons; motion while one is held is a drag.
    for (auto [index, dragged] : {std::pair{0, leftMouseDragged}, {1, rightMouseDragged}}) {
        const std::string button = index == 0 ? "1" : "3";
        xdotool("mousedown " + button);
        ASSERT_TRUE(waitUntil([&] { return input->buttonDown(index); })) << button;
        EXPECT_FALSE(input->buttonDown(1 - index));
        EXPECT_TRUE(activity().mouseButtonDown);
        xdotool("mousemove_relative 4 4 mouseup " + button);
        EXPECT_TRUE(waitSeen(dragged, start)) << button;
        ASSERT_TRUE(waitUntil([&] { return !input->buttonDown(index); })) << button;
        EXPECT_FALSE(activity().mouseButtonDown);
    }
    // Held modifiers count until released; alone they are not typing, and neither are the locks.
    const double modifiersStart = clock.uptime();
    for (auto [keys, flags] : {std::pair{"shift", modifier::shift},
                               {"ctrl", modifier::control},
                               {"alt", modifier::alt},
                               {"super", modifier::super},
                               {"ctrl+shift", modifier::control | modifier::shift}}) {
        xdotool(std::string("keydown ") + keys);
        EXPECT_TRUE(waitModifiers(flags)) << keys;
        EXPECT_TRUE(activity().modifierDown) << keys;
        xdotool(std::string("keyup ") + keys);
        EXPECT_TRUE(waitModifiers(0)) << keys;
        EXPECT_FALSE(activity().modifierDown) << keys;
    }
    xdotool("key Caps_Lock");
    EXPECT_TRUE(waitModifiers(modifier::capsLock));
    xdotool("key Num_Lock");
    EXPECT_TRUE(waitModifiers(modifier::capsLock | modifier::numLock));
    EXPECT_FALSE(activity().modifierDown);
    xdotool("key Caps_Lock key Num_Lock");
    EXPECT_TRUE(waitModifiers(0));
    EXPECT_FALSE(seenSince(keyDown, modifiersStart));
    // Left and right clicks in other programs' windows are reported where they happened.
    main.runAll(); // the reports of the clicks above go nowhere
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
    TestClient other("Other"), own("Orvane", getpid()); // own: a window of this very process
    other.createWindow(windowAt(100, 100));
    own.createWindow(windowAt(700, 100));
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
    ASSERT_TRUE(waitSeen(leftMouseDown, beforeLast));
    thread.sync(); // the event's handling, which queues the report, is over
    input.reset();
    main.runAll();
    EXPECT_EQ(clicks.size(), 2u);
}

// The pause hot key grabs the keyboard while it is pressed, and no raw events come during the grab: the
// modifiers let go meanwhile must not read as held afterwards (a switch would wait for them for ever).
TEST_F(InputMonitorTest, NoModifierReadsAsHeldAfterThePauseHotKey) {
    X11HotKeys hotKeys(thread, log);
    std::atomic<int> pressed = 0;
    ASSERT_TRUE(hotKeys.registerHotKey([&] { ++pressed; }));
    xdotool("key ctrl+alt+super+g");
    ASSERT_TRUE(waitUntil([&] { return pressed == 1; }));
    EXPECT_TRUE(waitModifiers(0)) << input->modifierFlags();
}

TEST_F(HotKeysTest, OneActionPerPressWhateverTheLocksAndAKeyTakenElsewhereIsRefusedAndLoggedOnce) {
    int actions = 0;
    // Presses the hot key and waits for the action; false when it did not run exactly once more.
    auto firesOnce = [&] {
        const int before = actions;
        xdotool("key ctrl+alt+super+g");
        waitUntil([&] {
            main.runAll();
            return actions > before;
        });
        return actions == before + 1;
    };
    // Sees the key presses before the hot key does, repeats included.
    std::atomic<int> keyPresses = 0;
    thread.addEventHandler([&](XEvent& event) {
        if (event.type == KeyPress) ++keyPresses;
        return false;
    });
    TestClient holder("Holder"), other("Other");
    ASSERT_TRUE(grabElsewhere(holder, 0, true));
    {
        X11HotKeys hotKeys(thread, log);
        EXPECT_FALSE(hotKeys.registerHotKey([&] { ++actions; }));
        EXPECT_FALSE(hotKeys.registerHotKey([&] { ++actions; }));
        ASSERT_EQ(log.lines().size(), 1u);
        const auto line = log.lines()[0];
        EXPECT_TRUE(line.category == "engine" && line.level == LogLevel::error) << line.category;
        EXPECT_NE(line.message.find("taken by another program"), std::string::npos) << line.message;
        // None of our partial grabs stayed behind once the holder lets go.
        holder.terminate();
        for (unsigned int locks : {0u, unsigned(LockMask), unsigned(Mod2Mask), unsigned(LockMask | Mod2Mask)})
            EXPECT_TRUE(grabElsewhere(other, locks)) << locks;

        {
            HotKey hotKey(hotKeys, main, [&] { ++actions; });
            ASSERT_TRUE(hotKey.isRegistered());
            EXPECT_FALSE(grabElsewhere(other));
            for (const char* lock : {"", "Caps_Lock", "Num_Lock", "Caps_Lock", "Num_Lock"}) {
                if (*lock) xdotool(std::string("key ") + lock); // Caps Lock on, both on, Num Lock on, none
                EXPECT_TRUE(firesOnce()) << lock;
            }
            // Other combinations of the same key are not ours: the next real press is the only one counted.
            xdotool("key ctrl+alt+g super+g ctrl+alt+super+shift+g");
            EXPECT_TRUE(firesOnce());
            EXPECT_EQ(actions, 6);
            // Held longer than the X server's auto-repeat delay (660 ms).
            const int pressesBefore = keyPresses;
            xdotool("keydown ctrl+alt+super+g sleep 1 keyup g keyup ctrl+alt+super");
            ASSERT_TRUE(waitUntil([&] {
                main.runAll();
                return actions == 7;
            }));
            // The next press comes after the repeats and the release: once it is handled, so are they.
            EXPECT_TRUE(firesOnce()) << "the next press counts again";
            EXPECT_GT(keyPresses - pressesBefore, 3) << "the key did not repeat while held";
            EXPECT_EQ(actions, 8);
        }
        EXPECT_TRUE(grabElsewhere(other)) << "unregistered with the engine's hot key";
        ASSERT_TRUE(hotKeys.registerHotKey([&] { ++actions; }));
        EXPECT_FALSE(grabElsewhere(other));
    }
    EXPECT_TRUE(grabElsewhere(other)) << "released with the object";
    EXPECT_EQ(log.lines().size(), 1u);
}
