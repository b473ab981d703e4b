// orvane-demo: Orvane at work on a machine without a camera or a screen. A virtual desktop with two
// monitors and two terminals on each, a simulated person in front of a simulated webcam (a head rendered
// from a photograph, streamed as a webcam's JPEG), and the real program: it is calibrated by the person
// following the dot, then moves keyboard focus as the person looks from monitor to monitor. Each decision
// and focus move is printed as it happens; screenshots go to the folder given.
//
//   orvane-demo FOLDER

#include "OrvaneDesk.h"

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

using namespace orvane;
using namespace orvane::test;

namespace {

std::filesystem::path folder;

void say(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// The whole desktop as the X server shows it.
void screenshot(OrvaneDesk& desk, const std::string& name) {
    desk.desktop().run("import -window root " + shellQuoted((folder / (name + ".png")).string()));
}

// The n-th focus move in the program's diagnostics trace, in milliseconds from decision to confirmation.
std::optional<double> focusMilliseconds(const TemporaryFolder& home, std::size_t n) {
    std::size_t seen = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(home / "state/Orvane/Logs", error)) {
        std::istringstream lines(readFile(entry.path()));
        for (std::string line; std::getline(lines, line);) {
            const auto record = nlohmann::json::parse(line, nullptr, false);
            if (record.is_object() && record.value("k", "") == "focus" && seen++ == n)
                return record.value("ms", 0.0);
        }
    }
    return std::nullopt;
}

std::string milliseconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvane-demo FOLDER\n");
        return 2;
    }
    folder = std::filesystem::absolute(argv[1]);
    std::filesystem::create_directories(folder);
    TemporaryFolder home;
    std::filesystem::create_directories(home / "config/Orvane");
    writeFile(home / "config/Orvane/Orvane.conf", "[General]\nshowHUD=true\ndiagnosticsEnabled=true\n");

    say("A virtual desktop: monitors LEFT and RIGHT side by side, two terminals on each, a simulated person");
    say("in front of a simulated webcam (1280 x 720 JPEG at 15 frames per second), and Orvane.");
    OrvaneDesk desk("side-by-side", "openbox", home, OrvaneDesk::Windows::terminals);
    const auto [left, right] = names(desk);

    say("Calibrating: the person follows the dot on each monitor with their head (about 45 seconds)...");
    std::thread calibrationShot([&] {
        if (desk.user().waitFor("calibration", [](const auto& e) { return e.rest.rfind("dot " + std::string("RIGHT"), 0) == 0; }, 60))
            screenshot(desk, "calibration");
    });
    const std::string grade = desk.calibrate();
    calibrationShot.join();
    if (!desk.orvane().waitForLog("State: active", 10)) {
        std::fprintf(stderr, "orvane-demo: the calibration did not finish (%s):\n%s", grade.c_str(),
                     desk.orvane().log().c_str());
        return 1;
    }
    say(grade + ".");
    desk.orvane().run("--calibration-map " + shellQuoted((folder / "calibration-map.png").string()));

    const Window leftWindow = desk.windowsOn(left).at(1), rightWindow = desk.windowsOn(right).at(1);
    desk.apps().activate(rightWindow);
    desk.apps().activate(leftWindow);
    desk.look(left);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    say("Keyboard focus is on the terminal \"" + left + " 2\". The person looks around:");

    std::size_t moves = 0;
    const std::vector<std::string> gazes{right, left, right, "away", left, right};
    for (const std::string& where : gazes) {
        const Window before = desk.apps().activeWindow();
        const auto facing = desk.look(where);
        const Window target = where == right ? rightWindow : where == left ? leftWindow : before;
        const auto moved = target != before ? desk.focusReaches(target, 4.0) : std::nullopt;
        if (moved) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            if (moves == 0) screenshot(desk, "switch");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto ms = focusMilliseconds(home, moves++);
            char after[64];
            std::snprintf(after, sizeof after, "%.2f s after the head turned", facing ? *moved - *facing : 0.0);
            say("  looking at " + where + " → focus moved to xterm \"" + where + " 2\" on " + where + " in " +
                (ms ? milliseconds(*ms) : std::string("?")) + " (" + after + ")");
        } else if (target == before && where != "away") {
            say("  looking at " + where + " → focus is there already");
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            say("  looking " + where + " → nothing moves (focus stays where it was)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        if (where == gazes.front()) screenshot(desk, "overlay");
    }
    desk.orvane().stop(SIGTERM);
    say("Screenshots in " + folder.string() + ": calibration.png, switch.png, overlay.png, calibration-map.png");
    return 0;
}
