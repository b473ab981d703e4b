#include "engine/FaceTracker.h"

#include <algorithm>
#include <cmath>

namespace orvane {

std::optional<FaceTracker::Observation> FaceTracker::process(const FrameView& frame) {
    // A failed detection says nothing about where the user is, so the last centre stays.
    const auto faces = detector_.detect(frame);
    if (!faces) return std::nullopt;

    const DetectedFace* face = pickUser(*faces);
    if (!face || !face->yaw || !face->pitch) {
        lastCenter_.reset();
        return std::nullopt;
    }
    const double cx = face->centerX();
    const double cy = face->centerY();
    lastCenter_ = Point{cx, cy};

    HeadPose pose;
    pose.yaw = *face->yaw;
    pose.pitch = *face->pitch;
    pose.roll = face->roll.value_or(0.0);
    pose.faceX = cx;
    pose.faceY = 1 - cy; // the detector's y grows upwards; faceY is measured from the top
    pose.faceSize = face->width;
    return Observation{pose, face->confidence};
}

const DetectedFace* FaceTracker::pickUser(const std::vector<DetectedFace>& faces) const {
    const DetectedFace* best = nullptr;
    double bestScore = 0;
    for (const auto& face : faces) {
        if (!(face.width >= minimumFaceSize)) continue;
        double score = face.width;
        if (lastCenter_) {
            // Plain distance on normalised coordinates, not corrected for the image's aspect ratio.
            double d = std::hypot(face.centerX() - lastCenter_->x, face.centerY() - lastCenter_->y);
            score += std::max(nearnessRange - d, 0.0);
        }
        if (!best || score > bestScore) {
            best = &face;
            bestScore = score;
        }
    }
    return best;
}

void FaceTracker::forget() {
    lastCenter_.reset();
    detector_.reset();
}

} // namespace orvane
