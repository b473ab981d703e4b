#include "platform/HotKeys.h"

#include "engine/SystemServices.h"
#include "engine/tests/CapturingLog.h"
#include "platform/X11Thread.h"
// After the engine's headers: Xlib's macros (Status, None) clash with names declared there.
#include "platform/tests/CollectingQueue.h"
#include "platform/tests/TestDesktop.h"

#include <X11/keysym.h>
#include <atomic>
#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;

namespace {

struct HotKeysTest : ::testing::Test {
    void press(const std::string& keys) { ASSERT_EQ(desktop.run("xdotool key " + keys), 0) << keys; }

    // Presses the hot key and waits for the action; false when it did not run exactly once more.
    bool firesOnce() {
        const int before = actions;
        press("ctrl+alt+super+g");
        waitUntil([&] {
            main.runAll();
            return actions > before;
        });
        return actions == before + 1;
    }

    // Another program's grab of the combination (without the lock variants); false when refused.
    static bool grabElsewhere(TestClient& client, bool grab) {
        Display* display = client.connection();
        const int keycode = XKeysymToKeycode(display, XK_g);
        X11ErrorTrap trap(display);
        if (grab)
            XGrabKey(display, keycode, ControlMask | Mod1Mask | Mod4Mask, client.root(), False, GrabModeAsync,
                     GrabModeAsync);
        else
            XUngrabKey(display, keycode, ControlMask | Mod1Mask | Mod4Mask, client.root());
        return !trap.failed();
    }

    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"test.hotkeys", desktop.display()};
    CapturingLog log;
    CollectingQueue main;
    int actions = 0;
};

} // namespace

TEST_F(HotKeysTest, ThePressRunsTheActionOnceWithOrWithoutCapsLockAndNumLock) {
    X11HotKeys hotKeys(thread, log);
    HotKey hotKey(hotKeys, main, [&] { ++actions; });
    ASSERT_TRUE(hotKey.isRegistered());

    EXPECT_TRUE(firesOnce());
    EXPECT_TRUE(firesOnce());
    press("Caps_Lock");
    EXPECT_TRUE(firesOnce()) << "Caps Lock on";
    press("Num_Lock");
    EXPECT_TRUE(firesOnce()) << "Caps Lock and Num Lock on";
    press("Caps_Lock");
    EXPECT_TRUE(firesOnce()) << "Num Lock on";
    press("Num_Lock");

    // Other combinations of the same key are not ours: the next real press is the only one counted.
    press("ctrl+alt+g super+g ctrl+alt+super+shift+g");
    EXPECT_TRUE(firesOnce());
    EXPECT_EQ(actions, 6);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(HotKeysTest, AHeldKeyRepeatsWithoutRunningTheActionAgain) {
    // Sees the key presses before the hot key does, repeats included.
    std::atomic<int> keyPresses = 0;
    thread.addEventHandler([&](XEvent& event) {
        if (event.type == KeyPress) ++keyPresses;
        return false;
    });
    X11HotKeys hotKeys(thread, log);
    HotKey hotKey(hotKeys, main, [&] { ++actions; });
    ASSERT_TRUE(hotKey.isRegistered());

    // Longer than the X server's auto-repeat delay (660 ms).
    ASSERT_EQ(desktop.run("xdotool keydown ctrl+alt+super+g sleep 1 keyup g keyup ctrl+alt+super"), 0);
    ASSERT_TRUE(waitUntil([&] {
        main.runAll();
        return actions > 0;
    }));
    // The next press comes after the repeats and the release: once it is handled, so are they.
    EXPECT_TRUE(firesOnce()) << "the next press counts again";
    EXPECT_GT(keyPresses, 3) << "the key did not repeat while held";
    EXPECT_EQ(actions, 2);
}

TEST_F(HotKeysTest, AKeyHeldByAnotherProgramIsRefusedAndLoggedOnce) {
    TestClient other("Other");
    ASSERT_TRUE(grabElsewhere(other, true));

    X11HotKeys hotKeys(thread, log);
    EXPECT_FALSE(hotKeys.registerHotKey([&] { ++actions; }));
    EXPECT_FALSE(hotKeys.registerHotKey([&] { ++actions; }));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].category, "engine");
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
    EXPECT_NE(log.lines()[0].message.find("taken by another program"), std::string::npos);

    // None of our partial grabs stayed behind: the other program can let go and grab again.
    ASSERT_TRUE(grabElsewhere(other, false));
    for (unsigned int locks : {0u, unsigned(LockMask), unsigned(Mod2Mask)}) {
        X11ErrorTrap trap(other.connection());
        XGrabKey(other.connection(), XKeysymToKeycode(other.connection(), XK_g),
                 ControlMask | Mod1Mask | Mod4Mask | locks, other.root(), False, GrabModeAsync,
                 GrabModeAsync);
        EXPECT_FALSE(trap.failed()) << locks;
    }
    other.terminate();

    // Once free, the key is ours.
    HotKey hotKey(hotKeys, main, [&] { ++actions; });
    ASSERT_TRUE(hotKey.isRegistered());
    EXPECT_TRUE(firesOnce());
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(HotKeysTest, UnregisteringReleasesTheKey) {
    TestClient other("Other");
    {
        X11HotKeys hotKeys(thread, log);
        {
            HotKey hotKey(hotKeys, main, [&] { ++actions; });
            ASSERT_TRUE(hotKey.isRegistered());
            EXPECT_FALSE(grabElsewhere(other, true));
        }
        EXPECT_TRUE(grabElsewhere(other, true)) << "unregistered with the engine's hot key";
        EXPECT_TRUE(grabElsewhere(other, false));
        ASSERT_TRUE(hotKeys.registerHotKey([&] { ++actions; }));
        EXPECT_FALSE(grabElsewhere(other, true));
    }
    EXPECT_TRUE(grabElsewhere(other, true)) << "released with the object";
    EXPECT_EQ(actions, 0);
}

TEST(HotKeysWithoutXTest, RegisteringFails) {
    X11Thread thread{"test.hotkeys", "unix:/nonexistent/display"};
    CapturingLog log;
    X11HotKeys hotKeys(thread, log);
    EXPECT_FALSE(hotKeys.registerHotKey([] {}));
}
