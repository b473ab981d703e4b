#include "platform/WindowTracker.h"

#include "TestDesktop.h"
#include "engine/tests/CapturingLog.h"
#include "platform/Displays.h"
#include "platform/X11Thread.h"

#include <algorithm>
#include <mutex>

namespace orvane {
namespace {

using test::TestClient;
using test::TestDesktop;
using test::waitUntil;
using test::WindowSpec;

std::vector<DisplayInfo> displaysOf(const TestDesktop& desktop) {
    Display* display = XOpenDisplay(desktop.display().c_str());
    auto displays = readDisplays(display);
    XCloseDisplay(display);
    return displays;
}

struct WindowTrackerTest : ::testing::Test {
    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"orvane.test", desktop.display()};
    test::CapturingLog log;
    std::vector<DisplayInfo> displays = displaysOf(desktop);
    const DisplayInfo& left = displays.at(0);
    const DisplayInfo& right = displays.at(1);
    WindowTracker tracker{thread, log, static_cast<std::int32_t>(getpid())};

    std::mutex mutex;
    std::vector<std::string> reported;

    void SetUp() override {
        ASSERT_EQ(displays.size(), 2u);
        tracker.onFocusedDisplayChange = [this](const std::string& id) {
            std::lock_guard lock(mutex);
            reported.push_back(id);
        };
        tracker.updateDisplays(displays);
        tracker.start();
        thread.sync();
    }

    std::optional<WindowTracker::Window> best(const DisplayInfo& display) {
        return thread.call([&] { return tracker.bestWindow(display); });
    }
    std::vector<std::uint32_t> visible() {
        return thread.call([&] {
            std::vector<std::uint32_t> ids;
            for (const auto& w : tracker.visibleWindows())
                ids.push_back(w.windowID);
            return ids;
        });
    }
    std::vector<std::uint32_t> recent() {
        return thread.call([&] {
            std::vector<std::uint32_t> ids;
            for (const auto& r : tracker.recent())
                ids.push_back(r.windowID);
            return ids;
        });
    }
    // Activates the window as the user would and waits until the tracker has seen it.
    void focus(TestClient& client, Window window) {
        SCOPED_TRACE(window);
        ASSERT_TRUE(client.activate(window));
        ASSERT_TRUE(waitUntil([&] {
            auto r = recent();
            return !r.empty() && r.front() == window;
        }));
    }
    bool waitReported(const DisplayInfo& display) {
        return waitUntil([&] {
            std::lock_guard lock(mutex);
            return !reported.empty() && reported.back() == display.uuid;
        });
    }
    static WindowSpec at(double x, double y, double width = 400, double height = 300) {
        return WindowSpec{.frame = {x, y, width, height}};
    }
};

std::optional<std::uint32_t> idOf(const std::optional<WindowTracker::Window>& window) {
    if (!window) return std::nullopt;
    return window->windowID;
}

TEST_F(WindowTrackerTest, SwitchAnswersTheLastFocusedWindowOfTheDisplayEvenWhenAnotherLiesInFront) {
    TestClient a("AppA"), b("AppB"), c("AppC");
    Window wa = a.createWindow(at(100, 100));
    Window wc = c.createWindow(at(200, 150));
    Window wb = b.createWindow(at(2100, 100));
    focus(a, wa);
    // C comes to the front without taking focus; then the user works in B on the right.
    XRaiseWindow(c.connection(), wc);
    XSync(c.connection(), False);
    focus(b, wb);
    ASSERT_TRUE(waitUntil([&] {
        auto v = visible();
        auto posA = std::find(v.begin(), v.end(), wa), posC = std::find(v.begin(), v.end(), wc);
        return posA != v.end() && posC != v.end() && posC < posA;
    })) << "C should lie in front of A";

    EXPECT_EQ(idOf(best(left)), wa);
    EXPECT_EQ(idOf(best(right)), wb);
    auto answer = best(left);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->pid, a.pid());
    EXPECT_EQ(answer->frame, *a.frame(wa));

    // A tracker that never saw A focused answers the frontmost window there.
    WindowTracker fresh(thread, log, static_cast<std::int32_t>(getpid()));
    fresh.updateDisplays(displays);
    fresh.start();
    EXPECT_EQ(idOf(thread.call([&] { return fresh.bestWindow(left); })), wc);
}

TEST_F(WindowTrackerTest, AnswersNothingOnADisplayWithoutWindows) {
    TestClient a("AppA");
    focus(a, a.createWindow(at(100, 100)));
    EXPECT_EQ(best(right), std::nullopt);
}

TEST_F(WindowTrackerTest, MinimisedTinyTransparentOwnAndSpecialWindowsAreNeverAnswered) {
    TestClient apps("Apps"), own("Own", static_cast<std::int32_t>(getpid()));
    Window minimised = apps.createWindow(at(2000, 100));
    focus(apps, minimised);
    apps.minimise(minimised);
    std::vector<Window> never = {
        minimised,
        apps.createWindow(at(2100, 100, 80, 300)), // narrow
        apps.createWindow(at(2200, 100, 300, 20)), // low
        apps.createWindow({.frame = {2300, 100, 400, 300}, .opacity = 0.0}),
        apps.createWindow({.frame = {2400, 100, 400, 300}, .type = "SPLASH"}),
        apps.createWindow({.frame = {2500, 100, 400, 300}, .type = "UTILITY"}),
        apps.createWindow({.frame = {2600, 100, 400, 300}, .desktop = 1}), // another desktop
        own.createWindow(at(2700, 100)),
    };
    // Focused once, so that they are also in the recent list.
    for (Window w : {never[1], never[2], never[3]})
        focus(apps, w);
    ASSERT_TRUE(own.activate(never[7]));
    EXPECT_EQ(best(right), std::nullopt);
    auto v = visible();
    for (Window w : never)
        EXPECT_EQ(std::count(v.begin(), v.end(), w), 0) << std::hex << w;
    // Our own windows are never recorded either.
    auto r = recent();
    EXPECT_EQ(std::count(r.begin(), r.end(), never[7]), 0);

    // Ordinary windows do count: a dialog, and a half-transparent one.
    Window dialog = apps.createWindow({.frame = {2000, 500, 400, 300}, .type = "DIALOG"});
    Window translucent = apps.createWindow({.frame = {2500, 500, 400, 300}, .opacity = 0.5});
    v = visible();
    EXPECT_EQ(std::count(v.begin(), v.end(), dialog), 1);
    EXPECT_EQ(std::count(v.begin(), v.end(), translucent), 1);
    EXPECT_TRUE(best(right).has_value());
}

TEST_F(WindowTrackerTest, FocusedWindowIsReportedOnItsDisplayAlsoWhenMovedOrOurOwn) {
    TestClient a("AppA"), own("Own", static_cast<std::int32_t>(getpid()));
    Window wa = a.createWindow(at(100, 100));
    focus(a, wa);
    ASSERT_TRUE(waitReported(left));

    a.moveWindow(wa, 2200, 200);
    ASSERT_TRUE(waitReported(right));
    EXPECT_EQ(idOf(best(right)), wa);
    EXPECT_EQ(best(left), std::nullopt);

    Window mine = own.createWindow(at(300, 300));
    ASSERT_TRUE(own.activate(mine));
    EXPECT_TRUE(waitReported(left));
}

TEST_F(WindowTrackerTest, RecentListKeepsTheSixtyFourLatestWithoutDuplicates) {
    TestClient apps("Apps");
    std::vector<Window> windows;
    for (int i = 0; i < 65; ++i) {
        windows.push_back(apps.createWindow(at(100 + 10 * i, 100, 120, 80)));
        focus(apps, windows.back());
    }
    auto r = recent();
    ASSERT_EQ(r.size(), WindowTracker::recentLimit);
    EXPECT_EQ(r.front(), windows.back());
    EXPECT_EQ(r.back(), windows[1]);
    EXPECT_EQ(std::count(r.begin(), r.end(), windows[0]), 0);

    focus(apps, windows[10]);
    r = recent();
    EXPECT_EQ(r.size(), WindowTracker::recentLimit);
    EXPECT_EQ(std::count(r.begin(), r.end(), windows[10]), 1);
    EXPECT_EQ(r[1], windows.back());
}

TEST_F(WindowTrackerTest, WindowsOfAnEndedProgramAreForgotten) {
    TestClient ending("Ending"), staying("Staying");
    Window first = ending.createWindow(at(100, 100)), second = ending.createWindow(at(600, 100));
    Window other = staying.createWindow(at(2100, 100)), closed = staying.createWindow(at(2600, 100));
    focus(ending, first);
    focus(ending, second);
    focus(staying, closed);
    focus(staying, other);

    staying.destroyWindow(closed);
    ending.terminate();
    EXPECT_TRUE(
        waitUntil([&] { return recent() == std::vector<std::uint32_t>{static_cast<std::uint32_t>(other)}; }));
}

} // namespace
} // namespace orvane
