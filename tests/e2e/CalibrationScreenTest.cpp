#include "simulated-user/CalibrationScreen.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

using namespace orvane;
using namespace orvane::simulated;

namespace {

// Screenshots of a calibration as its windows draw it: a desktop with windows darkened by a black layer,
// and on the monitor being calibrated the dot (a disc 44 px across in the accent colour #3584E4 at opacity
// 0.25, a white progress ring of width 3 on its edge, a white disc 10 px across at its centre) and white
// instructions. 8-bit BGRA, as X gives 24-bit screens.

const cv::Size monitorSize(1920, 1080);

// A busy desktop: a mid-grey background with a few light windows with title bars and text.
const cv::Mat& desktop() {
    static const cv::Mat picture = [] {
        cv::Mat picture(monitorSize, CV_8UC4, cv::Scalar(110, 100, 90, 255));
        cv::RNG rng(1);
        for (int i = 0; i < 4; ++i) {
            const cv::Rect window(rng.uniform(0, 1280), rng.uniform(0, 720), rng.uniform(384, 640),
                                  rng.uniform(216, 360));
            cv::rectangle(picture, window, cv::Scalar(245, 245, 245, 255), cv::FILLED);
            cv::rectangle(picture, cv::Rect(window.x, window.y, window.width, 28),
                          cv::Scalar(180, 120, 60, 255), cv::FILLED);
            for (int line = 0; line < 6; ++line)
                cv::putText(picture, "The quick brown fox jumps", {window.x + 10, window.y + 60 + 24 * line},
                            cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(20, 20, 20, 255), 1, cv::LINE_AA);
        }
        return picture;
    }();
    return picture;
}

struct CalibrationLook {
    std::optional<cv::Point2d> dot; // centre in pixels; none on the monitors not being calibrated
    double progress = 0.4;          // share of the ring drawn
    double scale = 1;               // the interface's scale factor
    bool text = true;               // the instructions
    double darkening = 0.88;        // opacity of the black layer
};

// Paints the colour over the picture through the mask, within the area.
void blend(cv::Mat& picture, const cv::Mat& mask, cv::Rect area, cv::Scalar colour, double opacity) {
    area &= cv::Rect(0, 0, picture.cols, picture.rows);
    for (int y = area.y; y < area.y + area.height; ++y)
        for (int x = area.x; x < area.x + area.width; ++x) {
            const double a = opacity * mask.at<uchar>(y, x) / 255.0;
            if (a <= 0) continue;
            auto& p = picture.at<cv::Vec4b>(y, x);
            for (int c = 0; c < 3; ++c)
                p[c] = cv::saturate_cast<uchar>((1 - a) * p[c] + a * colour[c]);
        }
}

cv::Mat calibrationPicture(const cv::Mat& desktop, const CalibrationLook& look) {
    cv::Mat picture;
    desktop.convertTo(picture, CV_8UC4, 1 - look.darkening);
    const double s = look.scale;
    if (look.dot) {
        // Drawn at 16 times the resolution for smooth edges, as the interface draws them.
        constexpr int shift = 4;
        const cv::Point centre(int(look.dot->x * 16), int(look.dot->y * 16));
        auto disc = [&](double diameter) {
            cv::Mat mask = cv::Mat::zeros(picture.size(), CV_8UC1);
            cv::circle(mask, centre, int(diameter / 2 * 16), cv::Scalar(255), cv::FILLED, cv::LINE_AA, shift);
            return mask;
        };
        const int reach = int(30 * s);
        const cv::Rect area(int(look.dot->x) - reach, int(look.dot->y) - reach, 2 * reach, 2 * reach);
        blend(picture, disc(44 * s), area, cv::Scalar(0xE4, 0x84, 0x35), 0.25); // BGR of #3584E4
        if (look.progress > 0) {
            cv::Mat ring = cv::Mat::zeros(picture.size(), CV_8UC1);
            const int radius = int(22 * s * 16);
            cv::ellipse(ring, centre, {radius, radius}, -90, 0, 360 * look.progress, cv::Scalar(255),
                        int(std::round(3 * s)), cv::LINE_AA, shift);
            blend(picture, ring, area, cv::Scalar(255, 255, 255), 1);
        }
        blend(picture, disc(10 * s), area, cv::Scalar(255, 255, 255), 1);
    }
    if (look.text) {
        cv::Mat text = cv::Mat::zeros(picture.size(), CV_8UC1);
        const cv::Point at(picture.cols / 2 - int(260 * s), picture.rows / 2 + int(120 * s));
        cv::putText(text, "Follow the dot with your head", at, cv::FONT_HERSHEY_SIMPLEX, 1.0 * s,
                    cv::Scalar(255), int(2 * s), cv::LINE_AA);
        cv::putText(text, "Getting ready. o O .", at + cv::Point(0, int(40 * s)), cv::FONT_HERSHEY_SIMPLEX,
                    0.7 * s, cv::Scalar(255), int(std::max(1.0, s)), cv::LINE_AA);
        blend(picture, text, cv::Rect(at.x, at.y - int(40 * s), int(700 * s), int(100 * s)),
              cv::Scalar(255, 255, 255), 1);
    }
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
