#include "headrender/HeadRenderer.h"

#include "headrender/PhotoFile.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace orvane::headrender {

namespace {

// Light from just above and left of the camera, as in the photo; a turned surface gets brighter or
// darker by the change in its light, so the photo itself stays as it was lit.
const cv::Point3f towardsLight = [] {
    const cv::Point3f d(-0.3f, -0.4f, -1);
    return d / std::sqrt(d.dot(d));
}();
constexpr float ambient = 0.55f, diffuse = 0.45f;
// The shoulders' plain colour: a dark blue top.
const cv::Vec3b shoulderColour(52, 60, 84);
constexpr int plainPatchSize = 8;
// How far the noise bank reaches beyond the frame in each direction, in pixels.
constexpr int noiseMargin = 61;

float light(const cv::Point3f& normal) {
    return ambient + diffuse * std::max(0.0f, normal.dot(towardsLight));
}

// Fills the pixels outside the mask from the colours inside it, smoothly (push-pull over an image
// pyramid): each level averages the known colours below it, and the gaps are filled from the level
// above.
cv::Mat fillOutside(const cv::Mat& rgb, const cv::Mat& mask) {
    cv::Mat colour, weight, mask3;
    rgb.convertTo(colour, CV_32FC3);
    cv::cvtColor(mask, mask3, cv::COLOR_GRAY2RGB);
    mask3.convertTo(weight, CV_32FC3, 1.0 / 255);
    // Colours weighted by coverage, and the coverage, at every level.
    std::vector<cv::Mat> known{colour.mul(weight)}, coverage{weight};
    while (known.back().cols > 2 && known.back().rows > 2) {
        cv::Mat k, c;
        cv::pyrDown(known.back(), k);
        cv::pyrDown(coverage.back(), c);
        known.push_back(k);
        coverage.push_back(c);
    }
    cv::Mat filled = known.back() / cv::max(coverage.back(), cv::Scalar::all(1e-6));
    for (int level = int(known.size()) - 2; level >= 0; --level) {
        cv::Mat up;
        cv::pyrUp(filled, up, known[level].size());
        const cv::Mat gap = cv::Scalar::all(1) - cv::min(coverage[level], cv::Scalar::all(1));
        filled = known[level] + up.mul(gap);
    }
    cv::Mat result;
    filled.convertTo(result, CV_8UC3);
    rgb.copyTo(result, mask);
    return result;
}

// Yaw, pitch and roll as the face detector reads them back: R = Ry(-yaw) Rx(-pitch) Rz(roll).
cv::Matx33d rotation(const HeadPlacement& p) {
    const double cy = std::cos(-p.yaw), sy = std::sin(-p.yaw);
    const double cp = std::cos(-p.pitch), sp = std::sin(-p.pitch);
    const double cr = std::cos(p.roll), sr = std::sin(p.roll);
    const cv::Matx33d ry(cy, 0, sy, 0, 1, 0, -sy, 0, cy);
    const cv::Matx33d rx(1, 0, 0, 0, cp, -sp, 0, sp, cp);
    const cv::Matx33d rz(cr, -sr, 0, sr, cr, 0, 0, 0, 1);
    return ry * rx * rz;
}

// The bilinearly interpolated texel at (u, v), times the shade; in fixed point (8 fractional bits).
void shadedSample(const cv::Mat& image, float u, float v, float shade, cv::Vec3b& out) {
    u = std::clamp(u - 0.5f, 0.0f, float(image.cols - 1.001));
    v = std::clamp(v - 0.5f, 0.0f, float(image.rows - 1.001));
    const int x = int(u), y = int(v);
    const int fx = int((u - x) * 256), fy = int((v - y) * 256), gain = int(shade * 256);
    const uchar* top = image.ptr<uchar>(y) + 3 * x;
    const uchar* bottom = top + image.step;
    for (int c = 0; c < 3; ++c) {
        const int upper = top[c] * 256 + fx * (top[c + 3] - top[c]);
        const int lower = bottom[c] * 256 + fx * (bottom[c + 3] - bottom[c]);
        const int value = upper * 256 + fy * (lower - upper); // 16 fractional bits
        out[c] = uchar(std::min((int64_t(value) * gain) >> 24, int64_t(255)));
    }
}

} // namespace

HeadRenderer::HeadRenderer(const cv::Mat& photo) : HeadRenderer(photo, Options{}) {}

HeadRenderer::HeadRenderer(const cv::Mat& photo, Options options) : options_(options) {
    options_.supersampling = std::max(options_.supersampling, 1);

    // The texture: the photo with its background filled from the head (the mask pulled in a little,
    // so that no edge of the scene behind survives), and a patch of plain colour below it.
    cv::Mat mask(photo.size(), CV_8UC1);
    for (int y = 0; y < photo.rows; ++y)
        for (int x = 0; x < photo.cols; ++x)
            mask.at<uchar>(y, x) = shape_.showsPerson({x + 0.5, y + 0.5}) ? 255 : 0;
    cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
    texture_.create(photo.rows + plainPatchSize, photo.cols, CV_8UC3);
    fillOutside(photo, mask).copyTo(texture_(cv::Rect(0, 0, photo.cols, photo.rows)));
    const cv::Rect plain(0, photo.rows, photo.cols, plainPatchSize);
    texture_(plain).setTo(shoulderColour);

    mesh_ = shape_.mesh(plain);
    restLight_.resize(mesh_.points.size());
    for (std::size_t i = 0; i < restLight_.size(); ++i)
        restLight_[i] = mesh_.follow[i] > 0 ? light(mesh_.normals[i]) : 1.0f;

    const cv::Size rendering = options_.size * options_.supersampling;
    // The wall is blurred once; each frame blurs only around the person drawn over it.
    wall_ = wall(rendering);
    if (options_.blur > 0) cv::GaussianBlur(wall_, wall_, {0, 0}, blurSigma());
    cv::RNG rng(11);
    noise_.create(options_.size.height + 2 * noiseMargin, (options_.size.width + 2 * noiseMargin) * 3,
                  CV_16SC1);
    rng.fill(noise_, cv::RNG::NORMAL, cv::Scalar(0), cv::Scalar(options_.noise));
}

cv::Point3d HeadRenderer::toCamera(cv::Point3d head, const cv::Matx33d& r, double follow,
                                   const HeadPlacement& placement) const {
    const cv::Point3d pivot = HeadShape::pivot;
    const cv::Point3d turned = cv::Point3d(r * cv::Vec3d(head - pivot)) + pivot;
    const cv::Point3d moved = head + follow * (turned - head);
    return moved + cv::Point3d(placement.x, placement.y, placement.distance);
}

cv::Point2d HeadRenderer::project(cv::Point3d head, const HeadPlacement& placement) const {
    const cv::Point3d p = toCamera(head, rotation(placement), 1, placement);
    const double focal = options_.size.width;
    return {focal * p.x / p.z + options_.size.width / 2.0, focal * p.y / p.z + options_.size.height / 2.0};
}

std::array<cv::Point2d, 6> HeadRenderer::keypoints(const HeadPlacement& placement) const {
    std::array<cv::Point2d, 6> points;
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i] = project(shape_.keypoints()[i], placement);
    return points;
}

cv::Mat HeadRenderer::render(const HeadPlacement& placement) {
    const int k = options_.supersampling;
    const cv::Size rendering = options_.size * k;
    const double focal = rendering.width, cx = rendering.width / 2.0, cy = rendering.height / 2.0;
    const cv::Matx33d r = rotation(placement);
    const cv::Matx33f rf = r;

    vertices_.resize(mesh_.points.size());
    for (std::size_t i = 0; i < vertices_.size(); ++i) {
        const float follow = mesh_.follow[i];
        const cv::Point3d p = toCamera(mesh_.points[i], r, follow, placement);
        const cv::Point3f n =
            follow > 0.5f ? cv::Point3f(rf * cv::Vec3f(mesh_.normals[i])) : mesh_.normals[i];
        Vertex& v = vertices_[i];
        v.camera = p;
        v.inverseDepth = p.z > 1 ? float(1 / p.z) : 0;
        v.x = float(focal * p.x * v.inverseDepth + cx);
        v.y = float(focal * p.y * v.inverseDepth + cy);
        v.u = mesh_.texture[i].x;
        v.v = mesh_.texture[i].y;
        v.shade = std::clamp(light(n) / restLight_[i], 0.5f, 1.6f);
    }

    wall_.copyTo(colour_);
    drawn_ = {};
    depth_.create(rendering, CV_32F);
    depth_.setTo(0);
    for (const auto& t : mesh_.triangles) {
        const Vertex &a = vertices_[t[0]], &b = vertices_[t[1]], &c = vertices_[t[2]];
        if (a.inverseDepth <= 0 || b.inverseDepth <= 0 || c.inverseDepth <= 0) continue;
        // Facing away from the camera (seen from its back side).
        const cv::Point3f normal = (b.camera - a.camera).cross(c.camera - a.camera);
        if (normal.dot(a.camera) >= 0) continue;
        rasterise(a, b, c);
    }

    cv::Mat frame;
    if (options_.blur > 0 && !drawn_.empty()) {
        const int margin = int(std::ceil(4 * blurSigma())) + 1;
        const cv::Rect area = (drawn_ + cv::Point(-margin, -margin) + cv::Size(2 * margin, 2 * margin)) &
                              cv::Rect(0, 0, rendering.width, rendering.height);
        cv::Mat region = colour_(area);
        cv::GaussianBlur(region, region, {0, 0}, blurSigma());
    }
    if (k > 1)
        cv::resize(colour_, frame, options_.size, 0, 0, cv::INTER_AREA);
    else
        frame = colour_.clone();
    if (options_.noise > 0) addNoise(frame, placement.seed);
    return frame;
}

double HeadRenderer::blurSigma() const {
    return options_.blur * options_.size.width * options_.supersampling / 640.0;
}

void HeadRenderer::rasterise(const Vertex& a, const Vertex& b, const Vertex& c) {
    const float area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    if (std::abs(area) < 1e-9f) return;
    // Pixels whose centres lie in the triangle's bounding box.
    const int x0 = std::max(int(std::ceil(std::min({a.x, b.x, c.x}) - 0.5f)), 0);
    const int x1 = std::min(int(std::floor(std::max({a.x, b.x, c.x}) - 0.5f)), colour_.cols - 1);
    const int y0 = std::max(int(std::ceil(std::min({a.y, b.y, c.y}) - 0.5f)), 0);
    const int y1 = std::min(int(std::floor(std::max({a.y, b.y, c.y}) - 0.5f)), colour_.rows - 1);
    if (x0 > x1 || y0 > y1) return;
    drawn_ |= cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
    // Barycentric weights are linear in the pixel position: stepped along each row.
    const float inverseArea = 1 / area;
    const float stepA = (b.y - c.y) * inverseArea, stepB = (c.y - a.y) * inverseArea;
    // Each quantity as c's value plus the weights of a and b times the differences.
    const float depthA = a.inverseDepth - c.inverseDepth, depthB = b.inverseDepth - c.inverseDepth;
    const float uA = a.u - c.u, uB = b.u - c.u, vA = a.v - c.v, vB = b.v - c.v;
    const float shadeA = a.shade - c.shade, shadeB = b.shade - c.shade;
    for (int y = y0; y <= y1; ++y) {
        const float px = x0 + 0.5f, py = y + 0.5f;
        float wa = ((b.x - px) * (c.y - py) - (b.y - py) * (c.x - px)) * inverseArea;
        float wb = ((c.x - px) * (a.y - py) - (c.y - py) * (a.x - px)) * inverseArea;
        float* depth = depth_.ptr<float>(y);
        cv::Vec3b* colour = colour_.ptr<cv::Vec3b>(y);
        for (int x = x0; x <= x1; ++x, wa += stepA, wb += stepB) {
            // All of one sign inside, whichever way the triangle is wound.
            if (wa < 0 || wb < 0 || wa + wb > 1) continue;
            const float inverseDepth = c.inverseDepth + wa * depthA + wb * depthB;
            if (inverseDepth <= depth[x]) continue;
            depth[x] = inverseDepth;
            shadedSample(texture_, c.u + wa * uA + wb * uB, c.v + wa * vA + wb * vB,
                         c.shade + wa * shadeA + wb * shadeB, colour[x]);
        }
    }
}

void HeadRenderer::addNoise(cv::Mat& frame, std::uint64_t seed) const {
    cv::RNG rng(seed * 0x9E3779B97F4A7C15ull + 1);
    const int dy = rng.uniform(0, 2 * noiseMargin + 1), dx = rng.uniform(0, 2 * noiseMargin + 1);
    const int width = frame.cols * 3;
    for (int y = 0; y < frame.rows; ++y) {
        uchar* out = frame.ptr<uchar>(y);
        const short* grain = noise_.ptr<short>(y + dy) + dx * 3;
        for (int x = 0; x < width; ++x)
            out[x] = uchar(std::clamp(out[x] + grain[x], 0, 255));
    }
}

} // namespace orvane::headrender
