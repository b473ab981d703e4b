#include "simulated-user/GazeDirector.h"

#include <cmath>

namespace orvane::simulated {

void GazeDirector::play(std::vector<ScriptStep> steps, bool once, double time) {
    script_.emplace(std::move(steps), once, time);
}

void GazeDirector::look(const Gaze& gaze) {
    command_ = gaze;
    script_.reset();
}

GazeDirector::Choice GazeDirector::at(double time) const {
    if (calibrating()) {
        Gaze gaze;
        gaze.kind = Gaze::Kind::monitor;
        if (view_.dot) {
            if (const Monitor* m = desk_.monitorAt(*view_.dot)) {
                gaze.monitor = m->name;
                // Rounded as it is printed, so that a dot that has not moved gives the same gaze.
                auto share = [](double value) { return std::round(value * 1000) / 1000; };
                gaze.spot = {share((view_.dot->x - m->pixels.x) / m->pixels.width),
                             share((view_.dot->y - m->pixels.y) / m->pixels.height)};
                return {gaze, "calibration"};
            }
        } else if (view_.textMonitor) {
            gaze.monitor = *view_.textMonitor;
            return {gaze, "calibration"};
        }
    }
    if (script_) return {script_->gazeAt(time), "script"};
    return {command_, "command"};
}

bool GazeDirector::scriptEnded(double time) const {
    bool ended = false;
    if (script_) script_->gazeAt(time, &ended);
    return ended;
}

} // namespace orvane::simulated
