#include "engine/CalibrationController.h"

#include <algorithm>
#include <cmath>
#include <coroutine>
#include <exception>
#include <utility>

namespace orvane {

// ---- View state

template <typename T> void CalibrationViewState::assign(T& field, T value) {
    if (field == value) return;
    observers_.notify();
    field = std::move(value);
}

// ---- The run as coroutines
//
// The run and its steps are coroutines that suspend at every pause; a pause posts their resumption to
// the main queue. A Run owns the frames: the controller holds it while the run is in progress, and every
// pending resumption holds it too. A resumption finding the run cancelled or its controller gone resumes
// nothing, and the frames are destroyed with the last reference, so a cancelled run ends at its pause.

namespace calibration {

struct Run : std::enable_shared_from_this<Run> {
    Run(MainQueue& queue, std::weak_ptr<int> controller) : queue(queue), controller(std::move(controller)) {}
    ~Run() {
        if (frame) frame.destroy();
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    bool live() const { return !cancelled && !controller.expired(); }

    void resumeAfter(double seconds, std::coroutine_handle<> step) {
        queue.postAfter(seconds, [run = shared_from_this(), step] {
            if (run->live()) step.resume();
        });
    }

    MainQueue& queue;
    std::weak_ptr<int> controller;
    std::coroutine_handle<> frame; // the outermost step, run()
    bool cancelled = false;
};

struct PromiseBase {
    Run* run = nullptr;
    std::coroutine_handle<> continuation = std::noop_coroutine();

    std::suspend_always initial_suspend() noexcept { return {}; }
    void unhandled_exception() { std::terminate(); }
};

// A finished step hands control back to the step awaiting it; the outermost one to whoever resumed it.
struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> step) noexcept {
        return step.promise().continuation;
    }
    void await_resume() const noexcept {}
};

class RunTask {
  public:
    struct promise_type : PromiseBase {
        RunTask get_return_object() { return RunTask(Handle::from_promise(*this)); }
        FinalAwaiter final_suspend() noexcept { return {}; }
        void return_void() {}
    };
    using Handle = std::coroutine_handle<promise_type>;

    explicit RunTask(Handle handle) : handle_(handle) {}
    RunTask(RunTask&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    RunTask& operator=(RunTask&&) = delete;
    ~RunTask() {
        if (handle_) handle_.destroy();
    }

    // Hands the frame over to a Run.
    Handle release() { return std::exchange(handle_, {}); }

  private:
    Handle handle_;
};

// A step that another step awaits: it starts when awaited and resumes its caller with its result.
template <typename T> class Step {
  public:
    struct promise_type : PromiseBase {
        std::optional<T> result;

        Step get_return_object() { return Step(Handle::from_promise(*this)); }
        FinalAwaiter final_suspend() noexcept { return {}; }
        void return_value(T value) { result = std::move(value); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    explicit Step(Handle handle) : handle_(handle) {}
    Step(Step&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Step& operator=(Step&&) = delete;
    ~Step() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> caller) noexcept {
        handle_.promise().run = caller.promise().run;
        handle_.promise().continuation = caller;
        return handle_;
    }
    T await_resume() { return std::move(*handle_.promise().result); }

  private:
    Handle handle_;
};

} // namespace calibration

namespace {

using calibration::Run;

// `co_await pause(seconds)` comes back only if the run is still wanted by then.
struct Pause {
    double seconds;

    bool await_ready() const noexcept { return false; }
    template <typename Promise> void await_suspend(std::coroutine_handle<Promise> step) {
        step.promise().run->resumeAfter(seconds, step);
    }
    void await_resume() const noexcept {}
};

Pause pause(double seconds) {
    return {seconds};
}

// Hands the samples to the engine and comes back with the score. A completion that is dropped without
// being called answers 0, so a fit that the engine discards never leaves the run waiting.
class Fit {
  public:
    Fit(CalibrationHost& host, std::vector<LabeledSample> samples)
        : host_(host), samples_(std::move(samples)) {}

    bool await_ready() const noexcept { return false; }
    template <typename Promise> void await_suspend(std::coroutine_handle<Promise> step) {
        auto reply = std::make_shared<Reply>(step.promise().run->shared_from_this(), step, &score_);
        host_.finishCalibration(std::move(samples_), [reply](double score) { reply->answer(score); });
    }
    double await_resume() const noexcept { return score_; }

  private:
    // Shared by every copy of the completion; may be destroyed on any thread, so it only ever posts.
    struct Reply {
        Reply(std::shared_ptr<Run> run, std::coroutine_handle<> step, double* score)
            : run(std::move(run)), step(step), score(score) {}
        ~Reply() { answer(0); }

        void answer(double value) {
            if (std::exchange(answered, true)) return;
            run->queue.post([run = run, step = step, score = score, value] {
                if (!run->live()) return;
                *score = value;
                step.resume();
            });
        }

        std::shared_ptr<Run> run;
        std::coroutine_handle<> step;
        double* score; // in the awaiting frame, which the run keeps alive
        bool answered = false;
    };

    CalibrationHost& host_;
    std::vector<LabeledSample> samples_;
    double score_ = 0;
};

constexpr double steadySpread = 0.10471975511965977; // 6° in radians
constexpr std::size_t minimumHoldPoses = 5;
constexpr double holdSeconds = 0.9;
constexpr double recentSeconds = 3.0;
constexpr double faceTimeout = 30.0;
constexpr double goodScore = 0.8;

} // namespace

// ---- Controller

CalibrationController::CalibrationController(CalibrationHost& host, CalibrationWindows& windows,
                                             MainQueue& queue, const Clock& clock)
    : host_(host), windows_(windows), queue_(queue), clock_(clock) {
    windows_.onCancel = [alive = std::weak_ptr<int>(alive_), this] {
        if (!alive.expired()) cancel();
    };
}

CalibrationController::~CalibrationController() = default;

void CalibrationController::start(std::function<void()> onClose) {
    if (task_) return;
    auto displays = host_.calibrationDisplays();
    if (displays.size() < 2) return;

    // The windows of a finished run may still show its grade; the new run takes over from them.
    close();
    onClose_ = std::move(onClose);

    // A new run shows nothing of an earlier one: no grade, no dot, and no face until a frame shows one.
    state_.setFinished(false);
    state_.setScore(std::nullopt);
    state_.setActiveDisplay(std::nullopt);
    state_.setDot({0.5, 0.5});
    state_.setDotProgress(0);
    state_.setFaceVisible(false);

    windows_.open(displays, state_);
    windowsOpen_ = true;
    host_.beginCalibration([alive = std::weak_ptr<int>(alive_), this](const std::optional<HeadPose>& pose) {
        if (!alive.expired()) receivePose(pose);
    });

    auto runState = std::make_shared<calibration::Run>(queue_, alive_);
    auto frame = run(std::move(displays), ++runNumber_).release();
    frame.promise().run = runState.get();
    runState->frame = frame;
    task_ = runState;
    frame.resume();
}

void CalibrationController::cancel() {
    if (task_) {
        task_->cancelled = true;
        task_.reset();
    }
    host_.cancelCalibration();
    close();
}

void CalibrationController::receivePose(const std::optional<HeadPose>& pose) {
    const double now = clock_.uptime();
    recent_.push_back({pose, now});
    while (now - recent_.front().time > recentSeconds)
        recent_.pop_front();
    state_.setFaceVisible(pose.has_value());
}

calibration::RunTask CalibrationController::run(std::vector<DisplayInfo> displays, int runNumber) {
    state_.setMessage("Getting ready");
    state_.setDetail("Sit as you normally do. Follow the dot — turn your head the way you naturally would.");
    const bool faceSeen = co_await waitForFace();
    if (!faceSeen) co_return;
    co_await pause(2.0);

    std::vector<LabeledSample> samples;
    for (const DisplayInfo& display : displays) {
        state_.setActiveDisplay(display.uuid);
        state_.setMessage("Look at this screen");
        state_.setDetail(display.name);
        state_.setDot({0.5, 0.5});
        co_await pause(1.2);
        for (Point point : points(display, displays)) {
            auto collected = co_await collect(point, display);
            if (!collected) co_return;
            samples.insert(samples.end(), collected->begin(), collected->end());
        }
    }

    state_.setActiveDisplay(std::nullopt);
    state_.setMessage("Calibrating…");
    state_.setDetail("");
    const double score = co_await Fit(host_, std::move(samples));

    state_.setScore(score);
    state_.setFinished(true);
    state_.setMessage(verdict(score));
    state_.setDetail(score >= goodScore
                         ? "You're set. Look at a screen and start typing."
                         : "The screens look similar from the camera. Try again sitting as you "
                           "usually do, or choose another camera in Settings.");
    task_.reset(); // from here a new run may start, and cancelling only closes the windows early

    co_await pause(score >= goodScore ? 2.5 : 5.0);
    // A run started meanwhile owns the windows now.
    if (runNumber == runNumber_) close();
}

calibration::Step<bool> CalibrationController::waitForFace() {
    const double start = clock_.uptime();
    while (true) {
        if (clock_.uptime() - start >= faceTimeout) {
            cancel();
            co_return false;
        }
        if (state_.faceVisible()) co_return true;
        state_.setDetail("Waiting for the camera to see your face…");
        co_await pause(0.2);
    }
}

calibration::Step<std::optional<std::vector<LabeledSample>>>
CalibrationController::collect(Point point, DisplayInfo display) {
    for (int attempt = 0;; ++attempt) {
        state_.setDot(point); // the views glide the dot there
        state_.setDotProgress(0);
        co_await pause(0.75); // the head follows the dot

        const double holdStart = clock_.uptime();
        while (clock_.uptime() - holdStart < holdSeconds) {
            state_.setDotProgress((clock_.uptime() - holdStart) / holdSeconds);
            co_await pause(0.05);
        }
        state_.setDotProgress(1.0);

        const std::vector<HeadPose> poses = posesSince(holdStart);
        if (isSteady(poses)) {
            state_.setDetail(display.name);
            co_return labeled(poses, display);
        }
        const bool faceMissing = poses.size() < minimumHoldPoses;
        state_.setDetail(faceMissing ? "Can't see your face clearly — check lighting and the camera."
                                     : "Hold still on the dot for a moment.");
        if (faceMissing) {
            const bool faceSeen = co_await waitForFace();
            if (!faceSeen) co_return std::nullopt;
        }
        // The third hold is taken as it is.
        if (attempt == 2) co_return labeled(poses, display);
    }
}

std::vector<HeadPose> CalibrationController::posesSince(double time) const {
    std::vector<HeadPose> poses;
    for (const auto& entry : recent_)
        if (entry.time >= time && entry.pose) poses.push_back(*entry.pose);
    return poses;
}

std::vector<LabeledSample> CalibrationController::labeled(const std::vector<HeadPose>& poses,
                                                          const DisplayInfo& display) const {
    std::vector<LabeledSample> samples;
    const WallTime now = clock_.now();
    for (const HeadPose& pose : poses)
        samples.push_back({pose, display.uuid, LabeledSample::Source::calibration, now});
    return samples;
}

void CalibrationController::close() {
    if (windowsOpen_) {
        windowsOpen_ = false;
        windows_.close();
    }
    if (auto onClose = std::exchange(onClose_, nullptr)) onClose();
}

// ---- Pure functions

std::vector<Point> CalibrationController::points(const DisplayInfo& display,
                                                 const std::vector<DisplayInfo>& displays) {
    std::vector<Point> points{{0.5, 0.5},  {0.08, 0.1}, {0.5, 0.1},  {0.92, 0.1}, {0.92, 0.5},
                              {0.92, 0.9}, {0.5, 0.9},  {0.08, 0.9}, {0.08, 0.5}};
    const Rect& own = display.bounds;
    for (const DisplayInfo& other : displays) {
        if (other.uuid == display.uuid) continue;
        const Rect& it = other.bounds;
        // With a 1-point slack; the horizontal tests come first, and overlapping displays add nothing.
        if (it.x >= own.right() - 1) {
            points.insert(points.end(), {{0.98, 0.3}, {0.98, 0.7}});
        } else if (it.right() <= own.x + 1) {
            points.insert(points.end(), {{0.02, 0.3}, {0.02, 0.7}});
        } else if (it.y >= own.bottom() - 1) {
            points.insert(points.end(), {{0.3, 0.98}, {0.7, 0.98}});
        } else if (it.bottom() <= own.y + 1) {
            points.insert(points.end(), {{0.3, 0.02}, {0.7, 0.02}});
        }
    }
    return points;
}

bool CalibrationController::isSteady(const std::vector<HeadPose>& poses) {
    if (poses.size() < minimumHoldPoses) return false;
    // A broken angle has no spread to compare; it must not pass as steady.
    for (const HeadPose& pose : poses)
        if (!std::isfinite(pose.yaw) || !std::isfinite(pose.pitch)) return false;
    auto [minYaw, maxYaw] = std::ranges::minmax(poses, {}, &HeadPose::yaw);
    auto [minPitch, maxPitch] = std::ranges::minmax(poses, {}, &HeadPose::pitch);
    return std::max(maxYaw.yaw - minYaw.yaw, maxPitch.pitch - minPitch.pitch) < steadySpread;
}

std::string CalibrationController::verdict(double score) {
    if (score >= 0.9) return "Excellent calibration";
    if (score >= 0.8) return "Good calibration";
    if (score >= 0.65) return "Fair calibration";
    return "Calibration is unreliable"; // also for NaN
}

} // namespace orvane
