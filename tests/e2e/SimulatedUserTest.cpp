// The simulated user program on the virtual desktop, seen through the real camera path and face model.
// (Its following of the calibration windows is proven by every whole-program calibration.)

#include "SimulatedUser.h"

#include "engine/FaceTracker.h"
#include "engine/tests/CapturingLog.h"
#include "platform/CameraService.h"
#include "platform/FaceDetector.h"
#include "desk/TestDesktop.h"
#include "simulated-user/Uptime.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
using simulated::uptime;

namespace {

// A camera on a source fragment, each frame analysed by the face tracker as the program does.
class WatchingCamera {
  public:
    struct Frame {
        double received = 0;       // when the tracker got it
        std::optional<double> yaw; // degrees
    };

    explicit WatchingCamera(const std::string& fragment)
        : camera_(queue_, log_, options(fragment)), detector_(log_), tracker_(detector_) {
        camera_.onFrame = [this](const FrameView& frame, double) {
            const double received = uptime();
            const auto observation = tracker_.process(frame);
            std::lock_guard lock(mutex_);
            frames_.push_back(
                {received, observation ? std::optional(observation->pose.yaw * 180 / M_PI) : std::nullopt});
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

// The frames with a face, and the median of their yaws.
std::pair<int, double> faces(const std::vector<WatchingCamera::Frame>& frames) {
    std::vector<double> yaws;
    for (const auto& frame : frames)
        if (frame.yaw) yaws.push_back(*frame.yaw);
    if (yaws.empty()) return {0, NAN};
    std::nth_element(yaws.begin(), yaws.begin() + std::ptrdiff_t(yaws.size() / 2), yaws.end());
    return {int(yaws.size()), yaws[yaws.size() / 2]};
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

bool gazeAt(SimulatedUser& user, const std::string& where) {
    return user.waitFor("gaze", [&](const auto& e) { return e.words().at(0) == where; }).has_value();
}

} // namespace

// Two simulated users side by side, each on its own stream: the camera path finds the face in every
// frame at 15 frames per second, with the yaw following the gaze commands at once (the left monitor is to
// the user's left: yaw > 0); a camera that stops and starts again gets fresh frames at once; SIGTERM
// ends the program cleanly.
TEST(SimulatedUserTest, StreamsALiveCameraThatFollowsCommands) {
    ASSERT_TRUE(std::filesystem::exists(BlazeFaceDetector::findModel()))
        << "no face model: run scripts/fetch-model " << ORVANE_BINARY_DIR;
    TestDesktop desktop("--no-tray");
    SimulatedUser user(desktop.display(), {"--calibration", "off"});
    SimulatedUser other(desktop.display(), {"--calibration", "off", "--pose", "-20,0", "--seed", "2"});
    ASSERT_NE(user.source(), "");
    ASSERT_NE(user.source(), other.source());
    WatchingCamera camera(user.source()), otherCamera(other.source());

    user.send("look LEFT");
    ASSERT_TRUE(gazeAt(user, "LEFT"));
    double start = uptime();
    camera.start();
    otherCamera.start();
    ASSERT_TRUE(user.waitFor("camera", [](const auto& e) { return e.rest == "1"; }));
    sleepFor(2.0);
    // 1.5 s at 15 frames per second, give or take what a busy machine drops.
    auto frames = camera.since(start + 0.5);
    EXPECT_GE(frames.size(), 12u);
    EXPECT_LE(frames.size(), 25u);
    EXPECT_GE(faces(frames).first, int(frames.size()) - 1);
    EXPECT_GT(faces(frames).second, 5);
    EXPECT_GE(faces(otherCamera.since(start + 0.5)).first, 10);
    EXPECT_LT(faces(otherCamera.since(start + 0.5)).second, -5);
    otherCamera.stop();

    // The turn shows within a second of the command (a turn takes 0.4 s): no backlog of older pictures.
    user.send("look RIGHT");
    ASSERT_TRUE(gazeAt(user, "RIGHT"));
    sleepFor(1.2);
    const auto [seen, yaw] = faces(camera.since(uptime() - 0.6));
    EXPECT_GE(seen, 5);
    EXPECT_LT(yaw, -5);

    // Stopped, the camera misses a turn back to the left; started again, its very first pictures show it.
    camera.stop();
    ASSERT_TRUE(user.waitFor("camera", [](const auto& e) { return e.rest == "0"; }));
    user.send("look LEFT");
    ASSERT_TRUE(gazeAt(user, "LEFT"));
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
