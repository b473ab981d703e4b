#include "simulated-user/Desk.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::simulated {

namespace {

constexpr double degree = M_PI / 180;

bool overlap(double a, double aLength, double b, double bLength) {
    return a < b + bLength && b < a + aLength;
}

cv::Matx33d pitchRotation(double angle) {
    return {1, 0, 0, 0, std::cos(angle), -std::sin(angle), 0, std::sin(angle), std::cos(angle)};
}

} // namespace

Desk::Desk(std::vector<Monitor> monitors) : monitors_(std::move(monitors)) {
    // Each monitor starts where the physical widths (heights) of the monitors before it in its row
    // (column) end, plus any pixel offset beyond them at its own scale; so side-by-side monitors of
    // different sizes touch instead of overlapping.
    for (const Monitor& m : monitors_) {
        cv::Point2d origin;
        double pixelsX = 0, pixelsY = 0;
        for (const Monitor& n : monitors_) {
            if (n.pixels.x + n.pixels.width <= m.pixels.x &&
                overlap(n.pixels.y, n.pixels.height, m.pixels.y, m.pixels.height)) {
                origin.x += n.millimetres.width;
                pixelsX += n.pixels.width;
            }
            if (n.pixels.y + n.pixels.height <= m.pixels.y &&
                overlap(n.pixels.x, n.pixels.width, m.pixels.x, m.pixels.width)) {
                origin.y += n.millimetres.height;
                pixelsY += n.pixels.height;
            }
        }
        origin.x += (m.pixels.x - pixelsX) * m.millimetres.width / m.pixels.width;
        origin.y += (m.pixels.y - pixelsY) * m.millimetres.height / m.pixels.height;
        origins_.push_back(origin);
    }

    double left = std::numeric_limits<double>::max(), right = -left, top = left, bottom = -left;
    for (std::size_t i = 0; i < monitors_.size(); ++i) {
        left = std::min(left, origins_[i].x);
        right = std::max(right, origins_[i].x + monitors_[i].millimetres.width);
        top = std::min(top, origins_[i].y);
        bottom = std::max(bottom, origins_[i].y + monitors_[i].millimetres.height);
    }
    // The camera at the middle of the top edge; the eyes level with the upper third of the monitors
    // along that edge (of the upper ones when stacked).
    double upperHeight = 0;
    for (std::size_t i = 0; i < monitors_.size(); ++i) {
        origins_[i] -= cv::Point2d((left + right) / 2, top);
        if (origins_[i].y < 1) upperHeight = std::max(upperHeight, monitors_[i].millimetres.height);
    }
    eyes_ = {0, upperHeight / 3, eyeDistance};
    tilt_ = std::atan2(eyes_.y, eyes_.z);
    resting_.distance = cv::norm(eyes_);
}

const Monitor* Desk::monitor(std::string_view name) const {
    for (const Monitor& m : monitors_)
        if (m.name == name) return &m;
    return nullptr;
}

const Monitor* Desk::monitorAt(cv::Point2d pixel) const {
    for (const Monitor& m : monitors_)
        if (m.pixels.contains(pixel)) return &m;
    return nullptr;
}

cv::Point3d Desk::roomPoint(cv::Point2d pixel) const {
    const Monitor* m = monitorAt(pixel);
    if (!m) m = &monitors_.front();
    const cv::Point2d origin = origins_[std::size_t(m - monitors_.data())];
    const double x = origin.x + (pixel.x - m->pixels.x) * m->millimetres.width / m->pixels.width;
    const double y = origin.y + (pixel.y - m->pixels.y) * m->millimetres.height / m->pixels.height;
    // The screens face the user: their right is the user's right, the image's left.
    return {-x, y, 0};
}

HeadTurn Desk::towards(cv::Point3d target) const {
    const cv::Point3d gaze = target - eyes_;
    const double yaw = std::atan2(gaze.x, -gaze.z);
    const double pitch = std::atan2(-gaze.y, std::hypot(gaze.x, gaze.z));
    return seenByCamera(yawShare * yaw, pitchShare * pitch);
}

HeadTurn Desk::lookingAt(cv::Point2d pixel) const {
    if (monitors_.empty()) return seenByCamera(0, 0);
    return towards(roomPoint(pixel));
}

HeadTurn Desk::lookingAtKeyboard() const {
    return towards(eyes_ + cv::Point3d(0, keyboardDrop, -keyboardDistance));
}

HeadTurn Desk::lookingAway() const {
    return seenByCamera(awayYaw * degree, 0);
}

HeadTurn Desk::seenByCamera(double yaw, double pitch, double roll) const {
    const cv::Matx33d turn(std::cos(yaw), 0, -std::sin(yaw), 0, 1, 0, std::sin(yaw), 0, std::cos(yaw));
    const cv::Matx33d rollRotation(std::cos(roll), -std::sin(roll), 0, std::sin(roll), std::cos(roll), 0, 0,
                                   0, 1);
    // The face detector's R = Ry(-yaw) Rx(-pitch) Rz(roll), seen by a camera tilted down by the tilt.
    const cv::Matx33d r = pitchRotation(tilt_) * turn * pitchRotation(-pitch) * rollRotation;
    return {-std::atan2(r(0, 2), r(2, 2)), std::asin(std::clamp(r(1, 2), -1.0, 1.0)),
            std::atan2(r(1, 0), r(1, 1))};
}

} // namespace orvane::simulated
