#pragma once

#include "core/HeadPose.h"
#include "engine/DisplayInfo.h"
#include "engine/Platform.h"

#include <optional>
#include <vector>

namespace orvane {

// Turns one camera frame into the user's head pose: runs the face detector, ignores small faces,
// picks the user's face among several and builds the pose from its box and angles.
// Not thread-safe: used only on the tracking pipeline's queue.
class FaceTracker {
  public:
    struct Observation {
        HeadPose pose;
        double confidence = 0; // the detector's confidence for the chosen face

        bool operator==(const Observation&) const = default;
    };

    // Faces narrower than this share of the image width are ignored.
    const double minimumFaceSize = 0.08;
    // A face within this distance of the last chosen centre gains up to this much score.
    static constexpr double nearnessRange = 0.15;

    explicit FaceTracker(FaceDetector& detector) : detector_(detector) {}

    // The user's pose in this frame; absent when detection failed or no usable face was found.
    std::optional<Observation> process(const FrameView& frame);

    // Among the faces at least minimumFaceSize wide: the one with the highest width plus nearness
    // bonus to the last centre; the first of equal scores. Null when none is wide enough.
    const DetectedFace* pickUser(const std::vector<DetectedFace>& faces) const;

    // Centre of the face chosen in the last frame that produced a pose, in detector coordinates.
    const std::optional<Point>& lastCenter() const { return lastCenter_; }

    // Forgets the last face and whatever the detector carries between frames.
    void forget();

  private:
    FaceDetector& detector_;
    std::optional<Point> lastCenter_;
};

} // namespace orvane
