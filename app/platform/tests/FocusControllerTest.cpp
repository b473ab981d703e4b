#include "platform/FocusController.h"

#include "engine/tests/CapturingLog.h"
#include "platform/X11Thread.h"
#include "platform/X11WindowFocus.h"
#include "platform/tests/TestDesktop.h"

#include <cmath>
#include <future>

namespace orvane {
namespace {

using namespace std::chrono_literals;
using test::TestClient;
using test::waitUntil;
using test::windowAt;

Point centreOf(const Rect& r) {
    return {std::floor(r.x + r.width / 2), std::floor(r.y + r.height / 2)};
}

struct FocusTest : ::testing::Test {
    test::TestDesktop& desktop = test::TestDesktop::shared();
    X11Thread thread{"orvane.test", desktop.display()};
    test::CapturingLog log;
    SystemClock clock;
    std::vector<DisplayInfo> displays = desktop.displays();
    const DisplayInfo& left = displays.at(0);
    const DisplayInfo& right = displays.at(1);
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
    // The user activates the window, and the tracker has seen it.
    void use(TestClient& client, Window window) {
        ASSERT_TRUE(client.activate(window));
        ASSERT_TRUE(waitUntil([&] {
            return thread.call([&] {
                auto& recent = focus->tracker().recent();
                return !recent.empty() && recent.front().windowID == window;
            });
        }));
    }
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
