#include "simulated-user/CalibrationScreen.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvane::simulated {

namespace {

// Pixels are B, G, R, X.
bool isWhite(const cv::Vec4b& p, int floor = 200) {
    return p[0] >= floor && p[1] >= floor && p[2] >= floor;
}
bool isDark(const cv::Vec4b& p) {
    return p[0] < 64 && p[1] < 64 && p[2] < 64;
}
// The accent colour at a quarter opacity over the darkened desktop: bluer than the darkened desktop
// alone can be (at most 31 of 255), clearly more blue than red, and far from white.
bool isTinted(const cv::Vec4b& p) {
    return p[0] >= 45 && p[0] >= p[2] + 18 && std::max({p[0], p[1], p[2]}) < 170;
}

struct Blob {
    cv::Rect box;
    int area = 0;
    cv::Point2d centre;
};

// The 4-connected light pixels around a seed, marked in `visited`; absent when the blob grows larger
// than a dot's centre could be.
std::optional<Blob> lightBlob(const cv::Mat& bgra, cv::Mat& visited, cv::Point seed) {
    constexpr int largest = 28;
    std::vector<cv::Point> stack{seed};
    visited.at<uchar>(seed) = 1;
    Blob blob;
    int left = seed.x, right = seed.x, top = seed.y, bottom = seed.y;
    cv::Point2d sum;
    bool tooLarge = false;
    while (!stack.empty()) {
        const cv::Point p = stack.back();
        stack.pop_back();
        ++blob.area;
        sum += cv::Point2d(p.x + 0.5, p.y + 0.5);
        left = std::min(left, p.x), right = std::max(right, p.x);
        top = std::min(top, p.y), bottom = std::max(bottom, p.y);
        if (right - left >= largest || bottom - top >= largest) tooLarge = true;
        for (const cv::Point step : {cv::Point(1, 0), cv::Point(-1, 0), cv::Point(0, 1), cv::Point(0, -1)}) {
            const cv::Point q = p + step;
            if (q.x < 0 || q.y < 0 || q.x >= bgra.cols || q.y >= bgra.rows || visited.at<uchar>(q)) continue;
            if (!isWhite(bgra.at<cv::Vec4b>(q), 150)) continue;
            visited.at<uchar>(q) = 1;
            stack.push_back(q);
        }
    }
    if (tooLarge) return std::nullopt;
    blob.box = cv::Rect(left, top, right - left + 1, bottom - top + 1);
    blob.centre = sum / blob.area;
    return blob;
}

// Share of the ring between 1.8 and 3.6 radii of the centre disc that is tinted, or 0 when too little
// of it lies in the screenshot.
double tintAround(const cv::Mat& bgra, cv::Point2d centre, double radius) {
    int inside = 0, tinted = 0;
    for (double k : {1.8, 2.4, 3.0, 3.6})
        for (int i = 0; i < 24; ++i) {
            const double angle = 2 * M_PI * i / 24;
            const cv::Point p(int(std::floor(centre.x + k * radius * std::cos(angle))),
                              int(std::floor(centre.y + k * radius * std::sin(angle))));
            if (p.x < 0 || p.y < 0 || p.x >= bgra.cols || p.y >= bgra.rows) continue;
            ++inside;
            if (isTinted(bgra.at<cv::Vec4b>(p))) ++tinted;
        }
    return inside >= 30 ? double(tinted) / inside : 0;
}

} // namespace

std::optional<cv::Point2d> findCalibrationDot(const cv::Mat& bgra) {
    if (bgra.empty() || bgra.type() != CV_8UC4) return std::nullopt;
    cv::Mat visited = cv::Mat::zeros(bgra.size(), CV_8UC1);
    std::optional<cv::Point2d> best;
    double bestTint = 0.7; // the least share of tinted ring that counts
    // The centre disc is at least 6 px across: every other pixel of every other row meets it.
    for (int y = 0; y < bgra.rows; y += 2) {
        const cv::Vec4b* row = bgra.ptr<cv::Vec4b>(y);
        for (int x = 0; x < bgra.cols; x += 2) {
            if (!isWhite(row[x]) || visited.at<uchar>(y, x)) continue;
            const auto blob = lightBlob(bgra, visited, {x, y});
            if (!blob) continue;
            const int w = blob->box.width, h = blob->box.height;
            // A filled round disc.
            if (w < 6 || h < 6 || std::abs(w - h) > 0.25 * std::max(w, h) + 1) continue;
            if (blob->area < 0.65 * M_PI / 4 * w * h) continue;
            const double tint = tintAround(bgra, blob->centre, (w + h) / 4.0);
            if (tint >= bestTint) {
                bestTint = tint;
                best = blob->centre;
            }
        }
    }
    return best;
}

double darkShare(const cv::Mat& bgra) {
    if (bgra.empty() || bgra.type() != CV_8UC4) return 0;
    int dark = 0, all = 0;
    for (int y = 0; y < bgra.rows; y += 8) {
        const cv::Vec4b* row = bgra.ptr<cv::Vec4b>(y);
        for (int x = 0; x < bgra.cols; x += 8, ++all)
            if (isDark(row[x])) ++dark;
    }
    return all ? double(dark) / all : 0;
}

CalibrationView readCalibration(const std::vector<Monitor>& monitors, const std::vector<cv::Mat>& shots) {
    CalibrationView view;
    if (monitors.empty() || shots.size() != monitors.size()) return view;
    for (const cv::Mat& shot : shots)
        if (darkShare(shot) < 0.85) return view;

    int mostText = 0;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (const auto dot = findCalibrationDot(shots[i])) {
            view.running = true;
            view.dot = *dot + cv::Point2d(monitors[i].pixels.x, monitors[i].pixels.y);
            view.textMonitor.reset();
            return view;
        }
        int text = 0;
        for (int y = 0; y < shots[i].rows; y += 2) {
            const cv::Vec4b* row = shots[i].ptr<cv::Vec4b>(y);
            for (int x = 0; x < shots[i].cols; x += 2)
                if (isWhite(row[x])) ++text;
        }
        if (text > mostText && text >= 20) {
            mostText = text;
            view.running = true;
            view.textMonitor = monitors[i].name;
        }
    }
    return view;
}

} // namespace orvane::simulated
