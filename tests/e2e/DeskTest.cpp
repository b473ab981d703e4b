#include "simulated-user/Desk.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane::simulated;

namespace {

double degrees(double radians) {
    return radians * 180 / M_PI;
}

// The test desktop's layouts.
const std::vector<Monitor> sideBySide = {{"LEFT", {0, 0, 1920, 1080}, {508, 286}},
                                         {"RIGHT", {1920, 0, 1920, 1080}, {508, 286}}};
const std::vector<Monitor> stacked = {{"TOP", {0, 0, 1920, 1080}, {508, 286}},
                                      {"BOTTOM", {0, 1080, 1920, 1080}, {508, 286}}};
const std::vector<Monitor> mixed = {{"LEFT", {0, 0, 1920, 1200}, {518, 324}},
                                    {"RIGHT", {1920, 400, 1280, 800}, {286, 179}}};

HeadTurn lookingAtMiddle(const Desk& desk, const std::string& name) {
    const Monitor& m = *desk.monitor(name);
    return desk.lookingAt({m.pixels.x + m.pixels.width / 2, m.pixels.y + m.pixels.height / 2});
}

} // namespace

// Side by side, the middles of the monitors lie 254 mm to either side of the camera, 650 mm away: a gaze
// of 21.3 degrees, of which the head turns most; to the left monitor is to the user's left
// (yaw > 0). Looking down from eyes level with the upper third reads pitch < 0 (more so to a tilted
// camera).
TEST(DeskTest, SideBySideMonitorsLieToEitherSide) {
    const Desk desk(sideBySide);
    const HeadTurn left = lookingAtMiddle(desk, "LEFT"), right = lookingAtMiddle(desk, "RIGHT");
    EXPECT_NEAR(degrees(left.yaw), Desk::yawShare * degrees(std::atan2(254, 650)), 0.5);
    EXPECT_NEAR(left.yaw, -right.yaw, 1e-9);
    EXPECT_NEAR(left.pitch, right.pitch, 1e-9);
    EXPECT_LT(degrees(left.pitch), -5);
    EXPECT_GT(degrees(left.pitch), -15);
    // Across one monitor from its left edge to its right edge the head turns steadily to the user's right.
    double previous = 1;
    for (double x = 0; x <= 3840; x += 480) {
        const double yaw = desk.lookingAt({x, 540}).yaw;
        EXPECT_LT(yaw, previous) << "at x = " << x;
        previous = yaw;
    }
}

TEST(DeskTest, StackedMonitorsLieAboveOneAnother) {
    const Desk desk(stacked);
    const HeadTurn top = lookingAtMiddle(desk, "TOP"), bottom = lookingAtMiddle(desk, "BOTTOM");
    EXPECT_NEAR(top.yaw, 0, 1e-9);
    EXPECT_NEAR(bottom.yaw, 0, 1e-9);
    // Eyes level with the upper third of the top monitor, 95 mm below the camera, which looks down at them:
    // the top monitor's middle 48 mm below the eyes, the bottom one's 334 mm. Straight ahead, the camera's
    // tilt only adds to the part of each gaze the head makes.
    const double tilt = degrees(std::atan2(286 / 3.0, 650));
    EXPECT_NEAR(degrees(top.pitch), -Desk::pitchShare * degrees(std::atan2(48, 650)) - tilt, 0.1);
    EXPECT_NEAR(degrees(bottom.pitch), -Desk::pitchShare * degrees(std::atan2(334, 650)) - tilt, 0.1);
}

// Monitors of different sizes touch at their physical edges: the small one's middle is 518 + 143 mm
// from the larger one's left edge, not where its pixels would put it at the larger one's scale.
TEST(DeskTest, MonitorsOfDifferentSizesTouch) {
    const Desk desk(mixed);
    const double cameraX = (518 + 286) / 2.0;
    const HeadTurn left = lookingAtMiddle(desk, "LEFT"), right = lookingAtMiddle(desk, "RIGHT");
    EXPECT_NEAR(degrees(left.yaw), Desk::yawShare * degrees(std::atan2(cameraX - 259, 650)), 0.6);
    EXPECT_NEAR(degrees(right.yaw), -Desk::yawShare * degrees(std::atan2(518 + 143 - cameraX, 650)), 0.6);
}

// The camera looks at the eyes: the resting head sits on its axis, at the eyes' distance from it; a
// head turned in the room to face the camera reads straight ahead.
TEST(DeskTest, TheCameraLooksAtTheEyes) {
    const Desk desk(sideBySide);
    const auto resting = desk.restingPlacement();
    const double eyeDrop = 286 / 3.0;
    EXPECT_EQ(resting.x, 0);
    EXPECT_EQ(resting.y, 0);
    EXPECT_NEAR(resting.distance, std::hypot(650, eyeDrop), 1e-9);
    const HeadTurn facing = desk.seenByCamera(0, std::atan2(eyeDrop, 650));
    EXPECT_NEAR(std::hypot(facing.yaw, facing.pitch, facing.roll), 0, 1e-9);
    // Turned sideways in the room, the head also seems rolled to a camera that looks down at it.
    EXPECT_GT(std::abs(desk.seenByCamera(0.5, 0).roll), 0.02);
}

TEST(DeskTest, KeyboardIsBelowAndAwayIsFarToTheSide) {
    const Desk desk(sideBySide);
    const HeadTurn keyboard = desk.lookingAtKeyboard(), away = desk.lookingAway();
    EXPECT_NEAR(keyboard.yaw, 0, 1e-9);
    EXPECT_LT(degrees(keyboard.pitch), -25);
    EXPECT_GT(degrees(away.yaw), 55);
    EXPECT_GT(away.yaw, 2 * lookingAtMiddle(desk, "LEFT").yaw);
}
