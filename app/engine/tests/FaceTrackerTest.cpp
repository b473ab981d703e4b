#include "engine/FaceTracker.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

using namespace orvane;
using orvane::test::FakeFaceDetector;

namespace {

DetectedFace face(double x, double y, double width) {
    return FakeFaceDetector::face(x, y, width);
}

struct FaceTrackerTest : ::testing::Test {
    FakeFaceDetector detector;
    FaceTracker tracker{detector};

    std::optional<FaceTracker::Observation> see(std::vector<DetectedFace> faces) {
        detector.show(std::move(faces));
        return tracker.process(FrameView{640, 360});
    }
};

} // namespace

TEST_F(FaceTrackerTest, BuildsThePoseFromTheBoxAndAngles) {
    auto observation = see({FakeFaceDetector::face(0.3, 0.8, 0.2, 0.1, -0.2, 0.05)});
    ASSERT_TRUE(observation);
    // faceY is measured from the top of the image; the detector's y grows upwards.
    EXPECT_EQ(*observation, (FaceTracker::Observation{{0.1, -0.2, 0.05, 0.3, 1 - 0.8, 0.2}, 0.9}));
    EXPECT_EQ(tracker.lastCenter(), (Point{0.3, 0.8}));
    EXPECT_EQ(see({FakeFaceDetector::face(0.5, 0.5, 0.2, 0.1, 0.1, std::nullopt)})->pose.roll, 0.0);
}

TEST_F(FaceTrackerTest, PicksTheWidestUsableFacePlusANearnessBonusToTheLastCentre) {
    const std::tuple<const char*, bool, std::vector<DetectedFace>, std::optional<double>> cases[] = {
        // name, a face at (0.5, 0.5) the frame before, the faces, the chosen one's x
        {"widest", false, {face(0.2, 0.5, 0.20), face(0.8, 0.5, 0.25)}, 0.8},
        {"a tie goes to the first", false, {face(0.2, 0.5, 0.20), face(0.8, 0.5, 0.20)}, 0.2},
        {"the minimum width counts", false, {face(0.5, 0.5, 0.08)}, 0.5},
        {"too narrow", false, {face(0.5, 0.5, 0.07)}, std::nullopt},
        {"too narrow however near", true, {face(0.5, 0.5, 0.07), face(0.9, 0.5, 0.1)}, 0.9},
        {"0.20 + 0.15 beats 0.30", true, {face(0.9, 0.5, 0.30), face(0.5, 0.5, 0.20)}, 0.5},
        {"but not 0.40", true, {face(0.5, 0.5, 0.20), face(0.8, 0.5, 0.40)}, 0.8},
        {"the bonus shrinks with distance", true, {face(0.6, 0.5, 0.20), face(0.9, 0.5, 0.30)}, 0.9},
        // Straight-line distance on normalised coordinates: rescaled to the aspect, the bonus would lose.
        {"x is not rescaled", true, {face(0.53, 0.54, 0.20), face(0.9, 0.5, 0.29)}, 0.53},
    };
    for (const auto& [name, seenBefore, faces, chosenX] : cases) {
        SCOPED_TRACE(name);
        tracker.forget();
        if (seenBefore) see({face(0.5, 0.5, 0.2)});
        auto observation = see(faces);
        EXPECT_EQ(observation ? std::optional(observation->pose.faceX) : std::nullopt, chosenX);
    }
}
