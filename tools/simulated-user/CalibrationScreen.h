#pragma once

#include "simulated-user/Desk.h"

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace orvane::simulated {

// What a calibration shows on the screen, read from screenshots (8-bit BGRA, X's layout of 24-bit
// colour). The calibration windows darken every monitor (black at 0.88 opacity, 0.96 on the monitors
// not being calibrated) and draw the dot on one: a disc 44 px across in the accent colour #3584E4 at
// opacity 0.25, a white progress ring on its edge and a white disc 10 px across at its centre. The
// instructions are white text. Every size doubles with a scale factor of 2.
struct CalibrationView {
    bool running = false;
    std::optional<cv::Point2d> dot;         // root-window pixels
    std::optional<std::string> textMonitor; // without a dot: the monitor showing the instructions

    bool operator==(const CalibrationView&) const = default;
};

// The centre of the dot in a screenshot, in its pixels: a filled white disc (6 to 28 px across) with
// a blue-tinted, not white, ring of pixels around it. Absent when there is none.
std::optional<cv::Point2d> findCalibrationDot(const cv::Mat& bgra);

// Share of a screenshot's pixels that are dark (every channel below 64), from a sparse sample.
double darkShare(const cv::Mat& bgra);

// The calibration as one screenshot of each monitor (in the monitors' order) shows it: running when
// every monitor is mostly dark and shows the dot or white text.
CalibrationView readCalibration(const std::vector<Monitor>& monitors, const std::vector<cv::Mat>& shots);

} // namespace orvane::simulated
