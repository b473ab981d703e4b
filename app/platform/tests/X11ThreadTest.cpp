#include "platform/X11Thread.h"

#include "platform/WindowControl.h"
// After the engine's headers: Xlib's macros (Status, None) clash with names declared there.
#include "desk/TestDesktop.h"

#include <atomic>

namespace orvane {
namespace {

using test::TestDesktop;
using test::waitUntil;

auto environment(std::map<std::string, std::string> variables) {
    return [variables](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
}

// Handlers see events in the order they were added, until one takes the event. (Tasks and timers on the
// thread are what every desktop test stands on.)
TEST(X11Thread, EventHandlersInTurnAndTrapsForErrorsOfVanishedWindows) {
    X11Thread thread("orvane.test", TestDesktop::shared().display());
    std::atomic<int> seenByFirst = 0, seenBySecond = 0;
    Display* display = thread.call([&] { return thread.display(); }); // used on the thread only
    Window window = thread.call([&] {
        Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        XSelectInput(display, w, PropertyChangeMask);
        return w;
    });
    auto ours = [&](XEvent& e) { return e.type == PropertyNotify && e.xproperty.window == window; };
    auto first = thread.addEventHandler([&](XEvent& event) { return ours(event) && ++seenByFirst; });
    thread.addEventHandler([&](XEvent& event) {
        seenBySecond += ours(event);
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

TEST(WindowControlTest, NeedsAnX11SessionWithALiveWindowManagerThatActivates) {
    TestDesktop desktop; // its own: the root's properties are rewritten below
    X11Thread thread{"test.control", desktop.display()};
    const auto x11 = environment({{"XDG_SESSION_TYPE", "x11"}});
    EXPECT_TRUE(windowControlAvailable(thread, x11));
    EXPECT_TRUE(windowControlAvailable(thread, environment({}))) << "an X display alone is enough to say";
    // Other programs' windows on Wayland are out of reach, whatever X server runs beside it.
    EXPECT_FALSE(windowControlAvailable(thread, environment({{"XDG_SESSION_TYPE", "wayland"}})));
    EXPECT_FALSE(windowControlAvailable(thread, environment({{"WAYLAND_DISPLAY", "wayland-0"}})));
    test::TestClient client("Other", std::nullopt, desktop.display());
    const auto supported = client.property(client.root(), "_NET_SUPPORTED", XA_ATOM);
    std::vector<long> withoutActivation;
    for (unsigned long atom : supported)
        if (atom != client.atom("_NET_ACTIVE_WINDOW")) withoutActivation.push_back(long(atom));
    ASSERT_EQ(withoutActivation.size() + 1, supported.size());
    client.setProperty(client.root(), "_NET_SUPPORTED", XA_ATOM, withoutActivation);
    EXPECT_FALSE(windowControlAvailable(thread, x11));
    client.setProperty(client.root(), "_NET_SUPPORTED", XA_ATOM, {supported.begin(), supported.end()});
    EXPECT_TRUE(windowControlAvailable(thread, x11));
    // A window manager that died leaves the root naming a check window that no longer exists.
    const auto check = client.property(client.root(), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    ASSERT_EQ(check.size(), 1u);
    const Window gone = client.createWindow({});
    client.destroyWindow(gone);
    client.setProperty(client.root(), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {long(gone)});
    EXPECT_FALSE(windowControlAvailable(thread, x11));
    client.setProperty(client.root(), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {long(check[0])});
    EXPECT_TRUE(windowControlAvailable(thread, x11));
}

} // namespace
} // namespace orvane
