// The desktop paths of a switch, on a virtual desktop of its own (Xvfb, two monitors, openbox): the time from
// a focus request to the focus change the window manager confirms, and choosing the window with many open.

#include "engine/SystemServices.h"
#include "platform/Displays.h"
#include "platform/InputMonitor.h"
#include "platform/X11Thread.h"
#include "platform/X11WindowFocus.h"
#include "desk/TestDesktop.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <condition_variable>
#include <mutex>

using namespace orvane;
using test::TestClient;
using test::TestDesktop;
using test::WindowSpec;

namespace {

// One desktop for the whole run, started before the first benchmark and stopped at exit; the test clients
// connect to it through DISPLAY.
TestDesktop& desktop() {
    static TestDesktop instance;
    static bool exported = setenv("DISPLAY", instance.display().c_str(), 1) == 0;
    (void)exported;
    return instance;
}

std::vector<DisplayInfo> displays() {
    Display* display = XOpenDisplay(desktop().display().c_str());
    auto list = readDisplays(display);
    XCloseDisplay(display);
    return list;
}

WindowSpec at(double x, double y, double width = 400, double height = 300) {
    WindowSpec wanted;
    wanted.frame = {x, y, width, height};
    return wanted;
}

// Click reports go nowhere: none are measured.
class DiscardingQueue : public MainQueue {
  public:
    void post(Task) override {}
    void postAfter(double, Task) override {}
};

class NullLog : public Log {
  public:
    void write(std::string_view, LogLevel, std::string_view) override {}
};

double percentile(const std::vector<double>& values, double p) {
    auto sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * double(sorted.size())))];
}

} // namespace

// One switch per repetition, alternating between a window on each display. The clock runs from the request
// until the X11 thread reads the window manager's new active window (the tracker's focused-display report);
// the confirmation checks that follow are waited for outside the measured time.
static void FocusRequestToConfirmedChange(benchmark::State& state) {
    auto list = displays();
    X11Thread thread("orvane.bench", desktop().display());
    NullLog log;
    SystemClock clock;
    X11WindowFocus focus(thread, log, clock);
    TestClient a("AppA"), b("AppB");
    Window wa = a.createWindow(at(200, 200)), wb = b.createWindow(at(2200, 200));

    std::mutex mutex;
    std::condition_variable changed;
    std::string focusedDisplay;
    focus.onFocusedDisplayChange = [&](const std::string& id) {
        std::lock_guard lock(mutex);
        focusedDisplay = id;
        changed.notify_all();
    };
    focus.updateDisplays(list);
    focus.start();
    a.activate(wa);
    b.activate(wb);
    thread.sync();

    bool toLeft = true, allConfirmed = true;
    for (auto _ : state) {
        const DisplayInfo& target = list[toLeft ? 0 : 1];
        toLeft = !toLeft;
        std::unique_lock lock(mutex);
        focusedDisplay.clear();
        bool done = false, ok = false;
        auto start = std::chrono::steady_clock::now();
        focus.switchTo(target, list, false, [&](FocusOutcome outcome) {
            std::lock_guard inner(mutex);
            done = true;
            ok = outcome.ok;
            changed.notify_all();
        });
        changed.wait(lock, [&] { return focusedDisplay == target.uuid; });
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        changed.wait(lock, [&] { return done; });
        allConfirmed = allConfirmed && ok;
    }
    if (!allConfirmed) state.SkipWithError("a switch was not confirmed");
}
BENCHMARK(FocusRequestToConfirmedChange)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(100)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("p95", [](const std::vector<double>& v) { return percentile(v, 0.95); })
    ->Unit(benchmark::kMillisecond);

// bestWindow with 50 windows open (25 per display), timed on the X11 thread itself: for the left display,
// where recently used windows lie, and for a display without any window, which asks about every window.
static void BestWindowWithFiftyWindows(benchmark::State& state) {
    auto list = displays();
    X11Thread thread("orvane.bench", desktop().display());
    NullLog log;
    SystemClock clock;
    X11WindowFocus focus(thread, log, clock);
    focus.updateDisplays(list);
    focus.start();
    TestClient apps("Apps");
    for (int i = 0; i < 50; ++i) {
        double x = (i % 2 ? 1920 : 0) + 40 + 25 * (i / 2);
        Window w = apps.createWindow(at(x, 60 + 20 * (i / 2), 500, 400));
        if (i % 5 == 0) apps.activate(w);
    }
    thread.sync();

    const bool empty = state.range(0) == 1;
    DisplayInfo target = list[0];
    if (empty) target = {99, "EMPTY", "EMPTY", {20000, 0, 1920, 1080}, false};
    if (empty) list.push_back(target);
    focus.updateDisplays(list);

    std::size_t found = 0;
    for (auto _ : state) {
        double seconds = thread.call([&] {
            auto start = std::chrono::steady_clock::now();
            auto window = focus.tracker().bestWindow(target);
            auto end = std::chrono::steady_clock::now();
            found += window.has_value();
            return std::chrono::duration<double>(end - start).count();
        });
        state.SetIterationTime(seconds);
    }
    if (found != (empty ? 0 : static_cast<std::size_t>(state.iterations()))) state.SkipWithError("unexpected answer");
}
BENCHMARK(BestWindowWithFiftyWindows)
    ->ArgName("withoutWindow")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// One InputActivity read, as the tracking pipeline makes for every analysed frame: the engine's rules over
// the XInput 2 source, whose state the X11 thread keeps in atomics.
static void InputActivityRead(benchmark::State& state) {
    X11Thread thread("orvane.bench", desktop().display());
    DiscardingQueue main;
    SystemClock clock;
    X11InputSource input(thread, main, clock);
    if (!input.isMonitoring()) {
        state.SkipWithError("no XInput 2.2");
        return;
    }
    const double warp = clock.uptime() - 1;
    for (auto _ : state) {
        auto activity = InputMonitor::activity(input, warp, clock.uptime());
        benchmark::DoNotOptimize(activity);
    }
}
BENCHMARK(InputActivityRead)->Repetitions(5)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    desktop();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
