#include "core/HeadPose.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;

TEST(HeadPose, FeaturesSkipRollAndFloorTheFaceSizeBeforeTheLog) {
    EXPECT_EQ((HeadPose{0.1, -0.2, 0.3, 0.5, 0.4, 0.2}.features()),
              (HeadPose::Features{0.1, -0.2, 0.5, 0.4, std::log(0.2)}));
    for (double size : {0.0, -1.0, 0.0005, 0.001})
        EXPECT_DOUBLE_EQ(HeadPose({0, 0, 0, 0, 0, size}).features()[4], -6.907755278982137) << size;
    EXPECT_EQ(HeadPose({0, 0, 0, 0, 0, 1.0}).features()[4], 0.0);
    // A NaN size stays NaN rather than being floored into a plausible value.
    auto broken = HeadPose{NAN, 0, 0, 0, 0, NAN}.features();
    EXPECT_TRUE(std::isnan(broken[0]) && std::isnan(broken[4]));
}

TEST(HeadPose, MeanAndAngleConversions) {
    EXPECT_FALSE(HeadPose::mean({}));
    HeadPose a{0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    EXPECT_EQ(HeadPose::mean({a}), a);
    EXPECT_EQ(HeadPose::mean({{0, 0, 0, 0, 0, 0.1}, {1, 2, 3, 4, 5, 0.3}}),
              (HeadPose{0.5, 1, 1.5, 2, 2.5, 0.2}));
    EXPECT_EQ(radians(180.0), 3.141592653589793);
    EXPECT_EQ(degrees(3.141592653589793), 180.0);
}

TEST(HeadPose, JsonKeepsEveryBitAndNamesTheFirstBadKey) {
    HeadPose pose{0.1 + 0.2, -1e-300, 3.0, 1.0 / 3.0, 0.7, 0.21};
    std::string text = json::dump(toJson(pose));
    EXPECT_EQ(text.find("\"yaw\""), 1u);
    EXPECT_LT(text.find("\"roll\""), text.find("\"faceSize\""));
    EXPECT_EQ(decodeHeadPose(text).value, pose);

    for (auto [bad, key] :
         {std::pair{R"({"yaw":0,"pitch":0,"faceX":0,"faceY":0,"faceSize":0.2})", "roll"},
          {R"({"yaw":"0","pitch":0,"roll":0,"faceX":0,"faceY":0,"faceSize":0.2})", "yaw"}}) {
        auto result = decodeHeadPose(bad);
        ASSERT_FALSE(result) << bad;
        EXPECT_NE(result.error.find(key), std::string::npos) << result.error;
    }
    auto extra = decodeHeadPose(R"({"yaw":1,"pitch":0,"roll":0,"faceX":0,"faceY":0,"faceSize":2,"x":[]})");
    EXPECT_EQ(extra.value, (HeadPose{1, 0, 0, 0, 0, 2})) << extra.error;

    EXPECT_THROW(toJson(HeadPose{0, NAN, 0, 0, 0, 0}), JsonError);
    EXPECT_THROW(toJson(HeadPose{0, 0, 0, 0, 0, INFINITY}), JsonError);
}
