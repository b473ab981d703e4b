#include "headrender/HeadShape.h"

#include "headrender/AstronautLandmarks.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>

namespace orvane::headrender {

namespace {

using std::numbers::pi;

// Depth of the slices' widest points, and how far the head reaches behind them.
constexpr double sideDepth = 90;
constexpr double backDepth = 105;
// Over this many millimetres above the eye line the outline narrows from the hair to the face.
constexpr double temples = 25;
// Slices of the head, points around each slice.
constexpr double sliceStep = 1.5;
constexpr int ringPoints = 256;
// The neck: an upright elliptical tube from inside the head down past the bottom of the frame.
constexpr double neckTop = 55, neckBottom = 215, neckHalfWidth = 52, neckHalfDepth = 48, neckDepth = 85;
// The shoulders: half an ellipsoid below the neck.
constexpr double shoulderTop = 175, shoulderHalfWidth = 200, shoulderHeight = 110, shoulderHalfDepth = 110;

double smoothstep(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

double bump(double x, double y, double cx, double cy, double sx, double sy) {
    const double dx = (x - cx) / sx, dy = (y - cy) / sy;
    return std::exp(-0.5 * (dx * dx + dy * dy));
}

// Piecewise-linear interpolation in a table of (t, value) rows sorted by t; clamped at the ends.
double lookup(std::initializer_list<std::pair<double, double>> table, double t) {
    auto previous = *table.begin();
    if (t <= previous.first) return previous.second;
    for (const auto& row : table) {
        if (t <= row.first) {
            const double a = (t - previous.first) / (row.first - previous.first);
            return previous.second + a * (row.second - previous.second);
        }
        previous = row;
    }
    return previous.second;
}

cv::Point2d mean(int first, int last) {
    cv::Point2d sum;
    for (int i = first; i <= last; ++i)
        sum += cv::Point2d(astronaut::landmarks[i].x, astronaut::landmarks[i].y);
    return sum / double(last - first + 1);
}

cv::Point2d at(int i) {
    return {astronaut::landmarks[i].x, astronaut::landmarks[i].y};
}

} // namespace

HeadShape::HeadShape() {
    const cv::Point2d rightEye = mean(36, 41), leftEye = mean(42, 47); // image left, image right
    const cv::Point2d between = leftEye - rightEye;
    const double length = std::hypot(between.x, between.y);
    eyeMiddle_ = (rightEye + leftEye) / 2;
    axisX_ = between / length;
    axisY_ = {-axisX_.y, axisX_.x};
    pixelsPerMm_ = length / eyeDistance;

    // The jaw from each ear down to the chin, kept going downwards.
    for (int i = 0; i <= 8; ++i)
        rightEdge_.push_back(headPoint(at(i)));
    for (int i = 16; i >= 8; --i)
        leftEdge_.push_back(headPoint(at(i)));
    for (auto* chain : {&rightEdge_, &leftEdge_})
        for (std::size_t i = 1; i < chain->size(); ++i)
            (*chain)[i].y = std::max((*chain)[i].y, (*chain)[i - 1].y + 0.01);
    chin_ = std::max(rightEdge_.back().y, leftEdge_.back().y);

    noseBridge_ = headPoint(at(27));
    noseTip_ = headPoint(at(30));
    mouth_ = (headPoint(at(62)) + headPoint(at(66))) / 2;

    for (std::size_t i = 0; i < keypoints_.size(); ++i) {
        const auto p = headPoint({astronaut::keypoints[i].x, astronaut::keypoints[i].y});
        keypoints_[i] = {p.x, p.y, frontDepth(p.x, p.y)};
    }
}

cv::Point2d HeadShape::photoPixel(cv::Point2d head) const {
    return eyeMiddle_ + (head.x * axisX_ + head.y * axisY_) * pixelsPerMm_;
}

cv::Point2d HeadShape::headPoint(cv::Point2d photo) const {
    const cv::Point2d d = (photo - eyeMiddle_) / pixelsPerMm_;
    return {d.dot(axisX_), d.dot(axisY_)};
}

double HeadShape::faceEdge(const std::vector<cv::Point2d>& chain, double y) const {
    if (y <= chain.front().y) return chain.front().x;
    for (std::size_t i = 1; i < chain.size(); ++i)
        if (y <= chain[i].y) {
            const double t = (y - chain[i - 1].y) / (chain[i].y - chain[i - 1].y);
            return chain[i - 1].x + t * (chain[i].x - chain[i - 1].x);
        }
    return chain.back().x;
}

HeadShape::Slice HeadShape::slice(double y) const {
    auto face = [&](double level) {
        const double right = faceEdge(rightEdge_, level), left = faceEdge(leftEdge_, level);
        const double rise = std::max(level, 0.0) / astronaut::craniumTop;
        return Slice{(left + right) / 2, std::max(left - right, 0.0) / 2, sideDepth, sideDepth,
                     backDepth * std::sqrt(std::max(1 - rise * rise, 0.1))};
    };
    if (y >= 0) return face(y);
    const double rise = std::min(-y / astronaut::craniumTop, 1.0);
    const double s = std::sqrt(1 - rise * rise);
    const Slice cranium{0, astronaut::craniumHalfWidth * s, sideDepth, sideDepth * s, backDepth * s};
    const double t = smoothstep((y + temples) / temples);
    if (t <= 0) return cranium;
    const Slice lower = face(0);
    auto mix = [t](double a, double b) { return a + t * (b - a); };
    return {mix(cranium.center, lower.center), mix(cranium.halfWidth, lower.halfWidth), sideDepth,
            mix(cranium.front, lower.front), mix(cranium.back, lower.back)};
}

// The mean face's bumps in millimetres, negative towards the camera.
double HeadShape::relief(double x, double y) const {
    double r = 0;
    // The nose: a ridge from the bridge to the tip, 36 mm ahead of the eyes' depth, then back under it.
    const double along = std::clamp((y - noseBridge_.y) / (noseTip_.y - noseBridge_.y), 0.0, 1.0);
    const double noseX = noseBridge_.x + along * (noseTip_.x - noseBridge_.x);
    const double tip = noseTip_.y;
    const double height =
        lookup({{-8, 0}, {2, 9}, {tip * 0.5, 17}, {tip, 27}, {tip + 5, 22}, {tip + 11, 0}}, y);
    const double width = lookup({{-8, 7}, {2, 5}, {tip * 0.6, 7}, {tip, 9}, {tip + 8, 13}}, y);
    r -= height * std::exp(-0.5 * (x - noseX) * (x - noseX) / (width * width));
    r -= 6 * bump(x, y, mouth_.x, mouth_.y, 17, 7);   // lips
    r -= 5 * bump(x, y, mouth_.x, chin_ - 10, 16, 9); // chin
    for (double side : {-1.0, 1.0}) {
        r += 6 * bump(x, y, side * eyeDistance / 2, 1, 13, 8); // eye sockets
        r -= 3 * bump(x, y, side * 30, -14, 16, 5);            // brows
        r -= 4 * bump(x, y, side * 40, 25, 14, 12);            // cheekbones
    }
    return r;
}

cv::Point3d HeadShape::surface(const Slice& s, double y, double angle) const {
    const double across = std::sin(angle), along = std::cos(angle);
    const double x = s.center + s.halfWidth * across;
    if (along >= 0) return {x, y, s.middle - s.front * along + relief(x, y) * along};
    return {x, y, s.middle - s.back * along};
}

double HeadShape::frontDepth(double x, double y) const {
    if (y < -astronaut::craniumTop || y > chin_) return NAN;
    const Slice s = slice(y);
    if (s.halfWidth <= 0) return NAN;
    const double across = (x - s.center) / s.halfWidth;
    if (std::abs(across) > 1) return NAN;
    return surface(s, y, std::asin(across)).z;
}

bool HeadShape::showsPerson(cv::Point2d photo) const {
    const cv::Point2d p = headPoint(photo);
    if (p.y >= -astronaut::craniumTop && p.y <= chin_) {
        const Slice s = slice(p.y);
        if (std::abs(p.x - s.center) <= s.halfWidth) return true;
    }
    return p.y > 0 && p.y <= neckBottom && std::abs(p.x) <= neckHalfWidth;
}

namespace {

// Appends a grid of rows x columns points, the columns closing into a ring, and its triangles, wound
// so that the middle row's middle column (the front, by the callers' angles) faces the camera.
void addTube(Mesh& mesh, int rows, int columns, const std::function<void(int row, int column)>& point) {
    const int first = int(mesh.points.size());
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            point(r, c);
    const std::size_t firstTriangle = mesh.triangles.size();
    for (int r = 0; r + 1 < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const int a = first + r * columns + c, b = first + r * columns + (c + 1) % columns;
            mesh.triangles.push_back({a, a + columns, b + columns});
            mesh.triangles.push_back({a, b + columns, b});
        }
    const cv::Vec3i front = mesh.triangles[firstTriangle + 2 * ((rows / 2) * columns + columns / 2)];
    const cv::Point3f a = mesh.points[front[0]], b = mesh.points[front[1]], c = mesh.points[front[2]];
    if ((b - a).cross(c - a).z > 0)
        for (std::size_t i = firstTriangle; i < mesh.triangles.size(); ++i)
            std::swap(mesh.triangles[i][1], mesh.triangles[i][2]);
}

} // namespace

Mesh HeadShape::mesh(cv::Rect plainPatch) const {
    Mesh mesh;
    auto add = [&](cv::Point3d p, cv::Point2d texture, double follow) {
        mesh.points.emplace_back(p);
        mesh.texture.emplace_back(texture);
        mesh.follow.push_back(float(follow));
    };

    // The head: slices from the top of the cranium to the chin. The back takes the colours of the
    // outline at its height, so that no second face shows on it.
    const double top = -astronaut::craniumTop;
    const int slices = int(std::ceil((chin_ - top) / sliceStep)) + 1;
    addTube(mesh, slices, ringPoints, [&](int row, int column) {
        const double y = std::min(top + row * (chin_ - top) / (slices - 1), chin_);
        const Slice s = slice(y);
        const double angle = 2 * pi * column / ringPoints - pi;
        const cv::Point3d p = surface(s, y, angle);
        const double textureX = std::cos(angle) >= 0 ? p.x : s.center + 0.97 * s.halfWidth * std::sin(angle);
        add(p, photoPixel({textureX, y}), 1);
    });

    // The neck: its top turns with the head, its bottom stays with the body.
    const int neckRows = 33, neckColumns = 64;
    addTube(mesh, neckRows, neckColumns, [&](int row, int column) {
        const double t = double(row) / (neckRows - 1);
        const double y = neckTop + t * (neckBottom - neckTop);
        const double angle = 2 * pi * column / neckColumns - pi;
        const cv::Point3d p{neckHalfWidth * std::sin(angle), y, neckDepth - neckHalfDepth * std::cos(angle)};
        const double textureX = std::cos(angle) >= 0 ? p.x : 0.97 * neckHalfWidth * std::sin(angle);
        add(p, photoPixel({textureX, y}), 1 - smoothstep((t - 0.1) / 0.6));
    });

    // The shoulders, in one plain colour: the upper half of an ellipsoid.
    const int shoulderRows = 24, shoulderColumns = 96;
    const cv::Point2d plain(plainPatch.x + plainPatch.width / 2.0, plainPatch.y + plainPatch.height / 2.0);
    addTube(mesh, shoulderRows, shoulderColumns, [&](int row, int column) {
        const double elevation = pi / 2 * (1 - double(row) / (shoulderRows - 1)); // top to the widest
        const double angle = 2 * pi * column / shoulderColumns - pi;
        const double spread = std::cos(elevation);
        add({shoulderHalfWidth * spread * std::sin(angle),
             shoulderTop + shoulderHeight * (1 - std::sin(elevation)),
             neckDepth - shoulderHalfDepth * spread * std::cos(angle)},
            plain, 0);
    });

    // Normals from the triangles, weighted by their areas.
    mesh.normals.assign(mesh.points.size(), {0, 0, 0});
    for (const auto& t : mesh.triangles) {
        const cv::Point3f a = mesh.points[t[0]], b = mesh.points[t[1]], c = mesh.points[t[2]];
        const cv::Point3f n = (b - a).cross(c - a);
        for (int i = 0; i < 3; ++i)
            mesh.normals[t[i]] += n;
    }
    for (auto& n : mesh.normals) {
        const float length = std::sqrt(n.dot(n));
        n = length > 0 ? n / length : cv::Point3f(0, 0, -1);
    }
    return mesh;
}

} // namespace orvane::headrender
