#pragma once

#include "engine/DisplayInfo.h"
#include "engine/Log.h"
#include "engine/Platform.h"

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace orvane {

// Head angles in radians: yaw > 0 when the user turns to their own left, pitch > 0 looking up,
// roll > 0 when the face turns clockwise in the image.
struct HeadAngles {
    double yaw = 0, pitch = 0, roll = 0;
};

// The head angles that put a generic head's eyes, nose tip, mouth centre and ears (subject's right
// first of each pair) at these frame pixels, for a camera whose focal length is the frame width.
// Absent when no pose fits or the only fit is behind the camera or facing away from it.
std::optional<HeadAngles> headAngles(const std::array<Point, 6>& keypoints, int frameWidth, int frameHeight);

// Faces and head angles from MediaPipe's BlazeFace short-range model on OpenCV's dnn module, on one
// thread. Without a face from the last frame it searches two square tiles covering the frame; with
// one it looks only in a crop three times that face's size around it, and searches again when the
// crop has none. It follows the likeliest face a search found, then the face nearest the last one.
// Not thread-safe: one caller at a time (the frame queue).
class BlazeFaceDetector : public FaceDetector {
  public:
    static constexpr std::string_view modelFileName = "face_detection_front_128x128_barracuda.onnx";

    // Where the model is: $ORVANE_FACE_MODEL when set; else beside the program; else in a
    // share/orvane folder above it (bin/../share/orvane when installed, <build dir>/share/orvane in
    // a build tree); else the installed share folder. When none exists, the installed share folder.
    static std::filesystem::path findModel();

    // Loads the model at once. A missing or unusable file is logged once and leaves a detector
    // that finds no faces.
    explicit BlazeFaceDetector(Log& log, const std::filesystem::path& modelPath = findModel());
    ~BlazeFaceDetector() override;
    BlazeFaceDetector(const BlazeFaceDetector&) = delete;
    BlazeFaceDetector& operator=(const BlazeFaceDetector&) = delete;

    bool isLoaded() const;
    // Whether the next frame is looked at through the crop around the last face.
    bool isTracking() const { return lastFace_.has_value(); }

    // An empty list without a model; absent only for a frame it cannot read or an inference error.
    std::optional<std::vector<DetectedFace>> detect(const FrameView& frame) override;
    void reset() override { lastFace_.reset(); }

  private:
    struct Model;
    struct Candidate;

    std::vector<Candidate> search(const FrameView& frame);
    std::vector<Candidate> track(const FrameView& frame);
    const Candidate* followed(const std::vector<Candidate>& faces) const;
    static std::vector<Candidate> merge(std::vector<Candidate> candidates);

    Logger logger_;
    std::unique_ptr<Model> model_;
    bool failureLogged_ = false;
    // Centre and side of the tracked face's box, in frame pixels.
    struct TrackedFace {
        Point center;
        double size = 0;
    };
    std::optional<TrackedFace> lastFace_;
};

} // namespace orvane
