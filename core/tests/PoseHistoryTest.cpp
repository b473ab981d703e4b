#include "core/PoseHistory.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace orvane;

namespace {

HeadPose pose(double yaw, double pitch = 0) {
    return {yaw, pitch, 0.1, 0.5, 0.4, 0.2};
}

std::vector<double> times(const PoseHistory& history) {
    std::vector<double> result;
    for (const auto& entry : history.entries())
        result.push_back(entry.time);
    return result;
}

constexpr double fourDegrees = 0.06981317007977318;

} // namespace

TEST(PoseHistory, PruningKeepsTheEntryExactlyAtTheCutoff) {
    PoseHistory history(2.0);
    history.append(pose(0), 0.0);
    history.append(pose(0), 1.0);
    history.append(pose(0), 2.0);
    EXPECT_EQ(times(history), (std::vector<double>{0.0, 1.0, 2.0}));
    history.append(pose(0), 2.5);
    EXPECT_EQ(times(history), (std::vector<double>{1.0, 2.0, 2.5}));
    history.append(pose(0), 10.0);
    EXPECT_EQ(times(history), (std::vector<double>{10.0}));
}

TEST(PoseHistory, PruningStopsAtTheFirstEntryInsideTheSpan) {
    PoseHistory history(2.0);
    history.append(pose(0), 5.0);
    history.append(pose(0), 1.0); // out of order: stays behind the newer entry
    history.append(pose(0), 6.0);
    EXPECT_EQ(times(history), (std::vector<double>{5.0, 1.0, 6.0}));
    history.append(pose(0), 7.5);
    EXPECT_EQ(times(history), (std::vector<double>{6.0, 7.5}));
}

TEST(PoseHistory, NegativeSpanRemovesNothing) {
    PoseHistory history(-1.0);
    history.append(pose(0), 0.0);
    history.append(pose(0), 1.0);
    EXPECT_EQ(history.size(), 2u);
}

TEST(PoseHistory, RemoveAllEmptiesAndKeepsTheSpan) {
    PoseHistory history(2.0);
    history.append(pose(0), 1.0);
    history.append(pose(0), 1.1);
    history.removeAll();
    EXPECT_EQ(history.size(), 0u);
    EXPECT_EQ(history.span(), 2.0);
    EXPECT_FALSE(history.steadyPose(1.1, 0.3, 2, fourDegrees));
    EXPECT_FALSE(history.steadyPose(1.1, 0.3, 0, fourDegrees)); // empty selection even when none are required
}

TEST(PoseHistory, WindowBoundsAndLateFrameSlack) {
    PoseHistory history(2.0);
    history.append(pose(0.5), 9.69);
    history.append(pose(0.1), 9.7);
    history.append(pose(0.2), 10.02);
    history.append(pose(0.9), 10.03);
    auto steady = history.steadyPose(10.0, 0.3, 2, 0.5);
    ASSERT_TRUE(steady);
    EXPECT_EQ(*steady, HeadPose::mean({pose(0.1), pose(0.2)})); // only 9.7 and 10.02 are inside
    EXPECT_FALSE(history.steadyPose(10.0, 0.3, 3, 10.0));
}

TEST(PoseHistory, OneStillEntryIsNotEnough) {
    PoseHistory history(2.0);
    history.append(pose(0.1), 9.9);
    EXPECT_FALSE(history.steadyPose(10.0, 0.3, 2, fourDegrees));
    auto single = history.steadyPose(10.0, 0.3, 1, fourDegrees);
    ASSERT_TRUE(single);
    EXPECT_EQ(*single, pose(0.1));
}

TEST(PoseHistory, SpreadLimitIsInclusiveAndChecksYawAndPitchOnly) {
    PoseHistory history(2.0);
    history.append({0.25, 0.0, -1.0, 0.0, 0.0, 0.1}, 9.8);
    history.append({0.75, 0.5, 1.0, 1.0, 1.0, 0.9}, 9.9); // roll and face box move a lot
    auto steady = history.steadyPose(10.0, 0.3, 2, 0.5);
    ASSERT_TRUE(steady);
    EXPECT_EQ(*steady, (HeadPose{0.5, 0.25, 0.0, 0.5, 0.5, 0.5}));

    PoseHistory pitching(2.0);
    pitching.append(pose(0, 0.25), 9.8);
    pitching.append(pose(0, std::nextafter(0.75, 1.0)), 9.9);
    EXPECT_FALSE(pitching.steadyPose(10.0, 0.3, 2, 0.5));
}

TEST(PoseHistory, NaNYawOrPitchIsNeverSteadyButNaNRollPropagates) {
    PoseHistory yawFirst(2.0);
    yawFirst.append(pose(NAN), 9.8);
    yawFirst.append(pose(0.1), 9.9);
    EXPECT_FALSE(yawFirst.steadyPose(10.0, 0.3, 2, 1.0));

    PoseHistory pitchLast(2.0);
    pitchLast.append(pose(0.1), 9.8);
    pitchLast.append(pose(0.1, NAN), 9.9);
    EXPECT_FALSE(pitchLast.steadyPose(10.0, 0.3, 2, 1.0));

    PoseHistory roll(2.0);
    roll.append({0.1, 0, NAN, 0, 0, 0.2}, 9.9);
    auto steady = roll.steadyPose(10.0, 0.3, 1, 1.0);
    ASSERT_TRUE(steady);
    EXPECT_TRUE(std::isnan(steady->roll));
}

TEST(PoseHistory, NaNTimeIsNeverSelectedAndGoesWithTheLeadingRun) {
    PoseHistory history(2.0);
    history.append(pose(0), 9.9);
    history.append(pose(0), NAN); // cutoff NaN: nothing pruned
    history.append(pose(0), 10.0);
    EXPECT_EQ(history.size(), 3u);
    auto steady = history.steadyPose(10.0, 0.3, 2, 1.0);
    ASSERT_TRUE(steady);
    EXPECT_EQ(*steady, pose(0));
    history.append(pose(0), 11.95);
    EXPECT_EQ(times(history), (std::vector<double>{10.0, 11.95}));
}
