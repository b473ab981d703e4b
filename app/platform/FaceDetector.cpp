#include "platform/FaceDetector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace orvane {

namespace fs = std::filesystem;

namespace {

constexpr int inputSize = 128;
// Scores are logits; sigmoid(logit) >= 0.5 is logit >= 0.
constexpr float minimumScore = 0.5f;
constexpr double mergeOverlap = 0.3;
// The tracking crop's side, in multiples of the last face box.
constexpr double cropFactor = 3.0;

// The model's two heads: a 16x16 grid with 2 anchors per cell and an 8x8 grid with 6.
struct Head {
    int cells;
    int anchorsPerCell;
    int count() const { return cells * cells * anchorsPerCell; }
};
constexpr std::array<Head, 2> heads = {{{16, 2}, {8, 6}}};
constexpr int regressorCount = 16; // box (cx, cy, w, h) and six keypoints (x, y), in input pixels

std::string firstLine(std::string_view text) {
    auto end = text.find('\n');
    return std::string(text.substr(0, end));
}

fs::path programFolder() {
    std::error_code error;
    auto program = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : program.parent_path();
}

Point center(const cv::Rect2d& box) {
    return Point{box.x + box.width / 2, box.y + box.height / 2};
}

float clampByte(float value) {
    return std::clamp(value, 0.0f, 255.0f);
}

} // namespace

// ---- Head pose

std::optional<HeadAngles> headAngles(const std::array<Point, 6>& keypoints, int frameWidth, int frameHeight) {
    // A generic head in millimetres: x to the image right for a frontal face, y down, z away from
    // the camera, origin between the eyes.
    static const std::vector<cv::Point3d> head = {
        {-31, 0, 2}, {31, 0, 2}, {0, 40, -34}, {0, 75, -15}, {-72, 20, 88}, {72, 20, 88},
    };
    std::vector<cv::Point2d> image;
    for (const auto& point : keypoints) {
        if (!std::isfinite(point.x) || !std::isfinite(point.y)) return std::nullopt;
        image.emplace_back(point.x, point.y);
    }
    const double focal = frameWidth;
    const cv::Matx33d camera(focal, 0, frameWidth / 2.0, 0, focal, frameHeight / 2.0, 0, 0, 1);
    cv::Vec3d rotation, translation;
    try {
        // SQPNP needs no starting guess; the iterative solver without one flips about one pose in five.
        if (!cv::solvePnP(head, image, camera, cv::noArray(), rotation, translation, false,
                          cv::SOLVEPNP_SQPNP))
            return std::nullopt;
    } catch (const cv::Exception&) {
        return std::nullopt;
    }
    cv::Matx33d r;
    cv::Rodrigues(rotation, r);
    // Behind the camera, or the face's front (-z of the head) turned away from it.
    if (!(translation[2] > 0) || !(r(2, 2) > 0)) return std::nullopt;
    // r = Ry(-yaw) Rx(-pitch) Rz(roll) in the camera's axes (x right, y down, z forward).
    HeadAngles angles{-std::atan2(r(0, 2), r(2, 2)), std::asin(std::clamp(r(1, 2), -1.0, 1.0)),
                      std::atan2(r(1, 0), r(1, 1))};
    if (!std::isfinite(angles.yaw) || !std::isfinite(angles.pitch) || !std::isfinite(angles.roll))
        return std::nullopt;
    return angles;
}

// ---- The model

// A face in frame pixels (top-left origin) with the model's score.
struct BlazeFaceDetector::Candidate {
    cv::Rect2d box;
    std::array<Point, 6> keypoints;
    float score = 0;
};

// A square part of the frame as the model sees it: model input pixel (u, v) is frame pixel
// (x + u * scaleX, y + v * scaleY).
struct Window {
    double x = 0, y = 0, scaleX = 1, scaleY = 1;
};

struct BlazeFaceDetector::Model {
    cv::dnn::Net net;
    std::vector<cv::String> outputNames;
    std::vector<cv::Mat> outputs;
    cv::Mat input;                    // NHWC [1, 128, 128, 3], RGB in [-1, 1]
    std::vector<cv::Point2f> anchors; // centres in input pixels, in output order
    cv::Mat luma, chroma;             // scratch for the resized planes

    Model() {
        const int shape[] = {1, inputSize, inputSize, 3};
        input.create(4, shape, CV_32F);
        for (const auto& head : heads)
            for (int y = 0; y < head.cells; ++y)
                for (int x = 0; x < head.cells; ++x)
                    for (int a = 0; a < head.anchorsPerCell; ++a)
                        anchors.emplace_back((x + 0.5f) * inputSize / head.cells,
                                             (y + 0.5f) * inputSize / head.cells);
    }

    // Throws cv::Exception when the file is not this model.
    void load(const fs::path& path) {
        net = cv::dnn::readNetFromONNX(path.string());
        if (net.empty()) CV_Error(cv::Error::StsError, "empty network");
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        outputNames = {"Identity:0", "Identity_1:0", "Identity_2:0", "Identity_3:0"};
        // One run on a grey image proves the layout and warms the network up.
        input.setTo(0);
        run();
        for (std::size_t i = 0; i < heads.size(); ++i) {
            const auto count = static_cast<std::size_t>(heads[i].count());
            if (outputs[i].total() != count || outputs[i + 2].total() != count * regressorCount)
                CV_Error(cv::Error::StsError, "unexpected output layout");
        }
    }

    void run() {
        net.setInput(input);
        net.forward(outputs, outputNames);
        for (auto& output : outputs)
            if (output.type() != CV_32F || !output.isContinuous())
                CV_Error(cv::Error::StsError, "unexpected output type");
    }

    // Fills the input from the frame's square [left, left + side) x [top, top + side), converting
    // only that part of the NV12 planes; what lies outside the frame is mid-grey.
    Window prepare(const FrameView& frame, double left, double top, double side) {
        const int width = frame.width & ~1, height = frame.height & ~1;
        // Even pixel edges keep the chroma plane aligned with the luma plane.
        const int x0 = 2 * static_cast<int>(std::floor(left / 2));
        const int y0 = 2 * static_cast<int>(std::floor(top / 2));
        const int size = std::max(2, 2 * static_cast<int>(std::lround(side / 2)));
        const int ix0 = std::clamp(x0, 0, width), iy0 = std::clamp(y0, 0, height);
        const int ix1 = std::clamp(x0 + size, 0, width), iy1 = std::clamp(y0 + size, 0, height);
        const double toInput = static_cast<double>(inputSize) / size;
        const int u0 = static_cast<int>(std::lround((ix0 - x0) * toInput));
        const int v0 = static_cast<int>(std::lround((iy0 - y0) * toInput));
        const int u1 = static_cast<int>(std::lround((ix1 - x0) * toInput));
        const int v1 = static_cast<int>(std::lround((iy1 - y0) * toInput));

        input.setTo(0);
        if (u1 <= u0 || v1 <= v0) return Window{double(x0), double(y0), 1 / toInput, 1 / toInput};

        const cv::Mat yPlane(frame.height, frame.width, CV_8UC1, const_cast<std::uint8_t*>(frame.y),
                             static_cast<std::size_t>(frame.yStride));
        const cv::Mat uvPlane(frame.height / 2, frame.width / 2, CV_8UC2, const_cast<std::uint8_t*>(frame.uv),
                              static_cast<std::size_t>(frame.uvStride));
        const cv::Size target(u1 - u0, v1 - v0);
        // Bilinear, as MediaPipe prepares this model's input: an area resize costs ten times as much
        // and found no more faces in the tests.
        cv::resize(yPlane(cv::Rect(ix0, iy0, ix1 - ix0, iy1 - iy0)), luma, target, 0, 0, cv::INTER_LINEAR);
        cv::resize(uvPlane(cv::Rect(ix0 / 2, iy0 / 2, (ix1 - ix0) / 2, (iy1 - iy0) / 2)), chroma, target, 0,
                   0, cv::INTER_LINEAR);

        // BT.601 limited range, as GStreamer's videoconvert writes NV12.
        auto* data = input.ptr<float>();
        for (int v = 0; v < target.height; ++v) {
            const auto* ys = luma.ptr<std::uint8_t>(v);
            const auto* uvs = chroma.ptr<std::uint8_t>(v);
            float* out = data + ((v0 + v) * inputSize + u0) * 3;
            for (int u = 0; u < target.width; ++u) {
                const float c = 1.164f * (ys[u] - 16.0f);
                const float d = uvs[2 * u] - 128.0f, e = uvs[2 * u + 1] - 128.0f;
                out[0] = clampByte(c + 1.596f * e) / 127.5f - 1;
                out[1] = clampByte(c - 0.391f * d - 0.813f * e) / 127.5f - 1;
                out[2] = clampByte(c + 2.018f * d) / 127.5f - 1;
                out += 3;
            }
        }
        const double scaleX = static_cast<double>(ix1 - ix0) / (u1 - u0);
        const double scaleY = static_cast<double>(iy1 - iy0) / (v1 - v0);
        return Window{ix0 - u0 * scaleX, iy0 - v0 * scaleY, scaleX, scaleY};
    }

    // The faces the model scores at least minimumScore in the prepared window, in frame pixels.
    void decode(const Window& window, std::vector<Candidate>& candidates) const {
        std::size_t anchor = 0;
        for (std::size_t h = 0; h < heads.size(); ++h) {
            const float* scores = outputs[h].ptr<float>();
            const float* regressors = outputs[h + 2].ptr<float>();
            for (int i = 0; i < heads[h].count(); ++i, ++anchor) {
                const float logit = std::clamp(scores[i], -100.0f, 100.0f);
                const float score = 1 / (1 + std::exp(-logit));
                if (!(score >= minimumScore)) continue;
                const float* r = regressors + i * regressorCount;
                const cv::Point2f a = anchors[anchor];
                Candidate c;
                const double cx = a.x + r[0], cy = a.y + r[1];
                c.box = cv::Rect2d(window.x + (cx - r[2] / 2) * window.scaleX,
                                   window.y + (cy - r[3] / 2) * window.scaleY, r[2] * window.scaleX,
                                   r[3] * window.scaleY);
                for (int k = 0; k < 6; ++k)
                    c.keypoints[k] = Point{window.x + (a.x + r[4 + 2 * k]) * window.scaleX,
                                           window.y + (a.y + r[5 + 2 * k]) * window.scaleY};
                c.score = score;
                if (c.box.width > 0 && c.box.height > 0) candidates.push_back(c);
            }
        }
    }
};

// Overlapping candidates become one face: the score-weighted mean of their boxes and keypoints,
// with the best score among them.
std::vector<BlazeFaceDetector::Candidate> BlazeFaceDetector::merge(std::vector<Candidate> candidates) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    std::vector<Candidate> faces;
    std::vector<bool> taken(candidates.size(), false);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (taken[i]) continue;
        const cv::Rect2d best = candidates[i].box;
        double weight = 0, left = 0, top = 0, right = 0, bottom = 0;
        std::array<Point, 6> keypoints{};
        for (std::size_t j = i; j < candidates.size(); ++j) {
            if (taken[j]) continue;
            const cv::Rect2d& box = candidates[j].box;
            const double overlap = (best & box).area() / (best | box).area();
            if (j != i && !(overlap > mergeOverlap)) continue;
            taken[j] = true;
            const double w = candidates[j].score;
            weight += w;
            left += w * box.x;
            top += w * box.y;
            right += w * (box.x + box.width);
            bottom += w * (box.y + box.height);
            for (int k = 0; k < 6; ++k) {
                keypoints[k].x += w * candidates[j].keypoints[k].x;
                keypoints[k].y += w * candidates[j].keypoints[k].y;
            }
        }
        Candidate face;
        face.box = cv::Rect2d(left / weight, top / weight, (right - left) / weight, (bottom - top) / weight);
        for (int k = 0; k < 6; ++k)
            face.keypoints[k] = Point{keypoints[k].x / weight, keypoints[k].y / weight};
        face.score = candidates[i].score;
        faces.push_back(face);
    }
    return faces;
}

// ---- The detector

fs::path BlazeFaceDetector::findModel() {
    if (const char* path = std::getenv("ORVANE_FACE_MODEL"); path && *path) return path;
    const fs::path installed = fs::path(ORVANE_SHARE_DIR) / modelFileName;
    std::vector<fs::path> candidates;
    if (const auto folder = programFolder(); !folder.empty()) {
        candidates.push_back(folder / modelFileName);
        for (auto parent = folder; !parent.empty(); parent = parent.parent_path()) {
            candidates.push_back(parent / "share" / "orvane" / modelFileName);
            if (parent == parent.root_path()) break;
        }
    }
    candidates.push_back(installed);
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (fs::is_regular_file(candidate, error)) return candidate;
    }
    return installed;
}

BlazeFaceDetector::BlazeFaceDetector(Log& log, const fs::path& modelPath) : logger_(log, "camera") {
    // Inference on the calling thread alone: the frame queue is the only place it runs.
    cv::setNumThreads(1);
    std::error_code error;
    if (!fs::exists(modelPath, error)) {
        logger_.error("Face model not found at " + modelPath.string() + "; no faces will be detected");
        return;
    }
    // OpenCV reports parse errors on its own log too; ours names the file once.
    const auto level = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    auto model = std::make_unique<Model>();
    try {
        model->load(modelPath);
        model_ = std::move(model);
    } catch (const cv::Exception& e) {
        logger_.error("Face model at " + modelPath.string() + " is unusable (" + firstLine(e.err) +
                      "); no faces will be detected");
    }
    cv::utils::logging::setLogLevel(level);
}

BlazeFaceDetector::~BlazeFaceDetector() = default;

bool BlazeFaceDetector::isLoaded() const {
    return model_ != nullptr;
}

const BlazeFaceDetector::Candidate* BlazeFaceDetector::followed(const std::vector<Candidate>& faces) const {
    // While tracking, the face nearest the one followed so far; when starting, the likeliest face
    // (a false detection, rare and scored low, can be larger than the real face).
    const auto closer = [&](const Candidate& a, const Candidate& b) {
        if (!lastFace_) return a.score > b.score;
        const Point p = center(a.box), q = center(b.box), last = lastFace_->center;
        return std::hypot(p.x - last.x, p.y - last.y) < std::hypot(q.x - last.x, q.y - last.y);
    };
    const auto best = std::min_element(faces.begin(), faces.end(), closer);
    return best == faces.end() ? nullptr : &*best;
}

std::vector<BlazeFaceDetector::Candidate> BlazeFaceDetector::search(const FrameView& frame) {
    // Square tiles as tall as the frame (or as wide, for a portrait frame), spread evenly from one
    // edge to the other: two for 16:9. A small face stays about twice as large in the model as
    // in the whole frame shrunk to fit.
    const int shortSide = std::min(frame.width, frame.height);
    const int longSide = std::max(frame.width, frame.height);
    const int count = (longSide + shortSide - 1) / shortSide;
    std::vector<Candidate> candidates;
    for (int i = 0; i < count; ++i) {
        const double offset = count > 1 ? double(longSide - shortSide) * i / (count - 1) : 0;
        const bool wide = frame.width >= frame.height;
        const Window window = model_->prepare(frame, wide ? offset : 0, wide ? 0 : offset, shortSide);
        model_->run();
        model_->decode(window, candidates);
    }
    return merge(std::move(candidates));
}

std::vector<BlazeFaceDetector::Candidate> BlazeFaceDetector::track(const FrameView& frame) {
    const double side = cropFactor * lastFace_->size;
    const Window window =
        model_->prepare(frame, lastFace_->center.x - side / 2, lastFace_->center.y - side / 2, side);
    model_->run();
    std::vector<Candidate> candidates;
    model_->decode(window, candidates);
    return merge(std::move(candidates));
}

std::optional<std::vector<DetectedFace>> BlazeFaceDetector::detect(const FrameView& frame) {
    if (!model_) return std::vector<DetectedFace>{};
    if (frame.width < 2 || frame.height < 2 || !frame.y || !frame.uv || frame.yStride < frame.width ||
        frame.uvStride < (frame.width & ~1))
        return std::nullopt;

    std::vector<Candidate> faces;
    try {
        if (lastFace_) faces = track(frame);
        if (faces.empty()) faces = search(frame);
    } catch (const cv::Exception& e) {
        if (!failureLogged_) logger_.error("Face detection failed: " + firstLine(e.err));
        failureLogged_ = true;
        lastFace_.reset();
        return std::nullopt;
    }

    if (const Candidate* face = followed(faces)) {
        lastFace_ = TrackedFace{center(face->box), std::max(face->box.width, face->box.height)};
    } else {
        lastFace_.reset();
    }

    const double width = frame.width, height = frame.height;
    std::vector<DetectedFace> detected;
    for (const auto& face : faces) {
        DetectedFace out;
        out.x = face.box.x / width;
        out.y = 1 - (face.box.y + face.box.height) / height; // origin at the bottom-left
        out.width = face.box.width / width;
        out.height = face.box.height / height;
        if (const auto angles = headAngles(face.keypoints, frame.width, frame.height)) {
            out.yaw = angles->yaw;
            out.pitch = angles->pitch;
            out.roll = angles->roll;
        }
        out.confidence = face.score;
        detected.push_back(out);
    }
    return detected;
}

} // namespace orvane
