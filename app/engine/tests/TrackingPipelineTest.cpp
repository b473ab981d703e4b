#include "engine/TrackingPipeline.h"

#include "FakePlatform.h"
#include "VirtualTime.h"
#include "engine/Diagnostics.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace orvane;
using namespace orvane::test;

namespace {

// Two displays side by side: "L" where the head turns to yaw -0.35, "R" at +0.35.
ScreenModel twoScreenModel() {
    std::vector<LabeledSample> samples;
    for (int i = 0; i < 20; ++i) {
        for (auto [id, yaw] : {std::pair{"L", -0.35}, std::pair{"R", 0.35}}) {
            HeadPose pose{yaw + 0.02 * std::sin(i), 0.02 * std::cos(1.3 * i), 0, 0.5, 0.5, 0.2};
            samples.push_back({pose, id, LabeledSample::Source::calibration, WallTime{}});
        }
    }
    auto model = ScreenModel::train(samples, {"L", "R"}, ScreenModel::Configuration{});
    if (!model) throw std::logic_error("the test model did not fit");
    return *model;
}

const DetectedFace lookingLeft = FakeFaceDetector::face(0.5, 0.5, 0.2, -0.35);
const DetectedFace lookingRight = FakeFaceDetector::face(0.5, 0.5, 0.2, 0.35);
const DetectedFace lookingAway = FakeFaceDetector::face(0.5, 0.5, 0.2, 1.5);

struct TrackingPipelineTest : ::testing::Test {
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue queue{scheduler};
    FakeFaceDetector detector;
    FakeInputSource input;
    TrackingPipeline pipeline{queue, detector, input, clock};
    const FrameView frame{640, 360};
    const double t0 = clock.uptime();

    std::vector<TrackingSnapshot> snapshots;
    std::vector<double> snapshotTimes;
    std::vector<std::optional<HeadPose>> poses;
    std::vector<double> poseTimes;
    std::vector<std::string> switches;
    std::vector<LabeledSample> samples;
    std::vector<bool> driftChanges;

    void SetUp() override {
        pipeline.onSnapshot = [this](const TrackingSnapshot& snapshot) {
            snapshots.push_back(snapshot);
            snapshotTimes.push_back(clock.uptime());
        };
        pipeline.onPose = [this](const std::optional<HeadPose>& pose, double time) {
            poses.push_back(pose);
            poseTimes.push_back(time);
        };
        pipeline.onSwitch = [this](const std::string& screenID) { switches.push_back(screenID); };
        pipeline.onLearnedSample = [this](const LabeledSample& sample) { samples.push_back(sample); };
        pipeline.onDriftChange = [this](bool dropped) { driftChanges.push_back(dropped); };
    }

    // Delivers a frame at t0 + offset; true when it was analysed.
    bool frameAt(double offset) {
        scheduler.advanceTo(t0 + offset);
        int before = detector.detectCalls;
        pipeline.handle(frame);
        return detector.detectCalls > before;
    }
    // Frames every `step` seconds from `from` up to and including `to`.
    void framesEvery(double step, double from, double to) {
        for (double t = from; t <= to + 1e-9; t += step)
            frameAt(t);
    }
    // Lets the commands posted to the pipeline's queue run.
    void settle() { scheduler.runDue(); }

    // Switching on a model, with the user's focus on "L".
    void switchingFrom(const std::string& screen) {
        pipeline.setModel(twoScreenModel());
        pipeline.setSwitchingEnabled(true);
        pipeline.setActiveScreen(screen);
        settle();
    }
    const TrackingSnapshot& last() const { return snapshots.back(); }
};

} // namespace

// MARK: Frame rate

TEST_F(TrackingPipelineTest, WhileDwellingFramesComeAtFullRate) {
    switchingFrom("L");
    detector.showFace(lookingRight);
    ASSERT_TRUE(frameAt(0));
    ASSERT_TRUE(std::holds_alternative<SwitchDecider::Dwelling>(last().status));
    EXPECT_FALSE(frameAt(0.05));
    EXPECT_TRUE(frameAt(0.06));
    EXPECT_FALSE(frameAt(0.11));
    EXPECT_TRUE(frameAt(0.12));
}

TEST_F(TrackingPipelineTest, AStillHeadOnTheActiveScreenComesAtTheReducedRate) {
    switchingFrom("R");
    detector.showFace(lookingRight);
    ASSERT_TRUE(frameAt(0));
    ASSERT_EQ(last().status, SwitchDecider::Status(SwitchDecider::OnActiveScreen{}));
    EXPECT_FALSE(frameAt(0.05));
    EXPECT_FALSE(frameAt(0.06));
    EXPECT_FALSE(frameAt(0.16));
    EXPECT_TRUE(frameAt(0.18));
    EXPECT_EQ(detector.detectCalls, int(poses.size())) << "dropped frames report nothing";
    EXPECT_EQ(poseTimes.back(), t0 + 0.18);
}

TEST_F(TrackingPipelineTest, ATurningHeadComesAtFullRate) {
    detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, 0.0));
    ASSERT_TRUE(frameAt(0));
    detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, 0.5));
    ASSERT_TRUE(frameAt(0.2)); // 2.5 rad/s raw; the smoothed speed is well above 0.6
    EXPECT_FALSE(frameAt(0.25));
    EXPECT_TRUE(frameAt(0.26));
}

TEST_F(TrackingPipelineTest, FullRateIsForcedEvenWithoutAFace) {
    pipeline.setFullRate(true);
    settle();
    ASSERT_TRUE(frameAt(0));
    EXPECT_FALSE(frameAt(0.05));
    EXPECT_TRUE(frameAt(0.06));
}

TEST_F(TrackingPipelineTest, WaitingForTheKeyboardComesAtTheReducedRateEvenWhileTheHeadTurns) {
    switchingFrom("L");
    input.secondsSince[InputEvent::keyDown] = 0.1; // the user keeps typing
    // The head keeps turning at 0.8 rad/s, but stays on "R".
    auto turning = [&](double t) {
        detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, 0.15 + 0.8 * t));
        return frameAt(t);
    };
    for (double t : {0.0, 0.07, 0.14, 0.21, 0.28, 0.4})
        ASSERT_TRUE(turning(t));
    ASSERT_EQ(last().status, SwitchDecider::Status(SwitchDecider::WaitingForKeyboard{"R"}));
    EXPECT_TRUE(switches.empty());
    EXPECT_FALSE(turning(0.47));
    EXPECT_FALSE(turning(0.56));
    EXPECT_TRUE(turning(0.59));
}

TEST_F(TrackingPipelineTest, MoreThanFiveSecondsWithoutAFaceGiveTheSlowRate) {
    // Before any face was ever seen.
    ASSERT_TRUE(frameAt(0));
    EXPECT_FALSE(frameAt(0.2));
    EXPECT_TRUE(frameAt(0.22));

    // A face, then it goes: the status decides until 5 s have passed.
    detector.showFace(lookingRight);
    ASSERT_TRUE(frameAt(1));
    detector.showNoFace();
    EXPECT_TRUE(frameAt(5.7));
    EXPECT_TRUE(frameAt(5.88));  // 4.88 s without a face: 0.17
    EXPECT_FALSE(frameAt(6.06)); // 5.06 s: 0.2125
    EXPECT_TRUE(frameAt(6.11));

    // A reset (the camera restarting after a pause) does not make the face recent again.
    pipeline.reset();
    settle();
    EXPECT_TRUE(frameAt(20));
    EXPECT_FALSE(frameAt(20.18));
    EXPECT_TRUE(frameAt(20.22));

    // Forced full rate overrides it.
    pipeline.setFullRate(true);
    settle();
    EXPECT_TRUE(frameAt(20.28));
}

TEST_F(TrackingPipelineTest, FramesPerSecondCountsAnalysedFramesOfTheLastTwoSeconds) {
    pipeline.setFullRate(true);
    settle();
    framesEvery(0.06, 0, 1.68); // 29 frames, a snapshot on the last
    frameAt(1.79);              // the 30th, with a snapshot of its own
    ASSERT_EQ(snapshotTimes.back(), t0 + 1.79);
    EXPECT_EQ(last().framesPerSecond, 15);

    frameAt(2.07); // the frames at 0 and 0.06 are now more than 2 s old
    EXPECT_EQ(last().framesPerSecond, 14.5);
    frameAt(5);
    EXPECT_EQ(last().framesPerSecond, 0.5);
}

TEST_F(TrackingPipelineTest, SnapshotsComeAtMostEveryTenthOfASecond) {
    pipeline.setFullRate(true);
    settle();
    framesEvery(0.06, 0, 1.14); // 20 analysed frames
    EXPECT_EQ(detector.detectCalls, 20);
    EXPECT_EQ(snapshots.size(), 10u);
    for (std::size_t i = 1; i < snapshotTimes.size(); ++i)
        EXPECT_GE(snapshotTimes[i] - snapshotTimes[i - 1], 0.1);
}

// MARK: Smoothing

TEST_F(TrackingPipelineTest, SmoothingRestartsOnlyAfterMoreThanHalfASecondWithoutAFace) {
    auto poseAfterGap = [&](double start, double lastNoFace) {
        detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, 0.0));
        frameAt(start);
        detector.showNoFace();
        frameAt(start + 0.2);
        frameAt(start + lastNoFace);
        detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, 0.3));
        frameAt(start + lastNoFace + 0.2);
        EXPECT_FALSE(poses[poses.size() - 2]);
        return poses.back().value().yaw;
    };
    double kept = poseAfterGap(0, 0.4);
    EXPECT_GT(kept, 0.0);
    EXPECT_LT(kept, 0.3) << "still smoothed against the earlier face";
    EXPECT_EQ(poseAfterGap(10, 0.6), 0.3) << "a fresh start";
}

// MARK: Switching

TEST_F(TrackingPipelineTest, ASwitchIsDecidedEndToEnd) {
    switchingFrom("L");
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 0.24);
    EXPECT_TRUE(switches.empty());
    ASSERT_TRUE(std::holds_alternative<SwitchDecider::Dwelling>(last().status));
    ASSERT_TRUE(last().prediction);
    EXPECT_EQ(last().prediction->best(), "R");

    framesEvery(0.06, 0.30, 1.2);
    EXPECT_EQ(switches, std::vector<std::string>{"R"});
    EXPECT_EQ(last().activeScreen, "R");
    EXPECT_EQ(last().status, SwitchDecider::Status(SwitchDecider::OnActiveScreen{}));
    EXPECT_TRUE(last().faceVisible);
}

TEST_F(TrackingPipelineTest, WithSwitchingOffTheStatusFreezesWhileSnapshotsFlow) {
    pipeline.setModel(twoScreenModel());
    pipeline.setActiveScreen("L");
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.2, 0, 1);
    ASSERT_EQ(snapshots.size(), 6u);
    EXPECT_EQ(last().status, SwitchDecider::Status(SwitchDecider::NoFace{}));
    ASSERT_TRUE(last().prediction);
    EXPECT_EQ(last().prediction->best(), "R");
    EXPECT_TRUE(switches.empty());

    pipeline.setSwitchingEnabled(true);
    settle();
    frameAt(1.2);
    ASSERT_TRUE(std::holds_alternative<SwitchDecider::Dwelling>(last().status));
    pipeline.setSwitchingEnabled(false);
    settle();
    detector.showNoFace();
    framesEvery(0.06, 1.26, 3);
    EXPECT_TRUE(std::holds_alternative<SwitchDecider::Dwelling>(last().status));
    EXPECT_FALSE(last().faceVisible);
    EXPECT_TRUE(switches.empty());
}

TEST_F(TrackingPipelineTest, RemovingTheModelClearsTheDeciderButKeepsItsConfiguration) {
    SwitchDecider::Configuration slow;
    slow.dwell = 1.0;
    pipeline.setConfiguration(slow);
    switchingFrom("L");
    detector.showFace(lookingLeft);
    frameAt(0);
    ASSERT_EQ(last().status, SwitchDecider::Status(SwitchDecider::OnActiveScreen{}));

    pipeline.setModel(std::nullopt);
    settle();
    frameAt(0.2);
    EXPECT_EQ(last().status, SwitchDecider::Status(SwitchDecider::NoFace{}));
    EXPECT_EQ(last().activeScreen, std::nullopt);
    EXPECT_FALSE(last().prediction);

    // Back with a model and no active screen, "L" is a candidate; a 1 s dwell is 30 % done after 0.3 s.
    pipeline.setModel(twoScreenModel());
    settle();
    frameAt(0.4);
    frameAt(0.7);
    auto* dwelling = std::get_if<SwitchDecider::Dwelling>(&last().status);
    ASSERT_TRUE(dwelling);
    EXPECT_EQ(dwelling->target, "L");
    EXPECT_NEAR(dwelling->progress, 0.3, 1e-9);
}

TEST_F(TrackingPipelineTest, TheLastWarpSupplierFeedsTheInputRules) {
    switchingFrom("L");
    input.secondsSince[InputEvent::mouseMoved] = 0.05; // our own warp just now...
    pipeline.lastWarp = [this] { return clock.uptime() - 0.05; };
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 0.6);
    EXPECT_EQ(switches, std::vector<std::string>{"R"}) << "...does not hold the switch back";

    pipeline.lastWarp = [] { return 0.0; };
    pipeline.setActiveScreen("L");
    settle();
    framesEvery(0.06, 1.2, 1.8);
    EXPECT_EQ(last().status, SwitchDecider::Status(SwitchDecider::WaitingForPointer{"R"}));
}

// MARK: Clicks

TEST_F(TrackingPipelineTest, ASteadyHeadBeforeAClickBecomesASample) {
    pipeline.setModel(twoScreenModel());
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 1);
    pipeline.handleClick("R", t0 + 0.99);
    EXPECT_TRUE(samples.empty()) << "handled on the queue";
    settle();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].screenID, "R");
    EXPECT_EQ(samples[0].source, LabeledSample::Source::click);
    EXPECT_EQ(samples[0].time, clock.now());
    EXPECT_NEAR(samples[0].pose.yaw, 0.35, 1e-9);
    EXPECT_TRUE(driftChanges.empty());

    // Without learning or without a model a click teaches nothing, but still moves the active screen.
    pipeline.setLearningEnabled(false);
    pipeline.handleClick("L", t0 + 0.99);
    settle();
    frameAt(1.2);
    EXPECT_EQ(last().activeScreen, "L");
    pipeline.setLearningEnabled(true);
    pipeline.setModel(std::nullopt);
    pipeline.handleClick("R", t0 + 1.19);
    settle();
    frameAt(1.4);
    EXPECT_EQ(last().activeScreen, "R");
    EXPECT_EQ(samples.size(), 1u);
}

TEST_F(TrackingPipelineTest, AClickAfterTheHeadMovedTeachesNothingButSetsTheActiveScreen) {
    pipeline.setModel(twoScreenModel());
    pipeline.setFullRate(true);
    settle();
    for (int i = 0; i <= 16; ++i) {
        detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, -0.35 + 0.05 * i));
        frameAt(0.06 * i);
    }
    pipeline.handleClick("L", t0 + 0.97);
    settle();
    frameAt(1.1);
    EXPECT_TRUE(samples.empty());
    EXPECT_EQ(last().activeScreen, "L");
}

TEST_F(TrackingPipelineTest, AnOffScreenPredictionIsWrongButStillASample) {
    pipeline.setModel(twoScreenModel());
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingAway);
    framesEvery(0.06, 0, 1);
    for (int i = 0; i < 15; ++i)
        pipeline.handleClick("R", t0 + 0.99);
    settle();
    EXPECT_EQ(samples.size(), 15u);
    EXPECT_EQ(driftChanges, std::vector<bool>{true});
}

TEST_F(TrackingPipelineTest, TheDriftFlagIsReportedOnlyWhenItChanges) {
    pipeline.setModel(twoScreenModel());
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 1);
    for (int i = 0; i < 14; ++i)
        pipeline.handleClick("L", t0 + 0.99);
    settle();
    EXPECT_TRUE(driftChanges.empty());
    for (int i = 0; i < 5; ++i)
        pipeline.handleClick("L", t0 + 0.99);
    settle();
    EXPECT_EQ(driftChanges, std::vector<bool>{true});
    EXPECT_EQ(samples.size(), 19u);

    pipeline.resetDrift();
    pipeline.resetDrift();
    settle();
    EXPECT_EQ(driftChanges, (std::vector<bool>{true, false}));

    // The monitor starts over: 14 wrong clicks are too few again.
    for (int i = 0; i < 14; ++i)
        pipeline.handleClick("L", t0 + 0.99);
    settle();
    EXPECT_EQ(driftChanges.size(), 2u);
}

// MARK: Reset

TEST_F(TrackingPipelineTest, ResetRestartsSmoothingHistoryAndFaceFollowing) {
    pipeline.setModel(twoScreenModel());
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 1);
    pipeline.reset();
    settle();
    EXPECT_EQ(detector.resetCalls, 1);
    pipeline.handleClick("R", t0 + 0.99);
    settle();
    EXPECT_TRUE(samples.empty()) << "the history before the reset is gone";

    detector.showFace(FakeFaceDetector::face(0.5, 0.5, 0.2, 0.1));
    frameAt(1.06);
    EXPECT_EQ(poses.back()->yaw, 0.1) << "unsmoothed";
}

// MARK: Diagnostics

namespace {

struct TrackingPipelineDiagnosticsTest : TrackingPipelineTest {
    std::filesystem::path folder;
    std::shared_ptr<Diagnostics> diagnostics;

    void SetUp() override {
        TrackingPipelineTest::SetUp();
        std::string pattern = (std::filesystem::temp_directory_path() / "orvane-pipeline-XXXXXX").string();
        ASSERT_TRUE(mkdtemp(pattern.data()));
        folder = pattern;
        diagnostics = Diagnostics::open(folder, clock);
        ASSERT_TRUE(diagnostics);
        pipeline.setDiagnostics(diagnostics);
        settle();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Every record written so far, of one kind.
    std::vector<nlohmann::json> records(const std::string& kind) {
        diagnostics->flush();
        std::ifstream file(diagnostics->file());
        std::vector<nlohmann::json> found;
        for (std::string line; std::getline(file, line);) {
            auto record = nlohmann::json::parse(line);
            if (record["k"] == kind) found.push_back(record);
        }
        return found;
    }
};

} // namespace

TEST_F(TrackingPipelineDiagnosticsTest, FrameRecordsComeAtMostEveryFifthOfASecond) {
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 1.14);
    auto frames = records("frame");
    EXPECT_EQ(frames.size(), 5u); // at 0, 0.24, 0.48, 0.72, 0.96
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0]["face"], true);
    EXPECT_EQ(frames[0]["status"], "noFace");

    pipeline.setDiagnostics(nullptr);
    settle();
    framesEvery(0.06, 1.2, 2);
    EXPECT_EQ(records("frame").size(), 5u);
}

TEST_F(TrackingPipelineDiagnosticsTest, SwitchesAndClicksAreRecorded) {
    switchingFrom("L");
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 1);
    ASSERT_EQ(switches.size(), 1u);
    auto switchRecords = records("switch");
    ASSERT_EQ(switchRecords.size(), 1u);
    EXPECT_EQ(switchRecords[0]["target"], "R");
    EXPECT_GE(switchRecords[0]["p"].get<double>(), 0.75);

    pipeline.handleClick("L", t0 + 0.99);
    settle();
    auto clicks = records("click");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0]["screen"], "L");
    EXPECT_EQ(clicks[0]["predicted"], "R");
    EXPECT_EQ(clicks[0]["off"], false);
    EXPECT_LT(clicks[0]["p"].get<double>(), 0.25);
    EXPECT_NEAR(clicks[0]["yaw"].get<double>(), 0.35, 1e-9); // radians here
    EXPECT_NEAR(clicks[0]["pitch"].get<double>(), 0.0, 1e-9);
}

TEST_F(TrackingPipelineDiagnosticsTest, NoSwitchRecordWhileSwitchingIsOff) {
    pipeline.setModel(twoScreenModel());
    pipeline.setActiveScreen("L");
    pipeline.setFullRate(true);
    settle();
    detector.showFace(lookingRight);
    framesEvery(0.06, 0, 2);
    EXPECT_TRUE(records("switch").empty());
    EXPECT_FALSE(records("frame").empty());
}

TEST_F(TrackingPipelineDiagnosticsTest, PerformanceIsReportedEveryTenSecondsFromTheFirstDeliveredFrame) {
    detector.whileDetecting = [this] { clock.set(clock.uptime() + 0.004); };
    detector.showFace(lookingRight);
    ASSERT_TRUE(frameAt(0)); // starts the window
    ASSERT_TRUE(frameAt(9.9));
    EXPECT_FALSE(frameAt(9.95));
    EXPECT_TRUE(records("perf").empty());
    EXPECT_FALSE(frameAt(10)) << "counted and reported, then dropped";

    auto perf = records("perf");
    ASSERT_EQ(perf.size(), 1u);
    EXPECT_DOUBLE_EQ(perf[0]["camera_fps"].get<double>(), 0.4);
    EXPECT_DOUBLE_EQ(perf[0]["vision_fps"].get<double>(), 0.2);
    EXPECT_NEAR(perf[0]["vision_ms"].get<double>(), 4, 1e-6);
    EXPECT_EQ(perf[0]["frame"], "640x360");

    // The frame at 10 counted in the first window; the next one analyses nothing.
    frameAt(20);
    perf = records("perf");
    ASSERT_EQ(perf.size(), 2u);
    EXPECT_DOUBLE_EQ(perf[1]["camera_fps"].get<double>(), 0.1);
    EXPECT_TRUE(perf[1]["vision_ms"].is_number_integer());
    EXPECT_EQ(perf[1]["vision_ms"], 0);
}
