#include "platform/X11Thread.h"

#include "TestDesktop.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace orvane {
namespace {

using test::TestDesktop;
using test::waitUntil;

TEST(X11Thread, RunsTasksInOrderAndTimersWhenDue) {
    X11Thread thread("orvane.test", TestDesktop::shared().display());
    std::mutex mutex;
    std::vector<std::string> order;
    auto note = [&](std::string what) {
        std::lock_guard lock(mutex);
        order.push_back(std::move(what));
    };
    thread.performAfter(0.05, [&] { note("later"); });
    thread.performAfter(0.01, [&] { note("soon"); });
    thread.perform([&] { note("first"); });
    thread.perform([&] { note("second"); });
    thread.sync();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return order.size() == 4;
    }));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "soon", "later"}));
    EXPECT_TRUE(thread.call([&] { return thread.isCurrent(); }));
    EXPECT_FALSE(thread.isCurrent());
}

TEST(X11Thread, HandsEventsToHandlersUntilOneTakesIt) {
    auto& desktop = TestDesktop::shared();
    X11Thread thread("orvane.test", desktop.display());
    std::atomic<int> seenByFirst = 0, seenBySecond = 0;
    Window window = thread.call([&] {
        Display* display = thread.display();
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
            XChangeProperty(thread.display(), window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
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
}

TEST(X11Thread, ErrorOfAVanishedWindowIsTrappedNotFatal) {
    X11Thread thread("orvane.test", TestDesktop::shared().display());
    auto outcome = thread.call([&] {
        Display* display = thread.display();
        Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        XDestroyWindow(display, gone);
        X11ErrorTrap outer(display);
        bool innerFailed = false;
        {
            X11ErrorTrap inner(display);
            XMapWindow(display, gone);
            innerFailed = inner.failed();
        }
        XWindowAttributes attributes;
        Status read = XGetWindowAttributes(display, gone, &attributes);
        return std::tuple(innerFailed, outer.lastError(), read);
    });
    auto [innerFailed, outerError, read] = outcome;
    EXPECT_TRUE(innerFailed);
    EXPECT_EQ(outerError, BadWindow); // the inner trap took the first error, the outer one the second
    EXPECT_EQ(read, 0);
}

TEST(X11Thread, RunsTasksWithoutAnXServer) {
    X11Thread thread("orvane.test", ":65000"); // nothing listens there
    EXPECT_EQ(thread.call([&] { return thread.display(); }), nullptr);
    EXPECT_EQ(thread.call([] { return 42; }), 42);
}

} // namespace
} // namespace orvane
