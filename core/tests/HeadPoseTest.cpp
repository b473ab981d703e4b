#include "core/OneEuroFilter.h"
#include "core/PoseHistory.h"

#include <cmath>
#include <gtest/gtest.h>
#include <tuple>

using namespace orvane;

namespace {

HeadPose pose(double yaw, double pitch = 0) {
    return {yaw, pitch, 0.1, 0.5, 0.4, 0.2};
}

PoseHistory historyOf(const std::vector<std::pair<HeadPose, double>>& entries) {
    PoseHistory history(2.0);
    for (const auto& [pose, time] : entries)
        history.append(pose, time);
    return history;
}

} // namespace

TEST(HeadPose, FeaturesSkipRollAndFloorTheFaceSizeBeforeTheLogAndAnglesConvert) {
    EXPECT_EQ((HeadPose{0.1, -0.2, 0.3, 0.5, 0.4, 0.2}.features()),
              (HeadPose::Features{0.1, -0.2, 0.5, 0.4, std::log(0.2)}));
    for (double size : {0.0, -1.0, 0.0005, 0.001})
        EXPECT_DOUBLE_EQ(HeadPose({0, 0, 0, 0, 0, size}).features()[4], -6.907755278982137) << size;
    // A NaN size stays NaN rather than being floored into a plausible value.
    auto broken = HeadPose{NAN, 0, 0, 0, 0, NAN}.features();
    EXPECT_TRUE(std::isnan(broken[0]) && std::isnan(broken[4]));
    EXPECT_EQ(radians(180.0), 3.141592653589793);
    EXPECT_EQ(degrees(3.141592653589793), 180.0);
}

TEST(OneEuroFilter, WorkedExampleThenRepeatedOrEarlierTimesAndResetsRestartAtTheSample) {
    for (double restart : {0.2, 0.05, -5.0}) {
        OneEuroFilter filter(1.2, 1.5, 1.0);
        EXPECT_EQ(filter.filter(0.0, 0.0), 0.0);
        // 0.814496 and 3.858695; dt / (dt + tau) would round to ...087 and ...757 instead.
        EXPECT_EQ(filter.filter(1.0, 0.1), 0.8144959202892086);
        EXPECT_EQ(filter.speed(), 3.8586954509503752);
        EXPECT_NEAR(filter.filter(2.0, 0.2), 1.857147, 1e-6); // the speed estimate carries over
        if (restart < 0) filter.reset();                      // then even an earlier time is fine
        EXPECT_EQ(filter.filter(5.0, restart), 5.0) << restart;
        EXPECT_EQ(filter.speed(), 0.0) << restart;
        EXPECT_NEAR(filter.filter(6.0, restart + 0.1), 5.814496, 1e-6) << restart; // the example, shifted
    }
}

TEST(OneEuroFilter, ConstantInputStaysPutNaNSticksUntilResetAndANaNTimeRestarts) {
    OneEuroFilter filter(0.4, 2.0, 1.0);
    double t = 0;
    for (double dt : {0.001, 0.0667, 0.5, 3.0, 0.02}) {
        EXPECT_EQ(filter.filter(0.37, t += dt), 0.37);
        EXPECT_EQ(filter.speed(), 0.0);
    }
    EXPECT_TRUE(std::isnan(filter.filter(NAN, t += 0.1)));
    EXPECT_TRUE(std::isnan(filter.filter(1.0, t += 0.1)));
    filter.reset();
    EXPECT_EQ(filter.filter(1.0, t += 0.1), 1.0);
    // No time is later than NaN: it restarts, and so does the sample after it.
    EXPECT_EQ(filter.filter(2.0, NAN), 2.0);
    EXPECT_EQ(filter.filter(4.0, t += 0.1), 4.0);
}

TEST(PoseFilter, EachFieldGoesThroughItsOwnFilterAndTheAngularSpeedUsesYawAndPitchOnly) {
    PoseFilter filter(1.2, 1.5);
    const HeadPose first{0.1, -0.2, 0.3, 0.5, 0.4, 0.2}, second{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(filter.filter(first, 1.0), first);
    const HeadPose out = filter.filter(second, 1.1);
    // The angles use the given parameters, the face centre (0.6, 2.0) and the face size (0.4, 2.0).
    const std::tuple<double HeadPose::*, double, double> fields[] = {
        {&HeadPose::yaw, 1.2, 1.5},   {&HeadPose::pitch, 1.2, 1.5}, {&HeadPose::roll, 1.2, 1.5},
        {&HeadPose::faceX, 0.6, 2.0}, {&HeadPose::faceY, 0.6, 2.0}, {&HeadPose::faceSize, 0.4, 2.0}};
    for (const auto& [field, minCutoff, beta] : fields) {
        OneEuroFilter alone(minCutoff, beta, 1.0);
        alone.filter(first.*field, 1.0);
        EXPECT_EQ(out.*field, alone.filter(second.*field, 1.1)) << minCutoff << " " << beta;
    }
    filter.reset(); // the angular speed uses yaw and pitch only
    filter.filter({0, 0, 0, 0.5, 0.5, 0.2}, 0.0);
    filter.filter({0, 0, 2.0, 0.9, 0.1, 0.6}, 0.1); // roll and face box move fast
    EXPECT_EQ(filter.angularSpeed(), 0.0);
    filter.filter({-1.0, 0.5, 2.0, 0.9, 0.1, 0.6}, 0.2);
    EXPECT_DOUBLE_EQ(filter.angularSpeed(), std::hypot(filter.yaw.speed(), filter.pitch.speed()));
    filter.reset();
    EXPECT_EQ(filter.angularSpeed(), 0.0);
}

TEST(PoseHistory, PruningRemovesTheLeadingRunOlderThanTheSpan) {
    const std::tuple<const char*, double, std::vector<double>, std::vector<double>> cases[] = {
        {"the entry exactly at the cutoff stays", 2.0, {0, 1, 2}, {0, 1, 2}},
        {"older than the cutoff", 2.0, {0, 1, 2, 2.5}, {1, 2, 2.5}},
        {"an older entry behind a newer one waits", 2.0, {5, 1, 6}, {5, 1, 6}},
        {"and goes with the run in front of it", 2.0, {5, 1, 6, 7.5}, {6, 7.5}},
        {"negative span: nothing qualifies", -1.0, {0, 1}, {0, 1}},
        {"a NaN time prunes nothing", 2.0, {9.9, NAN, 10}, {9.9, NAN, 10}},
        {"and goes with the run in front of it", 2.0, {9.9, NAN, 10, 11.95}, {10, 11.95}},
    };
    for (const auto& [what, span, appended, expected] : cases) {
        PoseHistory history(span);
        std::vector<double> kept;
        for (double t : appended)
            history.append(pose(0), t);
        for (const auto& entry : history.entries())
            kept.push_back(entry.time);
        // Compared as text, where NaN equals NaN.
        EXPECT_EQ(testing::PrintToString(kept), testing::PrintToString(expected)) << what;
    }
}

TEST(PoseHistory, SteadyPoseAveragesTheWindowWithLateFrameSlackWithinAYawAndPitchSpread) {
    auto history = historyOf({{pose(0.5), 9.69}, {pose(0.1), 9.7}, {pose(0.2), 10.02}, {pose(0.9), 10.03}});
    EXPECT_EQ(history.steadyPose(10.0, 0.3, 2, 0.5), HeadPose::mean({pose(0.1), pose(0.2)}));
    EXPECT_FALSE(history.steadyPose(10.0, 0.3, 3, 10.0));
    // A NaN time is never selected.
    EXPECT_EQ(historyOf({{pose(0), 9.9}, {pose(1), NAN}, {pose(0), 10.0}}).steadyPose(10.0, 0.3, 2, 0.5),
              pose(0));
    history.removeAll();
    EXPECT_FALSE(history.steadyPose(10.0, 0.3, 0, 1.0)); // an empty selection even when none is required
    // The spread limit is inclusive, for yaw and pitch only (roll and face box move); NaN is never steady.
    auto steady =
        historyOf({{{0.25, 0.0, -1.0, 0.0, 0.0, 0.1}, 9.8}, {{0.75, 0.5, 1.0, 1.0, 1.0, 0.9}, 9.9}});
    EXPECT_EQ(steady.steadyPose(10.0, 0.3, 2, 0.5), (HeadPose{0.5, 0.25, 0.0, 0.5, 0.5, 0.5}));
    for (const auto& unsteady : {historyOf({{pose(0, 0.25), 9.8}, {pose(0, std::nextafter(0.75, 1.0)), 9.9}}),
                                 historyOf({{pose(NAN), 9.8}, {pose(0.1), 9.9}}),
                                 historyOf({{pose(0.1), 9.8}, {pose(0.1, NAN), 9.9}})})
        EXPECT_FALSE(unsteady.steadyPose(10.0, 0.3, 2, 0.5));
}
