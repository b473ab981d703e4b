#pragma once

#include "core/CalibrationProfile.h"
#include "core/ScreenModel.h"
#include "engine/CalibrationController.h"
#include "engine/Diagnostics.h"
#include "engine/Observers.h"
#include "engine/Platform.h"
#include "engine/ProfileStore.h"
#include "engine/Settings.h"
#include "engine/SystemServices.h"
#include "engine/TrackingPipeline.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// The desktop services and places the engine works with; all outlive the engine.
struct EngineServices {
    const Clock& clock;
    MainQueue& main;
    TaskQueue& training; // "orvane.training": model fitting, off the main thread
    Camera& camera;
    FaceDetector& faceDetector;
    Displays& displays;
    WindowFocus& windows;
    InputSource& input;
    Session& session;
    Permissions& permissions;
    AppWindows& appWindows;
    DefaultsStore& defaults;
    Log& log;
    std::filesystem::path profilesDirectory;
    std::filesystem::path logsDirectory;
};

// The running program's coordinator, on the main thread: derives the state, runs the camera while
// tracking makes sense, turns decisions into focus moves, and learns from clicks.
class Engine : public CalibrationHost, public std::enable_shared_from_this<Engine> {
public:
    enum class State { needsPermissions, singleDisplay, needsCalibration, calibrating, paused, suspended, active };

    static constexpr int clickLimitPerScreen = 300;
    static constexpr int refitAfterClicks = 10;
    static constexpr int refitAfterClicksWhileDropped = 3;
    static constexpr double refitDelay = 0.5;
    static constexpr double saveDelay = 30.0;
    static constexpr double permissionPollInterval = 1.0;

    static std::shared_ptr<Engine> create(EngineServices services);
    ~Engine() override;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Published properties; observers are told on the main thread after each assignment.
    State state() const { return state_; }
    const std::optional<TrackingSnapshot>& snapshot() const { return snapshot_; }
    const std::vector<DisplayInfo>& displays() const { return displays_; }
    const std::optional<CalibrationProfile>& profile() const { return profile_; }
    bool accuracyDropped() const { return accuracyDropped_; }
    bool cameraRunning() const { return cameraRunning_; }
    CameraAuthorization cameraPermission() const { return cameraPermission_; }
    bool accessibilityTrusted() const { return accessibilityTrusted_; }
    [[nodiscard]] Observers::Subscription subscribe(Observers::Observer observer) {
        return observers_.subscribe(std::move(observer));
    }

    Settings& settings() { return settings_; }
    const std::optional<ScreenModel>& model() const { return model_; }
    bool calibrating() const { return calibrating_; }

    // Commands of the user interface.
    void refreshPermissions();
    void requestCamera();
    void resetLearning();
    std::optional<std::string> displayName(const std::optional<std::string>& uuid) const;
    std::optional<std::string> currentCameraID() const;
    void evaluate();
    // The exit path: the current profile is saved and every queued write completes.
    void shutdown();
    // Blocks until every profile save and diagnostics record queued so far is written.
    void flushWrites();

    // The calibration run's side.
    std::vector<DisplayInfo> calibrationDisplays() const override { return displays_; }
    void beginCalibration(std::function<void(const std::optional<HeadPose>&)> tap) override;
    void cancelCalibration() override;
    // The completion always runs once: with the separation score of the fitted model, or 0 when no
    // camera is known, no model could be fitted, or the fit was dropped because the displays changed.
    void finishCalibration(std::vector<LabeledSample> samples, std::function<void(double score)> completion) override;

    // A switch moved keyboard focus to the window with this frame (global coordinates); on the main thread.
    std::function<void(const Rect& frame)> onFocusMoved;

    // Work that arrives from other threads, re-posted here; public for the tests' sake.
    void displaysChanged();
    void handleMouseDown(Point location, double uptime);
    void performSwitch(const std::string& screenID);

private:
    explicit Engine(EngineServices services);
    void start();
    void wirePipeline();
    void applySettings();
    void loadProfile();
    void setProfile(std::optional<CalibrationProfile> profile);
    void retrain(const CalibrationProfile& profile, std::function<void(const std::optional<ScreenModel>&)> completion);
    void learn(const LabeledSample& sample);
    void scheduleSave();
    void pollPermissions(std::uint64_t generation);
    void startCamera();
    void stopCamera();
    void setAccuracyDropped(bool dropped);
    template <typename T>
    void publish(T& field, T value);

    EngineServices services_;
    Logger log_;
    Settings settings_;
    ProfileStore store_;
    SystemStateMonitor system_;
    std::shared_ptr<TrackingPipeline> pipeline_;
    Observers observers_;
    Observers::Subscription settingsSubscription_;
    std::shared_ptr<Diagnostics> diagnostics_;

    State state_ = State::needsPermissions;
    std::optional<TrackingSnapshot> snapshot_;
    std::vector<DisplayInfo> displays_;
    std::optional<CalibrationProfile> profile_;
    bool accuracyDropped_ = false;
    bool cameraRunning_ = false;
    CameraAuthorization cameraPermission_ = CameraAuthorization::notDetermined;
    bool accessibilityTrusted_ = false;

    std::optional<ScreenModel> model_;
    bool calibrating_ = false;
    std::function<void(const std::optional<HeadPose>&)> calibrationTap_;
    int pendingClicks_ = 0;
    bool refitScheduled_ = false;
    bool saveScheduled_ = false;
    bool cameraStartRequested_ = false;
    bool clickMonitorInstalled_ = false;
    bool permissionPolling_ = false;
    std::uint64_t permissionGeneration_ = 0;
    // Never applied, or applied with an absent ID (the default camera).
    std::optional<std::optional<std::string>> appliedCameraID_;
};

std::string_view toString(Engine::State state);

} // namespace orvane
