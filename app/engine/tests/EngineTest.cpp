#include "engine/Engine.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
using State = Engine::State;
using Json = nlohmann::json;

namespace {

const DisplayInfo& left = leftDisplay;
const DisplayInfo& right = rightDisplay;
const DisplayInfo third{3, "T-UUID", "THIRD", {3840, 0, 1920, 1080}};
const std::vector<DisplayInfo> twoDisplays{left, right};
const Point onLeft{400, 500}, onRight{2500, 500};
const DetectedFace lookingLeft = FakeFaceDetector::facing(0.35),
                   lookingRight = FakeFaceDetector::facing(-0.35);

// The engine with fake desktop services in virtual time, and real files in a temporary folder.
struct Rig : FakeServices {
    std::shared_ptr<Engine> engine;

    void launch() {
        engine = Engine::create(services());
        settle();
    }
    void settle() { scheduler.runDue(); }
    void wait(double seconds) { scheduler.advance(seconds); }
    // The head holds still in front of the camera (a frame every 0.05 s) up to an analysed frame, so
    // that a click now finds a steady pose before it.
    void hold(const DetectedFace& face, double seconds = 1.0) {
        detector.show({face});
        const double end = clock.uptime() + seconds;
        for (int i = 0; i < 1000; ++i, wait(0.05)) {
            const int analysed = detector.detectCalls;
            camera.deliverFrame();
            settle();
            if (clock.uptime() >= end && detector.detectCalls > analysed) return;
        }
        FAIL() << "no frame was analysed";
    }
    void click(Point location, int times = 1) {
        for (int i = 0; i < times; ++i)
            input.onMouseDown(location, clock.uptime());
        settle();
    }
    std::size_t learnedClicks() const {
        return engine->profile() ? engine->profile()->clickSamples.size() : 0;
    }
    // The two displays' profile as it is on disk once queued saves are written.
    std::optional<CalibrationProfile> onDisk() {
        engine->flushWrites();
        const auto file = ProfileStore::fileName(CalibrationProfile::key({left.uuid, right.uuid}));
        return decodeProfile(readFile(folder / "Profiles" / file)).value;
    }
    std::size_t clicksOnDisk() { return onDisk() ? onDisk()->clickSamples.size() : 0; }
    // The diagnostics records of one kind, once queued records are written.
    std::vector<Json> records(const std::string& kind) {
        engine->flushWrites();
        std::vector<Json> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder / "Logs")) {
            std::istringstream lines(readFile(entry.path()));
            for (std::string line; std::getline(lines, line);)
                if (auto record = Json::parse(line); record["k"] == kind) found.push_back(record);
        }
        return found;
    }
};

struct EngineTest : ::testing::Test, Rig {
    // Two displays, calibrated with the built-in camera: tracking runs.
    void launchTracking() {
        storeProfile();
        launch();
        ASSERT_EQ(engine->state(), State::active);
    }
};

} // namespace

// Each case launches with two displays, a profile calibrated with the built-in camera and both
// permissions, unless its setup words say otherwise.
TEST(EngineState, FollowsTheStateTableAndRunsTheCameraWhileActiveOrCalibratingInAnActiveSession) {
    using enum Engine::State;
    const std::tuple<std::string, State, bool> cases[] = {
        {"", active, true},
        {"untrusted calibrating", needsPermissions, false},
        {"cameraDenied", needsPermissions, false},
        {"oneDisplay", singleDisplay, false},
        {"oneDisplay calibrating", calibrating, true},
        {"oneDisplay calibrating cancelled", singleDisplay, false},
        {"noProfile", needsCalibration, false},
        {"profileOfAnotherCamera", needsCalibration, false},
        {"noCamera", needsCalibration, false},
        {"paused", paused, false},
        {"locked", suspended, false},
        {"locked calibrating", calibrating, false},
    };
    for (const auto& [setup, state, camera] : cases) {
        SCOPED_TRACE("setup: " + setup);
        auto has = [&](const std::string& word) {
            return (" " + setup + " ").find(" " + word + " ") != setup.npos;
        };
        Rig r;
        if (!has("noProfile"))
            r.storeProfile(has("profileOfAnotherCamera") ? "usb:0c45:6366" : builtInCamera.id);
        if (has("oneDisplay")) r.displays.list = {left};
        r.permissions.trusted = !has("untrusted");
        if (has("cameraDenied")) r.permissions.cameraStatus = CameraAuthorization::denied;
        if (has("noCamera")) r.camera.cameras.clear();
        r.defaults.set("paused", has("paused"));
        r.session.locked = has("locked");
        r.launch();
        if (has("calibrating")) r.engine->beginCalibration(nullptr);
        if (has("cancelled")) r.engine->cancelCalibration();
        r.settle();
        EXPECT_EQ(r.engine->state(), state);
        EXPECT_EQ(r.engine->cameraRunning(), camera);
        EXPECT_EQ(r.camera.capturing, camera);
    }
}

TEST_F(EngineTest, PausingStopsTheCameraAndDropsEvenASnapshotInFlightResumingRestartsItAfterAReset) {
    defaults.set("cameraID", usbCamera.id);
    storeProfile(usbCamera.id);
    launch();
    hold(lookingLeft);
    wait(0.2);
    camera.deliverFrame(); // analysed, its snapshot posted behind the pause
    engine->settings().setPaused(true);
    appWindows.setOwnKey(true); // evaluates again without a change
    settle();
    EXPECT_EQ(engine->state(), State::paused);
    EXPECT_EQ(camera.stops, 1);
    EXPECT_FALSE(engine->cameraRunning());
    EXPECT_FALSE(engine->snapshot());
    EXPECT_EQ(std::ranges::count(log.lines(), CapturingLog::Line{"engine", LogLevel::info, "State: paused"}),
              1);

    const int resets = detector.resetCalls;
    engine->settings().setPaused(false);
    settle();
    EXPECT_EQ(engine->state(), State::active);
    EXPECT_EQ(camera.starts, (std::vector<std::optional<std::string>>{usbCamera.id, usbCamera.id}));
    EXPECT_EQ(detector.resetCalls, resets + 1);
}

// Another camera chosen in Settings takes over at once, with the profile calibrated for it.
TEST_F(EngineTest, ChoosingAnotherCameraRestartsTrackingWithIt) {
    launchTracking();
    storeProfile(usbCamera.id);
    engine->settings().setCameraID(usbCamera.id);
    settle();
    EXPECT_EQ(engine->state(), State::active);
    EXPECT_EQ(camera.stops, 1);
    EXPECT_EQ(camera.starts, (std::vector<std::optional<std::string>>{std::nullopt, usbCamera.id}));
}

TEST_F(EngineTest, HeadTurnsSwitchFocusUnlessOurOwnWindowIsKey) {
    launchTracking();
    windows.onFocusedDisplayChange(left.uuid);
    appWindows.setOwnKey(true);
    hold(lookingRight, 2.0);
    EXPECT_TRUE(windows.switches.empty());
    appWindows.setOwnKey(false);
    hold(lookingRight, 2.0);
    ASSERT_EQ(windows.switches.size(), 1u);
    EXPECT_EQ(windows.switches[0].display, right);
}

// The camera drops frames the pipeline would not analyse before they cost anything.
TEST_F(EngineTest, TheCameraHearsTheFrameIntervalThePipelineNeeds) {
    launchTracking();
    detector.show({});
    camera.deliverFrame();
    settle();
    ASSERT_FALSE(camera.frameIntervals.empty());
    EXPECT_EQ(camera.frameIntervals.back(), TrackingPipeline::slowRateInterval) << "no face yet";
    hold(lookingRight);
    EXPECT_NE(camera.frameIntervals.back(), TrackingPipeline::slowRateInterval) << "a face";
}

TEST_F(EngineTest, PermissionsArePolledEverySecondUntilBothAreGranted) {
    permissions.cameraStatus = CameraAuthorization::notDetermined;
    storeProfile();
    launch();
    const int reads = permissions.cameraReads;
    wait(0.99);
    EXPECT_EQ(permissions.cameraReads, reads);
    wait(2.02);
    EXPECT_EQ(permissions.cameraReads, reads + 3);
    permissions.cameraStatus = CameraAuthorization::authorized;
    wait(1.0);
    EXPECT_EQ(engine->state(), State::active);
    wait(10.0);
    EXPECT_EQ(permissions.cameraReads, reads + 4);
}

TEST_F(EngineTest, AClickTeachesTheDisplayThatContainsItByItsCurrentBounds) {
    launchTracking();
    hold(lookingRight);
    for (Point location : {onRight, onLeft, Point{1920, 0}, Point{-10, 500}, Point{2500, 1080}})
        click(location); // the last two outside every display
    DisplayInfo below = right;
    below.bounds = {0, 1080, 1920, 1080};
    displays.change({left, below});
    click({400, 1500});
    click(onRight);
    std::vector<std::string> labels;
    for (const auto& sample : engine->profile()->clickSamples) {
        labels.push_back(sample.screenID);
        EXPECT_EQ(sample.source, LabeledSample::Source::click);
        EXPECT_NEAR(sample.pose.yaw, -0.35, 1e-9);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{right.uuid, left.uuid, right.uuid, right.uuid}));
}

// A refit comes half a second after the tenth click since the last one (the third while accuracy dropped),
// once for all the clicks until then; counting starts over after it.
TEST(EngineLearning, ClicksRefitHalfASecondAfterTheTenthOrTheThirdWhileAccuracyDropped) {
    for (const bool dropped : {false, true}) {
        SCOPED_TRACE(dropped ? "accuracy dropped" : "accuracy fine");
        Rig r;
        r.storeProfile();
        r.launch();
        // Off every screen each click is predicted wrong: fifteen drop the accuracy, the tenth refitting.
        const DetectedFace face = dropped ? FakeFaceDetector::facing(1.5) : lookingRight;
        int fits = 1;
        if (dropped) {
            r.hold(face);
            r.click(onRight, 15);
            r.wait(1.0);
            ASSERT_TRUE(r.engine->accuracyDropped());
            ASSERT_EQ(r.training.fits, ++fits);
        }
        const int every = dropped ? 3 : 10;
        for (int round = 0; round < 2; ++round) {
            r.hold(face);
            r.click(onRight, every - 1);
            r.wait(5.0);
            EXPECT_EQ(r.training.fits, fits);
            r.hold(face);
            const double last = r.clock.uptime();
            r.click(onRight);
            r.hold(face, 0.2);
            r.click(onRight, every); // joins the scheduled refit
            r.scheduler.advanceTo(last + 0.49);
            EXPECT_EQ(r.training.fits, fits);
            r.scheduler.advanceTo(last + 0.51);
            EXPECT_EQ(r.training.fits, ++fits);
        }
    }
}

TEST_F(EngineTest, DisplayChangesKeepOrReloadTheProfileNeverLosingClicksOrLaterRefits) {
    launchTracking();
    hold(lookingRight);
    click(onRight, 10); // a refit is due in 0.5 s
    const auto model = engine->model();
    DisplayInfo raised = right; // moved and renamed: the same profile and model
    raised.bounds.y = -200;
    raised.name = "RIGHT (rotated)";
    displays.change({left, raised});
    displays.change({left, raised}); // the same list again changes nothing
    EXPECT_EQ(windows.displayUpdates, (std::vector<std::vector<DisplayInfo>>{twoDisplays, {left, raised}}));
    EXPECT_EQ(engine->model(), model);
    EXPECT_EQ(training.fits, 1);

    displays.change({left, right, third}); // no profile for three displays when the refit is due
    wait(1.0);
    EXPECT_FALSE(engine->profile());
    EXPECT_EQ(clicksOnDisk(), 10u);
    DisplayInfo swappedLeft = left, swappedRight = right; // the two again, in another order
    swappedRight.bounds.x = 0;
    swappedLeft.bounds.x = 1920;
    displays.change({swappedRight, swappedLeft});
    settle();
    EXPECT_EQ(learnedClicks(), 10u);
    EXPECT_EQ(training.fits, 2);
    hold(lookingRight);
    click(onRight, 10);
    wait(1.0);
    EXPECT_EQ(training.fits, 3);
}

TEST_F(EngineTest, ClicksAreSavedAtMostOnceEveryThirtySecondsAndAtShutdownAResetAtOnce) {
    launchTracking();
    hold(lookingRight);
    const double first = clock.uptime();
    click(onRight);
    hold(lookingRight, 10.0);
    click(onRight);
    scheduler.advanceTo(first + 29.9);
    EXPECT_EQ(clicksOnDisk(), 0u);
    scheduler.advanceTo(first + 30.01);
    EXPECT_EQ(clicksOnDisk(), 2u);
    hold(lookingRight);
    const double third = clock.uptime();
    click(onRight);
    scheduler.advanceTo(third + 29.9);
    EXPECT_EQ(clicksOnDisk(), 2u);
    scheduler.advanceTo(third + 30.01);
    EXPECT_EQ(clicksOnDisk(), 3u);
    hold(lookingRight);
    click(onRight);
    engine->shutdown();
    EXPECT_EQ(clicksOnDisk(), 4u);

    engine->resetLearning();
    EXPECT_EQ(learnedClicks(), 0u);
    EXPECT_EQ(clicksOnDisk(), 0u);
    settle();
    EXPECT_EQ(training.fits, 2) << "refitted without the clicks";
}

TEST_F(EngineTest, FinishingCalibrationStoresTheProfileAndReportsTheScore) {
    defaults.set("diagnosticsEnabled", true);
    launch();
    std::optional<HeadPose> tapped;
    engine->beginCalibration([&](const std::optional<HeadPose>& pose) { tapped = pose; });
    hold(lookingLeft);
    EXPECT_NEAR(tapped.value().yaw, 0.35, 1e-9);

    const auto samples = calibrationSamples(twoDisplays, 0.35);
    std::optional<double> score;
    engine->finishCalibration(samples, [&](double s) { score = s; });
    EXPECT_FALSE(score) << "until the model arrives";
    settle();
    auto expected = ScreenModel::train(samples, {left.uuid, right.uuid}, ScreenModel::Configuration{});
    ASSERT_TRUE(expected && score);
    EXPECT_EQ(*score, expected->separationScore(samples));
    EXPECT_EQ(engine->model(), expected);
    EXPECT_EQ(engine->state(), State::active);
    EXPECT_FALSE(engine->accuracyDropped()) << "a new calibration starts the drift count afresh";
    const auto stored = onDisk().value();
    EXPECT_EQ(stored.displays,
              (std::vector<CalibrationProfile::Display>{{left.uuid, "LEFT"}, {right.uuid, "RIGHT"}}));
    EXPECT_EQ(stored.cameraID, builtInCamera.id);
    EXPECT_EQ(stored.calibratedAt, wholeSeconds(clock.now()));
    EXPECT_EQ(stored.calibrationSamples, samples);
    EXPECT_EQ(records("calibration").at(0)["samples"], 40);
}

// The completion always runs: with 0 when the fit is dropped because the profile changed meanwhile (to the
// stored one of other displays), when no model can be fitted, or when there is no camera to calibrate for.
TEST(EngineCalibration, AFitThatIsDroppedOrImpossibleScoresZero) {
    for (const char* name : {"displays changed meanwhile", "no model fits", "no camera"}) {
        SCOPED_TRACE(name);
        Rig r;
        if (name == std::string("no camera")) r.camera.cameras.clear();
        storeProfile(r.folder / "Profiles", {left, third}, builtInCamera.id);
        r.launch();
        r.engine->beginCalibration(nullptr);
        std::optional<double> score;
        const bool changed = name == std::string("displays changed meanwhile");
        r.engine->finishCalibration(calibrationSamples(changed ? twoDisplays : std::vector{left}, 0.35),
                                    [&](double s) { score = s; });
        if (changed) r.displays.change({left, third});
        r.settle();
        EXPECT_EQ(score, 0.0);
        const auto ids = r.engine->model() ? r.engine->model()->screenIDs : std::vector<std::string>{};
        EXPECT_EQ(ids, (changed ? std::vector{left.uuid, third.uuid} : std::vector<std::string>{}));
        EXPECT_EQ(r.onDisk().has_value(), name != std::string("no camera"));
    }
}

// A switch moves focus, then logs and records the outcome. Only one that moved keyboard focus to a window is
// announced, for the user to see where focus went, and none while calibrating: the switch may have been on
// its way when the calibration began.
TEST_F(EngineTest, ASwitchMovesFocusThenLogsRecordsAndAnnouncesTheOutcome) {
    defaults.set("diagnosticsEnabled", true);
    defaults.set("movePointer", false);
    launchTracking();
    std::vector<Rect> announced;
    engine->onFocusMoved = [&](const Rect& frame) { announced.push_back(frame); };
    engine->performSwitch("gone");
    EXPECT_TRUE(windows.switches.empty());

    const Rect frame{2000, 100, 800, 600};
    const std::tuple<FocusOutcome, bool, std::string> cases[] = {
        {{FocusMethod::inputFocus, true, "firefox", frame}, true, "[firefox] via inputFocus ok=1"},
        {{FocusMethod::windowManager, true, "xterm", frame}, true, "[xterm] via windowManager ok=1"},
        {{FocusMethod::windowManager, false, "xterm", frame}, false, "[xterm] via windowManager ok=0"},
        {{FocusMethod::pointerOnly, true, "-", std::nullopt}, false, "[-] via pointerOnly ok=1"},
        {{FocusMethod::pointerOnly, false, "-", frame}, false, "[-] via pointerOnly ok=0"},
    };
    windows.completeAtOnce = false;
    for (const auto& [outcome, shown, logged] : cases) {
        announced.clear();
        windows.outcome = outcome;
        engine->performSwitch(right.uuid);
        wait(0.2504);
        windows.complete();
        settle();
        EXPECT_EQ(log.count("Switch → RIGHT " + logged + " 250ms"), 1u) << logged;
        EXPECT_EQ(announced, shown ? std::vector<Rect>{frame} : std::vector<Rect>{}) << logged;
    }
    ASSERT_EQ(windows.switches.size(), 5u);
    EXPECT_EQ(windows.switches[0].displays, twoDisplays);
    EXPECT_FALSE(windows.switches[0].movePointer);
    auto focus = records("focus").at(0);
    EXPECT_NEAR(focus["ms"].get<double>(), 250.4, 1e-6);
    focus.erase("ms");
    focus.erase("t");
    EXPECT_EQ(focus.dump(),
              R"({"app":"firefox","display":"RIGHT","k":"focus","method":"inputFocus","ok":true})");

    announced.clear();
    engine->performSwitch(right.uuid);
    engine->beginCalibration([](const std::optional<HeadPose>&) {});
    windows.complete();
    settle();
    EXPECT_TRUE(announced.empty());
}
