#include "core/OneEuroFilter.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;

TEST(OneEuroFilter, WorkedExampleUsesTheExactSmoothingFactorForm) {
    OneEuroFilter filter(1.2, 1.5, 1.0);
    EXPECT_EQ(filter.filter(0.0, 0.0), 0.0);
    EXPECT_EQ(filter.speed(), 0.0);
    double out = filter.filter(1.0, 0.1);
    EXPECT_NEAR(out, 0.814496, 1e-6);
    EXPECT_NEAR(filter.speed(), 3.858695, 1e-6);
    // Bit-exact: dt / (dt + tau) would give ...087 and ...757 here.
    EXPECT_EQ(out, 0.8144959202892086);
    EXPECT_EQ(filter.speed(), 3.8586954509503752);
}

TEST(OneEuroFilter, RepeatedOrEarlierTimeRestartsAtTheSample) {
    OneEuroFilter same(1.2, 1.5, 1.0);
    same.filter(0.0, 0.0);
    same.filter(1.0, 0.1);
    ASSERT_GT(same.speed(), 0.0);
    EXPECT_EQ(same.filter(5.0, 0.1), 5.0);
    EXPECT_EQ(same.speed(), 0.0);

    OneEuroFilter earlier(1.2, 1.5, 1.0);
    earlier.filter(0.0, 1.0);
    earlier.filter(1.0, 1.1);
    EXPECT_EQ(earlier.filter(-2.0, 0.5), -2.0);
    EXPECT_EQ(earlier.speed(), 0.0);
    // Running again from the restart point: the worked example shifted to start at -2 at t = 0.5.
    EXPECT_NEAR(earlier.filter(-1.0, 0.6), -2.0 + 0.814496, 1e-6);
}

TEST(OneEuroFilter, ConstantInputStaysPutAtAnyRate) {
    OneEuroFilter filter(0.4, 2.0, 1.0);
    double t = 0;
    for (double dt : {0.001, 0.0667, 0.5, 3.0, 0.02}) {
        t += dt;
        EXPECT_EQ(filter.filter(0.37, t), 0.37);
        EXPECT_EQ(filter.speed(), 0.0);
    }
}

TEST(OneEuroFilter, ResetForgetsStateButKeepsParameters) {
    OneEuroFilter filter(1.2, 1.5, 1.0);
    filter.filter(0.0, 0.0);
    filter.filter(1.0, 0.1);
    filter.reset();
    EXPECT_EQ(filter.speed(), 0.0);
    EXPECT_EQ(filter.filter(7.0, 100.0), 7.0);
    filter.reset();
    EXPECT_EQ(filter.filter(3.0, -5.0), 3.0); // even an earlier time after a reset
    EXPECT_EQ(filter.minCutoff, 1.2);
    EXPECT_EQ(filter.beta, 1.5);
    EXPECT_EQ(filter.derivativeCutoff, 1.0);
}

TEST(OneEuroFilter, NaNSampleSticksUntilResetAndNaNTimeRestarts) {
    OneEuroFilter filter(1.2, 1.5, 1.0);
    filter.filter(0.0, 0.0);
    EXPECT_TRUE(std::isnan(filter.filter(NAN, 0.1)));
    EXPECT_TRUE(std::isnan(filter.filter(1.0, 0.2)));
    filter.reset();
    EXPECT_EQ(filter.filter(1.0, 0.3), 1.0);

    EXPECT_EQ(filter.filter(2.0, NAN), 2.0); // NaN time is "not later": a restart, not NaN output
    EXPECT_EQ(filter.filter(4.0, 0.5), 4.0); // nor is any time after a NaN one
    EXPECT_NEAR(filter.filter(5.0, 0.6), 4.814496, 1e-6);
}

TEST(PoseFilter, FirstPoseComesOutExactlyAndFiltersHaveTheirParameters) {
    PoseFilter filter(1.2, 1.5);
    HeadPose pose{0.1, -0.2, 0.3, 0.5, 0.4, 0.2};
    EXPECT_EQ(filter.filter(pose, 1.0), pose);
    EXPECT_EQ(filter.angularSpeed(), 0.0);
    for (const OneEuroFilter* angle : {&filter.yaw, &filter.pitch, &filter.roll}) {
        EXPECT_EQ(angle->minCutoff, 1.2);
        EXPECT_EQ(angle->beta, 1.5);
        EXPECT_EQ(angle->derivativeCutoff, 1.0);
    }
    EXPECT_EQ(filter.faceX.minCutoff, 0.6);
    EXPECT_EQ(filter.faceY.minCutoff, 0.6);
    EXPECT_EQ(filter.faceSize.minCutoff, 0.4);
    for (const OneEuroFilter* face : {&filter.faceX, &filter.faceY, &filter.faceSize}) {
        EXPECT_EQ(face->beta, 2.0);
        EXPECT_EQ(face->derivativeCutoff, 1.0);
    }
}

TEST(PoseFilter, EachFieldGoesThroughItsOwnFilter) {
    PoseFilter filter(1.2, 1.5);
    filter.filter({0, 0, 0, 0, 0, 0}, 0.0);
    HeadPose out = filter.filter({1, 1, 1, 1, 1, 1}, 0.1);
    EXPECT_NEAR(out.yaw, 0.814496, 1e-6);
    EXPECT_EQ(out.pitch, out.yaw);
    EXPECT_EQ(out.roll, out.yaw);
    EXPECT_EQ(out.faceX, out.faceY);
    EXPECT_NE(out.faceX, out.yaw);
    EXPECT_NE(out.faceSize, out.faceX);
}

TEST(PoseFilter, AngularSpeedUsesYawAndPitchOnly) {
    PoseFilter filter(1.2, 1.5);
    filter.filter({0, 0, 0, 0.5, 0.5, 0.2}, 0.0);
    filter.filter({0, 0, 2.0, 0.9, 0.1, 0.6}, 0.1); // roll and face box move fast
    EXPECT_EQ(filter.angularSpeed(), 0.0);

    filter.filter({-1.0, 0, 2.0, 0.9, 0.1, 0.6}, 0.2); // only yaw moves
    EXPECT_GT(filter.angularSpeed(), 0.0);
    EXPECT_DOUBLE_EQ(filter.angularSpeed(), filter.yaw.speed());

    filter.filter({-1.0, 0.5, 2.0, 0.9, 0.1, 0.6}, 0.3); // pitch joins in
    EXPECT_GT(filter.angularSpeed(), filter.yaw.speed());
    EXPECT_GT(filter.angularSpeed(), filter.pitch.speed());

    filter.reset();
    EXPECT_EQ(filter.angularSpeed(), 0.0);
    EXPECT_EQ(filter.filter({9, 9, 9, 9, 9, 9}, 0.0), (HeadPose{9, 9, 9, 9, 9, 9}));
}
