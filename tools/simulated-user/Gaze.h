#pragma once

#include "simulated-user/Desk.h"

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::simulated {

// Where the user looks.
struct Gaze {
    enum class Kind { monitor, keyboard, away, pose, absent };
    Kind kind = Kind::pose;
    std::string monitor;        // monitor: its RandR name
    cv::Point2d spot{0.5, 0.5}; // monitor: the point looked at, as shares of its width and height
    HeadTurn pose;              // pose: the head as the camera sees it, radians

    // "LEFT", "LEFT@0.200,0.300", "keyboard", "away", "pose@10.0,-5.0" (degrees), "absent" (the user left
    // the camera's view).
    std::string describe() const;
    bool operator==(const Gaze&) const = default;
};

// One step of a gaze script: where to look and for how long.
struct ScriptStep {
    Gaze gaze;
    double seconds = 0;
};

// "LEFT:3,RIGHT:3,keyboard:2,away:2": monitor names, "keyboard", "away" or "absent", each with its seconds.
// Absent with the reason in `error` when malformed.
std::optional<std::vector<ScriptStep>> parseScript(std::string_view text, std::string& error);

// A gaze script played against the clock: looping, or once and then holding its last gaze.
class GazeScript {
  public:
    GazeScript(std::vector<ScriptStep> steps, bool once, double start)
        : steps_(std::move(steps)), once_(once), start_(start) {}

    // The step's gaze at `time`; `ended` turns true once a script played once is over.
    const Gaze& gazeAt(double time, bool* ended = nullptr) const;

  private:
    std::vector<ScriptStep> steps_;
    bool once_;
    double start_;
};

// A command on standard input:
//   look NAME [X Y]   look at a monitor (at a point given as shares of its width and height)
//   look keyboard     look down at the keyboard
//   look away         turn well away from every monitor
//   look absent       leave the camera's view
//   pose YAW PITCH    hold the head so (degrees, as the camera sees it)
//   script STEPS [once]   play a gaze script (see parseScript), looping unless "once"
//   calibration auto|off  follow calibrations on the screen, or not
//   quit
struct Command {
    enum class Kind { look, script, calibration, quit };
    Kind kind = Kind::quit;
    Gaze gaze;                     // look
    std::vector<ScriptStep> steps; // script
    bool once = false;             // script
    bool followCalibration = true; // calibration
};

// Absent with the reason in `error` when the line is no command.
std::optional<Command> parseCommand(std::string_view line, std::string& error);

} // namespace orvane::simulated
