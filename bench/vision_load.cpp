// vision_load: what seeing costs the whole process. The camera service and the tracking pipeline with
// the real face model run from a live 1280x720 source showing a face; the CPU time of the process is
// read with getrusage over spans at the full rate (15 analysed frames per second) and at the idle rate
// (5 per second, the head still), and the resident memory from /proc at the end. The model's share is
// the processor time of the detector calls on the frame thread; the camera path's share is the rest
// (capture, decoding, scaling, conversion, hand-over and the pipeline's bookkeeping).
//
//   vision_load [--seconds N] [--repeat R] [--source yuy2_720p30|jpeg_720p15] [--out FILE]
//       (defaults: 10 s per span, 3 spans per rate and source, both sources,
//       build/bench/vision_load.json)
//
// Two live sources, each like a common webcam: raw YUY2 720p at 30 frames per second, and JPEG 720p at
// 15 (what a USB 2 webcam gives at that size): 4:2:2 pictures encoded by a child process, whose
// processor time is not counted, and read from a pipe as a multipart stream. The face is the
// public-domain astronaut photograph fetched by scripts/fetch-test-photos, stretched to fill the frame.
// Medians over the spans are printed with their spread (lowest to highest).

#include "engine/Clock.h"
#include "engine/SerialQueue.h"
#include "engine/TrackingPipeline.h"
#include "platform/CameraService.h"
#include "platform/FaceDetector.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gst/gst.h>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

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

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Counts the frames the pipeline analyses, those with a face, and the processor time they took.
class CountingDetector : public FaceDetector {
  public:
    explicit CountingDetector(FaceDetector& detector) : detector_(detector) {}
    std::optional<std::vector<DetectedFace>> detect(const FrameView& frame) override {
        const double start = threadCpuSeconds();
        auto faces = detector_.detect(frame);
        nanoseconds += static_cast<long long>((threadCpuSeconds() - start) * 1e9);
        ++analysed;
        if (faces && !faces->empty()) ++withFace;
        return faces;
    }
    void reset() override { detector_.reset(); }

    std::atomic<int> analysed{0};
    std::atomic<int> withFace{0};
    std::atomic<long long> nanoseconds{0};

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
    double cpuShare = 0;   // the whole process, of one core
    double modelShare = 0; // the detector calls
    double cameraShare = 0;
    double analysedPerSecond = 0;
    double facesPerSecond = 0;
};

Span measure(CountingDetector& detector, double seconds) {
    SystemClock clock;
    int analysed = detector.analysed, withFace = detector.withFace;
    long long model = detector.nanoseconds;
    double wall = clock.uptime(), cpu = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    wall = clock.uptime() - wall;
    cpu = cpuSeconds() - cpu;
    Span span;
    span.cpuShare = cpu / wall;
    span.modelShare = double(detector.nanoseconds - model) * 1e-9 / wall;
    span.cameraShare = span.cpuShare - span.modelShare;
    span.analysedPerSecond = (detector.analysed - analysed) / wall;
    span.facesPerSecond = (detector.withFace - withFace) / wall;
    return span;
}

// Median, lowest and highest of one figure over the spans.
struct Summary {
    double median = 0, low = 0, high = 0;
};

Summary summarise(const std::vector<Span>& spans, double Span::*field) {
    std::vector<double> values;
    for (const auto& span : spans)
        values.push_back(span.*field);
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

// The child process's whole life: the picture as a live 15 fps stream of 4:2:2 JPEG pictures, as a
// webcam encodes them, written to `fd` until the parent goes.
[[noreturn]] void serveJpeg(const std::string& picture, int fd) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    gst_init(nullptr, nullptr);
    const std::string description = picture +
                                    " ! imagefreeze is-live=true ! video/x-raw,framerate=15/1"
                                    " ! videoconvert ! video/x-raw,format=Y42B ! jpegenc quality=90"
                                    " ! multipartmux ! fdsink fd=" +
                                    std::to_string(fd);
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline) _exit(1);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    if (GstMessage* message = gst_bus_timed_pop_filtered(bus, GST_CLOCK_TIME_NONE,
                                                         GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)))
        gst_message_unref(message);
    _exit(0);
}

struct Source {
    std::string name;
    std::string fragment;
};

struct Result {
    std::vector<Span> full, idle;
};

std::optional<Result> run(const Source& source, CountingDetector& detector, double seconds, int repeat) {
    StderrLog log;
    CameraService::Options options;
    options.sources = {{CameraInfo{source.name, source.name, true}, source.fragment}};
    ThreadMainQueue main;
    CameraService camera(main, log, options);
    IdleInput input;
    SystemClock clock;
    auto pipeline = std::make_shared<TrackingPipeline>(camera.frameQueue(), detector, input, clock);
    camera.onFrame = [weak = std::weak_ptr(pipeline)](const FrameView& frame, double) {
        if (auto p = weak.lock()) p->handle(frame);
    };
    // As the engine wires them: frames the pipeline will not analyse are dropped at the source.
    pipeline->onFrameInterval = [&camera](double seconds) { camera.setFrameInterval(seconds); };
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
        if (!*running) return std::nullopt;
    }
    const double settle = 3;
    Result result;
    for (int i = 0; i < repeat; ++i) {
        pipeline->setFullRate(true);
        std::this_thread::sleep_for(std::chrono::duration<double>(settle));
        result.full.push_back(measure(detector, seconds));
        pipeline->setFullRate(false);
        std::this_thread::sleep_for(std::chrono::duration<double>(settle));
        result.idle.push_back(measure(detector, seconds));
    }
    camera.stop();
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return running == false; });
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    int repeat = 3;
    fs::path out = "build/bench/vision_load.json";
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--source")
            only = argv[i + 1];
        else if (option == "--seconds")
            seconds = std::strtod(argv[i + 1], nullptr);
        else if (option == "--repeat")
            repeat = std::atoi(argv[i + 1]);
        else if (option == "--out")
            out = argv[i + 1];
    }
    if (!(seconds > 0) || repeat < 1) {
        std::fprintf(stderr, "usage: vision_load [--seconds N] [--repeat R] [--source NAME] [--out FILE]\n");
        return 2;
    }

    fs::path photo = fs::path(ORVANE_SOURCE_DIR) / ".cache/photos/skimage/astronaut.png";
    if (!fs::exists(photo)) {
        std::fprintf(stderr, "vision_load: %s is missing; run scripts/fetch-test-photos\n", photo.c_str());
        return 1;
    }
    const std::string picture = "filesrc location=" + photo.string() +
                                " ! pngdec ! videoconvert ! videoscale add-borders=false"
                                " ! video/x-raw,width=1280,height=720,pixel-aspect-ratio=1/1";
    // The JPEG camera: a child process started before this one has any thread.
    int stream[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, stream) != 0) return 1;
    const pid_t encoder = fork();
    if (encoder == 0) {
        close(stream[0]);
        serveJpeg(picture, stream[1]);
    }
    close(stream[1]);
    StderrLog log;
    BlazeFaceDetector blazeFace(log);
    if (!blazeFace.isLoaded()) {
        std::fprintf(stderr, "vision_load: no face model; run scripts/fetch-model\n");
        return 1;
    }
    CountingDetector detector(blazeFace);

    gst_init(nullptr, nullptr);
    const std::vector<Source> sources = {
        {"yuy2_720p30",
         picture + ",format=YUY2 ! imagefreeze is-live=true ! capsfilter caps=video/x-raw,framerate=30/1"},
        {"jpeg_720p15", "fdsrc blocksize=1048576 fd=" + std::to_string(stream[0]) +
                            " ! multipartdemux ! capsfilter caps=image/jpeg,framerate=15/1"},
    };

    auto round = [](double value, double scale) { return std::round(value * scale) / scale; };
    nlohmann::ordered_json result = {{"seconds_per_span", seconds}, {"spans", repeat}};
    for (const auto& source : sources) {
        if (!only.empty() && source.name != only) continue;
        auto spans = run(source, detector, seconds, repeat);
        if (!spans) {
            std::fprintf(stderr, "vision_load: the %s source did not start\n", source.name.c_str());
            kill(encoder, SIGTERM);
            return 1;
        }
        nlohmann::ordered_json figures;
        for (const auto& [rate, list] : {std::pair{"full", &spans->full}, std::pair{"idle", &spans->idle}}) {
            const Summary total = summarise(*list, &Span::cpuShare);
            const Summary camera = summarise(*list, &Span::cameraShare);
            const Summary model = summarise(*list, &Span::modelShare);
            const Summary fps = summarise(*list, &Span::analysedPerSecond);
            const Summary faces = summarise(*list, &Span::facesPerSecond);
            std::printf("%s %s rate: %.1f %% of one core (%.1f to %.1f): camera path %.1f %% (%.1f to %.1f), "
                        "model %.1f %% (%.1f to %.1f); %.1f frames analysed per second, %.1f with a face\n",
                        source.name.c_str(), rate, total.median * 100, total.low * 100, total.high * 100,
                        camera.median * 100, camera.low * 100, camera.high * 100, model.median * 100,
                        model.low * 100, model.high * 100, fps.median, faces.median);
            auto figure = [&](const Summary& s) {
                return nlohmann::ordered_json{{"median", round(s.median, 1e4)},
                                              {"low", round(s.low, 1e4)},
                                              {"high", round(s.high, 1e4)}};
            };
            figures[rate] = {{"cpu_share", figure(total)},
                             {"camera_share", figure(camera)},
                             {"model_share", figure(model)},
                             {"analysed_fps", round(fps.median, 100)},
                             {"face_fps", round(faces.median, 100)}};
        }
        result[source.name] = figures;
    }
    kill(encoder, SIGTERM);
    const double peak = statusMegabytes("VmHWM");
    std::printf("resident memory: %.1f MB at most\n", peak);
    result["rss_mb"] = round(peak, 10);

    if (out.has_parent_path()) fs::create_directories(out.parent_path());
    std::ofstream(out) << result.dump(2) << "\n";
    return 0;
}
