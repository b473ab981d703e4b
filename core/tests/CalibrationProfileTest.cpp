#include "core/CalibrationProfile.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace std::chrono_literals;

namespace {

const WallTime base = WallTime{} + 1741944413s;

LabeledSample click(const std::string& screen, std::chrono::seconds offset, double yaw = 0) {
    return {HeadPose{yaw, 0, 0, 0.5, 0.5, 0.2}, screen, LabeledSample::Source::click, base + offset};
}

} // namespace

TEST(CalibrationProfile, ConstructionScreenIDsAndAllSamples) {
    LabeledSample calibration{HeadPose{}, "B", LabeledSample::Source::calibration, base};
    CalibrationProfile profile({{"B", "Right"}, {"A", "Left"}}, "cam", base, {calibration}, {});
    EXPECT_EQ(profile.version, 1);
    EXPECT_EQ(profile.screenIDs(), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(profile.allSamples(), profile.calibrationSamples);
    profile.clickSamples = {click("A", 2s), click("B", 1s)};
    EXPECT_EQ(profile.allSamples(), (std::vector{calibration, click("A", 2s), click("B", 1s)}));
}

TEST(CalibrationProfile, AddClickDropsTheFirstStoredOldestClickOfThatScreenOnly) {
    const auto a1 = click("A", 5s, 1), a2 = click("A", 2s, 2), a3 = click("A", 2s, 3), a4 = click("A", 9s, 4);
    const auto b = click("B", 1s); // older than every click of A, and never touched by them
    struct Case {
        const char* what;
        std::vector<LabeledSample> before;
        LabeledSample added;
        int limit;
        std::vector<LabeledSample> after;
    };
    const Case cases[] = {
        {"within the limit", {a1, b}, a4, 2, {a1, b, a4}},
        {"equal earliest times: the first stored goes", {a1, a2, b, a3}, a4, 3, {a1, b, a3, a4}},
        {"above a lowered limit: one per call", {a1, a2, b, a3}, a4, 1, {a1, b, a3, a4}},
        {"the new click itself when it is the oldest", {a1, a4}, click("A", 1s), 2, {a1, a4}},
        {"only one of identical clicks", {a2, a2}, a4, 2, {a2, a4}},
    };
    for (const auto& c : cases) {
        CalibrationProfile profile;
        profile.clickSamples = c.before;
        profile.addClick(c.added, c.limit);
        EXPECT_EQ(profile.clickSamples, c.after) << c.what;
    }
}

TEST(CalibrationProfile, KeyIsTheSortedIDsJoinedByPlus) {
    EXPECT_EQ(CalibrationProfile::key({"b", "a"}), "a+b");
    EXPECT_EQ(CalibrationProfile::key({"a", "b"}), "a+b");
    EXPECT_EQ(CalibrationProfile::key({}), "");
    EXPECT_EQ(CalibrationProfile::key({"only"}), "only");
    // Byte order: upper case before lower case, and non-ASCII (as UTF-8) after both.
    EXPECT_EQ(CalibrationProfile::key({"\xc3\xa9", "z", "Z"}), "Z+z+\xc3\xa9");
}
