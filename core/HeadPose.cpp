#include "core/HeadPose.h"

#include <algorithm>
#include <cmath>

namespace orvane {

HeadPose::Features HeadPose::features() const {
    return {yaw, pitch, faceX, faceY, std::log(std::max(faceSize, minimumFeatureFaceSize))};
}

std::optional<HeadPose> HeadPose::mean(const std::vector<HeadPose>& poses) {
    if (poses.empty()) return std::nullopt;
    HeadPose sum{};
    for (const auto& p : poses) {
        sum.yaw += p.yaw;
        sum.pitch += p.pitch;
        sum.roll += p.roll;
        sum.faceX += p.faceX;
        sum.faceY += p.faceY;
        sum.faceSize += p.faceSize;
    }
    double n = double(poses.size());
    return HeadPose{sum.yaw / n, sum.pitch / n, sum.roll / n, sum.faceX / n, sum.faceY / n, sum.faceSize / n};
}

json::Json toJson(const HeadPose& pose, const std::string& path) {
    using json::finite;
    using json::member;
    json::Json object = json::Json::object();
    object["yaw"] = finite(pose.yaw, member(path, "yaw"));
    object["pitch"] = finite(pose.pitch, member(path, "pitch"));
    object["roll"] = finite(pose.roll, member(path, "roll"));
    object["faceX"] = finite(pose.faceX, member(path, "faceX"));
    object["faceY"] = finite(pose.faceY, member(path, "faceY"));
    object["faceSize"] = finite(pose.faceSize, member(path, "faceSize"));
    return object;
}

HeadPose headPoseFromJson(const json::Json& value, const std::string& path) {
    using json::requireNumber;
    json::requireObject(value, path);
    HeadPose pose;
    pose.yaw = requireNumber(value, "yaw", path);
    pose.pitch = requireNumber(value, "pitch", path);
    pose.roll = requireNumber(value, "roll", path);
    pose.faceX = requireNumber(value, "faceX", path);
    pose.faceY = requireNumber(value, "faceY", path);
    pose.faceSize = requireNumber(value, "faceSize", path);
    return pose;
}

JsonResult<HeadPose> decodeHeadPose(std::string_view text) {
    return json::capture<HeadPose>([&] { return headPoseFromJson(json::parse(text)); });
}

} // namespace orvane
