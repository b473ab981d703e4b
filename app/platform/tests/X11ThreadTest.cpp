#include "platform/X11Thread.h"

#include "engine/Clock.h"
#include "engine/tests/CapturingLog.h"
#include "platform/HotKeys.h"
#include "platform/InputMonitor.h"
#include "platform/WindowControl.h"
// After the engine's headers: Xlib's macros (Status, None) clash with names declared there.
#include "platform/tests/TestDesktop.h"

#include <atomic>
#include <cmath>

namespace orvane {
namespace {

using test::TestDesktop;
using test::waitUntil;

TEST(X11Thread, RunsTasksTimersAndEventHandlersAndTrapsErrorsOfVanishedWindows) {
    X11Thread thread("orvane.test", TestDesktop::shared().display());
    std::vector<std::string> order; // used on the thread only
    thread.performAfter(0.05, [&] { order.push_back("later"); });
    thread.performAfter(0.01, [&] { order.push_back("soon"); });
    thread.perform([&] { order.push_back("first"); });
    thread.perform([&] { order.push_back("second"); });
    ASSERT_TRUE(waitUntil([&] { return thread.call([&] { return order.size(); }) == 4; }));
    EXPECT_EQ(thread.call([&] { return order; }),
              (std::vector<std::string>{"first", "second", "soon", "later"}));

    // Handlers see events in the order they were added, until one takes the event.
    std::atomic<int> seenByFirst = 0, seenBySecond = 0;
    Display* display = thread.call([&] { return thread.display(); }); // used on the thread only
    Window window = thread.call([&] {
        Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        XSelectInput(display, w, PropertyChangeMask);
        return w;
    });
    auto first = thread.addEventHandler([&](XEvent& event) {
        if (event.type != PropertyNotify || event.xproperty.window != window) return false;
        ++seenByFirst;
        return true;
    });
    thread.addEventHandler([&](XEvent& event) {
        if (event.type == PropertyNotify && event.xproperty.window == window) ++seenBySecond;
        return false;
    });
    auto touch = [&] {
        thread.perform([&] {
            XChangeProperty(display, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>("x"), 1);
        });
    };
    touch();
    ASSERT_TRUE(waitUntil([&] { return seenByFirst == 1; }));
    EXPECT_EQ(seenBySecond, 0);
    thread.removeEventHandler(first);
    touch();
    ASSERT_TRUE(waitUntil([&] { return seenBySecond == 1; }));
    EXPECT_EQ(seenByFirst, 1);

    // A window that vanished mid-query: the innermost trap takes the error, and the process goes on.
    thread.call([&] {
        XDestroyWindow(display, window);
        X11ErrorTrap outer(display);
        {
            X11ErrorTrap inner(display);
            XMapWindow(display, window);
            EXPECT_TRUE(inner.failed());
        }
        XWindowAttributes attributes;
        EXPECT_EQ(XGetWindowAttributes(display, window, &attributes), 0);
        EXPECT_EQ(outer.lastError(), BadWindow);
    });
}

TEST(X11Thread, WithoutAnXServerTasksStillRunAndTheDesktopServicesReadAsAbsent) {
    X11Thread thread("orvane.test", "unix:/nonexistent/display");
    EXPECT_EQ(thread.call([&] { return thread.display(); }), nullptr);
    EXPECT_EQ(thread.call([] { return 42; }), 42);

    test::CollectingQueue main;
    SystemClock clock;
    X11InputSource input(thread, main, clock);
    EXPECT_FALSE(input.isMonitoring());
    EXPECT_TRUE(std::isinf(input.secondsSinceLast(InputEvent::keyDown)));
    EXPECT_FALSE(input.buttonDown(0));
    EXPECT_EQ(input.modifierFlags(), 0u);

    test::CapturingLog log;
    X11HotKeys hotKeys(thread, log);
    EXPECT_FALSE(hotKeys.registerHotKey([] {}));
    EXPECT_FALSE(windowControlAvailable(thread, [](const char*) { return std::optional<std::string>(); }));
}

} // namespace
} // namespace orvane
