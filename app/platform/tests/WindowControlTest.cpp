#include "platform/WindowControl.h"

#include "platform/X11Thread.h"
#include "platform/tests/TestDesktop.h"

using namespace orvane;
using namespace orvane::test;

namespace {

std::function<std::optional<std::string>(const char*)>
environment(std::map<std::string, std::string> variables) {
    return [variables](const char* name) -> std::optional<std::string> {
        auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
    };
}

} // namespace

TEST(WindowControlTest, NeedsAnX11SessionWithALiveWindowManagerThatActivates) {
    TestDesktop desktop; // its own: the root's properties are rewritten below
    X11Thread thread{"test.control", desktop.display()};
    const auto x11 = environment({{"XDG_SESSION_TYPE", "x11"}});
    EXPECT_TRUE(windowControlAvailable(thread, x11));
    EXPECT_TRUE(windowControlAvailable(thread, environment({}))) << "an X display alone is enough to say";
    // Other programs' windows on Wayland are out of reach, whatever X server runs beside it.
    EXPECT_FALSE(windowControlAvailable(thread, environment({{"XDG_SESSION_TYPE", "wayland"}})));
    EXPECT_FALSE(windowControlAvailable(thread, environment({{"WAYLAND_DISPLAY", "wayland-0"}})));

    TestClient client("Other", std::nullopt, desktop.display());
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
