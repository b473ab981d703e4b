// Orvane as a user meets it: the real program on a virtual two-monitor desktop with two ordinary windows
// on each monitor, under the window managers users run, a simulated person in front of its camera (a
// rendered head, streamed as a webcam's JPEG through the whole camera path to the real face model), and
// the user's keyboard and mouse played with XTest.

#include "CapturingLog.h"
#include "OrvaneProgram.h"
#include "SimulatedUser.h"
#include "core/CalibrationProfile.h"
#include "engine/Clock.h"
#include "engine/ProfileStore.h"
#include "platform/FocusController.h"
#include "platform/X11Thread.h"

#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

using namespace orvane;
using namespace orvane::test;

namespace {

double uptime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

constexpr double dwell = 0.3, typingPause = 1.0; // the program's defaults

// One desk: the desktop, the windows, the person and the program.
class Desk {
  public:
    Desk(const std::string& layout, const std::string& wm, const TemporaryFolder& home)
        : desktop_("--layout " + layout + " --wm " + wm), apps_("Editor", std::nullopt, desktop_.display()),
          user_(desktop_.display(), {"--calibration", "auto"}), orvane_(desktop_, home, user_.source()) {
        monitors_ = desktop_.displays();
        // Two windows on each monitor. i3 puts a new window on the monitor that has the focus, whatever
        // place it asks for.
        for (const DisplayInfo& monitor : monitors_) {
            if (wm == "i3") desktop_.run("i3-msg -q focus output " + monitor.name);
            const Rect& b = monitor.bounds;
            windows_.push_back(
                apps_.createWindow(windowAt(b.x + 80, b.y + 120, b.width / 2 - 120, b.height / 2)));
            windows_.push_back(apps_.createWindow(windowAt(b.x + b.width / 2 + 40, b.y + b.height / 2 - 60,
                                                           b.width / 2 - 120, b.height / 2 - 40)));
        }
    }

    TestDesktop& desktop() { return desktop_; }
    TestClient& apps() { return apps_; }
    SimulatedUser& user() { return user_; }
    Program& orvane() { return orvane_; }
    const std::vector<DisplayInfo>& monitors() const { return monitors_; }

    // The monitor a window is on now (where the window manager put it).
    std::string monitorOf(Window window) {
        const auto frame = apps_.frame(window);
        const auto display = frame ? displayFor(*frame, monitors_) : std::nullopt;
        return display ? display->name : "";
    }
    // The windows on a monitor.
    std::vector<Window> windowsOn(const std::string& monitor) {
        std::vector<Window> found;
        for (Window w : windows_)
            if (monitorOf(w) == monitor) found.push_back(w);
        return found;
    }

    // Starts the program; the first-run guide opens, and its default button starts the calibration,
    // which the simulated user follows. The grade shown at its end.
    std::string calibrate() {
        orvane_.start();
        if (!orvane_.waitForLog("State: needsCalibration")) return "no start: " + orvane_.log();
        Window guide = 0;
        if (!waitUntil([&] { return (guide = managedWindow(desktop_, "Welcome to Orvane")) != 0; }, 10.0))
            return "no guide";
        // The guide has the keyboard once it is active; Return presses its default button.
        if (apps_.activeWindow() != guide && !apps_.activate(guide)) return "the guide cannot be activated";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        desktop_.run("xdotool key Return");
        if (!user_.waitFor(
                "calibration", [](const auto& e) { return e.rest == "started"; }, 10))
            return "the calibration did not start";
        if (!user_.waitFor(
                "calibration", [](const auto& e) { return e.rest == "ended"; }, 120))
            return "the calibration did not end";
        if (!orvane_.waitForLog("Calibration: ", 15)) return "no grade: " + orvane_.log();
        std::smatch grade;
        const std::string log = orvane_.log();
        std::regex_search(log, grade, std::regex("Calibration: ([A-Za-z ]+) \\(score"));
        return grade.size() > 1 ? grade[1].str() : log;
    }

    // The user looks somewhere; when the head faces it (the camera's frame time).
    std::optional<double> look(const std::string& where) {
        user_.send("look " + where);
        const auto facing = user_.waitFor(
            "facing", [&](const auto& e) { return e.rest.rfind(where, 0) == 0; }, 5);
        return facing ? std::optional(facing->time) : std::nullopt;
    }
    // Waits for keyboard focus to reach a window; when it did.
    std::optional<double> focusReaches(Window window, double seconds) {
        double when = 0;
        if (!waitUntil(
                [&] {
                    when = uptime();
                    return apps_.activeWindow() == window;
                },
                seconds))
            return std::nullopt;
        return when;
    }
    // Focus stays where it is for a while.
    bool focusStays(double seconds) {
        const Window before = apps_.activeWindow();
        return !waitUntil([&] { return apps_.activeWindow() != before; }, seconds);
    }

  private:
    TestDesktop desktop_;
    TestClient apps_;
    SimulatedUser user_;
    Program orvane_;
    std::vector<DisplayInfo> monitors_;
    std::vector<Window> windows_;
};

// The two monitors' names, first and second.
std::pair<std::string, std::string> names(const Desk& desk) {
    return {desk.monitors().at(0).name, desk.monitors().at(1).name};
}

// Calibrates, then: a look at the other monitor moves focus to the window last used there within the
// dwell and 0.3 s; back again. What every arrangement and window manager must do.
void calibrateAndSwitch(Desk& desk) {
    const auto [first, second] = names(desk);
    const std::string grade = desk.calibrate();
    EXPECT_TRUE(grade == "Excellent calibration" || grade == "Good calibration") << grade;
    ASSERT_TRUE(desk.orvane().waitForLog("State: active", 10)) << desk.orvane().log();

    // The window last used on each monitor: the second one there.
    const auto onFirst = desk.windowsOn(first), onSecond = desk.windowsOn(second);
    ASSERT_EQ(onFirst.size(), 2u);
    ASSERT_EQ(onSecond.size(), 2u);
    ASSERT_TRUE(desk.apps().activate(onSecond[1]));
    ASSERT_TRUE(desk.apps().activate(onFirst[1]));
    ASSERT_TRUE(desk.look(first));
    ASSERT_TRUE(desk.focusStays(1.0)) << "a switch while looking where focus is";

    for (const auto& [to, target] : {std::pair(second, onSecond[1]), std::pair(first, onFirst[1])}) {
        SCOPED_TRACE("looking at " + to);
        const auto facing = desk.look(to);
        ASSERT_TRUE(facing);
        const auto focused = desk.focusReaches(target, 3.0);
        ASSERT_TRUE(focused) << desk.orvane().log();
        EXPECT_LT(*focused - *facing, dwell + 0.3);
    }
}

} // namespace

// The whole story on openbox, monitors side by side: calibration, switching, typing, looking away,
// learning from clicks, quitting and starting again, and the pause hot key.
TEST(WholeProgram, OnOpenboxSideBySide) {
    TemporaryFolder home;
    Desk desk("side-by-side", "openbox", home);
    calibrateAndSwitch(desk);
    if (HasFatalFailure()) return;
    const auto [left, right] = names(desk);
    const Window leftWindow = desk.windowsOn(left)[1], rightWindow = desk.windowsOn(right)[1];

    // Typing holds a switch back until the typing pause has passed.
    desk.desktop().run("xdotool type --delay 120 'the quick brown fox jumps'");
    ASSERT_TRUE(desk.look(right)); // looked while typing: nothing moved yet
    EXPECT_EQ(desk.apps().activeWindow(), leftWindow);
    desk.desktop().run("xdotool type --delay 120 'over the lazy dog'");
    const double lastKey = uptime();
    EXPECT_EQ(desk.apps().activeWindow(), leftWindow) << "switched while typing";
    const auto focused = desk.focusReaches(rightWindow, 4.0);
    ASSERT_TRUE(focused);
    EXPECT_GT(*focused - lastKey, typingPause - 0.15);

    // Looking away switches nothing.
    ASSERT_TRUE(desk.look(left));
    ASSERT_TRUE(desk.focusReaches(leftWindow, 3.0));
    ASSERT_TRUE(desk.look("away"));
    EXPECT_TRUE(desk.focusStays(2.0));

    // Clicks in a window while looking at it teach the model; quitting saves them, and the next start
    // uses the profile without calibrating.
    ASSERT_TRUE(desk.look(right));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const auto frame = *desk.apps().frame(rightWindow);
    for (int i = 0; i < 3; ++i) {
        desk.desktop().run("xdotool mousemove " + std::to_string(int(frame.x + frame.width / 2)) + " " +
                           std::to_string(int(frame.y + frame.height / 2)) + " click 1");
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    EXPECT_EQ(desk.orvane().stop(SIGTERM), 0);
    std::vector<std::string> ids;
    for (const auto& m : desk.monitors())
        ids.push_back(m.uuid);
    const auto saved = decodeProfile(readFile(home / "data/Orvane/Profiles" /
                                              ProfileStore::fileName(CalibrationProfile::key(ids))))
                           .value;
    ASSERT_TRUE(saved);
    EXPECT_GE(std::count_if(saved->clickSamples.begin(), saved->clickSamples.end(),
                            [&](const LabeledSample& s) { return s.screenID == desk.monitors()[1].uuid; }),
              1);

    desk.orvane().start();
    ASSERT_TRUE(desk.orvane().waitForLog("State: active")) << desk.orvane().log();
    // Its icon is in the tray once it has started, the hot key with it.
    ASSERT_TRUE(waitUntil([&] { return dockedInTray(desk.desktop(), desk.orvane().pid()); }, 5.0));
    EXPECT_EQ(managedWindow(desk.desktop(), "Welcome to Orvane"), 0u);

    // The pause hot key stops switching; pressed again, switching comes back.
    ASSERT_TRUE(desk.apps().activate(rightWindow));
    desk.desktop().run("xdotool key ctrl+alt+super+g");
    ASSERT_TRUE(desk.orvane().waitForLog("State: paused", 3.0)) << desk.orvane().log();
    ASSERT_TRUE(desk.look(left));
    EXPECT_TRUE(desk.focusStays(1.5));
    desk.desktop().run("xdotool key ctrl+alt+super+g");
    EXPECT_TRUE(desk.focusReaches(leftWindow, 5.0)) << desk.orvane().log();
    EXPECT_EQ(desk.orvane().stop(SIGTERM), 0);
}

// i3 tiles every window and sets no frame extents; its full-screen state must still give each
// calibration window its own monitor. Stacked monitors are told apart by the head's tilt alone.
TEST(WholeProgram, OnI3Stacked) {
    TemporaryFolder home;
    Desk desk("stacked", "i3", home);
    calibrateAndSwitch(desk);
    EXPECT_EQ(desk.orvane().stop(SIGTERM), 0);
}

// xfwm4 with its focus-stealing prevention on refuses activation requests that look like a program
// grabbing focus; Orvane's must pass. (On the test desktop's virtual monitors, which have no outputs,
// xfwm4 knows the first monitor only and keeps every window there: the switch is made between two windows
// of that monitor, through the same focus code a switch uses.)
TEST(WholeProgram, FocusPassesXfwm4sFocusStealingPrevention) {
    TestDesktop desktop("--wm xfwm4");
    TestClient apps("Editor", std::nullopt, desktop.display());
    const Window first = apps.createWindow(windowAt(100, 100, 600, 400));
    const Window second = apps.createWindow(windowAt(800, 300, 600, 400));
    ASSERT_TRUE(apps.activate(second));
    // The prevention is on: a program's request with a stale time stamp is refused.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = first;
    event.xclient.message_type = apps.atom("_NET_ACTIVE_WINDOW");
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1; // an application
    event.xclient.data.l[1] = 1; // with a time long before the user last used the active window
    XSendEvent(apps.connection(), apps.root(), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    XSync(apps.connection(), False);
    EXPECT_FALSE(waitUntil([&] { return apps.activeWindow() == first; }, 1.0));

    X11Thread thread{"orvane.accessibility", desktop.display()};
    SystemClock clock;
    CapturingLog log;
    FocusController focus(thread, log, clock);
    const std::vector<DisplayInfo> displays = desktop.displays();
    std::promise<std::pair<FocusMethod, bool>> outcome;
    thread.perform([&] {
        const WindowTracker::Window target{apps.pid(), std::uint32_t(first), *apps.frame(first)};
        focus.focus(target, displays[0], displays, false, [&](FocusMethod method, bool ok) {
            outcome.set_value({method, ok});
        });
    });
    EXPECT_EQ(outcome.get_future().get(), std::pair(FocusMethod::windowManager, true));
    EXPECT_EQ(apps.activeWindow(), first);
}
