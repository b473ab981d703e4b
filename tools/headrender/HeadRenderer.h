#pragma once

#include "headrender/HeadShape.h"

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace orvane::headrender {

// Where the rendered head is and how it is turned.
struct HeadPlacement {
    // Radians, as the face detector reads them: yaw > 0 turning to the user's own left, pitch > 0
    // looking up, roll > 0 turning clockwise on screen. The head turns about the top of the neck.
    double yaw = 0, pitch = 0, roll = 0;
    // Millimetres: the point between the eyes (of the head at rest) moved to the image right and down
    // from the camera's axis, and its distance from the camera. Shoulders and neck move along.
    double x = 0, y = 0, distance = 650;
    // Picks the sensor noise: the same placement and seed give the same frame, byte for byte.
    std::uint64_t seed = 0;
};

// Renders a person from a frontal photo as a camera at a desk sees them: the head turned by known
// angles in front of a textured grey wall, with a camera's slight blur and sensor noise. The focal
// length equals the frame width and the principal point is the frame's centre. Triangles are
// rasterised with a depth buffer on one thread. Not thread-safe (it reuses its buffers).
class HeadRenderer {
  public:
    struct Options {
        cv::Size size{640, 360};
        int supersampling = 1; // rendered this many times larger, then averaged down
        double blur = 0.6;     // Gaussian sigma, in pixels of a 640-pixel-wide frame
        double noise = 2;      // sensor noise sigma, in levels of 255
    };

    // `photo`: the frontal photo the landmarks were measured on (8-bit RGB); its background is
    // replaced with colours from the head, so that no part of the scene behind is painted on it.
    explicit HeadRenderer(const cv::Mat& photo);
    HeadRenderer(const cv::Mat& photo, Options options);

    cv::Size size() const { return options_.size; }
    const HeadShape& shape() const { return shape_; }
    // The photo as the head is textured with: background filled from the head.
    const cv::Mat& texture() const { return texture_; }

    // A frame, 8-bit RGB.
    cv::Mat render(const HeadPlacement& placement);

    // Where a point of the head (millimetres in the head's frame) lands in the frame, in pixels from
    // the top-left corner of the frame (pixel centres at .5).
    cv::Point2d project(cv::Point3d head, const HeadPlacement& placement) const;
    // The face model's six keypoints projected: subject's right eye, left eye, nose tip, mouth
    // centre, right ear, left ear (visible or not).
    std::array<cv::Point2d, 6> keypoints(const HeadPlacement& placement) const;

  private:
    struct Vertex {
        float x = 0, y = 0, inverseDepth = 0, u = 0, v = 0, shade = 1;
        cv::Point3f camera;
    };
    cv::Point3d toCamera(cv::Point3d head, const cv::Matx33d& rotation, double follow,
                         const HeadPlacement& placement) const;
    void rasterise(const Vertex& a, const Vertex& b, const Vertex& c);
    void addNoise(cv::Mat& frame, std::uint64_t seed) const;
    double blurSigma() const; // in rendered pixels

    Options options_;
    HeadShape shape_;
    cv::Mat texture_; // filled photo with the shoulders' plain colour below it
    Mesh mesh_;
    std::vector<float> restLight_; // the light each point had in the photo (1 for plain colour)
    cv::Mat wall_;                 // the background at the rendering size
    cv::Mat noise_;                // a bank of sensor noise, read at a random offset per frame
    // Per frame.
    std::vector<Vertex> vertices_;
    cv::Mat colour_, depth_;
    cv::Rect drawn_; // the pixels triangles covered
};

} // namespace orvane::headrender
