#include "core/OneEuroFilter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <tuple>

using namespace orvane;

TEST(OneEuroFilter, WorkedExampleUsesTheExactSmoothingFactorForm) {
    OneEuroFilter filter(1.2, 1.5, 1.0);
    EXPECT_EQ(filter.filter(0.0, 0.0), 0.0);
    EXPECT_EQ(filter.speed(), 0.0);
    // 0.814496 and 3.858695; dt / (dt + tau) would round to ...087 and ...757 instead.
    EXPECT_EQ(filter.filter(1.0, 0.1), 0.8144959202892086);
    EXPECT_EQ(filter.speed(), 3.8586954509503752);
}

TEST(OneEuroFilter, RepeatedOrEarlierTimesAndResetsRestartAtTheSample) {
    for (double restart : {0.1, 0.05, -5.0}) {
        OneEuroFilter filter(1.2, 1.5, 1.0);
        filter.filter(0.0, 0.0);
        filter.filter(1.0, 0.1);
        if (restart < 0) filter.reset(); // then even an earlier time is fine
        EXPECT_EQ(filter.filter(5.0, restart), 5.0) << restart;
        EXPECT_EQ(filter.speed(), 0.0) << restart;
        // Running on gives the worked example again, shifted.
        EXPECT_NEAR(filter.filter(6.0, restart + 0.1), 5.814496, 1e-6) << restart;
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

TEST(PoseFilter, EachFieldGoesThroughItsOwnFilter) {
    PoseFilter filter(1.2, 1.5);
    const HeadPose first{0.1, -0.2, 0.3, 0.5, 0.4, 0.2}, second{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(filter.filter(first, 1.0), first);
    EXPECT_EQ(filter.angularSpeed(), 0.0);
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
}

TEST(PoseFilter, AngularSpeedUsesYawAndPitchOnly) {
    PoseFilter filter(1.2, 1.5);
    filter.filter({0, 0, 0, 0.5, 0.5, 0.2}, 0.0);
    filter.filter({0, 0, 2.0, 0.9, 0.1, 0.6}, 0.1); // roll and face box move fast
    EXPECT_EQ(filter.angularSpeed(), 0.0);
    filter.filter({-1.0, 0, 2.0, 0.9, 0.1, 0.6}, 0.2);
    EXPECT_DOUBLE_EQ(filter.angularSpeed(), filter.yaw.speed());
    filter.filter({-1.0, 0.5, 2.0, 0.9, 0.1, 0.6}, 0.3);
    EXPECT_DOUBLE_EQ(filter.angularSpeed(), std::hypot(filter.yaw.speed(), filter.pitch.speed()));
    filter.reset();
    EXPECT_EQ(filter.angularSpeed(), 0.0);
    EXPECT_EQ(filter.filter({9, 9, 9, 9, 9, 9}, 0.0), (HeadPose{9, 9, 9, 9, 9, 9}));
}
