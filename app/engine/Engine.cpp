#include "engine/Engine.h"

#include <algorithm>

namespace orvane {

std::string_view toString(Engine::State state) {
    switch (state) {
    case Engine::State::needsPermissions: return "needsPermissions";
    case Engine::State::singleDisplay: return "singleDisplay";
    case Engine::State::needsCalibration: return "needsCalibration";
    case Engine::State::calibrating: return "calibrating";
    case Engine::State::paused: return "paused";
    case Engine::State::suspended: return "suspended";
    case Engine::State::active: return "active";
    }
    return "needsPermissions";
}

static std::vector<std::string> uuids(const std::vector<DisplayInfo>& displays) {
    std::vector<std::string> ids;
    ids.reserve(displays.size());
    for (const auto& d : displays) ids.push_back(d.uuid);
    return ids;
}

std::shared_ptr<Engine> Engine::create(EngineServices services) {
    std::shared_ptr<Engine> engine(new Engine(std::move(services)));
    engine->start();
    return engine;
}

Engine::Engine(EngineServices services)
    : services_(std::move(services)), log_(services_.log, "engine"), settings_(services_.defaults),
      store_(services_.profilesDirectory, services_.log), system_(services_.session, services_.main),
      pipeline_(std::make_shared<TrackingPipeline>(services_.camera.frameQueue(), services_.faceDetector,
                                                   services_.input, services_.clock)) {
    cameraPermission_ = services_.permissions.camera();
    accessibilityTrusted_ = services_.permissions.windowControl();
}

Engine::~Engine() {
    services_.camera.onFrame = nullptr;
    services_.camera.onStateChange = nullptr;
    services_.displays.onChange = nullptr;
    services_.appWindows.onChange = nullptr;
    services_.input.onMouseDown = nullptr;
    services_.windows.onFocusedDisplayChange = nullptr;
}

// Construction continues here once the engine is shared, so that callbacks can hold it weakly.
void Engine::start() {
    wirePipeline();
    settingsSubscription_ = settings_.subscribe([this, weak = weak_from_this()] {
        // Told before the value changes: read the settings once the change is done.
        services_.main.post([weak] {
            if (auto self = weak.lock()) self->applySettings();
        });
    });
    applySettings();

    system_.onChange = [this] { evaluate(); };
    system_.start();

    services_.displays.onChange = [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->displaysChanged();
    };
    services_.appWindows.onChange = [this, weak = weak_from_this()] {
        services_.main.post([weak] {
            if (auto self = weak.lock()) self->evaluate();
        });
    };
    services_.camera.onStateChange = [weak = weak_from_this()](bool running) {
        auto self = weak.lock();
        if (!self) return;
        self->cameraStartRequested_ = false;
        self->publish(self->cameraRunning_, running);
    };

    displaysChanged();
    refreshPermissions();
}

void Engine::wirePipeline() {
    auto weak = weak_from_this();
    MainQueue& main = services_.main;
    std::weak_ptr<TrackingPipeline> pipeline = pipeline_;

    services_.camera.onFrame = [pipeline](const FrameView& frame, double) {
        if (auto p = pipeline.lock()) p->handle(frame);
    };
    pipeline_->lastWarp = [&windows = services_.windows] { return windows.lastWarp(); };
    // Frames sooner than the pipeline would analyse are dropped by the camera before they cost anything.
    pipeline_->onFrameInterval = [&camera = services_.camera](double seconds) {
        camera.setFrameInterval(seconds);
    };
    pipeline_->onSwitch = [weak, &main](const std::string& screenID) {
        main.post([weak, screenID] {
            if (auto self = weak.lock()) self->performSwitch(screenID);
        });
    };
    pipeline_->onPose = [weak, &main](const std::optional<HeadPose>& pose, double) {
        main.post([weak, pose] {
            auto self = weak.lock();
            if (self && self->calibrationTap_) self->calibrationTap_(pose);
        });
    };
    pipeline_->onSnapshot = [weak, &main](const TrackingSnapshot& snapshot) {
        main.post([weak, snapshot] {
            auto self = weak.lock();
            // A frame analysed while the camera was being stopped must not bring back a cleared snapshot.
            if (self && (self->cameraRunning_ || self->cameraStartRequested_))
                self->publish(self->snapshot_, std::optional(snapshot));
        });
    };
    pipeline_->onLearnedSample = [weak, &main](const LabeledSample& sample) {
        main.post([weak, sample] {
            if (auto self = weak.lock()) self->learn(sample);
        });
    };
    pipeline_->onDriftChange = [weak, &main](bool dropped) {
        main.post([weak, dropped] {
            if (auto self = weak.lock()) self->setAccuracyDropped(dropped);
        });
    };
    services_.windows.onFocusedDisplayChange = [pipeline](const std::string& screenID) {
        if (auto p = pipeline.lock()) p->setActiveScreen(screenID);
    };
}

template <typename T>
void Engine::publish(T& field, T value) {
    field = std::move(value);
    observers_.notify();
}

void Engine::applySettings() {
    pipeline_->setConfiguration(settings_.deciderConfiguration());
    pipeline_->setLearningEnabled(settings_.learnFromClicks());
    if (settings_.diagnostics()) {
        if (!diagnostics_) diagnostics_ = Diagnostics::open(services_.logsDirectory, services_.clock);
    } else {
        diagnostics_.reset();
    }
    pipeline_->setDiagnostics(diagnostics_);
    if (!appliedCameraID_ || *appliedCameraID_ != settings_.cameraID()) {
        appliedCameraID_ = settings_.cameraID();
        if (cameraRunning_ || cameraStartRequested_) stopCamera();
        loadProfile();
    }
    evaluate();
}

void Engine::evaluate() {
    State next;
    if (cameraPermission_ != CameraAuthorization::authorized || !accessibilityTrusted_)
        next = State::needsPermissions;
    else if (calibrating_)
        next = State::calibrating;
    else if (displays_.size() < 2)
        next = State::singleDisplay;
    else if (!model_)
        next = State::needsCalibration;
    else if (settings_.paused())
        next = State::paused;
    else
        next = system_.isActive() ? State::active : State::suspended;

    if (next != state_) {
        log_.info("State: " + std::string(toString(next)));
        publish(state_, next);
    }

    bool wantCamera = (state_ == State::active || state_ == State::calibrating) && system_.isActive();
    if (wantCamera) {
        if (!cameraRunning_ && !cameraStartRequested_) startCamera();
    } else if (cameraRunning_ || cameraStartRequested_) {
        stopCamera();
    }
    pipeline_->setSwitchingEnabled(state_ == State::active && !services_.appWindows.ownWindowIsKey());
    pipeline_->setFullRate(state_ == State::calibrating);
}

void Engine::startCamera() {
    pipeline_->reset();
    cameraStartRequested_ = true;
    services_.camera.start(settings_.cameraID());
}

// The engine knows at once that it stopped the camera, so that a following start (another camera)
// is not held back until the camera reports.
void Engine::stopCamera() {
    services_.camera.stop();
    cameraStartRequested_ = false;
    if (cameraRunning_) publish(cameraRunning_, false);
    publish(snapshot_, std::optional<TrackingSnapshot>{});
}

void Engine::displaysChanged() {
    auto list = services_.displays.current();
    if (list == displays_) return;
    bool idsChanged = uuids(list) != uuids(displays_);
    publish(displays_, list);
    services_.windows.updateDisplays(list);
    if (idsChanged) loadProfile();
    evaluate();
}

void Engine::refreshPermissions() {
    auto camera = services_.permissions.camera();
    if (camera != cameraPermission_) publish(cameraPermission_, camera);
    bool trusted = services_.permissions.windowControl();
    if (trusted != accessibilityTrusted_) publish(accessibilityTrusted_, trusted);

    if (accessibilityTrusted_) {
        services_.windows.start();
        if (!clickMonitorInstalled_) {
            clickMonitorInstalled_ = true;
            services_.input.onMouseDown = [this, weak = weak_from_this()](Point location, double uptime) {
                services_.main.post([weak, location, uptime] {
                    if (auto self = weak.lock()) self->handleMouseDown(location, uptime);
                });
            };
        }
    }
    if (cameraPermission_ == CameraAuthorization::authorized && accessibilityTrusted_) {
        permissionPolling_ = false;
        ++permissionGeneration_;
    } else if (!permissionPolling_) {
        permissionPolling_ = true;
        services_.main.postAfter(permissionPollInterval, [weak = weak_from_this(), g = permissionGeneration_] {
            if (auto self = weak.lock()) self->pollPermissions(g);
        });
    }
    evaluate();
}

void Engine::pollPermissions(std::uint64_t generation) {
    if (!permissionPolling_ || generation != permissionGeneration_) return;
    services_.main.postAfter(permissionPollInterval, [weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) self->pollPermissions(generation);
    });
    refreshPermissions();
}

void Engine::requestCamera() {
    services_.permissions.requestCamera([this, weak = weak_from_this()] {
        services_.main.post([weak] {
            if (auto self = weak.lock()) self->refreshPermissions();
        });
    });
}

void Engine::handleMouseDown(Point location, double uptime) {
    if (auto display = displayContaining(location, displays_)) pipeline_->handleClick(display->uuid, uptime);
}

std::optional<std::string> Engine::currentCameraID() const {
    if (auto camera = services_.camera.resolveCamera(settings_.cameraID())) return camera->id;
    return std::nullopt;
}

std::optional<std::string> Engine::displayName(const std::optional<std::string>& uuid) const {
    if (!uuid) return std::nullopt;
    for (const auto& d : displays_)
        if (d.uuid == *uuid) return d.name;
    if (profile_)
        for (const auto& d : profile_->displays)
            if (d.id == *uuid) return d.name;
    return std::nullopt;
}

void Engine::loadProfile() {
    // Clicks learned since the last save would be lost with the profile they belong to, and a load
    // must see the saves queued before it (a calibration just finished, for one).
    if (saveScheduled_ && profile_) store_.save(*profile_);
    store_.flush();
    if (displays_.size() < 2) {
        setProfile(std::nullopt);
        return;
    }
    auto loaded = store_.load(CalibrationProfile::key(uuids(displays_)));
    auto camera = currentCameraID();
    if (loaded && camera && loaded->cameraID == *camera)
        setProfile(std::move(loaded));
    else
        setProfile(std::nullopt);
}

void Engine::setAccuracyDropped(bool dropped) { publish(accuracyDropped_, dropped); }

void Engine::setProfile(std::optional<CalibrationProfile> profile) {
    publish(profile_, std::move(profile));
    setAccuracyDropped(false);
    pipeline_->resetDrift();
    if (!profile_) {
        model_.reset();
        pipeline_->setModel(std::nullopt);
        evaluate();
    } else {
        retrain(*profile_, nullptr);
    }
}

void Engine::retrain(const CalibrationProfile& profile,
                     std::function<void(const std::optional<ScreenModel>&)> completion) {
    auto samples = profile.allSamples();
    auto ids = profile.screenIDs();
    MainQueue& main = services_.main;
    services_.training.post([weak = weak_from_this(), &main, samples = std::move(samples), ids,
                             completion = std::move(completion)]() mutable {
        auto model = ScreenModel::train(samples, ids, ScreenModel::Configuration{});
        main.post([weak, model = std::move(model), ids = std::move(ids), completion = std::move(completion)] {
            auto self = weak.lock();
            if (!self) return;
            if (self->profile_ && self->profile_->screenIDs() == ids) {
                self->model_ = model;
                self->pipeline_->setModel(model);
                self->evaluate();
                if (completion) completion(model);
            } else if (completion) {
                completion(std::nullopt); // dropped: the displays changed while fitting
            }
        });
    });
}

void Engine::learn(const LabeledSample& sample) {
    if (!profile_) return;
    auto ids = profile_->screenIDs();
    if (std::find(ids.begin(), ids.end(), sample.screenID) == ids.end()) return;
    profile_->addClick(sample, clickLimitPerScreen);
    observers_.notify();

    ++pendingClicks_;
    int threshold = accuracyDropped_ ? refitAfterClicksWhileDropped : refitAfterClicks;
    if (pendingClicks_ >= threshold && !refitScheduled_) {
        refitScheduled_ = true;
        services_.main.postAfter(refitDelay, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            // Cleared even without a profile, or no later refit could ever be scheduled.
            self->refitScheduled_ = false;
            if (!self->profile_) return;
            self->pendingClicks_ = 0;
            self->retrain(*self->profile_, nullptr);
        });
    }
    scheduleSave();
}

void Engine::scheduleSave() {
    if (saveScheduled_) return;
    saveScheduled_ = true;
    services_.main.postAfter(saveDelay, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->saveScheduled_ = false;
        if (self->profile_) self->store_.save(*self->profile_);
    });
}

void Engine::resetLearning() {
    if (!profile_) return;
    auto profile = *profile_;
    profile.clickSamples.clear();
    store_.save(profile);
    setProfile(std::move(profile));
}

void Engine::beginCalibration(std::function<void(const std::optional<HeadPose>&)> tap) {
    calibrating_ = true;
    calibrationTap_ = std::move(tap);
    evaluate();
}

void Engine::cancelCalibration() {
    calibrating_ = false;
    calibrationTap_ = nullptr;
    evaluate();
}

void Engine::finishCalibration(std::vector<LabeledSample> samples, std::function<void(double score)> completion) {
    calibrating_ = false;
    calibrationTap_ = nullptr;
    auto camera = services_.camera.activeCameraID();
    if (!camera) camera = currentCameraID();
    if (!camera) {
        // Without a camera there is nothing to calibrate for; leave the calibrating state all the same.
        evaluate();
        if (completion) completion(0);
        return;
    }
    std::vector<CalibrationProfile::Display> displays;
    for (const auto& d : displays_) displays.push_back({d.uuid, d.name});
    CalibrationProfile profile(std::move(displays), *camera, services_.clock.now(), samples, {});
    store_.save(profile);
    publish(profile_, std::optional(profile));
    setAccuracyDropped(false);
    pipeline_->resetDrift();
    if (diagnostics_) diagnostics_->event("calibration", {{"samples", samples.size()}});
    retrain(profile, [samples = std::move(samples), completion = std::move(completion)](
                         const std::optional<ScreenModel>& model) {
        if (completion) completion(model ? model->separationScore(samples) : 0.0);
    });
    evaluate();
}

void Engine::performSwitch(const std::string& screenID) {
    auto target = std::find_if(displays_.begin(), displays_.end(), [&](const auto& d) { return d.uuid == screenID; });
    if (target == displays_.end()) return;
    const Clock& clock = services_.clock;
    double start = clock.uptime();
    Logger log = log_;
    MainQueue& main = services_.main;
    services_.windows.switchTo(
        *target, displays_, settings_.movePointer(),
        [&clock, &main, weak = weak_from_this(), start, log, name = target->name,
         diagnostics = diagnostics_](const FocusOutcome& outcome) {
            double ms = (clock.uptime() - start) * 1000;
            log.info("Switch → " + name + " [" + outcome.app + "] via " + std::string(toString(outcome.method)) +
                     " ok=" + (outcome.ok ? "1" : "0") + " " + std::to_string(static_cast<long>(ms)) + "ms");
            if (diagnostics)
                diagnostics->event("focus", {{"display", name},
                                             {"app", outcome.app},
                                             {"method", toString(outcome.method)},
                                             {"ok", outcome.ok},
                                             {"ms", ms}});
            if (outcome.ok && outcome.method != FocusMethod::pointerOnly && outcome.frame)
                main.post([weak, frame = *outcome.frame] {
                    auto self = weak.lock();
                    if (self && !self->calibrating_ && self->onFocusMoved) self->onFocusMoved(frame);
                });
        });
}

void Engine::shutdown() {
    if (profile_) store_.save(*profile_);
    flushWrites();
}

void Engine::flushWrites() {
    store_.flush();
    if (diagnostics_) diagnostics_->flush();
}

} // namespace orvane
