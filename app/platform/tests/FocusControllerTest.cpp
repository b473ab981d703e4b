#include "platform/FocusController.h"

#include "TestDesktop.h"
#include "engine/tests/CapturingLog.h"
#include "platform/Displays.h"
#include "platform/X11Thread.h"
#include "platform/X11WindowFocus.h"

#include <cmath>
#include <future>

namespace orvane {
namespace {

using namespace std::chrono_literals;
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

WindowSpec at(double x, double y, double width = 400, double height = 300) {
    WindowSpec spec;
    spec.frame = {x, y, width, height};
    return spec;
}

struct FocusTest : ::testing::Test {
    TestDesktop& desktop = TestDesktop::shared();
    X11Thread thread{"orvane.test", desktop.display()};
    test::CapturingLog log;
    SystemClock clock;
    std::vector<DisplayInfo> displays = displaysOf(desktop);
    const DisplayInfo& left = displays.at(0);
    const DisplayInfo& right = displays.at(1);
    std::unique_ptr<X11WindowFocus> focus = std::make_unique<X11WindowFocus>(thread, log, clock);
    TestClient user{"User"}; // reads and moves the pointer, as the person at the desk would

    void SetUp() override {
        ASSERT_EQ(displays.size(), 2u);
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
    Point pointer() {
        Window rootReturn, child;
        int x = 0, y = 0, wx, wy;
        unsigned mask;
        XQueryPointer(user.connection(), user.root(), &rootReturn, &child, &x, &y, &wx, &wy, &mask);
        return {double(x), double(y)};
    }
    void movePointer(Point p) {
        XWarpPointer(user.connection(), None, user.root(), 0, 0, 0, 0, int(p.x), int(p.y));
        XSync(user.connection(), False);
    }
    static Point centreOf(const Rect& r) {
        return {std::floor(r.x + r.width / 2), std::floor(r.y + r.height / 2)};
    }
};

TEST_F(FocusTest, FocusRequestIsConfirmedAndReportsTheWindowManager) {
    TestClient a("AppA"), b("AppB");
    Window wa = a.createWindow(at(100, 100)), wb = b.createWindow(at(2100, 100));
    use(a, wa);
    use(b, wb);

    auto outcome = switchTo(left, false);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->method, FocusMethod::windowManager);
    EXPECT_TRUE(outcome->ok);
    EXPECT_EQ(outcome->app, "AppA");
    EXPECT_EQ(a.activeWindow(), wa);

    outcome = switchTo(right, false);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->method, FocusMethod::windowManager);
    EXPECT_TRUE(outcome->ok);
    EXPECT_EQ(outcome->app, "AppB");
    EXPECT_EQ(a.activeWindow(), wb);
    EXPECT_EQ(log.count("Focus not confirmed"), 0u);
}

TEST_F(FocusTest, WindowThatRefusesFocusIsRetriedOnceAndReportedAsFailed) {
    TestClient refusing("Refuser"), b("AppB");
    WindowSpec spec = at(100, 100);
    spec.acceptsFocus = false; // ICCCM: never wants the keyboard
    refusing.createWindow(spec);
    Window wb = b.createWindow(at(2100, 100));
    use(b, wb);

    auto outcome = switchTo(left, false);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->method, FocusMethod::inputFocus);
    EXPECT_FALSE(outcome->ok);
    EXPECT_EQ(outcome->app, "Refuser");
    using Line = test::CapturingLog::Line;
    EXPECT_EQ(log.lines(), (std::vector<Line>{{"focus", LogLevel::info,
                                               "Focus not confirmed via windowManager for pid " +
                                                   std::to_string(refusing.pid()) + "; retrying via AX"}}));
    EXPECT_EQ(b.activeWindow(), wb);
}

TEST_F(FocusTest, WithoutAWindowOnlyThePointerMovesAndOnlyWhenAsked) {
    TestClient a("AppA");
    use(a, a.createWindow(at(100, 100)));
    movePointer({500, 500});

    auto outcome = switchTo(right, false);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->method, FocusMethod::pointerOnly);
    EXPECT_TRUE(outcome->ok);
    EXPECT_EQ(outcome->app, "-");
    EXPECT_EQ(pointer(), (Point{500, 500}));
    EXPECT_EQ(focus->lastWarp(), 0);

    const double before = clock.uptime();
    ASSERT_TRUE(switchTo(right, true));
    EXPECT_EQ(pointer(), centreOf(right.bounds));
    const double warped = focus->lastWarp();
    EXPECT_GE(warped, before);

    // Already there: no warp.
    ASSERT_TRUE(switchTo(right, true));
    EXPECT_EQ(focus->lastWarp(), warped);
}

TEST_F(FocusTest, PointerReturnsWhereItLeftWhenThatIsOnTheTargetWindowElseToItsVisibleMiddle) {
    TestClient a("AppA"), b("AppB");
    // B straddles the border: only its part on the right display counts.
    Window wa = a.createWindow(at(100, 100)), wb = b.createWindow(at(1800, 100));
    use(b, wb);
    use(a, wa);
    movePointer({300, 250}); // on A

    ASSERT_TRUE(switchTo(right, true));
    Rect partOfB = b.frame(wb)->intersection(right.bounds);
    EXPECT_EQ(pointer(), centreOf(partOfB));

    ASSERT_TRUE(switchTo(left, true));
    EXPECT_EQ(pointer(), (Point{300, 250}));

    // A moved away from the remembered point: the pointer goes to the middle of A.
    ASSERT_TRUE(switchTo(right, true));
    a.moveWindow(wa, 900, 500);
    ASSERT_TRUE(switchTo(left, true));
    EXPECT_EQ(pointer(), centreOf(*a.frame(wa)));
}

TEST_F(FocusTest, LandingPointOnAnEdgeIsMovedTwoPointsInside) {
    movePointer({1919, 0}); // the top-right corner of the left display
    ASSERT_TRUE(switchTo(right, true));
    ASSERT_TRUE(switchTo(left, true));
    EXPECT_EQ(pointer(), (Point{1918, 2}));
    EXPECT_EQ(thread.call([&] { return focus->controller().pointerPositions(); }),
              (std::map<std::string, Point>{{left.uuid, {1919, 0}}, {right.uuid, centreOf(right.bounds)}}));
}

TEST_F(FocusTest, NoReportOnceTheFocusIsGoneBeforeTheFirstCheck) {
    TestClient a("AppA"), b("AppB");
    a.createWindow(at(100, 100));
    use(b, b.createWindow(at(2100, 100)));
    std::atomic<int> completions = 0;
    focus->switchTo(left, displays, false, [&](FocusOutcome) { ++completions; });
    thread.sync(); // the request is out, its checks are pending
    focus.reset();
    std::this_thread::sleep_for(std::chrono::duration<double>(FocusController::finalCheck + 0.1));
    thread.sync();
    EXPECT_EQ(completions, 0);
}

} // namespace
} // namespace orvane
