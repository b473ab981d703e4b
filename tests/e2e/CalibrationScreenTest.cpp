#include "simulated-user/CalibrationScreen.h"

#include "CalibrationPicture.h"
#include "headrender/PhotoFile.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

using namespace orvane;
using namespace orvane::simulated;
using orvane::test::CalibrationLook;
using orvane::test::calibrationPicture;
using orvane::test::desktopPicture;

namespace {

const cv::Size monitorSize(1920, 1080);

const cv::Mat& desktop() {
    static const cv::Mat picture = desktopPicture(monitorSize);
    return picture;
}

} // namespace

// The dot where the calibration puts it (the centre, the border, the edges facing another monitor), at
// both scale factors, with the ring at any progress, among the instructions' text; a dot cut by the
// screen's edge too.
TEST(CalibrationScreenTest, FindsTheDotWhereverItIs) {
    const cv::Point2d spots[] = {{0.5, 0.5},  {0.08, 0.1}, {0.92, 0.9}, {0.98, 0.3},
                                 {0.02, 0.7}, {0.3, 0.98}, {0.7, 0.02}};
    for (const double scale : {1.0, 2.0})
        for (const double progress : {0.0, 0.05, 0.6, 1.0})
            for (const cv::Point2d spot : spots) {
                const cv::Point2d centre(spot.x * monitorSize.width, spot.y * monitorSize.height);
                SCOPED_TRACE(testing::Message()
                             << "scale " << scale << ", progress " << progress << ", dot at " << centre);
                CalibrationLook look;
                look.dot = centre;
                look.progress = progress;
                look.scale = scale;
                const auto found = findCalibrationDot(calibrationPicture(desktop(), look));
                ASSERT_TRUE(found);
                EXPECT_LT(cv::norm(*found - centre), 1.0) << "found at " << *found;
            }
}

// Nothing else passes for the dot: the instructions, white discs that are not in the tinted disc, the
// tinted disc without its centre.
TEST(CalibrationScreenTest, FindsNoDotInOtherPictures) {
    CalibrationLook textOnly;
    EXPECT_FALSE(findCalibrationDot(calibrationPicture(desktop(), textOnly)));

    cv::Mat whiteDisc = calibrationPicture(desktop(), textOnly);
    cv::circle(whiteDisc, {600, 300}, 5, cv::Scalar(255, 255, 255, 255), cv::FILLED, cv::LINE_AA);
    cv::circle(whiteDisc, {900, 300}, 10, cv::Scalar(255, 255, 255, 255), cv::FILLED, cv::LINE_AA);
    EXPECT_FALSE(findCalibrationDot(whiteDisc));

    CalibrationLook dot;
    dot.dot = cv::Point2d(700, 400);
    cv::Mat hollow = calibrationPicture(desktop(), dot);
    cv::circle(hollow, {700, 400}, 7, cv::Scalar(18, 10, 3, 255), cv::FILLED);
    EXPECT_FALSE(findCalibrationDot(hollow));
}

// Two monitors, LEFT and RIGHT of the root window: the dot in root pixels wherever it is; without one,
// the monitor with the instructions; no calibration on a lit desktop or an empty black one.
TEST(CalibrationScreenTest, ReadsTheCalibrationAcrossMonitors) {
    const std::vector<Monitor> monitors = {{"LEFT", {0, 0, 1920, 1080}, {508, 286}},
                                           {"RIGHT", {1920, 0, 1920, 1080}, {508, 286}}};
    const cv::Mat black(monitorSize, CV_8UC4, cv::Scalar(0, 0, 0, 255));
    CalibrationLook quiet, dotted, instructions;
    quiet.text = false;
    quiet.darkening = 0.96;
    dotted.dot = cv::Point2d(176.4, 108);
    const cv::Mat calibrated = calibrationPicture(desktop(), dotted);
    const cv::Mat waiting = calibrationPicture(desktop(), quiet);
    const cv::Mat talking = calibrationPicture(desktop(), instructions);

    struct Case {
        const char* name;
        cv::Mat left, right;
        CalibrationView expected;
    };
    const Case cases[] = {
        {"dot on the right", waiting, calibrated, {true, cv::Point2d(1920 + 176.4, 108), std::nullopt}},
        {"dot on the left", calibrated, waiting, {true, cv::Point2d(176.4, 108), std::nullopt}},
        {"instructions on the right", waiting, talking, {true, std::nullopt, "RIGHT"}},
        {"lit desktop", desktop(), calibrated, {}},
        {"black desktop", black, black, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CalibrationView view = readCalibration(monitors, {c.left, c.right});
        EXPECT_EQ(view.running, c.expected.running);
        EXPECT_EQ(view.textMonitor, c.expected.textMonitor);
        ASSERT_EQ(view.dot.has_value(), c.expected.dot.has_value());
        if (view.dot) {
            EXPECT_LT(cv::norm(*view.dot - *c.expected.dot), 1.0);
        }
    }
}
