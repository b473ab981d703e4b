#pragma once

#include "core/CalibrationProfile.h"
#include "core/HeadPose.h"
#include "engine/Clock.h"
#include "engine/DisplayInfo.h"
#include "engine/Observers.h"
#include "engine/Queue.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// What a calibration run needs of the engine. Main thread only.
class CalibrationHost {
  public:
    virtual ~CalibrationHost() = default;
    // The engine's current displays.
    virtual std::vector<DisplayInfo> calibrationDisplays() const = 0;
    // calibrating = true, calibrationTap = tap, evaluate(). The tap receives every processed frame's
    // pose (absent: no face) on the main thread.
    virtual void beginCalibration(std::function<void(const std::optional<HeadPose>&)> tap) = 0;
    // calibrating = false, calibrationTap = none, evaluate().
    virtual void cancelCalibration() = 0;
    // The engine's finishCalibration: fits a model from the samples and calls the completion once, on
    // the main thread, with the separation score in [0, 1] (0 when no model could be fitted, also when
    // the fit was dropped). A completion that is destroyed without being called counts as 0, so a run
    // is never left waiting.
    virtual void finishCalibration(std::vector<LabeledSample> samples,
                                   std::function<void(double score)> completion) = 0;
};

// The observable state the calibration views draw. Observers are told before a value changes (and
// only when it does) and re-read the values in a task posted to the main queue. Main thread only.
class CalibrationViewState {
  public:
    using Observer = Observers::Observer;
    using Subscription = Observers::Subscription;

    // The dot glides to a new position over this many seconds, ease-in-out; the view animates it.
    static constexpr double dotAnimationSeconds = 0.45;

    const std::optional<std::string>& activeDisplay() const {
        return activeDisplay_;
    }                                                   // display showing the dot
    Point dot() const { return dot_; }                  // normalised to the active display, y down
    double dotProgress() const { return dotProgress_; } // elapsed share of the current hold, 0 to 1
    const std::string& message() const { return message_; }
    const std::string& detail() const { return detail_; }
    bool faceVisible() const { return faceVisible_; } // the last received frame had a face
    bool finished() const { return finished_; }       // the run has ended and score is valid
    std::optional<double> score() const { return score_; }

    [[nodiscard]] Subscription subscribe(Observer observer) const { return observers_.subscribe(std::move(observer)); }

  private:
    friend class CalibrationController;

    template <typename T> void assign(T& field, T value);

    void setActiveDisplay(std::optional<std::string> value) { assign(activeDisplay_, std::move(value)); }
    void setDot(Point value) { assign(dot_, value); }
    void setDotProgress(double value) { assign(dotProgress_, value); }
    void setMessage(std::string value) { assign(message_, std::move(value)); }
    void setDetail(std::string value) { assign(detail_, std::move(value)); }
    void setFaceVisible(bool value) { assign(faceVisible_, value); }
    void setFinished(bool value) { assign(finished_, value); }
    void setScore(std::optional<double> value) { assign(score_, value); }

    std::optional<std::string> activeDisplay_;
    Point dot_{0.5, 0.5};
    double dotProgress_ = 0;
    std::string message_;
    std::string detail_;
    bool faceVisible_ = false;
    bool finished_ = false;
    std::optional<double> score_;

    mutable Observers observers_;
};

// The calibration's windows: one full-screen window per display, drawn by the ui layer.
class CalibrationWindows {
  public:
    virtual ~CalibrationWindows() = default;
    // Opens one topmost window per display that has a screen, each drawing the shared state, and gives
    // the first one the keyboard. Esc in any of them and the views' cancel action call onCancel.
    virtual void open(const std::vector<DisplayInfo>& displays, const CalibrationViewState& state) = 0;
    // Closes every window; nothing happens when none is open.
    virtual void close() = 0;

    std::function<void()> onCancel;
};

namespace calibration {
struct Run;
class RunTask;
template <typename T> class Step;
} // namespace calibration

// Leads the user's gaze with a dot over every display in turn, collects the head poses of each steady
// hold as labelled samples, hands them to the engine and shows the grade of the fitted model.
// Main thread only; every pause is a delayed task on the main queue.
class CalibrationController {
  public:
    using ViewState = CalibrationViewState;

    CalibrationController(CalibrationHost& host, CalibrationWindows& windows, MainQueue& queue,
                          const Clock& clock);
    ~CalibrationController();
    CalibrationController(const CalibrationController&) = delete;
    CalibrationController& operator=(const CalibrationController&) = delete;

    const ViewState& state() const { return state_; }
    bool isRunning() const { return task_ != nullptr; }

    // Opens the windows and starts a run; ignored while a run is in progress or with fewer than two
    // displays. onClose is called once when the windows close.
    void start(std::function<void()> onClose);
    // Stops the run, hands the engine back to tracking and closes the windows at once.
    void cancel();
    // The engine's tap: every processed frame's pose, absent when the frame had no face.
    void receivePose(const std::optional<HeadPose>& pose);

    // The dot positions on a display: the centre, eight around the border, then two at each edge
    // facing another display.
    static std::vector<Point> points(const DisplayInfo& display, const std::vector<DisplayInfo>& displays);
    // At least five poses whose yaw and pitch each span less than 6°.
    static bool isSteady(const std::vector<HeadPose>& poses);
    // The grade shown for a separation score.
    static std::string verdict(double score);

  private:
    struct RecentPose {
        std::optional<HeadPose> pose;
        double time = 0;
    };

    calibration::RunTask run(std::vector<DisplayInfo> displays, int runNumber);
    calibration::Step<bool> waitForFace();
    calibration::Step<std::optional<std::vector<LabeledSample>>> collect(Point point, DisplayInfo display);
    std::vector<HeadPose> posesSince(double time) const;
    std::vector<LabeledSample> labeled(const std::vector<HeadPose>& poses, const DisplayInfo& display) const;
    void close();

    CalibrationHost& host_;
    CalibrationWindows& windows_;
    MainQueue& queue_;
    const Clock& clock_;
    ViewState state_;
    bool windowsOpen_ = false;
    std::shared_ptr<calibration::Run> task_; // present while a run is in progress
    int runNumber_ = 0;                      // counts started runs
    std::deque<RecentPose> recent_;          // the last 3 s of poses, oldest first
    std::function<void()> onClose_;
    // Expires with the controller: posted resumptions and callbacks check it first.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace orvane
