// orvane-simulated-user: plays the person in front of the camera on an X desktop. It renders a head
// from a photo, turned towards where the user looks, and streams it live as 1280x720 JPEG at 15 frames
// per second to any program that opens the camera source it prints. It follows calibrations on the
// screen (the dot, found in screenshots), and otherwise a gaze script or commands on standard input.
//
// Standard output, one line per event, each starting with the CLOCK_MONOTONIC time:
//   T source FRAGMENT                 the ORVANE_CAMERA_SOURCE value that receives the stream
//   T gaze WHERE YAW PITCH CAUSE      a new gaze: LEFT, LEFT@0.080,0.100, keyboard, away, pose@Y,P; the
//                                     head's target angles in degrees as the camera sees them; and
//                                     what set it: calibration, command or script
//   T facing WHERE                    the first frame of that gaze whose head has turned to within a
//                                     degree of its target (T is the frame's time)
//   T calibration started|ended
//   T calibration dot MONITOR@X,Y       the dot seen at a new place (shares of the monitor's size)
//   T calibration instructions MONITOR  no dot; the instructions are on that monitor
//   T camera N                        N programs receive the stream now
//   T script ended                    a script played once is over (its last gaze holds)
//   T error MESSAGE                   a command that was not understood

#include "headrender/HeadRenderer.h"
#include "headrender/PhotoFile.h"
#include "simulated-user/Desk.h"
#include "simulated-user/GazeDirector.h"
#include "simulated-user/HeadMotion.h"
#include "simulated-user/JpegEncoder.h"
#include "simulated-user/MjpegServer.h"
#include "simulated-user/ScreenWatcher.h"
#include "simulated-user/Uptime.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <string>
#include <thread>

using namespace orvane;
using namespace orvane::simulated;

namespace {

constexpr double degree = M_PI / 180;
const cv::Size streamSize(1280, 720);

std::atomic<bool> stopRequested{false};

int usage() {
    std::fprintf(
        stderr,
        "usage: orvane-simulated-user [--display D] [--script STEPS [--once] | --pose YAW,PITCH]\n"
        "           [--calibration auto|off] [--fps N] [--seed N] [--port N] [--render 720|360]\n"
        "           [--photo FILE] [--log FILE]\n"
        "  STEPS: where to look and for how long, e.g. \"LEFT:3,RIGHT:3,keyboard:2,away:2\" (monitor\n"
        "  names as RandR gives them); looping unless --once. Without a script: the first monitor.\n"
        "  --pose holds the head so (degrees, as the camera sees it); with --calibration off it needs\n"
        "  no display. --render 360 renders 640x360 and scales it up: cheaper, less sharp.\n"
        "Commands on standard input: look NAME [X Y] | look keyboard | look away | pose YAW PITCH |\n"
        "  script STEPS [once] | calibration auto|off | quit\n");
    return 2;
}

// Event lines on standard output, and in the log file when there is one.
class Events {
  public:
    explicit Events(FILE* log) : log_(log) {}
    void print(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list arguments;
        va_start(arguments, format);
        write(uptime(), format, arguments);
        va_end(arguments);
    }
    // With the time of the frame it is about rather than now.
    void printAt(double time, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list arguments;
        va_start(arguments, format);
        write(time, format, arguments);
        va_end(arguments);
    }

  private:
    void write(double time, const char* format, va_list arguments) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, arguments);
        std::lock_guard lock(mutex_);
        for (FILE* out : {stdout, log_}) {
            if (!out) continue;
            std::fprintf(out, "%.3f %s\n", time, text);
            std::fflush(out);
        }
    }

    FILE* log_;
    std::mutex mutex_;
};

// Lines from standard input, read on a thread of its own.
class CommandReader {
  public:
    CommandReader() {
        std::thread([this] {
            std::string line;
            while (std::getline(std::cin, line)) {
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
            }
        }).detach();
    }
    std::optional<std::string> next() {
        std::lock_guard lock(mutex_);
        if (lines_.empty()) return std::nullopt;
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }

  private:
    std::mutex mutex_;
    std::deque<std::string> lines_;
};

template <typename T> bool parse(const char* text, T& value) {
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    return error == std::errc() && stop == end;
}

struct Options {
    std::string display;
    std::optional<std::vector<ScriptStep>> script;
    bool once = false;
    std::optional<HeadTurn> pose;
    bool followCalibration = true;
    double fps = 15;
    unsigned long seed = 1;
    int port = 0;
    int renderHeight = 720;
    std::filesystem::path photo = headrender::defaultPhotoPath();
    std::string log;
};

std::optional<Options> readOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto take = [&] { return ++i, value; };
        if (argument == "--once") {
            options.once = true;
        } else if (!value) {
            return std::nullopt;
        } else if (argument == "--display") {
            options.display = take();
        } else if (argument == "--script") {
            std::string error;
            options.script = parseScript(take(), error);
            if (!options.script) {
                std::fprintf(stderr, "orvane-simulated-user: %s\n", error.c_str());
                return std::nullopt;
            }
        } else if (argument == "--pose") {
            const std::string text = take();
            const auto comma = text.find(',');
            double yaw = 0, pitch = 0;
            if (comma == std::string::npos || !parse(text.substr(0, comma).c_str(), yaw) ||
                !parse(text.substr(comma + 1).c_str(), pitch))
                return std::nullopt;
            options.pose = HeadTurn{yaw * degree, pitch * degree, 0};
        } else if (argument == "--calibration") {
            const std::string mode = take();
            if (mode != "auto" && mode != "off") return std::nullopt;
            options.followCalibration = mode == "auto";
        } else if (argument == "--fps") {
            if (!parse(take(), options.fps) || !(options.fps >= 1 && options.fps <= 60)) return std::nullopt;
        } else if (argument == "--seed") {
            if (!parse(take(), options.seed)) return std::nullopt;
        } else if (argument == "--port") {
            if (!parse(take(), options.port) || options.port < 0 || options.port > 65535) return std::nullopt;
        } else if (argument == "--render") {
            if (!parse(take(), options.renderHeight) ||
                (options.renderHeight != 720 && options.renderHeight != 360))
                return std::nullopt;
        } else if (argument == "--photo") {
            options.photo = take();
        } else if (argument == "--log") {
            options.log = take();
        } else {
            return std::nullopt;
        }
    }
    if (options.script && options.pose) return std::nullopt;
    return options;
}

// The monitors a script or command names must exist.
bool knows(const Desk& desk, const Gaze& gaze, Events& events) {
    if (gaze.kind != Gaze::Kind::monitor || desk.monitor(gaze.monitor)) return true;
    events.print("error no monitor named %s", gaze.monitor.c_str());
    return false;
}

HeadTurn headFor(const Desk& desk, const Gaze& gaze) {
    switch (gaze.kind) {
    case Gaze::Kind::monitor:
        if (const Monitor* m = desk.monitor(gaze.monitor))
            return desk.lookingAt(
                {m->pixels.x + gaze.spot.x * m->pixels.width, m->pixels.y + gaze.spot.y * m->pixels.height});
        return desk.lookingAt({0, 0});
    case Gaze::Kind::keyboard:
        return desk.lookingAtKeyboard();
    case Gaze::Kind::absent:
    case Gaze::Kind::away:
        return desk.lookingAway();
    case Gaze::Kind::pose:
        return gaze.pose;
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    const auto options = readOptions(argc, argv);
    if (!options) return usage();

    const cv::Mat photo = headrender::loadPhoto(options->photo);
    if (photo.empty()) {
        std::fprintf(
            stderr,
            "orvane-simulated-user: cannot read the photo %s (scripts/fetch-test-photos fetches it)\n",
            options->photo.c_str());
        return 1;
    }
    headrender::HeadRenderer::Options renderOptions;
    renderOptions.size = options->renderHeight == 720 ? streamSize : streamSize / 2;
    headrender::HeadRenderer renderer(photo, renderOptions);

    // The desktop is needed for monitor names and for calibrations; a pose alone needs none.
    std::unique_ptr<ScreenWatcher> screen;
    const bool needsDesktop = !options->pose || options->followCalibration;
    if (needsDesktop || !options->display.empty() || std::getenv("DISPLAY")) {
        screen = std::make_unique<ScreenWatcher>(options->display);
        if (!screen->isOpen()) {
            if (needsDesktop) {
                std::fprintf(stderr, "orvane-simulated-user: cannot open the display %s\n",
                             options->display.empty() ? "$DISPLAY" : options->display.c_str());
                return 1;
            }
            screen.reset();
        }
    }
    const Desk desk(screen ? screen->monitors() : std::vector<Monitor>{});

    FILE* log = nullptr;
    if (!options->log.empty() && !(log = std::fopen(options->log.c_str(), "a"))) {
        std::perror(("orvane-simulated-user: " + options->log).c_str());
        return 1;
    }
    Events events(log);

    Gaze initial;
    if (options->pose) {
        initial.pose = *options->pose;
    } else if (!desk.monitors().empty()) {
        initial.kind = Gaze::Kind::monitor;
        initial.monitor = desk.monitors().front().name;
    }
    GazeDirector director(desk, initial);
    if (options->script) {
        for (const ScriptStep& step : *options->script)
            if (!knows(desk, step.gaze, events)) return 1;
        director.play(*options->script, options->once, uptime());
    }

    MjpegServer server(options->port);
    if (!server.isListening()) return 1;
    server.onClientsChanged = [&](int clients) { events.print("camera %d", clients); };
    events.print("source %s", server.sourceFragment().c_str());
    std::fprintf(stderr, "orvane-simulated-user: ORVANE_CAMERA_SOURCE='%s'\n",
                 server.sourceFragment().c_str());

    // The screen is looked at only while calibrations are followed.
    std::mutex viewMutex;
    std::optional<CalibrationView> seen;
    auto follow = [&](bool on) {
        director.followCalibration(on && screen);
        if (!screen) return;
        if (!on) {
            screen->stop();
            director.see({});
            return;
        }
        screen->watch([&](const CalibrationView& view) {
            std::lock_guard lock(viewMutex);
            seen = view;
        });
    };
    follow(options->followCalibration);

    struct sigaction action {};
    action.sa_handler = [](int) { stopRequested = true; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    CommandReader commands;
    HeadMotion motion(options->seed);
    JpegEncoder encoder;
    std::optional<GazeDirector::Choice> shown;
    bool wasCalibrating = false, endReported = false, facingReported = false;
    cv::Mat scaled;
    const double period = 1 / options->fps;
    double tick = uptime();
    for (std::uint64_t frame = 0; !stopRequested; ++frame) {
        while (auto line = commands.next()) {
            std::string error;
            const auto command = parseCommand(*line, error);
            if (!command) {
                events.print("error %s", error.c_str());
            } else if (command->kind == Command::Kind::quit) {
                stopRequested = true;
            } else if (command->kind == Command::Kind::look) {
                if (knows(desk, command->gaze, events)) director.look(command->gaze);
            } else if (command->kind == Command::Kind::script) {
                bool known = true;
                for (const ScriptStep& step : command->steps)
                    known = knows(desk, step.gaze, events) && known;
                if (known) director.play(command->steps, command->once, tick);
                endReported = false;
            } else if (command->kind == Command::Kind::calibration) {
                follow(command->followCalibration);
            }
        }
        bool viewChanged = false;
        {
            std::lock_guard lock(viewMutex);
            if (seen) director.see(*seen);
            viewChanged = seen.has_value();
            seen.reset();
        }
        if (director.calibrating() != wasCalibrating) {
            wasCalibrating = director.calibrating();
            events.print("calibration %s", wasCalibrating ? "started" : "ended");
        }
        if (viewChanged && director.calibrating()) {
            const Gaze gaze = director.at(tick).gaze;
            if (director.view().dot)
                events.print("calibration dot %s@%.3f,%.3f", gaze.monitor.c_str(), gaze.spot.x, gaze.spot.y);
            else
                events.print("calibration instructions %s", gaze.monitor.c_str());
        }

        const GazeDirector::Choice choice = director.at(tick);
        if (choice != shown) {
            shown = choice;
            const HeadTurn turn = headFor(desk, choice.gaze);
            motion.lookTowards(turn);
            events.print("gaze %s %.1f %.1f %s", choice.gaze.describe().c_str(), turn.yaw / degree,
                         turn.pitch / degree, choice.cause.c_str());
            facingReported = false;
        }
        if (!endReported && director.scriptEnded(tick)) {
            endReported = true;
            events.print("script ended");
        }

        headrender::HeadPlacement placement = motion.at(tick, desk.restingPlacement());
        // Gone from the chair: the head two metres to the side, out of the picture.
        if (shown->gaze.kind == Gaze::Kind::absent) placement.x += 2000;
        if (!facingReported && motion.arrived(degree)) {
            facingReported = true;
            events.printAt(tick, "facing %s", shown->gaze.describe().c_str());
        }
        placement.seed = (std::uint64_t(options->seed) << 32) + frame;
        // Nobody watching: nothing to draw.
        if (server.clients() > 0) {
            cv::Mat picture = renderer.render(placement);
            if (picture.size() != streamSize) {
                cv::resize(picture, scaled, streamSize, 0, 0, cv::INTER_LINEAR);
                picture = scaled;
            }
            const auto jpeg = encoder.encode(picture);
            if (!jpeg.empty()) server.send(jpeg);
        }

        tick += period;
        // Behind by more than a frame (a busy machine): skip ahead instead of hurrying.
        if (tick < uptime() - period) tick = uptime();
        server.serve(tick);
    }
    if (screen) screen->stop();
    if (log) std::fclose(log);
    return 0;
}
