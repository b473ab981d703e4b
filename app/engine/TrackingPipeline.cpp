#include "engine/TrackingPipeline.h"

#include "engine/Diagnostics.h"
#include "engine/SystemServices.h"

#include <algorithm>
#include <string>
#include <variant>

namespace orvane {

namespace {

constexpr double rateWindow = 2.0;          // seconds over which framesPerSecond is measured
constexpr double slowAfterNoFace = 5.0;     // seconds without a face before the slow rate
constexpr double fastTurn = 0.6;            // radians per second of head turn that asks for the full rate
constexpr double filterResetGap = 0.5;      // seconds without a face after which smoothing restarts
constexpr double snapshotInterval = 0.1;    // least seconds between snapshots
constexpr double diagnosticsInterval = 0.2; // least seconds between "frame" records
constexpr double perfWindow = 10.0;         // seconds per "perf" record

// The steady pose before a click: 0.3 s, at least 2 poses, yaw and pitch within 4 degrees.
constexpr double clickWindow = 0.3;
constexpr int clickMinimumCount = 2;
constexpr double clickMaximumSpread = radians(4.0);

bool waitingForInputOrCooling(const SwitchDecider::Status& status) {
    return std::holds_alternative<SwitchDecider::WaitingForKeyboard>(status) ||
           std::holds_alternative<SwitchDecider::WaitingForPointer>(status) ||
           std::holds_alternative<SwitchDecider::WaitingForModifiers>(status) ||
           std::holds_alternative<SwitchDecider::CoolingDown>(status);
}

} // namespace

TrackingPipeline::TrackingPipeline(TaskQueue& queue, FaceDetector& detector, InputSource& input,
                                   const Clock& clock)
    : queue_(queue), input_(input), clock_(clock), tracker_(detector) {
    // More than a full rate's worth of entries, so that counting frames never allocates.
    processedTimes_.reserve(64);
}

// MARK: Frames

void TrackingPipeline::handle(const FrameView& frame) {
    const double now = clock_.uptime();
    ++perfCameraFrames_;
    perfFrameSize_ = {frame.width, frame.height};
    reportPerformance(now);

    if (now - lastProcessed_ < minimumInterval(now)) return;
    lastProcessed_ = now;
    countProcessed(now);

    const double visionStart = clock_.uptime();
    const auto observation = tracker_.process(frame);
    perfVisionTime_ += clock_.uptime() - visionStart;
    ++perfFrames_;

    std::optional<HeadPose> pose;
    if (observation) {
        lastFace_ = now;
        pose = filter_.filter(observation->pose, now);
        history_.append(*pose, now);
    } else if (now - lastFace_ > filterResetGap) {
        filter_.reset(); // the next face starts unsmoothed
    }
    if (onPose) onPose(pose, now);

    std::optional<ScreenPrediction> prediction;
    if (pose && model_) prediction = model_->predict(*pose);

    const InputActivity activity =
        InputMonitor::activity(input_, lastWarp ? lastWarp() : 0.0, clock_.uptime());

    if (switchingEnabled_ && model_) {
        if (auto target = decider_.update(prediction, activity, now)) {
            decider_.didSwitch(*target, now);
            if (onSwitch) onSwitch(*target);
            if (diagnostics_)
                diagnostics_->event("switch",
                                    {{"target", *target},
                                     {"p", prediction ? Diagnostics::Fields(prediction->bestProbability())
                                                      : Diagnostics::Fields(0)}});
        }
    }

    publish(observation.has_value(), pose, prediction, now);

    if (diagnostics_ && now - lastDiagnostics_ >= diagnosticsInterval) {
        lastDiagnostics_ = now;
        diagnostics_->frame(pose, prediction, decider_.status(), activity);
    }
    announceInterval();
}

// Full rate while a switch is being decided or the head turns; reduced while the decider waits for
// input or cools down and while the head is still; slow after a while without any face.
double TrackingPipeline::minimumInterval(double now) const {
    if (fullRate_) return fullRateInterval;
    if (now - lastFace_ > slowAfterNoFace) return slowRateInterval;
    const auto& status = decider_.status();
    if (std::holds_alternative<SwitchDecider::Dwelling>(status)) return fullRateInterval;
    if (waitingForInputOrCooling(status)) return reducedRateInterval;
    return filter_.angularSpeed() > fastTurn ? fullRateInterval : reducedRateInterval;
}

// The interval only ever grows between two analysed frames or commands (the slow rate after a while
// without a face), so the one told now never makes the camera drop a frame the next handle() keeps.
void TrackingPipeline::announceInterval() {
    const double interval = minimumInterval(clock_.uptime());
    if (interval == announcedInterval_) return;
    announcedInterval_ = interval;
    if (onFrameInterval) onFrameInterval(interval);
}

void TrackingPipeline::countProcessed(double now) {
    processedTimes_.push_back(now);
    std::erase_if(processedTimes_, [now](double t) { return now - t > rateWindow; });
}

void TrackingPipeline::publish(bool faceVisible, const std::optional<HeadPose>& pose,
                               const std::optional<ScreenPrediction>& prediction, double now) {
    if (now - lastSnapshot_ < snapshotInterval) return;
    lastSnapshot_ = now;
    if (!onSnapshot) return;
    onSnapshot(TrackingSnapshot{faceVisible, pose, prediction, decider_.status(), decider_.activeScreen(),
                                double(processedTimes_.size()) * 0.5});
}

void TrackingPipeline::reportPerformance(double now) {
    if (!perfWindowStart_) perfWindowStart_ = now;
    const double elapsed = now - *perfWindowStart_;
    if (elapsed < perfWindow) return;
    if (diagnostics_) {
        diagnostics_->event(
            "perf",
            {{"camera_fps", perfCameraFrames_ / elapsed},
             {"vision_fps", perfFrames_ / elapsed},
             {"vision_ms", perfFrames_ == 0 ? Diagnostics::Fields(0)
                                            : Diagnostics::Fields(perfVisionTime_ / perfFrames_ * 1000)},
             {"frame", std::to_string(perfFrameSize_.first) + "x" + std::to_string(perfFrameSize_.second)}});
    }
    perfWindowStart_ = now;
    perfFrames_ = 0;
    perfVisionTime_ = 0;
    perfCameraFrames_ = 0;
}

// MARK: Clicks

void TrackingPipeline::handleClick(std::string screenID, double time) {
    queue_.post([this, screenID = std::move(screenID), time] { click(screenID, time); });
}

void TrackingPipeline::click(const std::string& screenID, double time) {
    // The clicked screen holds keyboard focus now, whether or not the click teaches anything.
    decider_.setActiveScreen(screenID);
    announceInterval();
    if (!learningEnabled_ || !model_) return;

    // A head that moved just before the click was not looking where it clicked.
    const auto steady = history_.steadyPose(time, clickWindow, clickMinimumCount, clickMaximumSpread);
    if (!steady) return;

    const ScreenPrediction prediction = model_->predict(*steady);
    // A model without screens predicts nothing, which counts as wrong.
    const bool named = prediction.bestIndex() < prediction.screenIDs.size();
    const std::string predicted = named ? prediction.best() : std::string();
    const bool correct = named && !prediction.offScreen && predicted == screenID;

    drift_.record(correct);
    if (drift_.accuracyDropped() != driftFlagged_) {
        driftFlagged_ = drift_.accuracyDropped();
        if (onDriftChange) onDriftChange(driftFlagged_);
    }

    if (diagnostics_)
        diagnostics_->event("click", {{"screen", screenID},
                                      {"predicted", predicted},
                                      {"off", prediction.offScreen},
                                      {"p", prediction.probability(screenID)},
                                      {"yaw", steady->yaw},
                                      {"pitch", steady->pitch}});

    if (onLearnedSample)
        onLearnedSample(LabeledSample{*steady, screenID, LabeledSample::Source::click, clock_.now()});
}

// MARK: Commands

void TrackingPipeline::setActiveScreen(std::string screenID) {
    queue_.post([this, screenID = std::move(screenID)] {
        decider_.setActiveScreen(screenID);
        announceInterval();
    });
}

void TrackingPipeline::setConfiguration(const SwitchDecider::Configuration& configuration) {
    queue_.post([this, configuration] { decider_.configuration = configuration; });
}

void TrackingPipeline::setLearningEnabled(bool enabled) {
    queue_.post([this, enabled] { learningEnabled_ = enabled; });
}

void TrackingPipeline::setSwitchingEnabled(bool enabled) {
    queue_.post([this, enabled] { switchingEnabled_ = enabled; });
}

void TrackingPipeline::setFullRate(bool enabled) {
    queue_.post([this, enabled] {
        fullRate_ = enabled;
        announceInterval();
    });
}

void TrackingPipeline::setModel(std::optional<ScreenModel> model) {
    queue_.post([this, model = std::move(model)]() mutable {
        model_ = std::move(model);
        if (!model_) decider_ = SwitchDecider(decider_.configuration);
        announceInterval();
    });
}

void TrackingPipeline::reset() {
    queue_.post([this] {
        filter_.reset();
        history_.removeAll();
        tracker_.forget();
        announceInterval();
    });
}

void TrackingPipeline::resetDrift() {
    queue_.post([this] {
        drift_.reset();
        if (!driftFlagged_) return;
        driftFlagged_ = false;
        if (onDriftChange) onDriftChange(false);
    });
}

void TrackingPipeline::setDiagnostics(std::shared_ptr<Diagnostics> diagnostics) {
    // Swapped on the queue, so that a frame in progress keeps the log it started with.
    queue_.post(
        [this, diagnostics = std::move(diagnostics)]() mutable { diagnostics_ = std::move(diagnostics); });
}

} // namespace orvane
