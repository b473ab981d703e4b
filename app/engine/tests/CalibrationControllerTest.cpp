#include "engine/CalibrationController.h"

#include "VirtualTime.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>

using namespace orvane;
using Counts = std::map<std::string, int>;

namespace {

DisplayInfo display(std::string uuid, Rect bounds) {
    return {0, uuid, uuid + " name", bounds, false};
}
const DisplayInfo left = display("L", {0, 0, 1920, 1080}), right = display("R", {1920, 0, 2560, 1440});

// The engine side: records what the run asks of it and answers each fit with `score`, unless told to hold
// the completion back.
struct FakeHost : CalibrationHost {
    const Clock& clock;
    std::vector<DisplayInfo> displays{left, right};
    std::function<void(const std::optional<HeadPose>&)> tap;
    int begins = 0, cancels = 0;
    std::vector<std::vector<LabeledSample>> fits;
    double fitTime = 0, score = 0.95;
    bool holdCompletion = false;
    std::function<void(double)> completion;

    explicit FakeHost(const Clock& clock) : clock(clock) {}
    std::vector<DisplayInfo> calibrationDisplays() const override { return displays; }
    void beginCalibration(std::function<void(const std::optional<HeadPose>&)> receiver) override {
        ++begins;
        tap = std::move(receiver);
    }
    void cancelCalibration() override { ++cancels, tap = nullptr; }
    void finishCalibration(std::vector<LabeledSample> samples, std::function<void(double)> done) override {
        tap = nullptr;
        fits.push_back(std::move(samples));
        fitTime = clock.uptime();
        completion = std::move(done);
        if (!holdCompletion) std::exchange(completion, nullptr)(score);
    }
};

struct FakeWindows : CalibrationWindows {
    int opens = 0, closes = 0;
    void open(const std::vector<DisplayInfo>&, const CalibrationViewState&) override { ++opens; }
    void close() override { ++closes; }
};

using Source = std::function<std::optional<HeadPose>()>;

// A face whose yaw and pitch alternate frame by frame over the given spreads; none while `shown` is false.
Source face(double yawSpread, double pitchSpread, const bool* shown = nullptr) {
    return [=, n = 0]() mutable -> std::optional<HeadPose> {
        if (shown && !*shown) return std::nullopt;
        const double side = (n++ % 2) ? 0.5 : -0.5;
        return HeadPose{0.2 + side * yawSpread, -0.1 + side * pitchSpread, 0, 0.5, 0.4, 0.2};
    };
}
const Source steadyFace = face(radians(5), radians(2));

const std::string waitingDetail = "Waiting for the camera to see your face…";
const std::string noFaceDetail = "Can't see your face clearly — check lighting and the camera.";
const std::string successDetail = "You're set. Look at a screen and start typing.";
const std::string retryDetail =
    "The screens look similar from the camera. Try again sitting as you usually do, or "
    "choose another camera in Settings.";

struct Snapshot {
    std::optional<std::string> activeDisplay;
    Point dot;
    double dotProgress;
    std::string message, detail;
    bool finished;
};
Snapshot snapshot(const CalibrationViewState& s) {
    return {s.activeDisplay(), s.dot(), s.dotProgress(), s.message(), s.detail(), s.finished()};
}

struct CalibrationControllerTest : ::testing::Test {
    test::ManualClock clock;
    test::ManualScheduler scheduler{clock};
    test::ManualQueue queue{scheduler};
    FakeHost host{clock};
    FakeWindows windows;
    std::unique_ptr<CalibrationController> controller =
        std::make_unique<CalibrationController>(host, windows, queue, clock);
    const CalibrationViewState& state = controller->state();
    // Observers hear before a change, so the recorded values plus the current ones are the history.
    std::vector<Snapshot> recorded;
    CalibrationViewState::Subscription subscription =
        state.subscribe([this] { recorded.push_back(snapshot(state)); });
    Source source;
    int stream = 0; // the current pose stream; earlier ones stop
    int closeCalls = 0;

    // Starts a run with the camera handing a pose to the engine's tap every period.
    void start(Source poses, double period = 1.0 / 15) {
        source = std::move(poses);
        deliver(period, ++stream);
        controller->start([this] { ++closeCalls; });
    }
    void deliver(double period, int current) {
        queue.postAfter(period, [this, period, current] {
            if (current != stream) return;
            if (host.tap) host.tap(source());
            deliver(period, current);
        });
    }
    // Drives virtual time in small steps until the condition holds (or a generous limit passes).
    bool runUntil(const std::function<bool()>& condition) {
        for (double waited = 0; !condition(); waited += 0.01) {
            if (waited > 200) return false;
            scheduler.advance(0.01);
        }
        return true;
    }
    std::vector<Snapshot> history() const {
        auto all = recorded;
        all.push_back(snapshot(state));
        return all;
    }
    bool showed(const std::string& detail) const {
        return std::ranges::any_of(history(), [&](const Snapshot& s) { return s.detail == detail; });
    }
    // Completed holds per display: the times dotProgress reached 1.
    Counts holds() const {
        Counts count;
        auto all = history();
        for (std::size_t i = 1; i < all.size(); ++i)
            if (all[i].dotProgress == 1.0 && all[i - 1].dotProgress != 1.0)
                ++count[all[i].activeDisplay.value()];
        return count;
    }
    Counts samplesPerDisplay() const {
        Counts count;
        for (const auto& sample : host.fits.at(0))
            ++count[sample.screenID];
        return count;
    }
};

} // namespace

TEST(CalibrationPoints, TheRingThenTwoPositionsAtEachEdgeFacingAnotherDisplay) {
    const std::vector<Point> ring{{0.5, 0.5},  {0.08, 0.1}, {0.5, 0.1},  {0.92, 0.1}, {0.92, 0.5},
                                  {0.92, 0.9}, {0.5, 0.9},  {0.08, 0.9}, {0.08, 0.5}};
    const std::vector<Point> toRight{{0.98, 0.3}, {0.98, 0.7}}, toLeft{{0.02, 0.3}, {0.02, 0.7}};
    const std::vector<Point> down{{0.3, 0.98}, {0.7, 0.98}}, up{{0.3, 0.02}, {0.7, 0.02}};
    const DisplayInfo middle = display("M", {1920, 0, 1920, 1080});
    const std::vector<std::tuple<DisplayInfo, std::vector<DisplayInfo>, std::vector<std::vector<Point>>>>
        cases{
            {left, {left, right}, {toRight}},
            {right, {left, right}, {toLeft}},
            {middle, {left, middle, display("far", {3840, 0, 1920, 1080})}, {toLeft, toRight}},
            {left, {left, display("below", {0, 1080, 1920, 1080})}, {down}},
            {left, {display("above, 1-point slack", {0, -1079.5, 1920, 1080}), left}, {up}},
            {left, {left, display("diagonal: horizontal first", {1919.5, 1080, 1920, 1080})}, {toRight}},
            {left, {left, display("overlapping", {100, 100, 1920, 1080})}, {}},
            // Overlapping by exactly the slack, as fractional scaling may round them.
            {left, {left, display("right, 1 over", {1919, 0, 1920, 1080})}, {toRight}},
            {right, {display("left, 1 over", {1, 0, 1920, 1080}), right}, {toLeft}},
            {left, {left, display("below, 1 over", {0, 1079, 1920, 1080})}, {down}},
            {left, {display("above, 1 over", {0, -1079, 1920, 1080}), left}, {up}},
        };
    for (const auto& [shown, displays, edges] : cases) {
        SCOPED_TRACE(displays.front().uuid + " " + displays.back().uuid);
        auto expected = ring;
        for (const auto& edge : edges)
            expected.insert(expected.end(), edge.begin(), edge.end());
        EXPECT_EQ(CalibrationController::points(shown, displays), expected);
    }
}

TEST(CalibrationSteadiness, AtLeastFivePosesWithYawAndPitchEachSpreadLessThanSixDegrees) {
    auto poses = [](int count, double yawSpread, double pitchSpread) {
        std::vector<HeadPose> all;
        for (int i = 0; i < count; ++i)
            all.push_back({(i % 2) * yawSpread, (i % 3 == 1) * pitchSpread, 0, 0.5, 0.5, 0.2});
        return all;
    };
    const double sixDegrees = 0.10471975511965977;
    EXPECT_TRUE(CalibrationController::isSteady(poses(13, radians(5), radians(2))));
    EXPECT_FALSE(CalibrationController::isSteady(poses(13, sixDegrees, 0)));
    EXPECT_FALSE(CalibrationController::isSteady(poses(13, 0, sixDegrees)));
    EXPECT_TRUE(CalibrationController::isSteady(poses(5, 0, 0)));
    EXPECT_FALSE(CalibrationController::isSteady(poses(4, 0, 0)));
    auto broken = poses(13, 0, 0);
    broken[6].yaw = NAN;
    EXPECT_FALSE(CalibrationController::isSteady(broken)) << "a broken angle is not steady";
}

TEST(CalibrationVerdict, GradesAtTheirLowerBounds) {
    std::vector<std::string> grades;
    for (double score : {0.9, 0.8999, 0.8, 0.7999, 0.65, 0.6499, double(NAN)})
        grades.push_back(CalibrationController::verdict(score));
    EXPECT_EQ(grades, (std::vector<std::string>{"Excellent calibration", "Good calibration",
                                                "Good calibration", "Fair calibration", "Fair calibration",
                                                "Calibration is unreliable", "Calibration is unreliable"}));
}

TEST_F(CalibrationControllerTest, ASteadyRunLabelsEveryDisplaysHoldsInTurnAndShowsTheGrade) {
    const WallTime startWall = clock.now();
    start(steadyFace);
    EXPECT_EQ(state.message(), "Getting ready");
    EXPECT_TRUE(
        showed("Sit as you normally do. Follow the dot — turn your head the way you naturally would."));
    EXPECT_EQ(state.detail(), waitingDetail); // no frame of this run yet

    ASSERT_TRUE(runUntil([&] { return state.finished(); }));
    const auto& samples = host.fits.at(0);
    EXPECT_EQ(holds(), (Counts{{"L", 11}, {"R", 11}}));
    for (auto id : {"L", "R"}) { // about 13 poses per hold at 15 frames per second
        EXPECT_GE(samplesPerDisplay()[id], 11 * 13) << id;
        EXPECT_LE(samplesPerDisplay()[id], 11 * 14) << id;
    }
    EXPECT_TRUE(std::ranges::is_partitioned(samples, [](auto& s) { return s.screenID == "L"; }));
    for (const auto& sample : samples) {
        EXPECT_EQ(sample.source, LabeledSample::Source::calibration);
        EXPECT_NEAR(sample.pose.yaw, 0.2, radians(2.5) + 1e-12);
        EXPECT_GT(sample.time, startWall + std::chrono::seconds(3)); // after getting ready
    }
    std::vector<Point> dots; // left's positions, in order
    for (const auto& s : history())
        if (s.activeDisplay == "L" && (dots.empty() || !(dots.back() == s.dot))) dots.push_back(s.dot);
    EXPECT_EQ(dots, CalibrationController::points(left, host.displays));
    EXPECT_TRUE(std::ranges::any_of(history(),
                                    [](auto& s) { return s.message == "Calibrating…" && !s.activeDisplay; }));
    EXPECT_EQ(state.message(), "Excellent calibration");
    EXPECT_EQ(state.detail(), successDetail);
    EXPECT_EQ(host.cancels, 0);
    EXPECT_EQ(windows.opens - windows.closes, 1);
}

TEST_F(CalibrationControllerTest, TheScoreDecidesGradeAdviceAndHowLongItShowsAndADroppedFitCountsAsZero) {
    struct Case {
        std::optional<double> score; // absent: the engine drops the fit without answering
        std::string grade, detail;
        double shown;
    };
    for (const Case& c :
         {Case{0.8, "Good calibration", successDetail, 2.5}, Case{0.79, "Fair calibration", retryDetail, 5.0},
          Case{std::nullopt, "Calibration is unreliable", retryDetail, 5.0}}) {
        SCOPED_TRACE(c.grade);
        host.score = c.score.value_or(0.99);
        host.holdCompletion = !c.score;
        host.fits.clear();
        const int closes = closeCalls;
        start(steadyFace);
        ASSERT_TRUE(runUntil([&] { return !host.fits.empty(); }));
        host.completion = nullptr;
        scheduler.runDue();
        EXPECT_EQ(state.score(), c.score.value_or(0));
        EXPECT_EQ(state.message(), c.grade);
        EXPECT_EQ(state.detail(), c.detail);
        scheduler.advanceTo(host.fitTime + c.shown - 0.01);
        EXPECT_EQ(closeCalls, closes);
        scheduler.advanceTo(host.fitTime + c.shown + 0.01);
        EXPECT_EQ(closeCalls, closes + 1);
        EXPECT_EQ(windows.closes, closeCalls);
    }
}

TEST_F(CalibrationControllerTest, UnsteadyHoldsAreRetriedAndTheThirdIsTakenAsItIs) {
    start(face(radians(10), 0));
    ASSERT_TRUE(runUntil([&] { return state.finished(); }));
    EXPECT_EQ(holds(), (Counts{{"L", 33}, {"R", 33}}));
    EXPECT_TRUE(showed("Hold still on the dot for a moment."));
    EXPECT_GE(samplesPerDisplay()["L"], 11 * 13);
    EXPECT_GE(samplesPerDisplay()["R"], 11 * 13);
}

TEST_F(CalibrationControllerTest, AFaceLostDuringAHoldWarnsWaitsAndRetries) {
    bool shown = true;
    start(face(radians(3), radians(1), &shown));
    ASSERT_TRUE(runUntil([&] { return state.activeDisplay() == "R" && state.dotProgress() > 0; }));
    shown = false; // the frames before this hold had a face, yet they are not the hold's
    ASSERT_TRUE(runUntil([&] { return state.detail() == waitingDetail; }));
    EXPECT_TRUE(showed(noFaceDetail));
    const int holdsBefore = holds()["R"];
    scheduler.advance(10);
    EXPECT_EQ(holds()["R"], holdsBefore); // waiting, not holding
    shown = true;
    ASSERT_TRUE(runUntil([&] { return state.finished(); }));
    EXPECT_EQ(holds(), (Counts{{"L", 11}, {"R", 12}}));
}

// However the run ends early, the engine hears one cancel, the windows close once and nothing follows.
TEST_F(CalibrationControllerTest, EscAtEveryStageOrAFaceAwayForThirtySecondsEndsTheRunAtOnce) {
    double startedAt = 0;
    bool shown = true;
    const std::vector<std::tuple<std::string, std::function<bool()>, bool>> stages{
        {"Esc getting ready", [&] { return clock.uptime() >= startedAt + 1.0; }, false},
        {"Esc holding", [&] { return state.activeDisplay() == "R" && state.dotProgress() > 0.3; }, false},
        {"Esc fitting", [&] { return !host.fits.empty(); }, false},
        {"Esc showing the grade", [&] { return state.finished() && clock.uptime() >= host.fitTime + 1.0; },
         false},
        {"face away from the start", [] { return true; }, true},
        {"face away during a hold", [&] { return state.dotProgress() > 0; }, true},
    };
    host.holdCompletion = true;
    for (const auto& [name, reached, faceAway] : stages) {
        SCOPED_TRACE(name);
        host.fits.clear();
        const int cancels = host.cancels, closes = closeCalls;
        startedAt = clock.uptime();
        shown = name != "face away from the start";
        start(face(0, 0, &shown));
        ASSERT_TRUE(runUntil([&] {
            if (name == "Esc showing the grade" && host.completion)
                std::exchange(host.completion, nullptr)(0.5);
            return reached();
        }));
        if (faceAway) {
            shown = false;
            ASSERT_TRUE(runUntil([&] { return state.detail() == waitingDetail; }));
            const double lostAt = clock.uptime();
            scheduler.advanceTo(lostAt + 29.9);
            EXPECT_TRUE(controller->isRunning());
            scheduler.advanceTo(lostAt + 30.3);
        } else {
            windows.onCancel();
        }
        EXPECT_FALSE(controller->isRunning());
        EXPECT_EQ(host.cancels, cancels + 1);
        EXPECT_EQ(closeCalls, closes + 1);
        EXPECT_EQ(windows.closes, closeCalls);

        const std::string message = state.message();
        const std::size_t fits = host.fits.size();
        if (host.completion) std::exchange(host.completion, nullptr)(0.9); // a late score changes nothing
        scheduler.advance(60);
        EXPECT_EQ(host.fits.size(), fits);
        EXPECT_EQ(closeCalls, closes + 1);
        EXPECT_EQ(state.message(), message);
    }
}

TEST_F(CalibrationControllerTest, ANewRunMayFollowTheGradeAndOwnsTheWindowsButNeedsTwoDisplays) {
    host.score = 0.5; // the grade shows for 5 s
    start(steadyFace);
    ASSERT_TRUE(runUntil([&] { return state.finished(); }));
    int laterCloses = 0;
    host.displays = {left};
    controller->start([&] { ++laterCloses; });
    EXPECT_EQ(windows.opens, 1) << "ignored with one display";
    host.displays = {left, right};
    controller->start([&] { ++laterCloses; });
    EXPECT_EQ(closeCalls, 1) << "the old windows make way";
    EXPECT_FALSE(state.finished() || state.score() || state.activeDisplay());
    controller->start([&] { ++laterCloses; }); // ignored while running
    scheduler.advance(10);                     // past the old run's close
    EXPECT_EQ(windows.opens - windows.closes, 1);
    ASSERT_TRUE(runUntil([&] { return laterCloses == 1; }));
    EXPECT_EQ(host.begins, 2);
}

TEST_F(CalibrationControllerTest, ADestroyedControllerIsNeverResumed) {
    start(steadyFace);
    ASSERT_TRUE(runUntil([&] { return state.dotProgress() > 0.5; }));
    subscription.reset();
    controller.reset();
    scheduler.advance(60); // the stream still calls the tap it was given
    windows.onCancel();
    EXPECT_TRUE(host.fits.empty());
    EXPECT_EQ(windows.closes + closeCalls, 0);
}
