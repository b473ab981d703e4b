#pragma once

#include "core/CalibrationProfile.h"
#include "core/DriftMonitor.h"
#include "core/HeadPose.h"
#include "core/OneEuroFilter.h"
#include "core/PoseHistory.h"
#include "core/ScreenModel.h"
#include "core/ScreenPrediction.h"
#include "core/SwitchDecider.h"
#include "engine/Clock.h"
#include "engine/FaceTracker.h"
#include "engine/Platform.h"
#include "engine/Queue.h"

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

class Diagnostics;

// The per-frame summary published for the user interface.
struct TrackingSnapshot {
    bool faceVisible = false;
    std::optional<HeadPose> pose;               // smoothed; absent without a face
    std::optional<ScreenPrediction> prediction; // absent without a face or a model
    SwitchDecider::Status status = SwitchDecider::NoFace{};
    std::optional<std::string> activeScreen;
    double framesPerSecond = 0; // analysed frames per second over the last 2 s

    bool operator==(const TrackingSnapshot&) const = default;
};

// The per-frame heart of tracking: throttles frames to the rate the moment needs, finds the head
// pose, smooths it, asks the screen model which screen is faced, runs the switch decider, and turns
// clicks into labelled samples scored against the model.
//
// All state lives on `queue`. handle() runs there (the camera delivers frames on it); every other
// command posts its work there and returns at once. Callbacks run on `queue`. The queue must not
// run the pipeline's tasks after the pipeline is destroyed.
class TrackingPipeline {
  public:
    // Least seconds between analysed frames: 0.85 times the periods of 15, 5 and 4 frames per second.
    static constexpr double fullRateInterval = 0.85 / 15;
    static constexpr double reducedRateInterval = 0.85 / 5;
    static constexpr double slowRateInterval = 0.85 / 4;

    TrackingPipeline(TaskQueue& queue, FaceDetector& detector, InputSource& input, const Clock& clock);
    TrackingPipeline(const TrackingPipeline&) = delete;
    TrackingPipeline& operator=(const TrackingPipeline&) = delete;

    // Installed by the owner before the first frame.
    std::function<void(const std::string& screenID)> onSwitch;
    std::function<void(const std::optional<HeadPose>& pose, double time)> onPose;
    std::function<void(const LabeledSample& sample)> onLearnedSample;
    std::function<void(bool accuracyDropped)> onDriftChange;
    std::function<void(const TrackingSnapshot& snapshot)> onSnapshot;
    // Uptime of the program's own last pointer warp (0 = none); called on `queue`.
    std::function<double()> lastWarp = [] { return 0.0; };
    // The least seconds between the frames the pipeline will analyse, each time it changes (after an
    // analysed frame or a command); the owner hands it to the camera so that sooner frames cost
    // nothing. Called on `queue`.
    std::function<void(double seconds)> onFrameInterval;

    // Analyses one frame; call on `queue`.
    void handle(const FrameView& frame);

    // A click on a screen at an uptime: that screen holds focus now, and the steady pose just before
    // the click is a labelled sample.
    void handleClick(std::string screenID, double time);

    void setActiveScreen(std::string screenID);
    void setConfiguration(const SwitchDecider::Configuration& configuration);
    void setLearningEnabled(bool enabled);
    void setSwitchingEnabled(bool enabled);
    void setFullRate(bool enabled);
    // An absent model also returns the decider to its initial state (its configuration stays).
    void setModel(std::optional<ScreenModel> model);
    // Restarts smoothing and face following; the decider, drift monitor and model stay.
    void reset();
    void resetDrift();
    // Null turns the diagnostics records off.
    void setDiagnostics(std::shared_ptr<Diagnostics> diagnostics);

  private:
    double minimumInterval(double now) const;
    void announceInterval();
    void countProcessed(double now);
    void reportPerformance(double now);
    void publish(bool faceVisible, const std::optional<HeadPose>& pose,
                 const std::optional<ScreenPrediction>& prediction, double now);
    void click(const std::string& screenID, double time);

    TaskQueue& queue_;
    InputSource& input_;
    const Clock& clock_;
    std::shared_ptr<Diagnostics> diagnostics_;

    FaceTracker tracker_;
    PoseFilter filter_{1.2, 1.5};
    PoseHistory history_{2.0};
    SwitchDecider decider_{SwitchDecider::Configuration{}};
    DriftMonitor drift_{30, 15, 0.7};
    std::optional<ScreenModel> model_;

    bool switchingEnabled_ = false;
    bool learningEnabled_ = true;
    bool fullRate_ = false;

    double lastProcessed_ = 0;
    double lastFace_ = -std::numeric_limits<double>::infinity();
    double lastSnapshot_ = 0;
    double lastDiagnostics_ = 0;
    std::vector<double> processedTimes_; // uptimes of analysed frames within the last 2 s

    std::optional<double> perfWindowStart_;
    int perfFrames_ = 0;
    double perfVisionTime_ = 0;
    int perfCameraFrames_ = 0;
    std::pair<int, int> perfFrameSize_{0, 0};

    bool driftFlagged_ = false;
    double announcedInterval_ = 0; // the last interval told through onFrameInterval
};

} // namespace orvane
