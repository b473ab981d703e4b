// The simulated user program on the virtual desktop, seen through the real camera path and face model,
// and following calibration windows drawn on the real X server.

#include "SimulatedUser.h"

#include "CalibrationPicture.h"
#include "engine/FaceTracker.h"
#include "engine/tests/CapturingLog.h"
#include "platform/CameraService.h"
#include "platform/FaceDetector.h"
#include "platform/tests/TestDesktop.h"

#include <X11/Xutil.h>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;

namespace {

double uptime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A camera on a source fragment, each frame analysed by the face tracker as the program does.
class WatchingCamera {
  public:
    struct Frame {
        double time = 0;           // the frame's capture time
        double received = 0;       // when the tracker got it
        std::optional<double> yaw; // degrees
    };

    explicit WatchingCamera(const std::string& fragment)
        : camera_(queue_, log_, options(fragment)), detector_(log_), tracker_(detector_) {
        camera_.onFrame = [this](const FrameView& frame, double time) {
            const double received = uptime();
            const auto observation = tracker_.process(frame);
            std::lock_guard lock(mutex_);
            frames_.push_back(
                {time, received,
                 observation ? std::optional(observation->pose.yaw * 180 / M_PI) : std::nullopt});
        };
    }
    ~WatchingCamera() { camera_.stop(); }

    void start() { camera_.start(std::nullopt); }
    void stop() { camera_.stop(); }

    std::vector<Frame> since(double time) {
        std::lock_guard lock(mutex_);
        std::vector<Frame> result;
        std::copy_if(frames_.begin(), frames_.end(), std::back_inserter(result),
                     [&](const Frame& f) { return f.received >= time; });
        return result;
    }

  private:
    static CameraService::Options options(const std::string& fragment) {
        CameraService::Options options;
        options.sources = {{CameraInfo{"simulated", "Simulated user", false}, fragment}};
        options.useDeviceMonitor = false;
        return options;
    }

    CollectingQueue queue_;
    CapturingLog log_;
    CameraService camera_;
    BlazeFaceDetector detector_;
    FaceTracker tracker_;
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

double medianYaw(const std::vector<WatchingCamera::Frame>& frames) {
    std::vector<double> yaws;
    for (const auto& frame : frames)
        if (frame.yaw) yaws.push_back(*frame.yaw);
    if (yaws.empty()) return NAN;
    std::nth_element(yaws.begin(), yaws.begin() + std::ptrdiff_t(yaws.size() / 2), yaws.end());
    return yaws[yaws.size() / 2];
}

int withFace(const std::vector<WatchingCamera::Frame>& frames) {
    return int(std::count_if(frames.begin(), frames.end(), [](const auto& f) { return f.yaw.has_value(); }));
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

} // namespace

class SimulatedUserTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(std::filesystem::exists(BlazeFaceDetector::findModel()))
            << "no face model: run scripts/fetch-model " << ORVANE_BINARY_DIR;
    }
};

// Two simulated users side by side, each on its own stream: the camera path finds the face in every
// frame at 15 frames per second, with the yaw following the gaze commands at once (the left monitor is to
// the user's left: yaw > 0); a camera that stops and starts again gets fresh frames at once; SIGTERM
// ends the program cleanly.
TEST_F(SimulatedUserTest, StreamsALiveCameraThatFollowsCommands) {
    TestDesktop desktop("--no-tray");
    SimulatedUser user(desktop.display(), {"--calibration", "off"});
    SimulatedUser other(desktop.display(), {"--calibration", "off", "--pose", "-20,0", "--seed", "2"});
    ASSERT_NE(user.source(), "");
    ASSERT_NE(user.source(), other.source());
    WatchingCamera camera(user.source()), otherCamera(other.source());

    user.send("look LEFT");
    ASSERT_TRUE(user.waitFor("gaze", [](const auto& e) { return e.words().at(0) == "LEFT"; }));
    double start = uptime();
    camera.start();
    otherCamera.start();
    ASSERT_TRUE(user.waitFor("camera", [](const auto& e) { return e.rest == "1"; }));
    sleepFor(2.0);
    auto frames = camera.since(start + 0.5);
    // 1.5 s at 15 frames per second, give or take what a busy machine drops.
    EXPECT_GE(frames.size(), 12u);
    EXPECT_LE(frames.size(), 25u);
    EXPECT_GE(withFace(frames), int(frames.size()) - 1);
    EXPECT_GT(medianYaw(frames), 5);
    const auto otherFrames = otherCamera.since(start + 0.5);
    EXPECT_GE(withFace(otherFrames), 10);
    EXPECT_LT(medianYaw(otherFrames), -5);
    otherCamera.stop();

    // The turn shows within a second of the command (a turn takes 0.4 s): no backlog of older pictures.
    user.send("look RIGHT");
    ASSERT_TRUE(user.waitFor("gaze", [](const auto& e) { return e.words().at(0) == "RIGHT"; }));
    sleepFor(1.2);
    frames = camera.since(uptime() - 0.6);
    EXPECT_GE(withFace(frames), 5);
    EXPECT_LT(medianYaw(frames), -5);

    // Stopped, the camera misses a turn back to the left; started again, its very first pictures show it.
    camera.stop();
    ASSERT_TRUE(user.waitFor("camera", [](const auto& e) { return e.rest == "0"; }));
    user.send("look LEFT");
    ASSERT_TRUE(user.waitFor("gaze", [](const auto& e) { return e.words().at(0) == "LEFT"; }));
    sleepFor(0.8);
    start = uptime();
    camera.start();
    ASSERT_TRUE(waitUntil([&] { return camera.since(start).size() >= 3; }, 3.0));
    frames = camera.since(start);
    EXPECT_LT(frames.front().received - start, 1.0);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(frames[i].yaw) << "frame " << i;
        EXPECT_GT(*frames[i].yaw, 5) << "frame " << i;
    }

    EXPECT_EQ(user.stop(), 0);
    EXPECT_EQ(other.stop(), 0);
}

namespace {

// Full-screen windows above everything (override-redirect, as the window manager cannot move them)
// showing a picture on each monitor, repainted by the server itself from a background pixmap.
class ScreenCover {
  public:
    explicit ScreenCover(const std::string& display) : connection_(XOpenDisplay(display.c_str())) {}
    ~ScreenCover() {
        clear();
        XCloseDisplay(connection_);
    }

    void show(cv::Rect area, const cv::Mat& bgra) {
        const int screen = DefaultScreen(connection_);
        const Window root = RootWindow(connection_, screen);
        Window& window = windows_[area.x * 100000 + area.y];
        if (!window) {
            XSetWindowAttributes attributes{};
            attributes.override_redirect = True;
            window = XCreateWindow(connection_, root, area.x, area.y, unsigned(area.width),
                                   unsigned(area.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                   CWOverrideRedirect, &attributes);
            XMapRaised(connection_, window);
        }
        const Pixmap pixmap = XCreatePixmap(connection_, root, unsigned(area.width), unsigned(area.height),
                                            unsigned(DefaultDepth(connection_, screen)));
        cv::Mat copy = bgra.clone();
        XImage* image = XCreateImage(connection_, DefaultVisual(connection_, screen),
                                     unsigned(DefaultDepth(connection_, screen)), ZPixmap, 0,
                                     reinterpret_cast<char*>(copy.data), unsigned(area.width),
                                     unsigned(area.height), 32, int(copy.step));
        GC gc = XCreateGC(connection_, pixmap, 0, nullptr);
        XPutImage(connection_, pixmap, gc, image, 0, 0, 0, 0, unsigned(area.width), unsigned(area.height));
        XFreeGC(connection_, gc);
        image->data = nullptr; // owned by the copy
        XDestroyImage(image);
        XSetWindowBackgroundPixmap(connection_, window, pixmap);
        XFreePixmap(connection_, pixmap);
        XClearWindow(connection_, window);
        XSync(connection_, False);
    }
    void clear() {
        for (auto& [key, window] : windows_)
            XDestroyWindow(connection_, window);
        windows_.clear();
        XSync(connection_, False);
    }

  private:
    Display* connection_;
    std::map<int, Window> windows_;
};

// The spot of "dot MONITOR@X,Y".
cv::Point2d spotOf(const SimulatedUser::Event& event) {
    const std::string where = event.words().at(1);
    const auto at = where.find('@'), comma = where.find(',');
    if (at == std::string::npos || comma == std::string::npos) return {-1, -1};
    return {std::stod(where.substr(at + 1, comma - at - 1)), std::stod(where.substr(comma + 1))};
}

} // namespace

// Calibration windows on the real X server, drawn as the calibration draws them: the user turns to the
// dot wherever it goes, to the instructions while there is no dot, and back to its own gaze afterwards.
TEST_F(SimulatedUserTest, FollowsTheCalibrationOnTheScreen) {
    TestDesktop desktop;
    SimulatedUser user(desktop.display(), {"--script", "RIGHT:60"});
    ASSERT_TRUE(user.waitFor("gaze", [](const auto& e) { return e.words().at(0) == "RIGHT"; }));

    const cv::Size size(1920, 1080);
    const cv::Mat desktopLook = desktopPicture(size);
    ScreenCover cover(desktop.display());
    CalibrationLook dotted, quiet, talking;
    dotted.dot = cv::Point2d(0.08 * size.width, 0.1 * size.height);
    quiet.text = false;
    quiet.darkening = 0.96;
    // The empty black desktop with its bright tray icon, and then one monitor only under a calibration
    // picture, are no calibration.
    cover.show({0, 0, 1920, 1080}, calibrationPicture(desktopLook, dotted));
    sleepFor(1.2);
    EXPECT_FALSE(user.waitFor("calibration", {}, 0));
    cover.show({1920, 0, 1920, 1080}, calibrationPicture(desktopLook, quiet));
    ASSERT_TRUE(user.waitFor("calibration", [](const auto& e) { return e.rest == "started"; }));
    auto seen = user.waitFor("calibration", [](const auto& e) { return e.rest.starts_with("dot LEFT@"); });
    ASSERT_TRUE(seen);
    EXPECT_LT(cv::norm(spotOf(*seen) - cv::Point2d(0.08, 0.1)), 0.002) << seen->rest;
    auto gaze = user.waitFor("gaze");
    ASSERT_TRUE(gaze);
    EXPECT_EQ(gaze->words().at(0), seen->words().at(1));
    EXPECT_EQ(gaze->words().back(), "calibration");
    const double dotYaw = std::stod(gaze->words().at(1));

    // The dot moves to the other monitor's middle: the head turns to the user's right.
    dotted.dot = cv::Point2d(0.5 * size.width, 0.5 * size.height);
    cover.show({0, 0, 1920, 1080}, calibrationPicture(desktopLook, quiet));
    cover.show({1920, 0, 1920, 1080}, calibrationPicture(desktopLook, dotted));
    seen = user.waitFor("calibration", [](const auto& e) { return e.rest.starts_with("dot RIGHT@"); });
    ASSERT_TRUE(seen);
    EXPECT_LT(cv::norm(spotOf(*seen) - cv::Point2d(0.5, 0.5)), 0.002) << seen->rest;
    gaze = user.waitFor("gaze", [](const auto& e) { return e.words().at(0) == "RIGHT"; });
    ASSERT_TRUE(gaze);
    EXPECT_LT(std::stod(gaze->words().at(1)), dotYaw - 20);

    // No dot: the instructions on the left monitor.
    cover.show({0, 0, 1920, 1080}, calibrationPicture(desktopLook, talking));
    cover.show({1920, 0, 1920, 1080}, calibrationPicture(desktopLook, quiet));
    ASSERT_TRUE(user.waitFor("calibration", [](const auto& e) { return e.rest == "instructions LEFT"; }));
    gaze = user.waitFor("gaze", [](const auto& e) { return e.words().at(0) == "LEFT"; });
    ASSERT_TRUE(gaze);
    EXPECT_EQ(gaze->words().back(), "calibration");

    // Told not to follow calibrations, and when the windows close: back to the script.
    auto backToScript = [&] {
        ASSERT_TRUE(user.waitFor("calibration", [](const auto& e) { return e.rest == "ended"; }));
        const auto back = user.waitFor("gaze");
        ASSERT_TRUE(back);
        EXPECT_EQ(back->words().at(0), "RIGHT");
        EXPECT_EQ(back->words().back(), "script");
    };
    user.send("calibration off");
    backToScript();
    user.send("calibration auto");
    ASSERT_TRUE(user.waitFor("calibration", [](const auto& e) { return e.rest == "started"; }));
    cover.clear();
    backToScript();

    user.send("quit");
    EXPECT_EQ(user.stop(), 0);
}
