#include "headrender/HeadRenderer.h"

#include "engine/FaceTracker.h"
#include "engine/tests/CapturingLog.h"
#include "headrender/PhotoFile.h"
#include "platform/FaceDetector.h"
#include "platform/tests/FacePhotos.h"

#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>
#include <opencv2/imgproc.hpp>

using namespace orvane;
using namespace orvane::headrender;

namespace {

double toRadians(double degrees) {
    return degrees * M_PI / 180;
}
double toDegrees(double radians) {
    return radians * 180 / M_PI;
}

// What the face pipeline reads from a frame, in degrees; absent without a face.
struct Reading {
    double yaw = 0, pitch = 0, roll = 0;
    double faceX = 0, faceY = 0, faceSize = 0;
};

class HeadRendererTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        photo_ = new cv::Mat(loadPhoto(defaultPhotoPath()));
        ASSERT_FALSE(photo_->empty())
            << "no photo at " << defaultPhotoPath() << ": run scripts/fetch-test-photos";
        ASSERT_TRUE(std::filesystem::exists(BlazeFaceDetector::findModel()))
            << "no face model: run scripts/fetch-model " << ORVANE_BINARY_DIR;
        renderer_ = new HeadRenderer(*photo_);
    }
    static void TearDownTestSuite() {
        delete renderer_;
        delete photo_;
    }

    // The reading of one frame on its own, as the first frame after a search.
    std::optional<Reading> read(const cv::Mat& frame) {
        detector_.reset();
        FaceTracker tracker(detector_);
        const auto nv12 = test::toNv12(frame);
        const auto observation = tracker.process(nv12.view());
        if (!observation) return std::nullopt;
        const HeadPose& pose = observation->pose;
        return Reading{toDegrees(pose.yaw), toDegrees(pose.pitch), toDegrees(pose.roll), pose.faceX,
                       pose.faceY,          pose.faceSize};
    }
    std::optional<Reading> read(const HeadPlacement& placement) { return read(renderer_->render(placement)); }

    static HeadRenderer& renderer() { return *renderer_; }
    static const cv::Mat& photo() { return *photo_; }

  private:
    static inline cv::Mat* photo_ = nullptr;
    static inline HeadRenderer* renderer_ = nullptr;
    test::CapturingLog log_;
    BlazeFaceDetector detector_{log_};
};

HeadPlacement turned(double yaw, double pitch = 0, double roll = 0) {
    HeadPlacement placement;
    placement.yaw = toRadians(yaw);
    placement.pitch = toRadians(pitch);
    placement.roll = toRadians(roll);
    placement.seed = 1;
    return placement;
}

// Least-squares line through the points, with its coefficient of determination.
struct Fit {
    double slope = 0, intercept = 0, r2 = 0;
};
Fit fitLine(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = double(x.size());
    const double mx = std::accumulate(x.begin(), x.end(), 0.0) / n;
    const double my = std::accumulate(y.begin(), y.end(), 0.0) / n;
    double sxy = 0, sxx = 0, syy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return {sxy / sxx, my - sxy / sxx * mx, sxy * sxy / (sxx * syy)};
}

} // namespace

// The detector's conventions: turning to the user's own left reads yaw > 0, looking up pitch > 0, turning
// clockwise on screen roll > 0; both on what the model finds and on the true keypoints' projection.
TEST_F(HeadRendererTest, TurnsReadWithTheFaceDetectorsSigns) {
    struct Case {
        const char* name;
        HeadPlacement placement;
        double HeadAngles::*angle;
        double Reading::*read;
        double sign;
    };
    const Case cases[] = {
        {"left", turned(20), &HeadAngles::yaw, &Reading::yaw, +1},
        {"right", turned(-20), &HeadAngles::yaw, &Reading::yaw, -1},
        {"up", turned(0, 20), &HeadAngles::pitch, &Reading::pitch, +1},
        {"down", turned(0, -20), &HeadAngles::pitch, &Reading::pitch, -1},
        {"clockwise", turned(0, 0, 20), &HeadAngles::roll, &Reading::roll, +1},
        {"anticlockwise", turned(0, 0, -20), &HeadAngles::roll, &Reading::roll, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reading = read(c.placement);
        ASSERT_TRUE(reading);
        EXPECT_GT(c.sign * (*reading).*c.read, 3);

        const auto projected = renderer().keypoints(c.placement);
        std::array<Point, 6> keypoints;
        for (std::size_t i = 0; i < keypoints.size(); ++i)
            keypoints[i] = {projected[i].x, projected[i].y};
        const auto truth = headAngles(keypoints, renderer().size().width, renderer().size().height);
        ASSERT_TRUE(truth);
        EXPECT_GT(c.sign * toDegrees((*truth).*c.angle), 8);
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
    const cv::Mat frame = sharp.render(placement);
    cv::Mat grey, photoGrey;
    cv::cvtColor(frame, grey, cv::COLOR_RGB2GRAY);
    cv::cvtColor(sharp.texture(), photoGrey, cv::COLOR_RGB2GRAY);

    const char* names[] = {"right eye", "left eye", "nose tip", "mouth"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        const cv::Point3d keypoint = sharp.shape().keypoints()[i];
        const cv::Point2d expected = sharp.project(keypoint, placement);
        // Frame pixels per photo pixel at this depth, from two projected points a millimetre apart.
        const cv::Point2d photoPoint = sharp.shape().photoPixel({keypoint.x, keypoint.y});
        const cv::Point2d step = sharp.shape().photoPixel({keypoint.x + 1, keypoint.y}) - photoPoint;
        const double scale =
            cv::norm(sharp.project(keypoint + cv::Point3d(1, 0, 0), placement) - expected) / cv::norm(step);
        // A 25 x 25 template of the photo around the keypoint, centred on pixel (12, 12).
        const cv::Matx23d toTemplate(scale, 0, 12.5 - scale * photoPoint.x, 0, scale,
                                     12.5 - scale * photoPoint.y);
        cv::Mat patch, scores;
        cv::warpAffine(photoGrey, patch, toTemplate, {25, 25}, cv::INTER_AREA);
        // Searched within 12 pixels of where the projection says.
        const cv::Rect area(int(expected.x) - 24, int(expected.y) - 24, 49, 49);
        cv::matchTemplate(grey(area), patch, scores, cv::TM_CCOEFF_NORMED);
        double best = 0;
        cv::Point at;
        cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
        ASSERT_TRUE(at.x > 0 && at.y > 0 && at.x + 1 < scores.cols && at.y + 1 < scores.rows);
        // The peak to a fraction of a pixel: the vertex of a parabola through it and its neighbours.
        auto vertex = [](float before, float peak, float after) {
            return 0.5 * (before - after) / (before - 2 * peak + after);
        };
        const cv::Point2d found(
            area.x + at.x + 12.5 +
                vertex(scores.at<float>(at.y, at.x - 1), float(best), scores.at<float>(at.y, at.x + 1)),
            area.y + at.y + 12.5 +
                vertex(scores.at<float>(at.y - 1, at.x), float(best), scores.at<float>(at.y + 1, at.x)));
        EXPECT_GT(best, 0.9);
        EXPECT_LT(cv::norm(found - expected), 0.6) << "found at " << found << ", projected to " << expected;
    }
}

TEST_F(HeadRendererTest, TheSameSeedGivesTheSameFrame) {
    const HeadPlacement placement = turned(12, -5, 3);
    HeadPlacement other = placement;
    other.seed = placement.seed + 1;

    const cv::Mat first = renderer().render(placement);
    const cv::Mat between = renderer().render(turned(-30));
    const cv::Mat again = renderer().render(placement);
    const cv::Mat reseeded = renderer().render(other);

    EXPECT_EQ(cv::norm(first, again, cv::NORM_INF), 0);
    EXPECT_GT(cv::norm(first, between, cv::NORM_L1) / first.total(), 5);
    // Another seed: only the sensor noise differs (sigma 2 in each frame).
    const double difference = cv::norm(first, reseeded, cv::NORM_L1) / (first.total() * 3);
    EXPECT_GT(difference, 1);
    EXPECT_LT(difference, 4);
}

// Moving the head sideways, up or away moves and shrinks the face the tracker finds by the camera's
// projection (focal length = frame width, 650 mm away at rest).
TEST_F(HeadRendererTest, PlacementMovesTheFaceAsTheCameraSeesIt) {
    const auto rest = read(turned(0));
    ASSERT_TRUE(rest);
    struct Case {
        const char* name;
        double x, y, distance;
    };
    for (const Case c : {Case{"right", 80, 0, 650}, Case{"left", -80, 0, 650}, Case{"down", 0, 40, 650},
                         Case{"up", 0, -40, 650}, Case{"far", 0, 0, 850}, Case{"near", 0, 0, 500}}) {
        SCOPED_TRACE(c.name);
        HeadPlacement placement = turned(0);
        placement.x = c.x;
        placement.y = c.y;
        placement.distance = c.distance;
        const auto moved = read(placement);
        ASSERT_TRUE(moved);
        // faceX and faceSize are shares of the width, faceY of the height.
        const double scale = 650 / c.distance;
        EXPECT_NEAR(moved->faceX - 0.5, scale * (rest->faceX - 0.5) + c.x / c.distance, 0.015);
        EXPECT_NEAR(moved->faceY - 0.5, scale * (rest->faceY - 0.5) + c.y / c.distance * 640 / 360, 0.03);
        EXPECT_NEAR(moved->faceSize, scale * rest->faceSize, 0.1 * scale * rest->faceSize);
    }
}

// What the face pipeline reads over a sweep of yaw, then of pitch: the face is always found, the sign is
// right once the turn is clear, and the reading follows the rendered angle in a line (the model's
// keypoints lean towards a frontal face, so the slope is below 1; it is not the renderer's).
TEST_F(HeadRendererTest, SweepsReadAsTheFacePipelineReadsRealHeads) {
    std::vector<double> yaws, readYaws;
    int inversions = 0;
    std::optional<double> previous;
    for (int yaw = -40; yaw <= 40; yaw += 5) {
        SCOPED_TRACE(yaw);
        const auto reading = read(turned(yaw));
        ASSERT_TRUE(reading) << "no face at yaw " << yaw;
        if (std::abs(yaw) >= 10) {
            EXPECT_GT(reading->yaw * yaw, 0) << "read " << reading->yaw;
        }
        if (std::abs(yaw) <= 30) {
            yaws.push_back(yaw);
            readYaws.push_back(reading->yaw);
            if (previous && reading->yaw < *previous) ++inversions;
            previous = reading->yaw;
        }
    }
    EXPECT_LE(inversions, 1);
    const Fit yawFit = fitLine(yaws, readYaws);
    EXPECT_GE(yawFit.r2, 0.95);
    EXPECT_GE(yawFit.slope, 0.6);
    EXPECT_LE(yawFit.slope, 1.1);

    std::vector<double> pitches, readPitches;
    for (int pitch = -25; pitch <= 25; pitch += 5) {
        const auto reading = read(turned(0, pitch));
        ASSERT_TRUE(reading) << "no face at pitch " << pitch;
        if (std::abs(pitch) <= 20) {
            pitches.push_back(pitch);
            readPitches.push_back(reading->pitch);
        }
    }
    const Fit pitchFit = fitLine(pitches, readPitches);
    EXPECT_GE(pitchFit.r2, 0.9);
    EXPECT_GE(pitchFit.slope, 0.4);
    EXPECT_LE(pitchFit.slope, 1.1);
}

// A user looking at one of two side-by-side monitors (the head turned 17.5 degrees either way) while
// sitting a little differently each time: every hold reads on its own side of the midpoint between the
// two means, with room to spare.
TEST_F(HeadRendererTest, HoldsOnTwoMonitorsAreSeparable) {
    cv::RNG rng(3);
    std::vector<double> left, right;
    for (int i = 0; i < 16; ++i) {
        const bool onLeft = i % 2 == 0;
        HeadPlacement placement = turned(onLeft ? 17.5 : -17.5, -8);
        placement.yaw += toRadians(rng.gaussian(1));
        placement.x = rng.uniform(-40.0, 40.0);
        placement.y = rng.uniform(-15.0, 15.0);
        placement.distance = 650 + rng.uniform(-60.0, 60.0);
        placement.seed = i;
        const auto reading = read(placement);
        ASSERT_TRUE(reading);
        (onLeft ? left : right).push_back(reading->yaw);
    }
    const double lowestLeft = *std::min_element(left.begin(), left.end());
    const double highestRight = *std::max_element(right.begin(), right.end());
    const double middle = (std::accumulate(left.begin(), left.end(), 0.0) / left.size() +
                           std::accumulate(right.begin(), right.end(), 0.0) / right.size()) /
                          2;
    EXPECT_GE(lowestLeft - middle, 5);
    EXPECT_GE(middle - highestRight, 5);
}
