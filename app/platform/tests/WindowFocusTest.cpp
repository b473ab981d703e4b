#include "desk/TestDesktop.h"
#include "engine/tests/CapturingLog.h"
#include "platform/FocusController.h"
#include "platform/WindowTracker.h"
#include "platform/X11Thread.h"
#include "platform/X11WindowFocus.h"

#include <algorithm>
#include <cmath>
#include <future>

namespace orvane {
namespace {

using namespace std::chrono_literals;
using test::TestClient;
using test::waitUntil;
using test::windowAt;

const std::int32_t ownPID = getpid();

// Two monitors side by side, LEFT and RIGHT, and the window thread.
struct OnTheDesktop : ::testing::Test {
    test::TestDesktop& desktop = test::TestDesktop::shared();
    X11Thread thread{"orvane.test", desktop.display()};
    test::CapturingLog log;
    std::vector<DisplayInfo> displays = desktop.displays();
    const DisplayInfo& left = displays.at(0);
    const DisplayInfo& right = displays.at(1);

    // Activates the window as the user would and waits until the tracker has seen it.
    void use(const WindowTracker& tracker, TestClient& client, Window window) {
        ASSERT_TRUE(client.activate(window)) << window;
        ASSERT_TRUE(waitUntil([&] {
            return thread.call(
                [&] { return !tracker.recent().empty() && tracker.recent().front().windowID == window; });
        })) << window;
    }
};

struct WindowTrackerTest : OnTheDesktop {
    WindowTracker tracker{thread, log, ownPID};
    std::string reported; // the display of the focused window, on the X11 thread

    void SetUp() override {
        tracker.onFocusedDisplayChange = [this](const std::string& id) { reported = id; };
        tracker.updateDisplays(displays);
        tracker.start();
        thread.sync();
    }

    std::optional<std::uint32_t> best(const DisplayInfo& display) {
        auto window = thread.call([&] { return tracker.bestWindow(display); });
        return window ? std::optional(window->windowID) : std::nullopt;
    }
    template <typename List> static std::vector<std::uint32_t> ids(const List& windows) {
        std::vector<std::uint32_t> ids;
        for (const auto& w : windows)
            ids.push_back(w.windowID);
        return ids;
    }
    std::vector<std::uint32_t> visible() {
        return thread.call([&] { return ids(tracker.visibleWindows()); });
    }
    std::vector<std::uint32_t> recent() {
        return thread.call([&] { return ids(tracker.recent()); });
    }
    void focus(TestClient& client, Window window) { use(tracker, client, window); }
    bool waitReported(const DisplayInfo& display) {
        return waitUntil([&] { return thread.call([&] { return reported; }) == display.uuid; });
    }
};

TEST_F(WindowTrackerTest, SwitchAnswersTheLastFocusedWindowOfTheDisplayWhereverItMoves) {
    TestClient a("AppA"), b("AppB"), c("AppC"), own("Own", ownPID);
    Window wa = a.createWindow(windowAt(100, 100)), wc = c.createWindow(windowAt(200, 150));
    // The window manager focuses new windows, at its own pace: C's turn is settled before A's.
    focus(c, wc);
    focus(a, wa);
    EXPECT_TRUE(waitReported(left));
    EXPECT_EQ(best(right), std::nullopt) << "no window there";
    // C comes to the front without taking focus; then the user works in B on the right.
    XRaiseWindow(c.connection(), wc);
    XSync(c.connection(), False);
    Window wb = b.createWindow(windowAt(2100, 100));
    focus(b, wb);
    EXPECT_TRUE(waitReported(right));
    ASSERT_TRUE(waitUntil([&] {
        auto v = visible();
        auto posA = std::find(v.begin(), v.end(), wa), posC = std::find(v.begin(), v.end(), wc);
        return posA != v.end() && posC < posA;
    })) << "C should lie in front of A";
    EXPECT_EQ(best(right), wb);
    EXPECT_EQ(thread.call([&] { return tracker.bestWindow(left); }),
              (WindowTracker::Window{a.pid(), std::uint32_t(wa), *a.frame(wa)}));
    // The focused window moved to the other display is reported and found there.
    focus(a, wa);
    a.moveWindow(wa, 2200, 200);
    EXPECT_TRUE(waitReported(right));
    EXPECT_EQ(best(right), wa);
    EXPECT_EQ(best(left), wc);
    // Our own focused window is reported too.
    ASSERT_TRUE(own.activate(own.createWindow(windowAt(300, 300))));
    EXPECT_TRUE(waitReported(left));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(WindowTrackerTest, MinimisedTinyTransparentOwnAndSpecialWindowsAreNeverAnswered) {
    TestClient apps("Apps"), own("Own", ownPID);
    Window minimised = apps.createWindow(windowAt(2000, 100));
    focus(apps, minimised);
    apps.minimise(minimised);
    const std::vector<Window> never = {
        minimised,
        apps.createWindow(windowAt(2100, 100, 80, 300)), // narrow
        apps.createWindow(windowAt(2200, 100, 300, 20)), // low
        apps.createWindow({.frame = {2300, 100, 400, 300}, .opacity = 0.0}),
        apps.createWindow({.frame = {2400, 100, 400, 300}, .type = "SPLASH"}),
        apps.createWindow({.frame = {2500, 100, 400, 300}, .type = "UTILITY"}),
        apps.createWindow({.frame = {2600, 100, 400, 300}, .desktop = 1}), // another desktop
        own.createWindow(windowAt(2700, 100)),
    };
    // Focused once, so that they are in the recent list too (our own is never recorded).
    for (Window w : {never[1], never[2], never[3]})
        focus(apps, w);
    ASSERT_TRUE(own.activate(never[7]));
    EXPECT_EQ(best(right), std::nullopt);
    auto v = visible(), r = recent();
    for (Window w : never)
        EXPECT_EQ(std::count(v.begin(), v.end(), w), 0) << std::hex << w;
    EXPECT_EQ(std::count(r.begin(), r.end(), never[7]), 0);
    // Ordinary windows do count: a dialog, and a half-transparent one.
    Window dialog = apps.createWindow({.frame = {2000, 500, 400, 300}, .type = "DIALOG"});
    Window translucent = apps.createWindow({.frame = {2500, 500, 400, 300}, .opacity = 0.5});
    v = visible();
    EXPECT_EQ(std::count(v.begin(), v.end(), dialog), 1);
    EXPECT_EQ(std::count(v.begin(), v.end(), translucent), 1);
    EXPECT_TRUE(best(right).has_value());
}

TEST_F(WindowTrackerTest, RecentListKeepsTheSixtyFourLatestAndForgetsEndedPrograms) {
    TestClient apps("Apps"), staying("Staying");
    std::vector<Window> windows;
    for (int i = 0; i < 65; ++i) {
        windows.push_back(apps.createWindow(windowAt(100 + 10 * i, 100, 120, 80)));
        focus(apps, windows.back());
    }
    auto r = recent();
    ASSERT_EQ(r.size(), WindowTracker::recentLimit);
    EXPECT_EQ(r.front(), windows.back());
    EXPECT_EQ(r.back(), windows[1]);
    EXPECT_EQ(std::count(r.begin(), r.end(), windows[0]), 0);
    focus(apps, windows[10]); // no duplicate
    r = recent();
    EXPECT_EQ(r.size(), WindowTracker::recentLimit);
    EXPECT_EQ(std::count(r.begin(), r.end(), windows[10]), 1);
    EXPECT_EQ(r[1], windows.back());
    // A closed window and all windows of an ended program are forgotten.
    Window other = staying.createWindow(windowAt(2100, 100)),
           closed = staying.createWindow(windowAt(2600, 100));
    focus(staying, closed);
    focus(staying, other);
    staying.destroyWindow(closed);
    apps.terminate();
    EXPECT_TRUE(waitUntil([&] { return recent() == std::vector<std::uint32_t>{std::uint32_t(other)}; }));
}

Point centreOf(const Rect& r) {
    return {std::floor(r.x + r.width / 2), std::floor(r.y + r.height / 2)};
}

struct FocusTest : OnTheDesktop {
    SystemClock clock;
    std::unique_ptr<X11WindowFocus> focus = std::make_unique<X11WindowFocus>(thread, log, clock);
    TestClient user{"User"}; // reads and moves the pointer, as the person at the desk would

    void SetUp() override {
        focus->updateDisplays(displays);
        focus->start();
        thread.sync();
    }

    // The outcome of one switch; absent when no completion came within a few seconds.
    std::optional<FocusOutcome> switchTo(const DisplayInfo& display, bool movePointer) {
        auto done = std::make_shared<std::promise<FocusOutcome>>();
        auto outcome = done->get_future();
        // A second completion would throw here: each switch completes exactly once.
        focus->switchTo(display, displays, movePointer, [done](FocusOutcome o) { done->set_value(o); });
        if (outcome.wait_for(3s) != std::future_status::ready) return std::nullopt;
        return outcome.get();
    }
    void use(TestClient& client, Window window) { OnTheDesktop::use(focus->tracker(), client, window); }
    void expectOutcome(const DisplayInfo& display, FocusMethod method, bool ok, const std::string& app) {
        auto outcome = switchTo(display, false);
        ASSERT_TRUE(outcome) << display.name;
        EXPECT_EQ(outcome->method, method) << display.name;
        EXPECT_EQ(outcome->ok, ok) << display.name;
        EXPECT_EQ(outcome->app, app) << display.name;
    }
};

TEST_F(FocusTest, PointerComesAlongAndRequestsAreConfirmedWithTheirMethodOrRetriedThenFail) {
    // Without a window only the pointer moves, and only when asked.
    user.warpPointer({500, 500});
    expectOutcome(right, FocusMethod::pointerOnly, true, "-");
    EXPECT_EQ(user.pointer(), (Point{500, 500}));
    EXPECT_EQ(focus->lastWarp(), 0);
    const double before = clock.uptime();
    ASSERT_TRUE(switchTo(right, true));
    EXPECT_EQ(user.pointer(), centreOf(right.bounds));
    const double warped = focus->lastWarp();
    EXPECT_GE(warped, before);
    ASSERT_TRUE(switchTo(right, true));
    EXPECT_EQ(focus->lastWarp(), warped) << "already there: no warp";
    // A remembered point on an edge lands two points inside.
    user.warpPointer({1919, 0}); // the top-right corner of the left display
    ASSERT_TRUE(switchTo(right, true));
    ASSERT_TRUE(switchTo(left, true));
    EXPECT_EQ(user.pointer(), (Point{1918, 2}));
    // With windows: back where it left when that is on the target window, else to the middle of the
    // window's visible part (B straddles the border: only its part on the right display counts).
    TestClient a("AppA"), b("AppB"), refusing("Refuser");
    Window wa = a.createWindow(windowAt(100, 100)), wb = b.createWindow(windowAt(1800, 100));
    use(b, wb);
    use(a, wa);
    user.warpPointer({300, 250}); // on A
    ASSERT_TRUE(switchTo(right, true));
    EXPECT_EQ(user.pointer(), centreOf(b.frame(wb)->intersection(right.bounds)));
    ASSERT_TRUE(switchTo(left, true));
    EXPECT_EQ(user.pointer(), (Point{300, 250}));
    ASSERT_TRUE(switchTo(right, true));
    a.moveWindow(wa, 900, 500);
    ASSERT_TRUE(switchTo(left, true));
    EXPECT_EQ(user.pointer(), centreOf(*a.frame(wa)));
    // Each request is confirmed (as soon as the window manager announces it; it may pass through "none" on
    // its way) and reports the window manager's way.
    expectOutcome(right, FocusMethod::windowManager, true, "AppB");
    EXPECT_TRUE(waitUntil([&] { return a.activeWindow() == wb; }));
    expectOutcome(left, FocusMethod::windowManager, true, "AppA");
    EXPECT_TRUE(waitUntil([&] { return a.activeWindow() == wa; }));
    EXPECT_TRUE(log.lines().empty());
    // Once A is gone, the left display's window never wants the keyboard (ICCCM input hint).
    use(b, wb);
    a.terminate();
    refusing.createWindow({.frame = {100, 100, 400, 300}, .acceptsFocus = false});
    expectOutcome(left, FocusMethod::inputFocus, false, "Refuser");
    EXPECT_EQ(log.lines(), (std::vector<test::CapturingLog::Line>{
                               {"focus", LogLevel::info,
                                "Focus not confirmed via windowManager for pid " +
                                    std::to_string(refusing.pid()) + "; retrying via AX"}}));
    EXPECT_EQ(b.activeWindow(), wb);
    // Gone before its first check: the switch reports nothing.
    std::atomic<int> completions = 0;
    focus->switchTo(left, displays, false, [&](FocusOutcome) { ++completions; });
    thread.sync();
    focus.reset();
    std::this_thread::sleep_for(std::chrono::duration<double>(FocusController::finalCheck + 0.1));
    thread.sync();
    EXPECT_EQ(completions, 0);
}

} // namespace
} // namespace orvane
