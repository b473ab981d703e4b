// What the whole program costs and how fast it switches, as a user meets it: orvane on a virtual desktop
// with the simulated user in front of its camera (15 frames per second of 1280 x 720 JPEG), calibrated
// first, then measured with the face visible and still, while switching between the monitors, and with no
// face in view. The simulated user's own figures are measured beside it, so that the two can be told apart.
//
//   e2e_bench [--out FILE] [--switches N]
//
// Decision latency: from the first frame whose head faces the new monitor to the switch decision; focus
// latency: from the decision to the confirmed focus change (the program's own figure, as its diagnostics
// trace records it). The decision's moment is the focus change the X server announced, less that figure.

#include "OrvaneDesk.h"

#include <X11/Xatom.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

using namespace orvane;
using namespace orvane::test;
using Json = nlohmann::json;

namespace {

// Processor seconds (user and system) a process has used, and its resident memory in MB.
struct Usage {
    double cpu = 0;
    double rssMB = 0;
};

Usage usage(pid_t pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command's closing parenthesis: utime and stime are the 12th and 13th of those.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 1; fields >> field && i <= 13; ++i) {
        if (i == 12) utime = std::stod(field);
        if (i == 13) stime = std::stod(field);
    }
    u.cpu = (utime + stime) / double(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) u.rssMB = std::stod(line.substr(6)) / 1024;
    return u;
}

// A process's share of one core and its resident memory over a span of seconds.
Json measure(pid_t pid, double seconds) {
    const Usage before = usage(pid);
    const double start = uptime();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage after = usage(pid);
    const double share = (after.cpu - before.cpu) / (uptime() - start) * 100;
    return {{"cpuPercentOfOneCore", std::round(share * 100) / 100},
            {"residentMB", std::round(after.rssMB * 10) / 10}};
}

// The moments _NET_ACTIVE_WINDOW changed, and to what, as the X server announced them.
class FocusWatch {
  public:
    explicit FocusWatch(const std::string& display) {
        connection_ = XOpenDisplay(display.c_str());
        atom_ = XInternAtom(connection_, "_NET_ACTIVE_WINDOW", False);
        XSelectInput(connection_, DefaultRootWindow(connection_), PropertyChangeMask);
        XSync(connection_, False);
        thread_ = std::thread([this] {
            while (!stop_) {
                while (XPending(connection_)) {
                    XEvent event;
                    XNextEvent(connection_, &event);
                    if (event.type == PropertyNotify && event.xproperty.atom == atom_) record(uptime());
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~FocusWatch() {
        stop_ = true;
        thread_.join();
        XCloseDisplay(connection_);
    }
    // The first change to the window after the time.
    std::optional<double> changeTo(Window window, double after) {
        std::lock_guard lock(mutex_);
        for (const auto& [time, active] : changes_)
            if (time > after && active == window) return time;
        return std::nullopt;
    }

  private:
    void record(double time) {
        Atom type;
        int format;
        unsigned long count = 0, rest;
        unsigned char* data = nullptr;
        Window active = 0;
        if (XGetWindowProperty(connection_, DefaultRootWindow(connection_), atom_, 0, 1, False, XA_WINDOW,
                               &type, &format, &count, &rest, &data) == Success &&
            data && count == 1)
            active = *reinterpret_cast<Window*>(data);
        if (data) XFree(data);
        std::lock_guard lock(mutex_);
        changes_.emplace_back(time, active);
    }

    Display* connection_ = nullptr;
    Atom atom_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::pair<double, Window>> changes_;
    std::thread thread_;
};

// The "focus" records of the diagnostics trace: each switch's milliseconds from decision to confirmation.
std::vector<double> focusMilliseconds(const std::filesystem::path& logs) {
    std::vector<double> ms;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(logs, error)) {
        std::istringstream lines(readFile(entry.path()));
        for (std::string line; std::getline(lines, line);) {
            const Json record = Json::parse(line, nullptr, false);
            if (record.is_object() && record.value("k", "") == "focus" && record.value("ok", false))
                ms.push_back(record.value("ms", 0.0));
        }
    }
    return ms;
}

Json summary(std::vector<double> values) {
    if (values.empty()) return {{"count", 0}};
    std::sort(values.begin(), values.end());
    auto at = [&](double share) {
        return values[std::min(values.size() - 1, std::size_t(share * values.size()))];
    };
    auto rounded = [](double v) { return std::round(v * 100) / 100; };
    return {{"count", values.size()},
            {"medianMs", rounded(at(0.5))},
            {"p95Ms", rounded(at(0.95))},
            {"maxMs", rounded(values.back())}};
}

double loadAverage() {
    std::ifstream in("/proc/loadavg");
    double load = 0;
    in >> load;
    return load;
}

} // namespace

int main(int argc, char** argv) {
    std::string out = "e2e.json";
    int switches = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--out") out = argv[i + 1];
        if (std::string(argv[i]) == "--switches") switches = std::max(2, std::atoi(argv[i + 1]));
    }
    TemporaryFolder home;
    std::filesystem::create_directories(home / "config/Orvane");
    writeFile(home / "config/Orvane/Orvane.conf", "[General]\ndiagnosticsEnabled=true\n");
    OrvaneDesk desk("side-by-side", "openbox", home);
    const double loadAtStart = loadAverage();
    std::fprintf(stderr, "e2e_bench: calibrating (about 45 s)...\n");
    const std::string grade = desk.calibrate();
    if (!desk.orvane().waitForLog("State: active", 10)) {
        std::fprintf(stderr, "e2e_bench: the calibration did not end well: %s\n%s", grade.c_str(),
                     desk.orvane().log().c_str());
        return 1;
    }
    const auto [left, right] = names(desk);
    const Window leftWindow = desk.windowsOn(left).at(1), rightWindow = desk.windowsOn(right).at(1);
    desk.apps().activate(rightWindow);
    desk.apps().activate(leftWindow);
    const pid_t orvane = desk.orvane().pid(), user = desk.user().pid();
    Json report{{"grade", grade}, {"loadAverageAtStart", loadAtStart}};

    std::fprintf(stderr, "e2e_bench: face visible and still...\n");
    desk.look(left);
    std::this_thread::sleep_for(std::chrono::seconds(4)); // the pipeline slows to its idle rate
    report["still"] = {{"orvane", measure(orvane, 20)}};
    report["still"]["simulatedUser"] = measure(user, 5);

    std::fprintf(stderr, "e2e_bench: %d switches...\n", switches);
    FocusWatch watch(desk.desktop().display());
    std::vector<double> decision, focusObserved;
    const Usage orvaneBefore = usage(orvane), userBefore = usage(user);
    const double switchingStart = uptime();
    for (int i = 0; i < switches; ++i) {
        const bool toRight = i % 2 == 0;
        const auto facing = desk.look(toRight ? right : left);
        const auto focused = desk.focusReaches(toRight ? rightWindow : leftWindow, 4.0);
        if (facing && focused)
            if (auto changed = watch.changeTo(toRight ? rightWindow : leftWindow, *facing - 1.0)) {
                decision.push_back(*facing);
                focusObserved.push_back(*changed);
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    }
    const double switchingSeconds = uptime() - switchingStart;
    const Usage orvaneAfter = usage(orvane), userAfter = usage(user);
    auto share = [&](const Usage& a, const Usage& b) {
        return std::round((b.cpu - a.cpu) / switchingSeconds * 100 * 100) / 100;
    };
    report["switching"] = {{"orvane",
                            {{"cpuPercentOfOneCore", share(orvaneBefore, orvaneAfter)},
                             {"residentMB", std::round(orvaneAfter.rssMB * 10) / 10}}},
                           {"simulatedUser",
                            {{"cpuPercentOfOneCore", share(userBefore, userAfter)},
                             {"residentMB", std::round(userAfter.rssMB * 10) / 10}}}};

    std::fprintf(stderr, "e2e_bench: no face in view...\n");
    desk.look("absent");
    std::this_thread::sleep_for(std::chrono::seconds(4));
    report["noFace"] = {{"orvane", measure(orvane, 20)}};
    report["noFace"]["simulatedUser"] = measure(user, 5);
    report["loadAverageAtEnd"] = loadAverage();
    desk.orvane().stop(SIGTERM);

    // The program's own figure for each switch, in order (the trace is complete once it has ended); the
    // decision came that long before the change the server announced.
    const std::vector<double> focusMs = focusMilliseconds(home / "state/Orvane/Logs");
    std::vector<double> decisionMs, confirmedMs;
    const std::size_t first = focusMs.size() >= decision.size() ? focusMs.size() - decision.size() : 0;
    for (std::size_t i = 0; i < decision.size() && first + i < focusMs.size(); ++i) {
        confirmedMs.push_back(focusMs[first + i]);
        decisionMs.push_back((focusObserved[i] - decision[i]) * 1000 - focusMs[first + i]);
    }
    report["decisionLatency"] = summary(decisionMs);
    report["focusLatency"] = summary(confirmedMs);

    std::ofstream(out) << report.dump(2) << "\n";
    std::printf("%s\n", report.dump(2).c_str());
    return 0;
}
