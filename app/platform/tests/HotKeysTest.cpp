#include "platform/HotKeys.h"

#include "engine/SystemServices.h"
#include "engine/tests/CapturingLog.h"
#include "platform/X11Thread.h"
// After the engine's headers: Xlib's macros (Status, None) clash with names declared there.
#include "platform/tests/TestDesktop.h"

#include <X11/keysym.h>
#include <atomic>

using namespace orvane;
using namespace orvane::test;

namespace {

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

TEST(HotKeysTest, OneActionPerPressWhateverTheLocksAndAKeyTakenElsewhereIsRefusedAndLoggedOnce) {
    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"test.hotkeys", desktop.display()};
    CapturingLog log;
    CollectingQueue main;
    int actions = 0;
    auto press = [&](const std::string& keys) { ASSERT_EQ(desktop.run("xdotool key " + keys), 0) << keys; };
    // Presses the hot key and waits for the action; false when it did not run exactly once more.
    auto firesOnce = [&] {
        const int before = actions;
        press("ctrl+alt+super+g");
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
        EXPECT_EQ(log.lines()[0].category, "engine");
        EXPECT_EQ(log.lines()[0].level, LogLevel::error);
        EXPECT_NE(log.lines()[0].message.find("taken by another program"), std::string::npos);
        // None of our partial grabs stayed behind once the holder lets go.
        holder.terminate();
        for (unsigned int locks : {0u, unsigned(LockMask), unsigned(Mod2Mask), unsigned(LockMask | Mod2Mask)})
            EXPECT_TRUE(grabElsewhere(other, locks)) << locks;

        {
            HotKey hotKey(hotKeys, main, [&] { ++actions; });
            ASSERT_TRUE(hotKey.isRegistered());
            EXPECT_FALSE(grabElsewhere(other));
            for (const char* lock : {"", "Caps_Lock", "Num_Lock", "Caps_Lock", "Num_Lock"}) {
                if (*lock) press(lock); // Caps Lock on, both on, Num Lock on, none
                EXPECT_TRUE(firesOnce()) << lock;
            }
            // Other combinations of the same key are not ours: the next real press is the only one counted.
            press("ctrl+alt+g super+g ctrl+alt+super+shift+g");
            EXPECT_TRUE(firesOnce());
            EXPECT_EQ(actions, 6);

            // Held longer than the X server's auto-repeat delay (660 ms).
            const int pressesBefore = keyPresses;
            ASSERT_EQ(desktop.run("xdotool keydown ctrl+alt+super+g sleep 1 keyup g keyup ctrl+alt+super"),
                      0);
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
