#include "engine/TrackingPipeline.h"

#include "FakePlatform.h"
#include "desk/TemporaryFolder.h"
#include "engine/Diagnostics.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
using Json = nlohmann::json;

namespace {

// Two displays side by side: "L" where the head turns to yaw -0.35, "R" at +0.35.
ScreenModel twoScreenModel() {
    const auto samples = calibrationSamples({{1, "L", "", {}}, {2, "R", "", {}}}, -0.35);
    return ScreenModel::train(samples, {"L", "R"}, ScreenModel::Configuration{}).value();
}

// Least seconds between analysed frames: 0.85 times the periods of 15, 5 and 4 frames per second.
constexpr double fullRate = 0.85 / 15, reducedRate = 0.85 / 5, slowRate = 0.85 / 4;

struct TrackingPipelineTest : ::testing::Test {
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue queue{scheduler};
    FakeFaceDetector detector;
    FakeInputSource input;
    std::unique_ptr<TrackingPipeline> pipeline;
    double t0 = 0, lastAnalysed = 0;

    std::vector<TrackingSnapshot> snapshots;
    std::vector<double> snapshotTimes;
    std::vector<std::optional<HeadPose>> poses;
    std::vector<LabeledSample> samples;
    std::vector<bool> driftChanges;
    std::vector<double> frameIntervals; // told to the camera

    TrackingPipelineTest() { restart(); }
    // A new pipeline, with time counted from a second later.
    void restart() {
        pipeline = std::make_unique<TrackingPipeline>(queue, detector, input, clock);
        pipeline->onSnapshot = [this](const TrackingSnapshot& snapshot) {
            snapshots.push_back(snapshot);
            snapshotTimes.push_back(clock.uptime());
        };
        pipeline->onPose = [this](const std::optional<HeadPose>& pose, double) { poses.push_back(pose); };
        pipeline->onLearnedSample = [this](const LabeledSample& sample) { samples.push_back(sample); };
        pipeline->onDriftChange = [this](bool dropped) { driftChanges.push_back(dropped); };
        pipeline->onFrameInterval = [this](double seconds) { frameIntervals.push_back(seconds); };
        frameIntervals.clear();
        t0 = clock.uptime() + 1;
        lastAnalysed = 0;
    }
    // Delivers a frame at t0 + offset showing a face turned to `yaw` (none when absent); true when analysed.
    bool frameAt(double offset, std::optional<double> yaw) {
        detector.show(yaw ? std::vector{FakeFaceDetector::facing(*yaw)} : std::vector<DetectedFace>{});
        scheduler.advanceTo(t0 + offset);
        const int before = detector.detectCalls;
        pipeline->handle(FrameView{640, 360});
        if (detector.detectCalls == before) return false;
        lastAnalysed = offset;
        return true;
    }
    // Frames every `step` seconds from `from` up to and including `to`.
    void framesEvery(double step, double from, double to, std::optional<double> yaw) {
        for (double t = from; t <= to + 1e-9; t += step)
            frameAt(t, yaw);
    }
    void settle() { scheduler.runDue(); } // lets the commands posted to the pipeline run
    void switchingFrom(const char* screen) {
        pipeline->setModel(twoScreenModel());
        pipeline->setSwitchingEnabled(true);
        pipeline->setActiveScreen(screen);
        settle();
    }
    // A second of the head held still at full rate with the model on; then clicks just after the last frame.
    void holdForLearning(double yaw) {
        pipeline->setModel(twoScreenModel());
        pipeline->setFullRate(true);
        settle();
        framesEvery(0.06, lastAnalysed + 0.06, lastAnalysed + 1, yaw);
    }
    void click(const std::string& screen, int times = 1) {
        for (int i = 0; i < times; ++i)
            pipeline->handleClick(screen, t0 + lastAnalysed + 0.01);
        settle();
    }
    const TrackingSnapshot& last() const { return snapshots.back(); }
};

} // namespace

TEST_F(TrackingPipelineTest, TheFrameRateFollowsTheMoment) {
    struct Case {
        const char* name;
        const char* switchingFrom; // null: switching off
        bool typing, fullRate, reset;
        std::vector<std::pair<double, std::optional<double>>> frames; // time and yaw of analysed frames
        double interval;
    };
    const std::optional<double> none;
    const std::vector<std::pair<double, std::optional<double>>> turningAt08{
        {0, 0.15}, {0.07, 0.206}, {0.14, 0.262}, {0.21, 0.318}, {0.28, 0.374}, {0.4, 0.47}};
    const Case cases[] = {
        {"dwelling on another screen", "L", false, false, false, {{0, 0.35}}, fullRate},
        {"still on the active screen", "R", false, false, false, {{0, 0.35}}, reducedRate},
        {"turning, 2.5 rad/s raw", nullptr, false, false, false, {{0, 0.0}, {0.2, 0.5}}, fullRate},
        {"forced full rate without a face", nullptr, false, true, false, {{0, none}}, fullRate},
        {"waiting for the keyboard while turning", "L", true, false, false, turningAt08, reducedRate},
        {"no face ever", nullptr, false, false, false, {{0, none}}, slowRate},
        {"no face for less than 5 s", nullptr, false, false, false, {{0, 0.35}, {4.7, none}}, reducedRate},
        {"no face over 5 s, reset", nullptr, false, false, true, {{0, 0.35}, {5.1, none}}, slowRate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        if (c.switchingFrom) switchingFrom(c.switchingFrom);
        input.secondsSince[InputEvent::keyDown] = c.typing ? 0.1 : 100;
        pipeline->setFullRate(c.fullRate);
        settle();
        if (c.fullRate) {
            EXPECT_EQ(frameIntervals, std::vector{fullRate}) << "told at once, before a frame";
        }
        for (auto [time, yaw] : c.frames)
            ASSERT_TRUE(frameAt(time, yaw));
        if (c.reset) pipeline->reset();
        settle();
        const double from = lastAnalysed;
        const auto yaw = c.frames.back().second;
        // The camera was told the interval that decides the next frame, so it drops no frame kept here.
        ASSERT_FALSE(frameIntervals.empty());
        EXPECT_DOUBLE_EQ(frameIntervals.back(), c.interval);
        EXPECT_EQ(std::ranges::adjacent_find(frameIntervals), frameIntervals.end()) << "each new one once";
        EXPECT_FALSE(frameAt(from + c.interval - 0.005, yaw));
        EXPECT_TRUE(frameAt(from + c.interval + 0.005, yaw));
        EXPECT_EQ(int(poses.size()), detector.detectCalls) << "dropped frames report nothing";
    }
}

TEST_F(TrackingPipelineTest, SnapshotsComeAtMostEveryTenthOfASecondWithTheRateOfTheLastTwoSeconds) {
    pipeline->setFullRate(true);
    settle();
    framesEvery(0.06, 0, 1.14, 0.0);
    EXPECT_EQ(detector.detectCalls, 20);
    EXPECT_EQ(snapshots.size(), 10u);
    for (std::size_t i = 1; i < snapshotTimes.size(); ++i)
        EXPECT_GE(snapshotTimes[i] - snapshotTimes[i - 1], 0.1);

    framesEvery(0.06, 1.2, 1.68, 0.0); // 29 frames
    ASSERT_TRUE(frameAt(1.79, 0.0));   // the 30th, with a snapshot of its own
    EXPECT_EQ(last().framesPerSecond, 15);
    frameAt(2.07, 0.0); // the frames at 0 and 0.06 are now more than 2 s old
    EXPECT_EQ(last().framesPerSecond, 14.5);
}

TEST_F(TrackingPipelineTest, SmoothingRestartsAfterMoreThanHalfASecondWithoutAFaceOrAReset) {
    auto poseAfterGap = [&](double start, double lastNoFace, bool reset) {
        frameAt(start, 0.0);
        frameAt(start + 0.2, std::nullopt);
        frameAt(start + lastNoFace, std::nullopt);
        if (reset) pipeline->reset(), settle();
        frameAt(start + lastNoFace + 0.2, 0.3);
        EXPECT_FALSE(poses[poses.size() - 2]);
        return poses.back().value().yaw;
    };
    const double kept = poseAfterGap(0, 0.4, false);
    EXPECT_GT(kept, 0.0);
    EXPECT_LT(kept, 0.3) << "still smoothed against the earlier face";
    EXPECT_EQ(poseAfterGap(10, 0.6, false), 0.3) << "a fresh start";
    EXPECT_EQ(poseAfterGap(20, 0.4, true), 0.3) << "a fresh start";
    EXPECT_EQ(detector.resetCalls, 1) << "the detector forgets too";
}

TEST_F(TrackingPipelineTest, ASteadyHeadBeforeAClickIsASampleOtherClicksOnlyMoveTheActiveScreen) {
    holdForLearning(0.35);
    pipeline->handleClick("R", t0 + lastAnalysed + 0.01);
    EXPECT_TRUE(samples.empty()) << "handled on the queue";
    settle();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].screenID, "R");
    EXPECT_EQ(samples[0].source, LabeledSample::Source::click);
    EXPECT_EQ(samples[0].time, clock.now());
    EXPECT_NEAR(samples[0].pose.yaw, 0.35, 1e-9);

    auto activeAfterClick = [&](const std::string& screen) {
        click(screen);
        frameAt(lastAnalysed + 0.2, 0.35);
        return last().activeScreen;
    };
    pipeline->setLearningEnabled(false);
    EXPECT_EQ(activeAfterClick("L"), "L") << "learning off";
    pipeline->setLearningEnabled(true);
    pipeline->setModel(std::nullopt);
    EXPECT_EQ(activeAfterClick("R"), "R") << "no model";
    holdForLearning(0.35);
    pipeline->reset();
    EXPECT_EQ(activeAfterClick("L"), "L") << "the history went with a reset";
    for (int i = 0; i <= 16; ++i)
        frameAt(lastAnalysed + 0.06, -0.35 + 0.05 * i);
    EXPECT_EQ(activeAfterClick("R"), "R") << "the head moved just before";
    EXPECT_EQ(samples.size(), 1u);
    EXPECT_TRUE(driftChanges.empty());
}

TEST_F(TrackingPipelineTest, WrongAndOffScreenClicksRaiseTheDriftFlagOnceUntilItIsReset) {
    holdForLearning(1.5); // off-screen, though nearest to "R"
    click("R", 14);
    EXPECT_TRUE(driftChanges.empty()) << "too few clicks to judge";
    click("R");
    EXPECT_EQ(driftChanges, std::vector<bool>{true});
    pipeline->resetDrift();
    pipeline->resetDrift();
    settle();
    EXPECT_EQ(driftChanges, (std::vector<bool>{true, false}));

    holdForLearning(0.35);
    click("L", 14);
    EXPECT_EQ(driftChanges.size(), 2u) << "the monitor starts over";
    click("L");
    EXPECT_EQ(driftChanges, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(samples.size(), 30u);
}

TEST_F(TrackingPipelineTest, PerformanceIsReportedEveryTenSecondsFromTheFirstDeliveredFrame) {
    TemporaryFolder folder;
    auto diagnostics = Diagnostics::open(folder.path(), clock);
    pipeline->setDiagnostics(diagnostics);
    settle();
    auto perf = [&] {
        diagnostics->flush();
        std::vector<Json> found;
        std::istringstream lines(readFile(diagnostics->file()));
        for (std::string line; std::getline(lines, line);)
            if (auto record = Json::parse(line); record["k"] == "perf") found.push_back(record);
        return found;
    };
    detector.whileDetecting = [this] { clock.set(clock.uptime() + 0.004); };
    ASSERT_TRUE(frameAt(0, 0.35)); // starts the window
    ASSERT_TRUE(frameAt(9.9, 0.35));
    EXPECT_FALSE(frameAt(9.95, 0.35));
    EXPECT_TRUE(perf().empty());
    EXPECT_FALSE(frameAt(10, 0.35)) << "counted and reported, then dropped";
    ASSERT_EQ(perf().size(), 1u);
    EXPECT_DOUBLE_EQ(perf()[0]["camera_fps"].get<double>(), 0.4);
    EXPECT_DOUBLE_EQ(perf()[0]["vision_fps"].get<double>(), 0.2);
    EXPECT_NEAR(perf()[0]["vision_ms"].get<double>(), 4, 1e-6);
    EXPECT_EQ(perf()[0]["frame"], "640x360");

    frameAt(20, 0.35); // the frame at 10 counted in the first window; the next one analyses nothing
    ASSERT_EQ(perf().size(), 2u);
    EXPECT_DOUBLE_EQ(perf()[1]["camera_fps"].get<double>(), 0.1);
    EXPECT_EQ(perf()[1]["vision_ms"], 0);
}
