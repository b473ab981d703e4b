#include "engine/FaceTracker.h"

#include "FakePlatform.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;
using orvane::test::FakeFaceDetector;

namespace {

struct FaceTrackerTest : ::testing::Test {
    FakeFaceDetector detector;
    FaceTracker tracker{detector};
    FrameView frame{640, 360};

    std::optional<FaceTracker::Observation> see(std::vector<DetectedFace> faces) {
        detector.faces = std::move(faces);
        return tracker.process(frame);
    }
    // The chosen face's centre x, as the observation reports it (to a thousandth).
    std::optional<double> chosenX(std::vector<DetectedFace> faces) {
        auto observation = see(std::move(faces));
        if (!observation) return std::nullopt;
        return std::round(observation->pose.faceX * 1000) / 1000;
    }
};

} // namespace

TEST_F(FaceTrackerTest, BuildsThePoseFromTheBoxAndAngles) {
    auto observation = see({FakeFaceDetector::face(0.3, 0.8, 0.2, 0.1, -0.2, 0.05, 0.75)});
    ASSERT_TRUE(observation);
    EXPECT_EQ(observation->pose.yaw, 0.1);
    EXPECT_EQ(observation->pose.pitch, -0.2);
    EXPECT_EQ(observation->pose.roll, 0.05);
    EXPECT_DOUBLE_EQ(observation->pose.faceX, 0.3);
    EXPECT_DOUBLE_EQ(observation->pose.faceY, 0.2); // measured from the top of the image
    EXPECT_EQ(observation->pose.faceSize, 0.2);
    EXPECT_EQ(observation->confidence, 0.75);
    ASSERT_TRUE(tracker.lastCenter());
    EXPECT_DOUBLE_EQ(tracker.lastCenter()->y, 0.8); // kept in detector coordinates
    EXPECT_EQ(detector.lastFrame.width, 640);
}

TEST_F(FaceTrackerTest, FacesNarrowerThanTheMinimumAreIgnored) {
    EXPECT_EQ(tracker.minimumFaceSize, 0.08);
    ASSERT_TRUE(see({FakeFaceDetector::face(0.5, 0.5, 0.08)}));
    EXPECT_TRUE(tracker.lastCenter());

    EXPECT_FALSE(see({FakeFaceDetector::face(0.5, 0.5, 0.07)}));
    EXPECT_FALSE(tracker.lastCenter());

    // A small face beside a usable one is not a candidate, however near the last centre.
    see({FakeFaceDetector::face(0.5, 0.5, 0.2)});
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.5, 0.5, 0.07), FakeFaceDetector::face(0.9, 0.5, 0.1)}), 0.9);
}

TEST_F(FaceTrackerTest, WithoutAPreviousCentreTheWidestFaceWinsAndTiesGoToTheFirst) {
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.2, 0.5, 0.20), FakeFaceDetector::face(0.8, 0.5, 0.25)}), 0.8);
    tracker.forget();
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.2, 0.5, 0.20), FakeFaceDetector::face(0.8, 0.5, 0.20)}), 0.2);
}

TEST_F(FaceTrackerTest, TheFaceNearTheLastCentreKeepsItsPlaceAgainstASomewhatLargerNewcomer) {
    auto settle = [&] { ASSERT_TRUE(see({FakeFaceDetector::face(0.5, 0.5, 0.2)})); };
    settle();
    // 0.20 + 0.15 = 0.35 beats 0.30 + 0
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.9, 0.5, 0.30), FakeFaceDetector::face(0.5, 0.5, 0.20)}), 0.5);
    settle();
    // ... but not 0.40 + 0
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.5, 0.5, 0.20), FakeFaceDetector::face(0.9, 0.5, 0.40)}), 0.9);
    settle();
    // The bonus shrinks with distance: 0.20 + (0.15 - 0.10) = 0.25 loses to 0.30 + 0 ...
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.6, 0.5, 0.20), FakeFaceDetector::face(0.9, 0.5, 0.30)}), 0.9);
    settle();
    // ... and the distance is straight-line on the normalised coordinates, x not rescaled to the
    // image's aspect: 0.20 + (0.15 - 0.05) = 0.30 beats 0.29 (rescaled, the bonus would lose).
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.53, 0.54, 0.20), FakeFaceDetector::face(0.9, 0.5, 0.29)}),
              0.53);
}

TEST_F(FaceTrackerTest, MissingAnglesAndFailedDetections) {
    see({FakeFaceDetector::face(0.5, 0.5, 0.2)});
    EXPECT_FALSE(see({FakeFaceDetector::face(0.5, 0.5, 0.2, 0.1, std::nullopt)})) << "no pitch";
    EXPECT_FALSE(tracker.lastCenter());

    see({FakeFaceDetector::face(0.5, 0.5, 0.2)});
    EXPECT_FALSE(see({FakeFaceDetector::face(0.5, 0.5, 0.2, std::nullopt, 0.1)})) << "no yaw";
    EXPECT_FALSE(tracker.lastCenter());

    auto observation = see({FakeFaceDetector::face(0.5, 0.5, 0.2, 0.1, 0.1, std::nullopt)});
    ASSERT_TRUE(observation);
    EXPECT_EQ(observation->pose.roll, 0.0);

    // A failed detection leaves the last centre, so the next choice still favours that place.
    detector.faces.reset();
    EXPECT_FALSE(tracker.process(frame));
    ASSERT_TRUE(tracker.lastCenter());
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.9, 0.5, 0.30), FakeFaceDetector::face(0.5, 0.5, 0.20)}), 0.5);

    // No face at all clears it.
    EXPECT_FALSE(see({}));
    EXPECT_FALSE(tracker.lastCenter());
}

TEST_F(FaceTrackerTest, ForgetClearsTheCentreAndResetsTheDetector) {
    see({FakeFaceDetector::face(0.5, 0.5, 0.2)});
    tracker.forget();
    EXPECT_FALSE(tracker.lastCenter());
    EXPECT_EQ(detector.resetCalls, 1);
    EXPECT_EQ(chosenX({FakeFaceDetector::face(0.5, 0.5, 0.20), FakeFaceDetector::face(0.9, 0.5, 0.30)}), 0.9);
}
