#pragma once

#include "simulated-user/CalibrationScreen.h"
#include "simulated-user/Desk.h"
#include "simulated-user/Gaze.h"

#include <optional>
#include <string>

namespace orvane::simulated {

// Decides where the user looks: at a calibration on the screen while one runs and is followed (the dot,
// or the middle of the monitor with the instructions), otherwise at what the last command said, or
// where the script is.
class GazeDirector {
  public:
    struct Choice {
        Gaze gaze;
        std::string cause; // "calibration", "command" or "script"
        bool operator==(const Choice&) const = default;
    };

    GazeDirector(const Desk& desk, Gaze initial) : desk_(desk), command_(std::move(initial)) {}

    void play(std::vector<ScriptStep> steps, bool once, double time);
    void look(const Gaze& gaze);
    void followCalibration(bool follow) { follow_ = follow; }
    void see(const CalibrationView& view) { view_ = view; }
    bool calibrating() const { return follow_ && view_.running; }
    const CalibrationView& view() const { return view_; }

    // Where the user looks at `time`.
    Choice at(double time) const;
    // Whether a script played once has ended by `time`.
    bool scriptEnded(double time) const;

  private:
    const Desk& desk_;
    Gaze command_;
    std::optional<GazeScript> script_;
    bool follow_ = true;
    CalibrationView view_;
};

} // namespace orvane::simulated
