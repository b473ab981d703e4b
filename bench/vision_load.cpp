// vision_load: what seeing costs the whole process. The camera service and the tracking pipeline with
// the real face model run from a live 1280x720 source showing a face; the CPU time of the process is
// read with getrusage over a span at the full rate (15 analysed frames per second) and over one at
// the idle rate (5 per second, the head still), and the resident memory from /proc at the end.
//
//   vision_load [--seconds N] [--out FILE]     (defaults: 20 s per rate, build/bench/vision_load.json)
//
// The face is the public-domain astronaut photograph fetched by scripts/fetch-test-photos, frozen
// into a live YUY2 stream at 30 frames per second, like a webcam giving raw 720p.

#include "engine/Clock.h"
#include "engine/SerialQueue.h"
#include "engine/TrackingPipeline.h"
#include "platform/CameraService.h"
#include "platform/FaceDetector.h"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/resource.h>
#include <thread>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

// Nobody types or moves the pointer during the measurement.
class IdleInput : public InputSource {
  public:
    double secondsSinceLast(InputEvent) override { return std::numeric_limits<double>::infinity(); }
    bool buttonDown(int) override { return false; }
    std::uint32_t modifierFlags() override { return 0; }
};

// Counts the frames the pipeline analyses and those with a face.
class CountingDetector : public FaceDetector {
  public:
    explicit CountingDetector(FaceDetector& detector) : detector_(detector) {}
    std::optional<std::vector<DetectedFace>> detect(const FrameView& frame) override {
        auto faces = detector_.detect(frame);
        ++analysed;
        if (faces && !faces->empty()) ++withFace;
        return faces;
    }
    void reset() override { detector_.reset(); }

    std::atomic<int> analysed{0};
    std::atomic<int> withFace{0};

  private:
    FaceDetector& detector_;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A field of /proc/self/status in megabytes ("VmRSS", "VmHWM").
double statusMegabytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::strtod(line.c_str() + field.size() + 1, nullptr) / 1024;
    return 0;
}

struct Span {
    double cpuShare = 0;
    double analysedPerSecond = 0;
    double facesPerSecond = 0;
};

Span measure(CountingDetector& detector, double seconds) {
    SystemClock clock;
    int analysed = detector.analysed, withFace = detector.withFace;
    double wall = clock.uptime(), cpu = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    wall = clock.uptime() - wall;
    cpu = cpuSeconds() - cpu;
    return {cpu / wall, (detector.analysed - analysed) / wall, (detector.withFace - withFace) / wall};
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    fs::path out = "build/bench/vision_load.json";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--seconds")
            seconds = std::strtod(argv[i + 1], nullptr);
        else if (option == "--out")
            out = argv[i + 1];
    }
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: vision_load [--seconds N] [--out FILE]\n");
        return 2;
    }

    fs::path photo = fs::path(ORVANE_SOURCE_DIR) / ".cache/photos/skimage/astronaut.png";
    if (!fs::exists(photo)) {
        std::fprintf(stderr, "vision_load: %s is missing; run scripts/fetch-test-photos\n", photo.c_str());
        return 1;
    }
    StderrLog log;
    BlazeFaceDetector blazeFace(log);
    if (!blazeFace.isLoaded()) {
        std::fprintf(stderr, "vision_load: no face model; run scripts/fetch-model\n");
        return 1;
    }
    CountingDetector detector(blazeFace);

    CameraService::Options options;
    options.sources = {{CameraInfo{"astronaut", "Live 1280x720 source", true},
                        "filesrc location=" + photo.string() +
                            " ! pngdec ! videoconvert ! videoscale"
                            " ! video/x-raw,format=YUY2,width=1280,height=720,pixel-aspect-ratio=1/1"
                            " ! imagefreeze is-live=true ! capsfilter caps=video/x-raw,framerate=30/1"}};
    ThreadMainQueue main;
    CameraService camera(main, log, options);
    IdleInput input;
    SystemClock clock;
    auto pipeline = std::make_shared<TrackingPipeline>(camera.frameQueue(), detector, input, clock);
    camera.onFrame = [weak = std::weak_ptr(pipeline)](const FrameView& frame, double) {
        if (auto p = weak.lock()) p->handle(frame);
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<bool> running;
    camera.onStateChange = [&](bool state) {
        std::lock_guard lock(mutex);
        running = state;
        changed.notify_all();
    };

    camera.start(std::nullopt);
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return running.has_value(); });
        if (!*running) return 1;
    }
    const double settle = 3;
    pipeline->setFullRate(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(settle));
    Span full = measure(detector, seconds);
    pipeline->setFullRate(false);
    std::this_thread::sleep_for(std::chrono::duration<double>(settle));
    Span idle = measure(detector, seconds);
    double rss = statusMegabytes("VmRSS"), peak = statusMegabytes("VmHWM");

    camera.stop();
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return running == false; });
    }

    std::printf("full rate: %.1f %% of one core, %.1f frames analysed per second (%.1f with a face)\n",
                full.cpuShare * 100, full.analysedPerSecond, full.facesPerSecond);
    std::printf("idle rate: %.1f %% of one core, %.1f frames analysed per second (%.1f with a face)\n",
                idle.cpuShare * 100, idle.analysedPerSecond, idle.facesPerSecond);
    std::printf("resident memory: %.1f MB now, %.1f MB at most\n", rss, peak);

    // Division by the power of ten keeps the printed decimals short.
    auto round = [](double value, double scale) { return std::round(value * scale) / scale; };
    nlohmann::ordered_json result = {
        {"cpu_share_full_rate", round(full.cpuShare, 1e4)},
        {"cpu_share_idle_rate", round(idle.cpuShare, 1e4)},
        {"rss_mb", round(peak, 10)},
        {"analysed_fps_full_rate", round(full.analysedPerSecond, 100)},
        {"analysed_fps_idle_rate", round(idle.analysedPerSecond, 100)},
        {"seconds_per_rate", seconds},
    };
    if (out.has_parent_path()) fs::create_directories(out.parent_path());
    std::ofstream(out) << result.dump(2) << "\n";
    return 0;
}
