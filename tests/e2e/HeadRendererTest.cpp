#include "headrender/HeadRenderer.h"

#include "engine/FaceTracker.h"
#include "engine/tests/CapturingLog.h"
#include "headrender/FacePhotos.h"
#include "headrender/PhotoFile.h"
#include "platform/FaceDetector.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>

using namespace orvane;
using namespace orvane::headrender;

namespace {

constexpr double degree = M_PI / 180;

HeadPlacement turned(double yaw, double pitch = 0) {
    HeadPlacement placement;
    placement.yaw = yaw * degree;
    placement.pitch = pitch * degree;
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

// What the face pipeline reads over a sweep of yaw, then of pitch: the face is always found, the yaw's
// sign is right once the turn is clear (turning to the user's own left reads yaw > 0, looking up pitch > 0),
// and the reading follows the rendered angle in a line (the model's keypoints lean towards a frontal face,
// so the slope is below 1; it is not the renderer's).
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
