#include "engine/Engine.h"

#include "CapturingLog.h"
#include "FakeDefaultsStore.h"
#include "FakePlatform.h"
#include "TemporaryFolder.h"
#include "VirtualTime.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

using namespace orvane;
using namespace orvane::test;

namespace {

const DisplayInfo left{1, "L-UUID", "Left", {0, 0, 1920, 1080}};
const DisplayInfo right{2, "R-UUID", "Right", {1920, 0, 1920, 1080}};
const DisplayInfo third{3, "T-UUID", "Third", {3840, 0, 1920, 1080}};
const std::vector<DisplayInfo> twoDisplays{left, right};

const CameraInfo builtIn{"pci:0000:00:14.0/idx0", "Integrated Camera", true};
const CameraInfo webcam{"usb:046d:0825:A1B2/if00/idx0", "USB Webcam", false};

const DetectedFace lookingLeft = FakeFaceDetector::face(0.5, 0.5, 0.2, -0.35);
const DetectedFace lookingRight = FakeFaceDetector::face(0.5, 0.5, 0.2, 0.35);
const DetectedFace lookingAway = FakeFaceDetector::face(0.5, 0.5, 0.2, 1.5);

const Point onLeft{400, 500};
const Point onRight{2500, 500};

const WallTime sampleTime = WallTime{} + std::chrono::seconds(1'764'000'000);

// Twenty poses per display, the head turned from yaw -0.35 on the first display to +0.35 on the last.
std::vector<LabeledSample> calibrationSamples(const std::vector<DisplayInfo>& displays) {
    std::vector<LabeledSample> samples;
    for (std::size_t d = 0; d < displays.size(); ++d) {
        double yaw = displays.size() < 2 ? 0 : -0.35 + 0.7 * double(d) / double(displays.size() - 1);
        for (int i = 0; i < 20; ++i) {
            HeadPose pose{yaw + 0.02 * std::sin(i), 0.02 * std::cos(1.3 * i), 0, 0.5, 0.5, 0.2};
            samples.push_back({pose, displays[d].uuid, LabeledSample::Source::calibration, sampleTime});
        }
    }
    return samples;
}

CalibrationProfile profileFor(const std::vector<DisplayInfo>& displays, const std::string& cameraID) {
    std::vector<CalibrationProfile::Display> named;
    for (const auto& d : displays)
        named.push_back({d.uuid, d.name});
    return CalibrationProfile(named, cameraID, sampleTime, calibrationSamples(displays), {});
}

std::string keyOf(const std::vector<DisplayInfo>& displays) {
    std::vector<std::string> ids;
    for (const auto& d : displays)
        ids.push_back(d.uuid);
    return CalibrationProfile::key(ids);
}

// The training queue, counting the fits handed to it.
class TrainingQueue : public TaskQueue {
  public:
    explicit TrainingQueue(ManualScheduler& scheduler) : queue_(scheduler) {}
    void post(Task task) override {
        ++fits;
        queue_.post(std::move(task));
    }
    void postAfter(double seconds, Task task) override { queue_.postAfter(seconds, std::move(task)); }
    int fits = 0;

  private:
    ManualQueue queue_;
};

struct EngineTest : ::testing::Test {
    TemporaryFolder folder;
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    TrainingQueue training{scheduler};
    FakeCamera camera{scheduler};
    FakeFaceDetector detector;
    FakeDisplays displays;
    FakeWindowFocus windows;
    FakeInputSource input;
    FakeSession session;
    FakePermissions permissions;
    FakeAppWindows appWindows;
    FakeDefaultsStore defaults;
    CapturingLog log;
    std::shared_ptr<Engine> engine;

    EngineTest() {
        displays.list = twoDisplays;
        camera.cameras = {builtIn, webcam};
        camera.reports = &main;
    }

    std::filesystem::path profiles() const { return folder / "Profiles"; }
    std::filesystem::path logs() const { return folder / "Logs"; }

    // The situation before launch.
    void storeProfile(const CalibrationProfile& profile) {
        ProfileStore store(profiles(), log);
        store.save(profile);
        store.flush();
    }

    void launch() {
        engine = Engine::create({clock, main, training, camera, detector, displays, windows, input, session,
                                 permissions, appWindows, defaults, log, profiles(), logs()});
        settle();
    }
    // Two displays, calibrated with the built-in camera: tracking runs.
    void launchTracking() {
        storeProfile(profileFor(twoDisplays, builtIn.id));
        launch();
        ASSERT_EQ(engine->state(), Engine::State::active);
        ASSERT_TRUE(camera.capturing);
    }

    void settle() { scheduler.runDue(); }
    void wait(double seconds) { scheduler.advance(seconds); }

    // The head holds still for a while in front of the camera (a frame every 0.05 s), up to an
    // analysed frame, so that a click now finds a steady pose before it.
    void hold(const DetectedFace& face, double seconds = 1.0) {
        ASSERT_TRUE(camera.capturing);
        detector.showFace(face);
        const double end = clock.uptime() + seconds;
        for (int i = 0; i < 1000; ++i) {
            int analysed = detector.detectCalls;
            camera.deliverFrame();
            settle();
            if (clock.uptime() >= end && detector.detectCalls > analysed) return;
            wait(0.05);
        }
        FAIL() << "no frame was analysed";
    }

    void click(Point location, int times = 1) {
        for (int i = 0; i < times; ++i)
            input.mouseDown(location, clock.uptime());
        settle();
    }
    std::size_t learnedClicks() const {
        return engine->profile() ? engine->profile()->clickSamples.size() : 0;
    }

    // The profile file as it is on disk now, once queued saves are written.
    std::optional<CalibrationProfile> onDisk(const std::vector<DisplayInfo>& displays) {
        engine->flushWrites();
        auto path = profiles() / ProfileStore::fileName(keyOf(displays));
        if (!std::filesystem::exists(path)) return std::nullopt;
        auto decoded = decodeProfile(readFile(path));
        if (!decoded) ADD_FAILURE() << decoded.error;
        return decoded.value;
    }
    std::size_t clicksOnDisk() {
        auto stored = onDisk(twoDisplays);
        return stored ? stored->clickSamples.size() : 0;
    }

    // The diagnostics records of one kind, once queued records are written.
    std::vector<nlohmann::json> records(const std::string& kind) {
        engine->flushWrites();
        std::vector<nlohmann::json> found;
        for (const auto& entry : std::filesystem::directory_iterator(logs())) {
            std::istringstream lines(readFile(entry.path()));
            for (std::string line; std::getline(lines, line);) {
                auto record = nlohmann::json::parse(line);
                if (record["k"] == kind) found.push_back(record);
            }
        }
        return found;
    }
};

using State = Engine::State;

} // namespace

namespace orvane {
void PrintTo(Engine::State state, std::ostream* out) { *out << toString(state); }
} // namespace orvane

// MARK: State

TEST_F(EngineTest, MissingPermissionsComeFirstEvenDuringCalibration) {
    storeProfile(profileFor(twoDisplays, builtIn.id));
    permissions.trusted = false;
    launch();
    EXPECT_EQ(engine->state(), State::needsPermissions);
    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    settle();
    EXPECT_EQ(engine->state(), State::needsPermissions);
    EXPECT_TRUE(camera.starts.empty());

    // Window control granted, the camera refused.
    permissions.trusted = true;
    permissions.cameraStatus = CameraAuthorization::denied;
    engine->refreshPermissions();
    EXPECT_EQ(engine->state(), State::needsPermissions);
    EXPECT_TRUE(camera.starts.empty());

    permissions.cameraStatus = CameraAuthorization::authorized;
    engine->refreshPermissions();
    EXPECT_EQ(engine->state(), State::calibrating);
    EXPECT_EQ(camera.starts.size(), 1u);
}

TEST_F(EngineTest, OneDisplayGivesSingleDisplayButCalibratingComesFirst) {
    launchTracking();
    displays.change({left});
    settle();
    EXPECT_EQ(engine->state(), State::singleDisplay);
    EXPECT_EQ(camera.stops, 1);
    EXPECT_FALSE(engine->cameraRunning());

    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    settle();
    EXPECT_EQ(engine->state(), State::calibrating);
    EXPECT_EQ(camera.starts.size(), 2u);
    EXPECT_TRUE(engine->cameraRunning());

    engine->cancelCalibration();
    settle();
    EXPECT_EQ(engine->state(), State::singleDisplay);
    EXPECT_EQ(camera.stops, 2);
}

TEST_F(EngineTest, WithoutAStoredProfileCalibrationIsNeeded) {
    launch();
    EXPECT_EQ(engine->state(), State::needsCalibration);
    EXPECT_FALSE(engine->profile());
    EXPECT_FALSE(engine->model());
    EXPECT_TRUE(camera.starts.empty());
}

TEST_F(EngineTest, ThePausedSettingStopsTheCameraUntilItIsOff) {
    launchTracking();
    hold(lookingLeft);
    ASSERT_TRUE(engine->snapshot());

    engine->settings().setPaused(true);
    settle();
    EXPECT_EQ(engine->state(), State::paused);
    EXPECT_EQ(camera.stops, 1);
    EXPECT_FALSE(engine->cameraRunning());
    EXPECT_FALSE(engine->snapshot());

    engine->settings().setPaused(false);
    settle();
    EXPECT_EQ(engine->state(), State::active);
    EXPECT_EQ(camera.starts.size(), 2u);
    EXPECT_TRUE(engine->cameraRunning());
}

TEST_F(EngineTest, ASnapshotStillInFlightWhenTheCameraStopsIsNotKept) {
    launchTracking();
    hold(lookingLeft);
    wait(0.2);
    camera.deliverFrame(); // analysed, its snapshot posted behind the pause
    engine->settings().setPaused(true);
    settle();
    ASSERT_EQ(engine->state(), State::paused);
    EXPECT_FALSE(engine->snapshot());
}

TEST_F(EngineTest, ALockedSessionSuspendsTrackingUntilUnlocked) {
    launchTracking();
    session.locked = true;
    session.send(SessionEvent::screenLocked);
    settle();
    EXPECT_EQ(engine->state(), State::suspended);
    EXPECT_EQ(camera.stops, 1);
    EXPECT_FALSE(engine->cameraRunning());

    // Calibrating while locked does not start the camera either.
    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    settle();
    EXPECT_EQ(engine->state(), State::calibrating);
    EXPECT_EQ(camera.starts.size(), 1u);
    engine->cancelCalibration();

    session.locked = false;
    session.send(SessionEvent::screenUnlocked);
    settle();
    EXPECT_EQ(engine->state(), State::active);
    EXPECT_EQ(camera.starts.size(), 2u);
}

TEST_F(EngineTest, TrackingStartsTheChosenCameraAfterAPipelineReset) {
    defaults.set("cameraID", webcam.id);
    storeProfile(profileFor(twoDisplays, webcam.id));
    launch();
    EXPECT_EQ(engine->state(), State::active);
    EXPECT_EQ(camera.starts, (std::vector<std::optional<std::string>>{webcam.id}));
    EXPECT_TRUE(engine->cameraRunning());

    int resetsBeforeFirstFrame = -1;
    detector.whileDetecting = [&] {
        if (resetsBeforeFirstFrame < 0) resetsBeforeFirstFrame = detector.resetCalls;
    };
    hold(lookingLeft);
    EXPECT_EQ(resetsBeforeFirstFrame, 1);

    // Each restart resets again.
    engine->settings().setPaused(true);
    settle();
    engine->settings().setPaused(false);
    settle();
    EXPECT_EQ(detector.resetCalls, 2);
    EXPECT_EQ(camera.starts.back(), webcam.id);
}

TEST_F(EngineTest, EachStateChangeIsLoggedOnce) {
    launchTracking();
    EXPECT_EQ(log.count("State: active"), 1u);
    log.clear();

    engine->settings().setPaused(true);
    settle();
    appWindows.setOwnKey(true); // evaluates again without a change
    settle();
    EXPECT_EQ(log.lines(), (std::vector<CapturingLog::Line>{{"engine", LogLevel::info, "State: paused"}}));
}

TEST_F(EngineTest, OurOwnKeyWindowHoldsSwitchingBack) {
    launchTracking();
    windows.focusedDisplay(left.uuid);
    appWindows.setOwnKey(true);
    settle();
    hold(lookingRight, 2.0);
    EXPECT_TRUE(windows.switches.empty());

    appWindows.setOwnKey(false);
    settle();
    hold(lookingRight, 2.0);
    EXPECT_EQ(windows.targets(), std::vector<std::string>{right.uuid});
}

// MARK: Permissions

TEST_F(EngineTest, PermissionsArePolledEverySecondUntilBothAreGranted) {
    permissions.cameraStatus = CameraAuthorization::notDetermined;
    storeProfile(profileFor(twoDisplays, builtIn.id));
    launch();
    EXPECT_EQ(engine->state(), State::needsPermissions);
    const int reads = permissions.cameraReads;

    wait(0.99);
    EXPECT_EQ(permissions.cameraReads, reads);
    wait(0.02);
    EXPECT_EQ(permissions.cameraReads, reads + 1);
    wait(2.0);
    EXPECT_EQ(permissions.cameraReads, reads + 3);

    permissions.cameraStatus = CameraAuthorization::authorized;
    wait(1.0);
    EXPECT_EQ(permissions.cameraReads, reads + 4);
    settle();
    EXPECT_EQ(engine->state(), State::active);

    wait(10.0);
    EXPECT_EQ(permissions.cameraReads, reads + 4);
}

TEST_F(EngineTest, ACameraAnswerFromAnotherThreadRefreshesOnTheMainQueue) {
    permissions.cameraStatus = CameraAuthorization::notDetermined;
    launch();
    engine->requestCamera();
    ASSERT_EQ(permissions.requests.size(), 1u);
    permissions.cameraStatus = CameraAuthorization::authorized;
    std::thread([&] { permissions.requests[0](); }).join();
    EXPECT_EQ(engine->state(), State::needsPermissions);
    settle();
    EXPECT_EQ(engine->state(), State::needsCalibration);
}

// MARK: Clicks

TEST_F(EngineTest, AClickTeachesTheDisplayThatContainsIt) {
    launchTracking();
    hold(lookingRight);
    click(onRight);
    ASSERT_EQ(learnedClicks(), 1u);
    const auto& sample = engine->profile()->clickSamples[0];
    EXPECT_EQ(sample.screenID, right.uuid);
    EXPECT_EQ(sample.source, LabeledSample::Source::click);
    EXPECT_NEAR(sample.pose.yaw, 0.35, 1e-9);

    click(onLeft);
    click({1920, 0}); // the right display's corner
    ASSERT_EQ(learnedClicks(), 3u);
    EXPECT_EQ(engine->profile()->clickSamples[1].screenID, left.uuid);
    EXPECT_EQ(engine->profile()->clickSamples[2].screenID, right.uuid);

    click({-10, 500});
    click({2500, 1080});
    EXPECT_EQ(learnedClicks(), 3u) << "outside every display";
}

TEST_F(EngineTest, ClicksAfterDisplaysMovedAreLabelledByTheNewBounds) {
    launchTracking();
    DisplayInfo below = right;
    below.bounds = {0, 1080, 1920, 1080};
    displays.change({left, below});
    settle();
    hold(lookingRight);
    click({400, 1500});
    ASSERT_EQ(learnedClicks(), 1u);
    EXPECT_EQ(engine->profile()->clickSamples[0].screenID, right.uuid);
    click(onRight);
    EXPECT_EQ(learnedClicks(), 1u);
}

// MARK: Learning

TEST_F(EngineTest, TheTenthClickAfterARefitRefitsHalfASecondLater) {
    launchTracking();
    ASSERT_EQ(training.fits, 1);
    hold(lookingRight);
    click(onRight, 9);
    wait(5.0);
    EXPECT_EQ(training.fits, 1);

    hold(lookingRight);
    click(onRight);
    wait(0.49);
    EXPECT_EQ(training.fits, 1);
    wait(0.02);
    EXPECT_EQ(training.fits, 2);

    // Counting starts over after the refit.
    hold(lookingRight);
    click(onRight, 9);
    wait(1.0);
    EXPECT_EQ(training.fits, 2);
    hold(lookingRight);
    click(onRight);
    wait(0.51);
    EXPECT_EQ(training.fits, 3);
    EXPECT_EQ(learnedClicks(), 20u);
}

TEST_F(EngineTest, WhileAccuracyDroppedTheThirdClickRefits) {
    launchTracking();
    hold(lookingAway);
    click(onRight, 15); // each one predicted wrong
    EXPECT_TRUE(engine->accuracyDropped());
    wait(1.0);
    ASSERT_EQ(training.fits, 2) << "the tenth click refitted";

    hold(lookingAway);
    click(onRight, 2);
    wait(1.0);
    EXPECT_EQ(training.fits, 2);
    hold(lookingAway);
    click(onRight);
    wait(0.49);
    EXPECT_EQ(training.fits, 2);
    wait(0.02);
    EXPECT_EQ(training.fits, 3);
    EXPECT_TRUE(engine->accuracyDropped());
}

TEST_F(EngineTest, ASecondBurstWithinTheDelayJoinsTheScheduledRefit) {
    launchTracking();
    hold(lookingRight);
    click(onRight, 10);
    hold(lookingRight, 0.2);
    click(onRight, 10);
    wait(5.0);
    EXPECT_EQ(training.fits, 2);
    EXPECT_EQ(learnedClicks(), 20u);
}

TEST_F(EngineTest, ARefitDueWithoutAProfileDoesNotBlockLaterRefits) {
    launchTracking();
    hold(lookingRight);
    click(onRight, 10);
    displays.change({left, right, third}); // no profile for three displays
    wait(1.0);
    EXPECT_FALSE(engine->profile());
    const int fits = training.fits;

    displays.change(twoDisplays);
    settle();
    ASSERT_TRUE(engine->profile());
    EXPECT_EQ(training.fits, fits + 1) << "the reloaded profile is fitted";
    hold(lookingRight);
    click(onRight, 10);
    wait(1.0);
    EXPECT_EQ(training.fits, fits + 2);
}

// MARK: Saving

TEST_F(EngineTest, ClicksAreSavedAtMostOnceEveryThirtySeconds) {
    launchTracking();
    hold(lookingRight);
    const double firstClick = clock.uptime();
    click(onRight);
    wait(10.0);
    hold(lookingRight);
    click(onRight);

    scheduler.advanceTo(firstClick + 29.9);
    EXPECT_EQ(clicksOnDisk(), 0u);
    scheduler.advanceTo(firstClick + 30.01);
    EXPECT_EQ(clicksOnDisk(), 2u);

    hold(lookingRight);
    const double thirdClick = clock.uptime();
    click(onRight);
    scheduler.advanceTo(thirdClick + 29.9);
    EXPECT_EQ(clicksOnDisk(), 2u);
    scheduler.advanceTo(thirdClick + 30.01);
    EXPECT_EQ(clicksOnDisk(), 3u);
}

TEST_F(EngineTest, ClicksNotYetSavedSurviveADisplayChange) {
    launchTracking();
    hold(lookingRight);
    click(onRight, 2);

    // The same displays in another order: the profile is read again.
    DisplayInfo swappedLeft = left, swappedRight = right;
    swappedRight.bounds.x = 0;
    swappedLeft.bounds.x = 1920;
    displays.change({swappedRight, swappedLeft});
    settle();
    EXPECT_EQ(learnedClicks(), 2u);

    displays.change({left});
    settle();
    EXPECT_EQ(clicksOnDisk(), 2u);
}

TEST_F(EngineTest, ShutdownSavesTheProfile) {
    launchTracking();
    hold(lookingRight);
    click(onRight, 2);
    engine->shutdown();
    EXPECT_EQ(clicksOnDisk(), 2u);
}

TEST_F(EngineTest, ResetLearningForgetsClicksSavesAtOnceAndRefits) {
    launchTracking();
    hold(lookingRight);
    click(onRight, 3);
    wait(31.0);
    ASSERT_EQ(clicksOnDisk(), 3u);
    const int fits = training.fits;

    engine->resetLearning();
    EXPECT_EQ(learnedClicks(), 0u);
    EXPECT_EQ(clicksOnDisk(), 0u);
    settle();
    EXPECT_EQ(training.fits, fits + 1);
    EXPECT_EQ(engine->state(), State::active);
}

// MARK: Profiles and displays

TEST_F(EngineTest, MovingADisplayKeepsProfileAndModel) {
    launchTracking();
    const auto profile = engine->profile();
    const auto model = engine->model();
    DisplayInfo raised = right;
    raised.bounds.y = -200;
    raised.name = "Right (rotated)";
    displays.change({left, raised});
    settle();
    EXPECT_EQ(engine->displays(), (std::vector<DisplayInfo>{left, raised}));
    EXPECT_EQ(windows.displayUpdates.back(), (std::vector<DisplayInfo>{left, raised}));
    EXPECT_EQ(engine->profile(), profile);
    EXPECT_EQ(engine->model(), model);
    EXPECT_EQ(training.fits, 1);
    EXPECT_EQ(engine->state(), State::active);

    // Reading the same list again changes nothing.
    const auto updates = windows.displayUpdates.size();
    displays.change();
    EXPECT_EQ(windows.displayUpdates.size(), updates);
}

TEST_F(EngineTest, ReorderedDisplaysReloadAndRefitTheSameProfile) {
    launchTracking();
    const auto profile = engine->profile();
    DisplayInfo swappedLeft = left, swappedRight = right;
    swappedRight.bounds.x = 0;
    swappedLeft.bounds.x = 1920;
    displays.change({swappedRight, swappedLeft});
    settle();
    EXPECT_EQ(training.fits, 2);
    EXPECT_EQ(engine->profile(), profile);
    EXPECT_TRUE(engine->model());
    EXPECT_EQ(engine->state(), State::active);
}

TEST_F(EngineTest, AProfileCalibratedWithAnotherCameraCountsAsAbsent) {
    storeProfile(profileFor(twoDisplays, "usb:0c45:6366@1-2/if00/idx0"));
    launch();
    EXPECT_FALSE(engine->profile());
    EXPECT_EQ(engine->state(), State::needsCalibration);
    EXPECT_EQ(training.fits, 0);
}

TEST_F(EngineTest, WithoutAnyCameraNoProfileMatches) {
    storeProfile(profileFor(twoDisplays, builtIn.id));
    camera.cameras.clear();
    launch();
    EXPECT_EQ(engine->currentCameraID(), std::nullopt);
    EXPECT_FALSE(engine->profile());
    EXPECT_EQ(engine->state(), State::needsCalibration);
}

TEST_F(EngineTest, ChangingTheCameraStopsItAndReloadsTheProfile) {
    launchTracking();
    EXPECT_EQ(engine->currentCameraID(), builtIn.id);

    // The same camera chosen by name: the file is unchanged, yet it is read and fitted again, and the
    // camera restarts at once without waiting for its report.
    engine->settings().setCameraID(builtIn.id);
    main.post([&] {
        EXPECT_EQ(camera.stops, 1);
        EXPECT_EQ(camera.starts, (std::vector<std::optional<std::string>>{std::nullopt, builtIn.id}));
    });
    settle();
    EXPECT_EQ(training.fits, 2);
    EXPECT_TRUE(engine->cameraRunning());
    EXPECT_EQ(engine->state(), State::active);

    // A camera the profile was not calibrated with.
    engine->settings().setCameraID(webcam.id);
    settle();
    EXPECT_EQ(camera.stops, 2);
    EXPECT_EQ(camera.starts.size(), 2u);
    EXPECT_FALSE(engine->profile());
    EXPECT_FALSE(engine->cameraRunning());
    EXPECT_EQ(engine->state(), State::needsCalibration);
}

TEST_F(EngineTest, DisplayNamesPreferTheCurrentDisplays) {
    auto profile = profileFor(twoDisplays, builtIn.id);
    profile.displays[1].name = "Old Right";
    storeProfile(profile);
    launch();
    EXPECT_EQ(engine->displayName(right.uuid), "Right");
    EXPECT_EQ(engine->displayName(third.uuid), std::nullopt);
    EXPECT_EQ(engine->displayName(std::nullopt), std::nullopt);
}

// MARK: Calibration

TEST_F(EngineTest, FinishingCalibrationStoresTheProfileAndReportsTheScore) {
    defaults.set("diagnosticsEnabled", true);
    launch();
    std::vector<std::optional<HeadPose>> tapped;
    engine->beginCalibration([&](const std::optional<HeadPose>& pose) { tapped.push_back(pose); });
    settle();
    ASSERT_EQ(engine->state(), State::calibrating);
    hold(lookingLeft);
    ASSERT_FALSE(tapped.empty());
    EXPECT_NEAR(tapped.back()->yaw, -0.35, 1e-9);

    const auto samples = calibrationSamples(twoDisplays);
    const WallTime finishedAt = clock.now();
    std::optional<double> score;
    engine->finishCalibration(samples, [&](double s) { score = s; });
    EXPECT_EQ(engine->state(), State::needsCalibration) << "until the model arrives";
    EXPECT_FALSE(score);

    settle();
    auto expected = ScreenModel::train(samples, {left.uuid, right.uuid}, ScreenModel::Configuration{});
    ASSERT_TRUE(expected);
    ASSERT_TRUE(score);
    EXPECT_EQ(*score, expected->separationScore(samples));
    EXPECT_GT(*score, 0.9);
    EXPECT_EQ(engine->model(), expected);
    EXPECT_EQ(engine->state(), State::active);

    auto stored = onDisk(twoDisplays);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->displays,
              (std::vector<CalibrationProfile::Display>{{left.uuid, "Left"}, {right.uuid, "Right"}}));
    EXPECT_EQ(stored->cameraID, builtIn.id);
    EXPECT_EQ(stored->calibratedAt, wholeSeconds(finishedAt));
    EXPECT_EQ(stored->calibrationSamples, samples);
    EXPECT_TRUE(stored->clickSamples.empty());
    ASSERT_TRUE(engine->profile());
    EXPECT_EQ(engine->profile()->calibrationSamples, samples);
    auto recorded = records("calibration");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["samples"], 40);
}

TEST_F(EngineTest, AFitForDisplaysThatChangedMeanwhileIsDroppedAndCalibrationGetsZero) {
    launch();
    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    settle();
    std::optional<double> score;
    engine->finishCalibration(calibrationSamples(twoDisplays), [&](double s) { score = s; });
    displays.change({left, right, third}); // while the model is being fitted
    settle();
    ASSERT_TRUE(score);
    EXPECT_EQ(*score, 0.0);
    EXPECT_FALSE(engine->model());
    EXPECT_EQ(engine->state(), State::needsCalibration);

    // The calibration was kept for its own displays.
    displays.change(twoDisplays);
    settle();
    EXPECT_EQ(engine->state(), State::active);
}

TEST_F(EngineTest, ACalibrationThatFitsNoModelGetsZero) {
    launch();
    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    std::optional<double> score;
    engine->finishCalibration(calibrationSamples({left}), [&](double s) { score = s; }); // nothing for "R"
    settle();
    ASSERT_TRUE(score);
    EXPECT_EQ(*score, 0.0);
    EXPECT_FALSE(engine->model());
    EXPECT_EQ(engine->state(), State::needsCalibration);
}

TEST_F(EngineTest, FinishingCalibrationWithoutACameraGivesZeroAndNoProfile) {
    camera.cameras.clear();
    launch();
    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    settle();
    EXPECT_FALSE(engine->cameraRunning());
    std::optional<double> score;
    engine->finishCalibration(calibrationSamples(twoDisplays), [&](double s) { score = s; });
    ASSERT_TRUE(score);
    EXPECT_EQ(*score, 0.0);
    EXPECT_EQ(engine->state(), State::needsCalibration);
    settle();
    EXPECT_FALSE(engine->profile());
    EXPECT_FALSE(onDisk(twoDisplays));
    EXPECT_EQ(training.fits, 0);
}

// MARK: Switching

TEST_F(EngineTest, ASwitchToAnUnknownDisplayDoesNothing) {
    launchTracking();
    engine->performSwitch("gone");
    EXPECT_TRUE(windows.switches.empty());
    EXPECT_EQ(log.count("Switch"), 0u);
}

TEST_F(EngineTest, ASwitchMovesFocusThenLogsAndRecordsTheOutcome) {
    defaults.set("diagnosticsEnabled", true);
    defaults.set("movePointer", false);
    launchTracking();
    windows.completeAtOnce = false;
    windows.outcome = {FocusMethod::inputFocus, true, "firefox"};

    engine->performSwitch(right.uuid);
    ASSERT_EQ(windows.switches.size(), 1u);
    EXPECT_EQ(windows.switches[0].display, right);
    EXPECT_EQ(windows.switches[0].displays, twoDisplays);
    EXPECT_FALSE(windows.switches[0].movePointer);

    wait(0.2504);
    windows.completeSwitch();
    EXPECT_EQ(log.count("Switch → Right [firefox] via inputFocus ok=1 250ms"), 1u);
    auto focus = records("focus");
    ASSERT_EQ(focus.size(), 1u);
    EXPECT_EQ(focus[0]["display"], "Right");
    EXPECT_EQ(focus[0]["app"], "firefox");
    EXPECT_EQ(focus[0]["method"], "inputFocus");
    EXPECT_EQ(focus[0]["ok"], true);
    EXPECT_NEAR(focus[0]["ms"].get<double>(), 250.4, 1e-6);

    windows.outcome = {FocusMethod::pointerOnly, false, "-"};
    engine->performSwitch(left.uuid);
    windows.completeSwitch();
    EXPECT_EQ(log.count("Switch → Left [-] via pointerOnly ok=0 0ms"), 1u);
}
