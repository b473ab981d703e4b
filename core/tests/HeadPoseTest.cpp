#include "core/HeadPose.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace orvane;

TEST(HeadPose, FeaturesSkipRollAndTakeTheLogOfTheFaceSize) {
    HeadPose pose{0.1, -0.2, 0.3, 0.5, 0.4, 0.2};
    auto f = pose.features();
    EXPECT_EQ(f, (HeadPose::Features{0.1, -0.2, 0.5, 0.4, std::log(0.2)}));
}

TEST(HeadPose, TinyZeroAndNegativeFaceSizesAreFloored) {
    for (double size : {0.0, -1.0, 0.0005, 0.001})
        EXPECT_DOUBLE_EQ(HeadPose({0, 0, 0, 0, 0, size}).features()[4], -6.907755278982137) << size;
    EXPECT_EQ(HeadPose({0, 0, 0, 0, 0, 1.0}).features()[4], 0.0);
}

TEST(HeadPose, NaNPropagatesThroughFeatures) {
    HeadPose pose{NAN, 0, 0, 0, 0, NAN};
    auto f = pose.features();
    EXPECT_TRUE(std::isnan(f[0]));
    EXPECT_TRUE(std::isnan(f[4])); // max(NaN, 0.001) keeps NaN, so a broken size is not hidden
}

TEST(HeadPose, MeanAveragesEveryFieldLinearly) {
    EXPECT_FALSE(HeadPose::mean({}).has_value());
    HeadPose a{0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    EXPECT_EQ(HeadPose::mean({a}), a);
    auto m = HeadPose::mean({{0, 0, 0, 0, 0, 0.1}, {1, 2, 3, 4, 5, 0.3}});
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, (HeadPose{0.5, 1, 1.5, 2, 2.5, 0.2}));
}

TEST(HeadPose, AngleConversions) {
    EXPECT_EQ(radians(180.0), 3.141592653589793);
    EXPECT_EQ(degrees(3.141592653589793), 180.0);
    EXPECT_EQ(radians(4.0), 0.06981317007977318);
}

TEST(HeadPose, JsonRoundTripKeepsEveryBitAndFieldOrder) {
    HeadPose pose{0.1 + 0.2, -1e-300, 3.0, 1.0 / 3.0, 0.7, 0.21};
    std::string text = json::dump(toJson(pose));
    EXPECT_EQ(text.find("\"yaw\""), 1u);
    EXPECT_LT(text.find("\"roll\""), text.find("\"faceSize\""));
    auto back = decodeHeadPose(text);
    ASSERT_TRUE(back) << back.error;
    EXPECT_EQ(*back.value, pose);
}

TEST(HeadPose, DecodingNamesTheFirstBadKey) {
    auto missingRoll = decodeHeadPose(R"({"yaw":0,"pitch":0,"faceX":0,"faceY":0,"faceSize":0.2})");
    ASSERT_FALSE(missingRoll);
    EXPECT_NE(missingRoll.error.find("roll"), std::string::npos) << missingRoll.error;
    auto text = decodeHeadPose(R"({"yaw":"0","pitch":0,"roll":0,"faceX":0,"faceY":0,"faceSize":0.2})");
    ASSERT_FALSE(text);
    EXPECT_NE(text.error.find("yaw"), std::string::npos) << text.error;
    auto extra = decodeHeadPose(R"({"yaw":1,"pitch":0,"roll":0,"faceX":0,"faceY":0,"faceSize":2,"x":[]})");
    ASSERT_TRUE(extra) << extra.error;
    EXPECT_EQ(extra.value->faceSize, 2.0);
}

TEST(HeadPose, NonFiniteNumbersCannotBeWritten) {
    EXPECT_THROW(toJson(HeadPose{0, NAN, 0, 0, 0, 0}), JsonError);
    EXPECT_THROW(toJson(HeadPose{0, 0, 0, 0, 0, INFINITY}), JsonError);
}
