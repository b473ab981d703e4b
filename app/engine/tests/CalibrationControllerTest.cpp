#include "engine/CalibrationController.h"

#include "VirtualTime.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>

using namespace orvane;

namespace {

DisplayInfo display(std::uint32_t id, std::string uuid, Rect bounds) {
    return {id, uuid, uuid + " name", bounds, false};
}

const DisplayInfo left = display(1, "L", {0, 0, 1920, 1080});
const DisplayInfo right = display(2, "R", {1920, 0, 2560, 1440});

// The engine side: records what the run asks of it and answers the fit with a chosen score.
class FakeHost : public CalibrationHost {
  public:
    std::vector<DisplayInfo> displays{left, right};
    std::function<void(const std::optional<HeadPose>&)> tap;
    int begins = 0;
    int cancels = 0;
    std::vector<std::vector<LabeledSample>> fits;
    double fitTime = 0;
    double score = 0.95;
    bool holdCompletion = false; // keep it in `completion` instead of answering at once
    std::function<void(double)> completion;
    const Clock* clock = nullptr;

    std::vector<DisplayInfo> calibrationDisplays() const override { return displays; }
    void beginCalibration(std::function<void(const std::optional<HeadPose>&)> receiver) override {
        ++begins;
        tap = std::move(receiver);
    }
    void cancelCalibration() override {
        tap = nullptr;
        ++cancels;
    }
    void finishCalibration(std::vector<LabeledSample> samples, std::function<void(double)> done) override {
        tap = nullptr;
        fits.push_back(std::move(samples));
        fitTime = clock->uptime();
        if (holdCompletion)
            completion = std::move(done);
        else
            done(score);
    }
};

class FakeWindows : public CalibrationWindows {
  public:
    int opens = 0;
    int closes = 0;
    std::vector<DisplayInfo> displays;
    const CalibrationViewState* state = nullptr;

    void open(const std::vector<DisplayInfo>& shown, const CalibrationViewState& viewState) override {
        ++opens;
        displays = shown;
        state = &viewState;
    }
    void close() override { ++closes; }
};

// The camera as the engine forwards it while calibrating: a frame every period, each to the tap if set.
class PoseStream {
  public:
    using Source = std::function<std::optional<HeadPose>()>;
    PoseStream(test::ManualQueue& queue, FakeHost& host, Source source, double period)
        : queue_(queue), host_(host), source_(std::move(source)), period_(period) {
        schedule();
    }

  private:
    void schedule() {
        queue_.postAfter(period_, [this, alive = std::weak_ptr<int>(alive_)] {
            if (alive.expired()) return;
            if (host_.tap) host_.tap(source_());
            schedule();
        });
    }
    test::ManualQueue& queue_;
    FakeHost& host_;
    Source source_;
    double period_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// A face whose yaw and pitch alternate frame by frame over the given spreads; none while `shown` is false.
PoseStream::Source face(double yawSpread, double pitchSpread, const bool* shown = nullptr) {
    return [=, n = 0]() mutable -> std::optional<HeadPose> {
        if (shown && !*shown) return std::nullopt;
        const double side = (n++ % 2) ? 0.5 : -0.5;
        return HeadPose{0.2 + side * yawSpread, -0.1 + side * pitchSpread, 0, 0.5, 0.4, 0.2};
    };
}

const std::string gettingReadyDetail =
    "Sit as you normally do. Follow the dot — turn your head the way you naturally would.";
const std::string waitingDetail = "Waiting for the camera to see your face…";
const std::string noFaceDetail = "Can't see your face clearly — check lighting and the camera.";
const std::string unsteadyDetail = "Hold still on the dot for a moment.";
const std::string successDetail = "You're set. Look at a screen and start typing.";
const std::string retryDetail =
    "The screens look similar from the camera. Try again sitting as you usually do, or "
    "choose another camera in Settings.";

struct Snapshot {
    std::optional<std::string> activeDisplay;
    Point dot;
    double dotProgress;
    std::string message, detail;
    bool faceVisible, finished;
    std::optional<double> score;
};

Snapshot snapshot(const CalibrationViewState& s) {
    return {s.activeDisplay(), s.dot(),         s.dotProgress(), s.message(),
            s.detail(),        s.faceVisible(), s.finished(),    s.score()};
}

class CalibrationControllerTest : public ::testing::Test {
  protected:
    CalibrationControllerTest() {
        host.clock = &clock;
        // Observers hear before a change, so the recorded values plus the current ones are the history.
        subscription =
            controller->state().subscribe([this] { recorded.push_back(snapshot(controller->state())); });
    }

    void start(PoseStream::Source source, double period = 1.0 / 15) {
        stream = std::make_unique<PoseStream>(queue, host, std::move(source), period);
        startedAt = clock.uptime();
        controller->start([this] { ++closeCalls; });
    }

    // Drives virtual time in small steps until the condition holds (or a generous limit passes).
    bool runUntil(const std::function<bool()>& condition, double limit = 200) {
        for (double waited = 0; !condition(); waited += 0.01) {
            if (waited > limit) return false;
            scheduler.advance(0.01);
        }
        return true;
    }

    std::vector<Snapshot> history() const {
        auto all = recorded;
        all.push_back(snapshot(controller->state()));
        return all;
    }
    bool showed(const std::string& detail) const {
        auto all = history();
        return std::ranges::any_of(all, [&](const Snapshot& s) { return s.detail == detail; });
    }
    // Completed holds per display: the times dotProgress reached 1.
    std::map<std::string, int> holds() const {
        std::map<std::string, int> count;
        auto all = history();
        for (std::size_t i = 1; i < all.size(); ++i)
            if (all[i].dotProgress == 1.0 && all[i - 1].dotProgress != 1.0)
                ++count[all[i].activeDisplay.value()];
        return count;
    }
    std::map<std::string, int> samplesPerDisplay(const std::vector<LabeledSample>& samples) const {
        std::map<std::string, int> count;
        for (const auto& sample : samples)
            ++count[sample.screenID];
        return count;
    }

    const CalibrationViewState& state() const { return controller->state(); }

    test::ManualClock clock;
    test::ManualScheduler scheduler{clock};
    test::ManualQueue queue{scheduler};
    FakeHost host;
    FakeWindows windows;
    std::unique_ptr<PoseStream> stream;
    std::unique_ptr<CalibrationController> controller =
        std::make_unique<CalibrationController>(host, windows, queue, clock);
    CalibrationViewState::Subscription subscription;
    std::vector<Snapshot> recorded;
    double startedAt = 0;
    int closeCalls = 0;
};

const auto steadyFace = [] { return face(radians(5), radians(2)); };

} // namespace

// ---- Pure functions

TEST(CalibrationPoints, SideBySideDisplaysEachGetTwoPositionsAtTheFacingEdge) {
    const std::vector<Point> ring{{0.5, 0.5},  {0.08, 0.1}, {0.5, 0.1},  {0.92, 0.1}, {0.92, 0.5},
                                  {0.92, 0.9}, {0.5, 0.9},  {0.08, 0.9}, {0.08, 0.5}};
    auto withEdge = [&](std::vector<Point> edge) {
        auto all = ring;
        all.insert(all.end(), edge.begin(), edge.end());
        return all;
    };
    EXPECT_EQ(CalibrationController::points(left, {left, right}), withEdge({{0.98, 0.3}, {0.98, 0.7}}));
    EXPECT_EQ(CalibrationController::points(right, {left, right}), withEdge({{0.02, 0.3}, {0.02, 0.7}}));

    const DisplayInfo middle = display(3, "M", {1920, 0, 1920, 1080});
    const DisplayInfo far = display(4, "F", {3840, 0, 1920, 1080});
    EXPECT_EQ(CalibrationController::points(middle, {left, middle, far}),
              withEdge({{0.02, 0.3}, {0.02, 0.7}, {0.98, 0.3}, {0.98, 0.7}}));

    // Below, above, right-and-below (horizontal first), within the 1-point slack, overlapping.
    const DisplayInfo below = display(5, "B", {0, 1080, 1920, 1080});
    const DisplayInfo above = display(6, "A", {0, -1079.5, 1920, 1080});
    const DisplayInfo diagonal = display(7, "D", {1919.5, 1080, 1920, 1080});
    const DisplayInfo mirror = display(8, "X", {100, 100, 1920, 1080});
    EXPECT_EQ(CalibrationController::points(left, {left, below}), withEdge({{0.3, 0.98}, {0.7, 0.98}}));
    EXPECT_EQ(CalibrationController::points(left, {above, left}), withEdge({{0.3, 0.02}, {0.7, 0.02}}));
    EXPECT_EQ(CalibrationController::points(left, {left, diagonal}), withEdge({{0.98, 0.3}, {0.98, 0.7}}));
    EXPECT_EQ(CalibrationController::points(left, {left, mirror}), ring);
}

TEST(CalibrationSteadiness, BothSpreadsMustStayStrictlyBelowSixDegrees) {
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
    EXPECT_FALSE(CalibrationController::isSteady({}));
    auto broken = poses(13, 0, 0);
    broken[6].yaw = NAN;
    EXPECT_FALSE(CalibrationController::isSteady(broken));
}

TEST(CalibrationVerdict, GradesAtTheirLowerBounds) {
    EXPECT_EQ(CalibrationController::verdict(1.0), "Excellent calibration");
    EXPECT_EQ(CalibrationController::verdict(0.9), "Excellent calibration");
    EXPECT_EQ(CalibrationController::verdict(0.8999), "Good calibration");
    EXPECT_EQ(CalibrationController::verdict(0.8), "Good calibration");
    EXPECT_EQ(CalibrationController::verdict(0.79), "Fair calibration");
    EXPECT_EQ(CalibrationController::verdict(0.65), "Fair calibration");
    EXPECT_EQ(CalibrationController::verdict(0.6499), "Calibration is unreliable");
    EXPECT_EQ(CalibrationController::verdict(0), "Calibration is unreliable");
    EXPECT_EQ(CalibrationController::verdict(NAN), "Calibration is unreliable");
}

// ---- Runs in virtual time

TEST_F(CalibrationControllerTest, SteadyRunLabelsEveryDisplaysHoldsAndShowsTheGrade) {
    const WallTime startWall = clock.now();
    start(steadyFace());
    EXPECT_EQ(windows.opens, 1);
    EXPECT_EQ(windows.displays, host.displays);
    EXPECT_EQ(windows.state, &state());
    EXPECT_EQ(host.begins, 1);
    EXPECT_TRUE(controller->isRunning());
    EXPECT_EQ(state().message(), "Getting ready");
    EXPECT_TRUE(showed(gettingReadyDetail));
    EXPECT_EQ(state().detail(), waitingDetail); // no frame of this run yet

    ASSERT_TRUE(runUntil([&] { return state().finished(); }));
    ASSERT_EQ(host.fits.size(), 1u);
    const auto& samples = host.fits[0];
    // Left's samples first, then right's; about 13 poses per hold at 15 frames per second.
    auto perDisplay = samplesPerDisplay(samples);
    for (const auto& id : {"L", "R"}) {
        EXPECT_GE(perDisplay[id], 11 * 13) << id;
        EXPECT_LE(perDisplay[id], 11 * 14) << id;
    }
    EXPECT_TRUE(
        std::is_partitioned(samples.begin(), samples.end(), [](auto& s) { return s.screenID == "L"; }));
    for (const auto& sample : samples) {
        EXPECT_EQ(sample.source, LabeledSample::Source::calibration);
        EXPECT_NEAR(sample.pose.yaw, 0.2, radians(2.5) + 1e-12);
    }
    EXPECT_GT(samples.front().time, startWall + std::chrono::seconds(3)); // after getting ready
    EXPECT_TRUE(std::ranges::is_sorted(samples, {}, &LabeledSample::time));
    EXPECT_EQ(holds(), (std::map<std::string, int>{{"L", 11}, {"R", 11}}));
    // The dot visited left's positions in order while left was active.
    std::vector<Point> dots;
    for (const auto& s : history())
        if (s.activeDisplay == "L" && (dots.empty() || !(dots.back() == s.dot))) dots.push_back(s.dot);
    EXPECT_EQ(dots, CalibrationController::points(left, host.displays));
    auto all = history();
    EXPECT_TRUE(std::ranges::any_of(
        all, [](auto& s) { return s.message == "Calibrating…" && s.detail.empty() && !s.activeDisplay; }));

    EXPECT_EQ(state().score(), 0.95);
    EXPECT_EQ(state().message(), "Excellent calibration");
    EXPECT_EQ(state().detail(), successDetail);
    EXPECT_FALSE(state().activeDisplay());
    EXPECT_FALSE(controller->isRunning());

    scheduler.advanceTo(host.fitTime + 2.49);
    EXPECT_EQ(windows.closes, 0);
    EXPECT_EQ(closeCalls, 0);
    scheduler.advanceTo(host.fitTime + 2.51);
    EXPECT_EQ(windows.closes, 1);
    EXPECT_EQ(closeCalls, 1);
    scheduler.advance(30);
    EXPECT_EQ(closeCalls, 1);
    EXPECT_EQ(host.cancels, 0);
}

TEST_F(CalibrationControllerTest, ScoreDecidesGradeAdviceAndHowLongItShows) {
    struct Case {
        double score;
        std::string grade, detail;
        double shown;
    };
    for (const Case& c :
         {Case{0.8, "Good calibration", successDetail, 2.5}, Case{0.79, "Fair calibration", retryDetail, 5.0},
          Case{0.0, "Calibration is unreliable", retryDetail, 5.0}}) {
        SCOPED_TRACE(c.score);
        host.score = c.score;
        const int closesBefore = closeCalls;
        start(steadyFace());
        ASSERT_TRUE(runUntil([&] { return state().finished(); }));
        EXPECT_EQ(state().message(), c.grade);
        EXPECT_EQ(state().detail(), c.detail);
        scheduler.advanceTo(host.fitTime + c.shown - 0.01);
        EXPECT_EQ(closeCalls, closesBefore);
        scheduler.advanceTo(host.fitTime + c.shown + 0.01);
        EXPECT_EQ(closeCalls, closesBefore + 1);
    }
}

TEST_F(CalibrationControllerTest, UnsteadyHoldsAreRetriedAndTheThirdIsAccepted) {
    start(face(radians(10), 0));
    ASSERT_TRUE(runUntil([&] { return state().finished(); }));
    EXPECT_EQ(holds(), (std::map<std::string, int>{{"L", 33}, {"R", 33}}));
    EXPECT_TRUE(showed(unsteadyDetail));
    auto perDisplay = samplesPerDisplay(host.fits.at(0));
    EXPECT_GE(perDisplay["L"], 11 * 13);
    EXPECT_GE(perDisplay["R"], 11 * 13);
}

TEST_F(CalibrationControllerTest, SparseFaceIsRetriedAndItsFewPosesAcceptedOnTheThirdHold) {
    start(steadyFace(), 0.3); // about 3 frames per hold, each with a face
    ASSERT_TRUE(runUntil([&] { return state().finished(); }));
    EXPECT_EQ(holds(), (std::map<std::string, int>{{"L", 33}, {"R", 33}}));
    EXPECT_TRUE(showed(noFaceDetail));
    auto perDisplay = samplesPerDisplay(host.fits.at(0));
    EXPECT_GE(perDisplay["L"], 11 * 2);
    EXPECT_LE(perDisplay["L"], 11 * 4);
}

TEST_F(CalibrationControllerTest, FaceLostDuringAHoldWarnsWaitsAndRetries) {
    bool shown = true;
    start(face(radians(3), radians(1), &shown));
    ASSERT_TRUE(runUntil([&] { return state().activeDisplay() == "R" && state().dotProgress() > 0; }));
    shown = false; // the frames before this hold had a face, yet they are not the hold's
    ASSERT_TRUE(runUntil([&] { return state().detail() == waitingDetail; }));
    EXPECT_TRUE(showed(noFaceDetail));
    EXPECT_FALSE(state().faceVisible());
    const int holdsBefore = holds()["R"];
    scheduler.advance(10);
    EXPECT_EQ(holds()["R"], holdsBefore); // waiting, not holding
    EXPECT_EQ(state().dot(), (Point{0.5, 0.5}));

    shown = true;
    ASSERT_TRUE(runUntil([&] { return state().finished(); }));
    EXPECT_EQ(holds(), (std::map<std::string, int>{{"L", 11}, {"R", 12}}));
    EXPECT_EQ(host.cancels, 0);
}

TEST_F(CalibrationControllerTest, FaceAwayForThirtySecondsCancelsTheRun) {
    // Once from the start, once during a hold.
    bool shown = false;
    for (bool duringHold : {false, true}) {
        SCOPED_TRACE(duringHold);
        shown = duringHold;
        const int cancelsBefore = host.cancels;
        const int closesBefore = closeCalls;
        start(face(0, 0, &shown));
        double lostAt = startedAt;
        if (duringHold) {
            ASSERT_TRUE(runUntil([&] { return state().dotProgress() > 0; }));
            shown = false;
            ASSERT_TRUE(runUntil([&] { return state().detail() == waitingDetail; }));
            lostAt = clock.uptime();
        }
        scheduler.advanceTo(lostAt + 29.9);
        EXPECT_TRUE(controller->isRunning());
        EXPECT_EQ(state().detail(), waitingDetail);
        scheduler.advanceTo(lostAt + 30.3);
        EXPECT_FALSE(controller->isRunning());
        EXPECT_EQ(host.cancels, cancelsBefore + 1);
        EXPECT_FALSE(host.tap);
        EXPECT_EQ(windows.closes, closeCalls);
        EXPECT_EQ(closeCalls, closesBefore + 1);
        scheduler.advance(60);
        EXPECT_EQ(closeCalls, closesBefore + 1);
        EXPECT_TRUE(host.fits.empty());
    }
}

TEST_F(CalibrationControllerTest, CancelAtAnyStageEndsTheRunAtOnce) {
    struct Stage {
        const char* name;
        std::function<bool()> reached;
    };
    const std::vector<Stage> stages{
        {"getting ready", [&] { return clock.uptime() >= startedAt + 1.0; }},
        {"holding", [&] { return state().activeDisplay() == "R" && state().dotProgress() > 0.3; }},
        {"fitting", [&] { return !host.fits.empty(); }},
        {"showing the grade", [&] { return state().finished() && clock.uptime() >= host.fitTime + 1.0; }},
    };
    host.holdCompletion = true;
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        const bool answered = std::string(stage.name) == "showing the grade";
        host.fits.clear();
        host.cancels = 0;
        windows.closes = 0;
        closeCalls = 0;
        start(steadyFace());
        ASSERT_TRUE(runUntil([&] {
            if (answered && host.completion) std::exchange(host.completion, nullptr)(0.5);
            return stage.reached();
        }));
        const std::size_t fits = host.fits.size();

        windows.onCancel(); // Esc
        EXPECT_FALSE(controller->isRunning());
        EXPECT_EQ(host.cancels, 1);
        EXPECT_EQ(windows.closes, 1);
        EXPECT_EQ(closeCalls, 1);

        const Snapshot atCancel = snapshot(state());
        if (host.completion) std::exchange(host.completion, nullptr)(0.9); // a late score changes nothing
        scheduler.advance(60);
        EXPECT_EQ(host.fits.size(), fits);
        EXPECT_EQ(windows.closes, 1);
        EXPECT_EQ(closeCalls, 1);
        EXPECT_EQ(state().message(), atCancel.message);
        EXPECT_EQ(state().finished(), atCancel.finished);
        EXPECT_EQ(state().dot(), atCancel.dot);
    }
}

TEST_F(CalibrationControllerTest, AFitThatNeverAnswersCountsAsZero) {
    host.holdCompletion = true;
    start(steadyFace());
    ASSERT_TRUE(runUntil([&] { return !host.fits.empty(); }));
    EXPECT_EQ(state().message(), "Calibrating…");
    host.completion = nullptr; // the engine drops the fit
    scheduler.runDue();
    EXPECT_TRUE(state().finished());
    EXPECT_EQ(state().score(), 0.0);
    EXPECT_EQ(state().message(), "Calibration is unreliable");
    EXPECT_EQ(state().detail(), retryDetail);
    scheduler.advance(5.01);
    EXPECT_EQ(closeCalls, 1);
}

TEST_F(CalibrationControllerTest, StartIsIgnoredWhileRunningAndWithOneDisplay) {
    int otherCloses = 0;
    start(steadyFace());
    scheduler.advance(5);
    const Snapshot before = snapshot(state());
    controller->start([&] { ++otherCloses; });
    EXPECT_EQ(windows.opens, 1);
    EXPECT_EQ(host.begins, 1);
    EXPECT_EQ(state().dot(), before.dot);
    EXPECT_EQ(state().activeDisplay(), before.activeDisplay);
    ASSERT_TRUE(runUntil([&] { return closeCalls == 1; }));
    EXPECT_EQ(host.fits.size(), 1u);
    EXPECT_EQ(otherCloses, 0);

    host.displays = {left};
    controller->start([&] { ++otherCloses; });
    EXPECT_FALSE(controller->isRunning());
    EXPECT_EQ(windows.opens, 1);
    EXPECT_EQ(host.begins, 1);
    controller->cancel();
    EXPECT_EQ(otherCloses, 0);
}

TEST_F(CalibrationControllerTest, ANewRunStartsFreshAndKeepsItsWindowsPastTheOldGrade) {
    host.score = 0.5;
    start(steadyFace());
    ASSERT_TRUE(runUntil([&] { return state().finished(); }));
    scheduler.advance(1); // the old grade shows for 5 s

    int secondCloses = 0;
    controller->start([&] { ++secondCloses; });
    EXPECT_TRUE(controller->isRunning());
    EXPECT_EQ(closeCalls, 1); // the old windows make way
    EXPECT_EQ(windows.opens, 2);
    EXPECT_FALSE(state().finished());
    EXPECT_FALSE(state().score());
    EXPECT_FALSE(state().activeDisplay());
    EXPECT_EQ(state().dot(), (Point{0.5, 0.5}));
    EXPECT_EQ(state().dotProgress(), 0);

    scheduler.advance(10); // past the old run's close
    EXPECT_EQ(windows.closes, 1);
    EXPECT_EQ(secondCloses, 0);
    EXPECT_TRUE(controller->isRunning());
    ASSERT_TRUE(runUntil([&] { return secondCloses == 1; }));
    EXPECT_EQ(host.fits.size(), 2u);
}

TEST_F(CalibrationControllerTest, ObserversHearBeforeEachRealChangeWhileSubscribed) {
    int calls = 0;
    bool seenBefore = true;
    auto extra = controller->state().subscribe([&] {
        ++calls;
        seenBefore = state().faceVisible();
    });
    controller->receivePose(HeadPose{});
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(seenBefore);
    EXPECT_TRUE(state().faceVisible());
    controller->receivePose(HeadPose{});
    EXPECT_EQ(calls, 1);
    extra.reset();
    controller->receivePose(std::nullopt);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(state().faceVisible());
}

TEST_F(CalibrationControllerTest, ADestroyedControllerIsNeverResumed) {
    start(steadyFace());
    ASSERT_TRUE(runUntil([&] { return state().dotProgress() > 0.5; }));
    subscription.reset();
    controller.reset();
    scheduler.advance(60); // the stream still calls the tap it was given
    windows.onCancel();
    EXPECT_TRUE(host.fits.empty());
    EXPECT_EQ(windows.closes, 0);
    EXPECT_EQ(closeCalls, 0);
}
