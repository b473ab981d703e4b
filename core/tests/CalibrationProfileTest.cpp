#include "core/CalibrationProfile.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace orvane;
using namespace std::chrono_literals;

namespace {

const WallTime base = WallTime{} + 1741944413s;

LabeledSample click(const std::string& screen, std::chrono::milliseconds offset, double yaw = 0) {
    return {HeadPose{yaw, 0, 0, 0.5, 0.5, 0.2}, screen, LabeledSample::Source::click, base + offset};
}

std::size_t countOf(const CalibrationProfile& profile, const std::string& screen) {
    return std::count_if(profile.clickSamples.begin(), profile.clickSamples.end(),
                         [&](const LabeledSample& s) { return s.screenID == screen; });
}

// Clicks of screen A (times 1..count seconds, the oldest at index `oldestAt`) interleaved with clicks of B.
CalibrationProfile profileWithClicksOfA(int count, int oldestAt) {
    CalibrationProfile profile;
    for (int i = 0; i < count; ++i) {
        auto offset = i == oldestAt ? std::chrono::milliseconds(500) : std::chrono::seconds(i + 1);
        profile.clickSamples.push_back(click("A", offset, i));
        if (i % 50 == 0) profile.clickSamples.push_back(click("B", -10s, i));
    }
    return profile;
}

} // namespace

TEST(CalibrationProfile, ConstructionSetsTheCurrentVersionAndListsScreensInDisplayOrder) {
    CalibrationProfile profile({{"B", "Right"}, {"A", "Left"}}, "cam", base, {}, {});
    EXPECT_EQ(profile.version, CalibrationProfile::currentVersion);
    EXPECT_EQ(profile.version, 1);
    EXPECT_EQ(profile.screenIDs(), (std::vector<std::string>{"B", "A"}));
}

TEST(CalibrationProfile, AllSamplesPutsCalibrationBeforeClicks) {
    LabeledSample calibration{HeadPose{}, "A", LabeledSample::Source::calibration, base};
    CalibrationProfile profile({{"A", ""}}, "cam", base, {calibration, calibration}, {});
    EXPECT_EQ(profile.allSamples(), profile.calibrationSamples);

    profile.clickSamples = {click("A", 1s), click("A", 2s)};
    auto all = profile.allSamples();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], calibration);
    EXPECT_EQ(all[2], click("A", 1s));
    EXPECT_EQ(all[3], click("A", 2s));
}

TEST(CalibrationProfile, AddClickAtTheLimitDropsTheOldestOfThatScreenOnly) {
    auto profile = profileWithClicksOfA(300, 120);
    auto before = profile.clickSamples;
    LabeledSample removed = click("A", 500ms, 120);

    profile.addClick(click("A", 400s), 300);

    EXPECT_EQ(countOf(profile, "A"), 300u);
    EXPECT_EQ(std::count(profile.clickSamples.begin(), profile.clickSamples.end(), removed), 0);
    EXPECT_EQ(profile.clickSamples.back(), click("A", 400s));
    // Everything else, B's clicks included, keeps its order.
    before.erase(std::find(before.begin(), before.end(), removed));
    before.push_back(click("A", 400s));
    EXPECT_EQ(profile.clickSamples, before);
}

TEST(CalibrationProfile, AddClickBelowTheLimitRemovesNothing) {
    auto profile = profileWithClicksOfA(299, 0);
    auto before = profile.clickSamples;
    profile.addClick(click("A", 400s), 300);
    before.push_back(click("A", 400s));
    EXPECT_EQ(profile.clickSamples, before);
}

TEST(CalibrationProfile, AddClickRemovesTheFirstStoredOfEqualEarliestTimes) {
    CalibrationProfile profile;
    profile.clickSamples = {click("A", 5s, 1), click("A", 2s, 2), click("A", 2s, 3)};
    profile.addClick(click("A", 9s, 4), 3);
    EXPECT_EQ(profile.clickSamples, (std::vector{click("A", 5s, 1), click("A", 2s, 3), click("A", 9s, 4)}));
}

TEST(CalibrationProfile, AddClickMayDropTheNewSampleWhenItIsTheOldest) {
    CalibrationProfile profile;
    profile.clickSamples = {click("A", 5s), click("A", 6s)};
    profile.addClick(click("A", 1s), 2);
    EXPECT_EQ(profile.clickSamples, (std::vector{click("A", 5s), click("A", 6s)}));
}

TEST(CalibrationProfile, AddClickRemovesOnlyOneOfIdenticalSamples) {
    CalibrationProfile profile;
    profile.clickSamples = {click("A", 1s), click("A", 1s)};
    profile.addClick(click("A", 2s), 1);
    EXPECT_EQ(profile.clickSamples, (std::vector{click("A", 1s), click("A", 2s)}));
}

TEST(CalibrationProfile, AfterTheLimitIsLoweredEachClickRemovesOneSample) {
    auto profile = profileWithClicksOfA(300, 0);
    profile.addClick(click("A", 400s), 100);
    EXPECT_EQ(countOf(profile, "A"), 300u);
    profile.addClick(click("A", 401s), 100);
    EXPECT_EQ(countOf(profile, "A"), 300u);
    EXPECT_EQ(countOf(profile, "B"), 6u);
}

TEST(CalibrationProfile, KeyIsTheSortedIDsJoinedByPlus) {
    EXPECT_EQ(CalibrationProfile::key({"b", "a"}), "a+b");
    EXPECT_EQ(CalibrationProfile::key({"a", "b"}), "a+b");
    EXPECT_EQ(CalibrationProfile::key({}), "");
    EXPECT_EQ(CalibrationProfile::key({"only"}), "only");
    EXPECT_EQ(CalibrationProfile::key({"", "x"}), "+x");
    // Byte order: upper case before lower case, and non-ASCII (as UTF-8) after both.
    EXPECT_EQ(CalibrationProfile::key({"\xc3\xa9", "z", "Z"}), "Z+z+\xc3\xa9");
}

TEST(CalibrationProfile, CopiesAreIndependent) {
    CalibrationProfile profile({{"A", "Left"}}, "cam", base, {}, {click("A", 1s)});
    CalibrationProfile copy = profile;
    copy.addClick(click("A", 2s), 300);
    copy.displays[0].name = "Changed";
    EXPECT_EQ(profile.clickSamples.size(), 1u);
    EXPECT_EQ(profile.displays[0].name, "Left");
    EXPECT_NE(copy, profile);
}
