#pragma once

#include "simulated-user/CalibrationScreen.h"
#include "simulated-user/Desk.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <vector>

typedef struct _XDisplay Display;

namespace orvane::simulated {

// The user's eyes on the X desktop: the monitors (RandR monitors with their physical sizes) and
// screenshots of the root window, through shared memory when the server offers it. Its own connection.
class ScreenWatcher {
  public:
    // Seconds between looks at the screen while no calibration runs, and while one does.
    static constexpr double idleInterval = 0.5;
    static constexpr double calibrationInterval = 0.1;

    // Connects to the display (empty: $DISPLAY); isOpen() says whether that worked.
    explicit ScreenWatcher(const std::string& display);
    ~ScreenWatcher();
    ScreenWatcher(const ScreenWatcher&) = delete;
    ScreenWatcher& operator=(const ScreenWatcher&) = delete;

    bool isOpen() const { return display_ != nullptr; }
    // As read at connection; monitors without a physical size count 0.265 mm per pixel (96 dpi).
    const std::vector<Monitor>& monitors() const { return monitors_; }

    // One screenshot of each monitor, 8-bit BGRA, valid until the next call; empty when the screen cannot
    // be read in that layout. Only while not watching.
    std::vector<cv::Mat> screenshots();

    // Whether each monitor lies wholly under one viewable top-level window, as under the calibration's
    // full-screen windows.
    bool everyMonitorCovered();

    // Looks at the screen on a thread of its own, more often while a calibration runs, and calls
    // `changed` there whenever what it reads changes. The first reading is always reported.
    void watch(std::function<void(const CalibrationView&)> changed);
    void stop();

  private:
    struct Shot;

    Display* display_ = nullptr;
    std::vector<Monitor> monitors_;
    std::vector<std::unique_ptr<Shot>> shots_;
    bool shared_ = false; // the MIT-SHM extension is there

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

} // namespace orvane::simulated
