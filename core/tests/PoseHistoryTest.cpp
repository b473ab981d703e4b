#include "core/PoseHistory.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace orvane;

namespace {

HeadPose pose(double yaw, double pitch = 0) {
    return {yaw, pitch, 0.1, 0.5, 0.4, 0.2};
}

PoseHistory historyOf(const std::vector<std::pair<HeadPose, double>>& entries, double span = 2.0) {
    PoseHistory history(span);
    for (const auto& [pose, time] : entries)
        history.append(pose, time);
    return history;
}

std::vector<double> times(const PoseHistory& history) {
    std::vector<double> result;
    for (const auto& entry : history.entries())
        result.push_back(entry.time);
    return result;
}

} // namespace

TEST(PoseHistory, PruningRemovesTheLeadingRunOlderThanTheSpan) {
    struct Case {
        const char* what;
        double span;
        std::vector<double> appended, kept;
    };
    const Case cases[] = {
        {"the entry exactly at the cutoff stays", 2.0, {0, 1, 2}, {0, 1, 2}},
        {"older than the cutoff", 2.0, {0, 1, 2, 2.5}, {1, 2, 2.5}},
        {"an older entry behind a newer one waits", 2.0, {5, 1, 6}, {5, 1, 6}},
        {"and goes with the run in front of it", 2.0, {5, 1, 6, 7.5}, {6, 7.5}},
        {"negative span: nothing qualifies", -1.0, {0, 1}, {0, 1}},
        {"a NaN time prunes nothing", 2.0, {9.9, NAN, 10}, {9.9, NAN, 10}},
        {"and goes with the run in front of it", 2.0, {9.9, NAN, 10, 11.95}, {10, 11.95}},
    };
    for (const auto& c : cases) {
        PoseHistory history(c.span);
        for (double t : c.appended)
            history.append(pose(0), t);
        // Compared as text, where NaN equals NaN.
        EXPECT_EQ(testing::PrintToString(times(history)), testing::PrintToString(c.kept)) << c.what;
    }
    auto emptied = historyOf({{pose(0), 1.0}, {pose(0), 1.1}});
    emptied.removeAll();
    EXPECT_EQ(emptied.size(), 0u);
    EXPECT_EQ(emptied.span(), 2.0);
    EXPECT_FALSE(emptied.steadyPose(1.1, 0.3, 2, 1.0));
    EXPECT_FALSE(emptied.steadyPose(1.1, 0.3, 0, 1.0)); // an empty selection even when none is required
}

TEST(PoseHistory, SteadyPoseAveragesTheWindowWithLateFrameSlack) {
    auto history = historyOf({{pose(0.5), 9.69}, {pose(0.1), 9.7}, {pose(0.2), 10.02}, {pose(0.9), 10.03}});
    EXPECT_EQ(history.steadyPose(10.0, 0.3, 2, 0.5), HeadPose::mean({pose(0.1), pose(0.2)}));
    EXPECT_FALSE(history.steadyPose(10.0, 0.3, 3, 10.0));

    auto single = historyOf({{pose(0.1), 9.9}});
    EXPECT_FALSE(single.steadyPose(10.0, 0.3, 2, 1.0));
    EXPECT_EQ(single.steadyPose(10.0, 0.3, 1, 1.0), pose(0.1));

    // A NaN time is never selected.
    EXPECT_EQ(historyOf({{pose(0), 9.9}, {pose(1), NAN}, {pose(0), 10.0}}).steadyPose(10.0, 0.3, 2, 0.5),
              pose(0));
}

TEST(PoseHistory, SpreadLimitIsInclusiveChecksYawAndPitchOnlyAndNaNIsNeverSteady) {
    // Roll and the face box move a lot; the yaw range equals the limit.
    auto steady =
        historyOf({{{0.25, 0.0, -1.0, 0.0, 0.0, 0.1}, 9.8}, {{0.75, 0.5, 1.0, 1.0, 1.0, 0.9}, 9.9}});
    EXPECT_EQ(steady.steadyPose(10.0, 0.3, 2, 0.5), (HeadPose{0.5, 0.25, 0.0, 0.5, 0.5, 0.5}));

    for (const auto& unsteady : {historyOf({{pose(0, 0.25), 9.8}, {pose(0, std::nextafter(0.75, 1.0)), 9.9}}),
                                 historyOf({{pose(NAN), 9.8}, {pose(0.1), 9.9}}),
                                 historyOf({{pose(0.1), 9.8}, {pose(0.1, NAN), 9.9}})})
        EXPECT_FALSE(unsteady.steadyPose(10.0, 0.3, 2, 0.5));

    auto roll = historyOf({{{0.1, 0, NAN, 0, 0, 0.2}, 9.9}}).steadyPose(10.0, 0.3, 1, 1.0);
    ASSERT_TRUE(roll);
    EXPECT_TRUE(std::isnan(roll->roll)); // propagates
}
