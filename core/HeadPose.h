#pragma once

#include "core/Json.h"

#include <array>
#include <numbers>
#include <optional>
#include <vector>

namespace orvane {

// Radians to degrees and back (multiply first, divide second).
constexpr double degrees(double radians) { return radians * 180.0 / std::numbers::pi; }
constexpr double radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// Where the head points (radians, as the face detector reports them) and where the face sits
// in the camera image (fractions of the image; faceY from the top, faceSize of the width).
struct HeadPose {
    double yaw = 0;
    double pitch = 0;
    double roll = 0;
    double faceX = 0;
    double faceY = 0;
    double faceSize = 0;

    static constexpr int featureCount = 5;
    using Features = std::array<double, featureCount>;

    // What the screen model sees: yaw, pitch, faceX, faceY, ln(max(faceSize, 0.001)); roll is left out.
    Features features() const;

    // Field-by-field arithmetic mean; absent for an empty list.
    static std::optional<HeadPose> mean(const std::vector<HeadPose>& poses);

    bool operator==(const HeadPose&) const = default;
};

// The smallest face size the features take the logarithm of.
inline constexpr double minimumFeatureFaceSize = 0.001;

json::Json toJson(const HeadPose& pose, const std::string& path = "");
HeadPose headPoseFromJson(const json::Json& value, const std::string& path = "");
JsonResult<HeadPose> decodeHeadPose(std::string_view text);

} // namespace orvane
