#include "headrender/HeadRenderer.h"

#include "engine/FaceTracker.h"
#include "engine/tests/CapturingLog.h"
#include "headrender/FacePhotos.h"
#include "headrender/PhotoFile.h"
#include "platform/FaceDetector.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>
#include <opencv2/imgproc.hpp>

using namespace orvane;
using namespace orvane::headrender;

namespace {

constexpr double degree = M_PI / 180;

HeadPlacement turned(double yaw, double pitch = 0, double roll = 0) {
    HeadPlacement placement;
    placement.yaw = yaw * degree;
    placement.pitch = pitch * degree;
    placement.roll = roll * degree;
    placement.seed = 1;
    return placement;
}

// The least-squares line through the points: its slope and coefficient of determination.
std::pair<double, double> fitLine(const std::vector<double>& x, const std::vector<double>& y) {
    const double mx = std::accumulate(x.begin(), x.end(), 0.0) / double(x.size());
    const double my = std::accumulate(y.begin(), y.end(), 0.0) / double(y.size());
    double sxy = 0, sxx = 0, syy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return {sxy / sxx, sxy * sxy / (sxx * syy)};
}

class HeadRendererTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(photo().empty())
            << "no photo at " << defaultPhotoPath() << ": run scripts/fetch-test-photos";
        ASSERT_TRUE(std::filesystem::exists(BlazeFaceDetector::findModel()))
            << "no face model: run scripts/fetch-model " << ORVANE_BINARY_DIR;
    }
    static const cv::Mat& photo() {
        static const cv::Mat photo = loadPhoto(defaultPhotoPath());
        return photo;
    }
    static HeadRenderer& renderer() {
        static HeadRenderer renderer(photo());
        return renderer;
    }

    // What the face pipeline reads from one frame on its own, as the first frame after a search.
    std::optional<HeadPose> read(const HeadPlacement& placement) {
        detector_.reset();
        FaceTracker tracker(detector_);
        const auto observation = tracker.process(test::toNv12(renderer().render(placement)).view());
        return observation ? std::optional(observation->pose) : std::nullopt;
    }

  private:
    test::CapturingLog log_;
    BlazeFaceDetector detector_{log_};
};

} // namespace

// The detector's conventions: turning to the user's own left reads yaw > 0, looking up pitch > 0, turning
// clockwise on screen roll > 0; both on what the model finds and on the true keypoints' projection.
TEST_F(HeadRendererTest, TurnsReadWithTheFaceDetectorsSigns) {
    for (int axis = 0; axis < 3; ++axis)
        for (const double sign : {1.0, -1.0}) {
            SCOPED_TRACE(testing::Message() << "axis " << axis << " turned " << sign * 20);
            double angles[3] = {};
            angles[axis] = sign * 20;
            const HeadPlacement placement = turned(angles[0], angles[1], angles[2]);
            const auto reading = read(placement);
            ASSERT_TRUE(reading);
            EXPECT_GT(sign * (std::array{reading->yaw, reading->pitch, reading->roll}[axis]), 3 * degree);

            const auto projected = renderer().keypoints(placement);
            std::array<Point, 6> keypoints;
            for (std::size_t i = 0; i < keypoints.size(); ++i)
                keypoints[i] = {projected[i].x, projected[i].y};
            const auto truth = headAngles(keypoints, renderer().size().width, renderer().size().height);
            ASSERT_TRUE(truth);
            EXPECT_GT(sign * (std::array{truth->yaw, truth->pitch, truth->roll}[axis]), 8 * degree);
        }
}

// A frontal head shows the photo's features where the projection puts them: a patch of the photo around
// each eye, the nose tip and the mouth, scaled as the projection scales it, is found there in the frame,
// to a fraction of a pixel (measured: 0.1 to 0.3).
TEST_F(HeadRendererTest, PhotoFeaturesLandWhereTheProjectionPutsThem) {
    HeadRenderer::Options options;
    options.blur = 0;
    options.noise = 0;
    HeadRenderer sharp(photo(), options);
    HeadPlacement placement;
    placement.x = 25;
    placement.y = -10;
    cv::Mat grey, photoGrey;
    cv::cvtColor(sharp.render(placement), grey, cv::COLOR_RGB2GRAY);
    cv::cvtColor(sharp.texture(), photoGrey, cv::COLOR_RGB2GRAY);

    for (int i = 0; i < 4; ++i) { // the eyes, the nose tip, the mouth
        SCOPED_TRACE(i);
        const cv::Point3d keypoint = sharp.shape().keypoints()[i];
        const cv::Point2d expected = sharp.project(keypoint, placement);
        // Frame pixels per photo pixel at this depth, from two projected points a millimetre apart.
        const cv::Point2d photoPoint = sharp.shape().photoPixel({keypoint.x, keypoint.y});
        const cv::Point2d step = sharp.shape().photoPixel({keypoint.x + 1, keypoint.y}) - photoPoint;
        const double scale =
            cv::norm(sharp.project(keypoint + cv::Point3d(1, 0, 0), placement) - expected) / cv::norm(step);
        // A 25 x 25 template of the photo around the keypoint, centred on pixel (12, 12), searched within
        // 12 pixels of where the projection says.
        const cv::Matx23d toTemplate(scale, 0, 12.5 - scale * photoPoint.x, 0, scale,
                                     12.5 - scale * photoPoint.y);
        cv::Mat patch, scores;
        cv::warpAffine(photoGrey, patch, toTemplate, {25, 25}, cv::INTER_AREA);
        const cv::Rect area(int(expected.x) - 24, int(expected.y) - 24, 49, 49);
        cv::matchTemplate(grey(area), patch, scores, cv::TM_CCOEFF_NORMED);
        double best = 0;
        cv::Point at;
        cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
        ASSERT_TRUE(at.x > 0 && at.y > 0 && at.x + 1 < scores.cols && at.y + 1 < scores.rows);
        // The peak to a fraction of a pixel: the vertex of a parabola through it and its neighbours.
        auto vertex = [&](cv::Point along) {
            const float before = scores.at<float>(at - along), after = scores.at<float>(at + along);
            return 0.5 * (before - after) / (before - 2 * best + after);
        };
        const cv::Point2d found(area.x + at.x + 12.5 + vertex({1, 0}), area.y + at.y + 12.5 + vertex({0, 1}));
        EXPECT_GT(best, 0.9);
        EXPECT_LT(cv::norm(found - expected), 0.6) << "found at " << found << ", projected to " << expected;
    }
}

// The same placement and seed give the same frame, whatever was rendered between; another seed changes
// only the sensor noise (sigma 2 in each frame).
TEST_F(HeadRendererTest, TheSameSeedGivesTheSameFrame) {
    const HeadPlacement placement = turned(12, -5, 3);
    HeadPlacement reseeded = placement;
    reseeded.seed = placement.seed + 1;
    const cv::Mat first = renderer().render(placement);
    const cv::Mat between = renderer().render(turned(-30));
    EXPECT_EQ(cv::norm(first, renderer().render(placement), cv::NORM_INF), 0);
    EXPECT_GT(cv::norm(first, between, cv::NORM_L1) / first.total(), 5);
    const double noise = cv::norm(first, renderer().render(reseeded), cv::NORM_L1) / (first.total() * 3);
    EXPECT_GT(noise, 1);
    EXPECT_LT(noise, 4);
}

// Moving the head sideways, up or away moves and shrinks the face the tracker finds by the camera's
// projection (focal length = frame width, 650 mm away at rest).
TEST_F(HeadRendererTest, PlacementMovesTheFaceAsTheCameraSeesIt) {
    const auto rest = read(turned(0));
    ASSERT_TRUE(rest);
    for (const auto [x, y, distance] : {std::array{80., 0., 650.},
                                        {-80., 0., 650.},
                                        {0., 40., 650.},
                                        {0., -40., 650.},
                                        {0., 0., 850.},
                                        {0., 0., 500.}}) {
        SCOPED_TRACE(testing::Message() << x << ", " << y << " at " << distance);
        HeadPlacement placement = turned(0);
        placement.x = x;
        placement.y = y;
        placement.distance = distance;
        const auto moved = read(placement);
        ASSERT_TRUE(moved);
        // faceX and faceSize are shares of the width, faceY of the height.
        const double scale = 650 / distance;
        EXPECT_NEAR(moved->faceX - 0.5, scale * (rest->faceX - 0.5) + x / distance, 0.015);
        EXPECT_NEAR(moved->faceY - 0.5, scale * (rest->faceY - 0.5) + y / distance * 640 / 360, 0.03);
        EXPECT_NEAR(moved->faceSize, scale * rest->faceSize, 0.1 * scale * rest->faceSize);
    }
}

// What the face pipeline reads over a sweep of yaw, then of pitch: the face is always found, the yaw's
// sign is right once the turn is clear, and the reading follows the rendered angle in a line (the model's
// keypoints lean towards a frontal face, so the slope is below 1; it is not the renderer's).
TEST_F(HeadRendererTest, SweepsReadAsTheFacePipelineReadsRealHeads) {
    struct Sweep {
        bool yaw;
        int reach, fitted; // degrees swept either way, and within which the line is fitted
        double r2, slope;  // the least the fit must reach
    };
    for (const Sweep& s : {Sweep{true, 40, 30, 0.95, 0.6}, Sweep{false, 25, 20, 0.9, 0.4}}) {
        std::vector<double> angles, readings;
        int inversions = 0;
        for (int angle = -s.reach; angle <= s.reach; angle += 5) {
            SCOPED_TRACE(testing::Message() << (s.yaw ? "yaw " : "pitch ") << angle);
            const auto reading = read(s.yaw ? turned(angle) : turned(0, angle));
            ASSERT_TRUE(reading) << "no face";
            const double value = (s.yaw ? reading->yaw : reading->pitch) / degree;
            if (s.yaw && std::abs(angle) >= 10) {
                EXPECT_GT(value * angle, 0) << "read " << value;
            }
            if (std::abs(angle) > s.fitted) continue;
            if (!readings.empty() && value < readings.back()) ++inversions;
            angles.push_back(angle);
            readings.push_back(value);
        }
        const auto [slope, r2] = fitLine(angles, readings);
        EXPECT_GE(r2, s.r2);
        EXPECT_GE(slope, s.slope);
        EXPECT_LE(slope, 1.1);
        if (s.yaw) {
            EXPECT_LE(inversions, 1);
        }
    }
}
