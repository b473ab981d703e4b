#include "simulated-user/Gaze.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace orvane::simulated {

namespace {

constexpr double degree = M_PI / 180;

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> result;
    for (std::string_view part : split(line, ' '))
        if (!part.empty()) result.push_back(part);
    return result;
}

std::optional<double> number(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

Gaze namedGaze(std::string_view name) {
    Gaze gaze;
    if (name == "keyboard") {
        gaze.kind = Gaze::Kind::keyboard;
    } else if (name == "away") {
        gaze.kind = Gaze::Kind::away;
    } else if (name == "absent") {
        gaze.kind = Gaze::Kind::absent;
    } else {
        gaze.kind = Gaze::Kind::monitor;
        gaze.monitor = std::string(name);
    }
    return gaze;
}

} // namespace

std::string Gaze::describe() const {
    char text[64];
    switch (kind) {
    case Kind::monitor:
        if (spot == cv::Point2d(0.5, 0.5)) return monitor;
        std::snprintf(text, sizeof text, "@%.3f,%.3f", spot.x, spot.y);
        return monitor + text;
    case Kind::keyboard:
        return "keyboard";
    case Kind::away:
        return "away";
    case Kind::absent:
        return "absent";
    case Kind::pose:
        std::snprintf(text, sizeof text, "pose@%.1f,%.1f", pose.yaw / degree, pose.pitch / degree);
        return text;
    }
    return {};
}

std::optional<std::vector<ScriptStep>> parseScript(std::string_view text, std::string& error) {
    std::vector<ScriptStep> steps;
    for (std::string_view item : split(text, ',')) {
        const std::size_t colon = item.rfind(':');
        const std::string_view name = item.substr(0, colon);
        const double seconds =
            colon == std::string_view::npos ? 0 : number(item.substr(colon + 1)).value_or(0);
        if (name.empty() || name.find_first_of(" @") != std::string_view::npos || !(seconds > 0)) {
            error = "a script step is NAME:SECONDS, not \"" + std::string(item) + "\"";
            return std::nullopt;
        }
        steps.push_back({namedGaze(name), seconds});
    }
    return steps;
}

const Gaze& GazeScript::gazeAt(double time, bool* ended) const {
    const double length = std::accumulate(steps_.begin(), steps_.end(), 0.0,
                                          [](double sum, const ScriptStep& s) { return sum + s.seconds; });
    double elapsed = std::max(time - start_, 0.0);
    if (ended) *ended = once_ && elapsed >= length;
    if (once_ && elapsed >= length) return steps_.back().gaze;
    elapsed = std::fmod(elapsed, length);
    for (const ScriptStep& step : steps_) {
        if (elapsed < step.seconds) return step.gaze;
        elapsed -= step.seconds;
    }
    return steps_.back().gaze;
}

std::optional<Command> parseCommand(std::string_view line, std::string& error) {
    const auto w = words(line);
    Command command;
    auto fail = [&](const std::string& reason) -> std::optional<Command> {
        error = reason;
        return std::nullopt;
    };
    if (w.empty()) return fail("empty command");
    if (w[0] == "quit" && w.size() == 1) {
        command.kind = Command::Kind::quit;
    } else if (w[0] == "look" && (w.size() == 2 || w.size() == 4)) {
        command.kind = Command::Kind::look;
        command.gaze = namedGaze(w[1]);
        if (w.size() == 4) {
            const auto x = number(w[2]), y = number(w[3]);
            if (command.gaze.kind != Gaze::Kind::monitor || !x || !y || *x < 0 || *x > 1 || *y < 0 || *y > 1)
                return fail("look NAME X Y takes a monitor and shares of its width and height (0 to 1)");
            command.gaze.spot = {*x, *y};
        }
    } else if (w[0] == "pose" && w.size() == 3) {
        const auto yaw = number(w[1]), pitch = number(w[2]);
        if (!yaw || !pitch) return fail("pose takes yaw and pitch in degrees");
        command.kind = Command::Kind::look;
        command.gaze.kind = Gaze::Kind::pose;
        command.gaze.pose = {*yaw * degree, *pitch * degree, 0};
    } else if (w[0] == "script" && (w.size() == 2 || (w.size() == 3 && w[2] == "once"))) {
        auto steps = parseScript(w[1], error);
        if (!steps) return std::nullopt;
        command.kind = Command::Kind::script;
        command.steps = std::move(*steps);
        command.once = w.size() == 3;
    } else if (w[0] == "calibration" && w.size() == 2 && (w[1] == "auto" || w[1] == "off")) {
        command.kind = Command::Kind::calibration;
        command.followCalibration = w[1] == "auto";
    } else {
        return fail("unknown command \"" + std::string(line) + "\"");
    }
    return command;
}

} // namespace orvane::simulated
