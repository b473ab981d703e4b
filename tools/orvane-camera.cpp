// orvane-camera: lists the cameras, or runs one with the face tracker for a few seconds and prints
// what each analysed frame gave. How a user checks their camera, and how we measure.
//
//   orvane-camera --list
//   orvane-camera --seconds N [--camera ID]
//
// ORVANE_CAMERA_SOURCE replaces the devices with a GStreamer fragment.

#include "engine/Clock.h"
#include "engine/FaceTracker.h"
#include "engine/Log.h"
#include "engine/SerialQueue.h"
#include "platform/CameraService.h"
#include "platform/FaceDetector.h"
#include "platform/LinuxPermissions.h"

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

using namespace orvane;

namespace {

// Passes detection through and keeps the faces, so that the chosen face's box can be printed.
class RecordingDetector : public FaceDetector {
  public:
    explicit RecordingDetector(FaceDetector& detector) : detector_(detector) {}
    std::optional<std::vector<DetectedFace>> detect(const FrameView& frame) override {
        auto faces = detector_.detect(frame);
        last_ = faces.value_or(std::vector<DetectedFace>{});
        return faces;
    }
    void reset() override { detector_.reset(); }

    // The face the tracker built this pose from.
    const DetectedFace* faceOf(const HeadPose& pose) const {
        for (const auto& face : last_)
            if (face.centerX() == pose.faceX && 1 - face.centerY() == pose.faceY &&
                face.width == pose.faceSize)
                return &face;
        return nullptr;
    }

  private:
    FaceDetector& detector_;
    std::vector<DetectedFace> last_;
};

double degrees(double radians) {
    return radians * 180 / M_PI;
}

int usage() {
    std::fprintf(stderr, "usage: orvane-camera --list\n"
                         "       orvane-camera --seconds N [--camera ID]\n"
                         "ORVANE_CAMERA_SOURCE=<GStreamer fragment> replaces the cameras.\n");
    return 2;
}

int list(CameraService& camera) {
    auto cameras = camera.availableCameras();
    if (cameras.empty()) {
        std::fprintf(stderr, "No camera found.\n");
        return 1;
    }
    for (const auto& info : cameras)
        std::printf("%s\t%s\t%s\n", info.id.c_str(), info.name.c_str(),
                    info.isBuiltIn ? "built-in" : "external");
    return 0;
}

struct Totals {
    int frames = 0;
    int faces = 0;
    double milliseconds = 0;
};

int run(CameraService& camera, Log& log, double seconds, const std::optional<std::string>& cameraID) {
    if (CameraService::sourcesFromEnvironment().empty() &&
        cameraAuthorization() == CameraAuthorization::denied) {
        std::fprintf(stderr, "The cameras cannot be opened: your user needs to be in the group that owns "
                             "/dev/video* (usually \"video\"). Log out and in again after joining it.\n");
        return 1;
    }
    BlazeFaceDetector blazeFace(log);
    RecordingDetector detector(blazeFace);
    FaceTracker tracker(detector);
    SystemClock clock;

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<bool> running;
    std::optional<double> firstFrame;
    Totals totals;

    camera.onStateChange = [&](bool state) {
        std::lock_guard lock(mutex);
        running = state;
        changed.notify_all();
    };
    camera.onFrame = [&](const FrameView& frame, double time) {
        double start = clock.uptime();
        auto observation = tracker.process(frame);
        double milliseconds = (clock.uptime() - start) * 1000;
        if (!firstFrame) firstFrame = time;
        ++totals.frames;
        totals.milliseconds += milliseconds;
        std::printf("%8.3f  face %d", time - *firstFrame, observation ? 1 : 0);
        if (observation) {
            ++totals.faces;
            const auto& pose = observation->pose;
            std::printf("  yaw %6.1f  pitch %6.1f  roll %6.1f", degrees(pose.yaw), degrees(pose.pitch),
                        degrees(pose.roll));
            if (const DetectedFace* face = detector.faceOf(pose))
                // In frame pixels from the top-left corner.
                std::printf("  box %3.0f,%3.0f %3.0fx%3.0f", face->x * frame.width,
                            (1 - face->y - face->height) * frame.height, face->width * frame.width,
                            face->height * frame.height);
        }
        std::printf("  %5.1f ms\n", milliseconds);
        std::fflush(stdout);
    };

    camera.start(cameraID);
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return running.has_value(); });
        if (!*running) return 1; // the log said why
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    camera.stop();
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return running == false; });
    lock.unlock();
    // A frame handed over just before the stop may still be printing.
    std::promise<void> drained;
    camera.frameQueue().post([&] { drained.set_value(); });
    drained.get_future().wait();
    std::fprintf(stderr, "%d frames analysed, %d with a face, %.1f ms per frame on average\n", totals.frames,
                 totals.faces, totals.frames ? totals.milliseconds / totals.frames : 0.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool listing = false;
    std::optional<double> seconds;
    std::optional<std::string> cameraID;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--list") {
            listing = true;
        } else if (argument == "--seconds" && i + 1 < argc) {
            char* end = nullptr;
            seconds = std::strtod(argv[++i], &end);
            if (*end || !std::isfinite(*seconds) || *seconds <= 0) return usage();
        } else if (argument == "--camera" && i + 1 < argc) {
            cameraID = argv[++i];
        } else {
            return usage();
        }
    }
    if (listing == seconds.has_value()) return usage();

    StderrLog log;
    ThreadMainQueue main;
    CameraService camera(main, log);
    return listing ? list(camera) : run(camera, log, *seconds, cameraID);
}
