#pragma once

// One desk for the demo, whole-program tests and measurements: a virtual desktop (a layout, a window
// manager), two ordinary windows on each monitor, the simulated user in front of the camera, and the orvane
// program watching it through the camera source the simulated user serves.

#include "OrvaneProgram.h"
#include "SimulatedUser.h"
#include "simulated-user/Uptime.h"

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvane::test {

using simulated::uptime;

// One desk: the desktop, the windows, the person and the program.
class OrvaneDesk {
  public:
    // The windows on the monitors: plain test windows, or terminals (xterm) for a person to look at.
    enum class Windows { plain, terminals };

    OrvaneDesk(const std::string& layout, const std::string& wm, const TemporaryFolder& home,
               Windows windows = Windows::plain)
        : desktop_("--layout " + layout + " --wm " + wm), apps_("Editor", std::nullopt, desktop_.display()),
          user_(desktop_.display(), {"--calibration", "auto"}), orvane_(desktop_, home, user_.source()) {
        monitors_ = desktop_.displays();
        // Two windows on each monitor. i3 puts a new window on the monitor that has the focus, whatever
        // place it asks for.
        for (const DisplayInfo& monitor : monitors_) {
            if (wm == "i3") desktop_.run("i3-msg -q focus output " + monitor.name);
            const Rect& b = monitor.bounds;
            const Rect places[] = {{b.x + 80, b.y + 120, b.width / 2 - 120, b.height / 2},
                                   {b.x + b.width / 2 + 40, b.y + b.height / 2 - 60, b.width / 2 - 120,
                                    b.height / 2 - 40}};
            for (int i = 0; i < 2; ++i) {
                const Rect& r = places[i];
                if (windows == Windows::terminals)
                    windows_.push_back(terminal(monitor.name + " " + std::to_string(i + 1), r));
                else
                    windows_.push_back(apps_.createWindow(windowAt(r.x, r.y, r.width, r.height)));
            }
        }
    }

    // A terminal with a title, at a place; its window once the window manager manages it.
    Window terminal(const std::string& title, const Rect& place) {
        const int columns = int(place.width / 9), rows = int(place.height / 19);
        desktop_.run("xterm -T " + shellQuoted(title) + " -fa 'DejaVu Sans Mono' -fs 11 -geometry " +
                     std::to_string(columns) + "x" + std::to_string(rows) + "+" + std::to_string(int(place.x)) +
                     "+" + std::to_string(int(place.y)) +
                     " -e sh -c " + shellQuoted("echo " + shellQuoted(title) + "; exec cat") +
                     " >/dev/null 2>&1 &");
        Window window = 0;
        waitUntil([&] { return (window = managedWindow(desktop_, title)) != 0; }, 10.0);
        return window;
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
inline std::pair<std::string, std::string> names(const OrvaneDesk& desk) {
    return {desk.monitors().at(0).name, desk.monitors().at(1).name};
}

} // namespace orvane::test
