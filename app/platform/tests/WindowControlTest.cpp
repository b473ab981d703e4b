#include "platform/WindowControl.h"

#include "platform/X11Thread.h"
#include "platform/tests/TestDesktop.h"

#include <gtest/gtest.h>
#include <map>

using namespace orvane;
using namespace orvane::test;

namespace {

using Environment = std::map<std::string, std::string>;

std::function<std::optional<std::string>(const char*)> reader(Environment environment) {
    return [environment](const char* name) -> std::optional<std::string> {
        auto found = environment.find(name);
        if (found == environment.end()) return std::nullopt;
        return found->second;
    };
}

const Environment x11Session{{"XDG_SESSION_TYPE", "x11"}};

void setWindows(TestClient& client, const std::string& property, std::vector<long> windows, Atom type) {
    XChangeProperty(client.connection(), client.root(), client.atom(property), type, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(windows.data()), int(windows.size()));
    XSync(client.connection(), False);
}

} // namespace

TEST(WindowControlTest, AnX11SessionWithAnActivatingWindowManager) {
    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"test.control", desktop.display()};
    EXPECT_TRUE(windowControlAvailable(thread, reader(x11Session)));
    EXPECT_TRUE(windowControlAvailable(thread, reader({}))) << "an X display alone is enough to say";

    // Other programs' windows on Wayland are out of reach, whatever X server runs beside it.
    EXPECT_FALSE(windowControlAvailable(thread, reader({{"XDG_SESSION_TYPE", "wayland"}})));
    EXPECT_FALSE(windowControlAvailable(thread, reader({{"WAYLAND_DISPLAY", "wayland-0"}})));

    X11Thread nowhere{"test.control", "unix:/nonexistent/display"};
    EXPECT_FALSE(windowControlAvailable(nowhere, reader(x11Session)));
}

TEST(WindowControlTest, AWindowManagerThatIsGoneOrCannotActivateDoesNotCount) {
    TestDesktop desktop; // its own: the root's properties are rewritten below
    X11Thread thread{"test.control", desktop.display()};
    TestClient client("Other", std::nullopt, desktop.display());
    const auto supported = [&] {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        XGetWindowProperty(client.connection(), client.root(), client.atom("_NET_SUPPORTED"), 0, 4096, False,
                           XA_ATOM, &type, &format, &count, &after, &data);
        std::vector<long> atoms(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
        XFree(data);
        return atoms;
    }();
    const auto checkWindow = client.cardinal(client.root(), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    ASSERT_TRUE(checkWindow);
    ASSERT_TRUE(windowControlAvailable(thread, reader(x11Session)));

    std::vector<long> withoutActivation;
    for (long atom : supported)
        if (Atom(atom) != client.atom("_NET_ACTIVE_WINDOW")) withoutActivation.push_back(atom);
    ASSERT_LT(withoutActivation.size(), supported.size());
    setWindows(client, "_NET_SUPPORTED", withoutActivation, XA_ATOM);
    EXPECT_FALSE(windowControlAvailable(thread, reader(x11Session)));
    setWindows(client, "_NET_SUPPORTED", supported, XA_ATOM);
    EXPECT_TRUE(windowControlAvailable(thread, reader(x11Session)));

    // A window manager that died leaves the root naming a check window that no longer exists.
    WindowSpec spec;
    const Window gone = client.createWindow(spec);
    client.destroyWindow(gone);
    setWindows(client, "_NET_SUPPORTING_WM_CHECK", {long(gone)}, XA_WINDOW);
    EXPECT_FALSE(windowControlAvailable(thread, reader(x11Session)));
    setWindows(client, "_NET_SUPPORTING_WM_CHECK", {long(*checkWindow)}, XA_WINDOW);
    EXPECT_TRUE(windowControlAvailable(thread, reader(x11Session)));
}
