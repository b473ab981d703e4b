#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

namespace orvane::headrender {

// The rendered person as triangles, at rest: the head, a neck and plain shoulders. Millimetres in the
// head's frame: x to the image right for a frontal face (the subject's left), y down, z away from the
// camera, origin between the eyes.
struct Mesh {
    std::vector<cv::Point3f> points;
    std::vector<cv::Point2f> texture; // pixel in the texture image
    // How far a point follows the head: 1 on the head, 0 on the shoulders, in between along the neck.
    std::vector<float> follow;
    std::vector<cv::Point3f> normals; // outward, unit length
    std::vector<cv::Vec3i> triangles; // counter-clockwise seen from outside: (b - a) x (c - a) points out
};

// A head built from a frontal photo and its landmarks: a stack of horizontal elliptical slices whose
// front follows the face outline (the jaw landmarks) below the eyes and a hair-covered cranium above
// them, with the side edge about 80 mm behind the eyes and nose, lips, eye sockets, brows and cheeks as
// bumps of a mean face. The photo is projected onto it from the front, scaled so that the eye centres
// sit 62 mm apart and turned so that they are level.
class HeadShape {
  public:
    static constexpr double eyeDistance = 62;
    // The point the head turns about: the top of the neck, below and behind the eyes.
    static inline const cv::Point3d pivot{0, 50, 85};

    HeadShape();

    // Frontal projection between the head's (x, y) and the photo's pixels.
    cv::Point2d photoPixel(cv::Point2d head) const;
    cv::Point2d headPoint(cv::Point2d photo) const;

    // The front surface at (x, y): its depth, NaN off the head's outline.
    double frontDepth(double x, double y) const;
    // The face model's six keypoints on the surface: subject's right eye, left eye, nose tip, mouth
    // centre, right ear, left ear.
    const std::array<cv::Point3d, 6>& keypoints() const { return keypoints_; }

    // Whether the photo pixel shows the person (head or neck) rather than the scene behind.
    bool showsPerson(cv::Point2d photo) const;

    // The triangles, textured with pixels of a texture image that is the photo with `plainPatch`
    // (a rectangle outside the photo, in texture pixels) holding the shoulders' plain colour.
    Mesh mesh(cv::Rect plainPatch) const;

  private:
    // One horizontal slice: an ellipse of half-width `halfWidth` around x = `center`, its widest
    // points at depth `middle`, reaching `front` millimetres forward and `back` millimetres backward.
    struct Slice {
        double center = 0, halfWidth = 0, middle = 0, front = 0, back = 0;
    };
    Slice slice(double y) const;
    double faceEdge(const std::vector<cv::Point2d>& chain, double y) const;
    double relief(double x, double y) const;
    cv::Point3d surface(const Slice& s, double y, double angle) const;

    cv::Point2d eyeMiddle_, axisX_, axisY_;
    double pixelsPerMm_ = 1;
    std::vector<cv::Point2d> rightEdge_, leftEdge_; // face outline in head mm, top to chin
    double chin_ = 0;                               // y of the chin
    cv::Point2d noseBridge_, noseTip_, mouth_;
    std::array<cv::Point3d, 6> keypoints_;
};

} // namespace orvane::headrender
