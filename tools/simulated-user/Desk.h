#pragma once

#include "headrender/HeadRenderer.h"

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::simulated {

// One monitor as the X server describes it: its RandR name, its area of the root window in pixels and
// its physical size.
struct Monitor {
    std::string name;
    cv::Rect2d pixels;
    cv::Size2d millimetres;
};

// Head angles in radians as the camera sees them, in the face detector's conventions (yaw > 0 turned
// to the user's own left, pitch > 0 looking up, roll > 0 clockwise on screen).
struct HeadTurn {
    double yaw = 0, pitch = 0, roll = 0;
    bool operator==(const HeadTurn&) const = default;
};

// The user's desk: the monitors side by side or stacked as their desktop areas are, each at its
// physical size; the camera centred on the top edge of the whole arrangement, tilted down to look at
// the user's eyes, which are 65 cm in front of the screens at a third of the arrangement's height. To
// look at something the head turns only part of the way, as people also move their eyes.
class Desk {
  public:
    static constexpr double eyeDistance = 650;      // millimetres from the screens
    static constexpr double yawShare = 0.75;        // of the gaze's turn the head makes sideways
    static constexpr double pitchShare = 0.65;      // and up or down
    static constexpr double awayYaw = 60;           // degrees the head turns to look away from every screen
    static constexpr double keyboardDrop = 350;     // millimetres the keyboard lies below the eyes
    static constexpr double keyboardDistance = 400; // and in front of them

    explicit Desk(std::vector<Monitor> monitors);

    const std::vector<Monitor>& monitors() const { return monitors_; }
    const Monitor* monitor(std::string_view name) const;
    // The monitor holding a root-window pixel.
    const Monitor* monitorAt(cv::Point2d pixel) const;

    // Where the resting head sits in the camera's view (angles left at zero).
    headrender::HeadPlacement restingPlacement() const { return resting_; }

    // The head of a user looking at a pixel of the root window, at the keyboard, or well away from
    // every screen (to their left).
    HeadTurn lookingAt(cv::Point2d pixel) const;
    HeadTurn lookingAtKeyboard() const;
    HeadTurn lookingAway() const;

    // A head turned in the room (about the vertical, then sideways; radians) as the tilted camera
    // sees it.
    HeadTurn seenByCamera(double yaw, double pitch, double roll = 0) const;

  private:
    // Millimetres in the camera's frame before its tilt: x to the image right (the user's left), y
    // down, z towards the user; the camera at the origin.
    cv::Point3d roomPoint(cv::Point2d pixel) const;
    HeadTurn towards(cv::Point3d target) const;

    std::vector<Monitor> monitors_;
    std::vector<cv::Point2d> origins_; // each monitor's top-left corner in millimetres, x right, y down
    cv::Point3d eyes_;
    double tilt_ = 0; // the camera's downward tilt, radians
    headrender::HeadPlacement resting_;
};

} // namespace orvane::simulated
