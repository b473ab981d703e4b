// Face detection plus head pose per 640x360 NV12 camera frame on one thread, on the real model and
// photographs (scripts/fetch-model, scripts/fetch-test-photos). Each repetition times one frame,
// so the median and p95 rows are per-frame figures:
//   search: a fresh frame, both tiles searched;
//   tracking: the next frame of a face followed since the last one, the crop moved with it;
//   model: one bare inference of the network, the floor under both on this machine.

#include "headrender/FacePhotos.h"
#include "platform/FaceDetector.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <opencv2/dnn.hpp>
#include <time.h>
#include <vector>

namespace {

using namespace orvane;

constexpr int repetitions = 300;

// Two consecutive frames of one person: the second with the head moved a few pixels.
struct Clip {
    test::Nv12Frame first, next;
};

struct Fixture {
    StderrLog log;
    std::unique_ptr<BlazeFaceDetector> detector;
    cv::dnn::Net net;
    std::vector<Clip> clips;
    std::string problem;

    Fixture() {
        if (!std::filesystem::exists(BlazeFaceDetector::findModel())) {
            problem = "no face model: run scripts/fetch-model with the build folder";
            return;
        }
        detector = std::make_unique<BlazeFaceDetector>(log);
        net = cv::dnn::readNetFromONNX(BlazeFaceDetector::findModel().string());
        const cv::Mat background = test::wall({640, 360});
        const double shares[] = {0.15, 0.2, 0.25};
        const cv::Point2d places[] = {{0.3, 0.45}, {0.5, 0.5}, {0.7, 0.55}};
        std::size_t index = 0;
        for (const auto& face : test::portraitFaces()) {
            const cv::Mat photo = test::loadPhoto(test::photoFolder() / face.file);
            if (photo.empty()) {
                problem = "no test photos: run scripts/fetch-test-photos";
                return;
            }
            const double share = shares[index % 3];
            const cv::Point2d place = places[index++ / 3 % 3];
            Clip clip;
            for (const double shift : {0.0, 4.0}) {
                cv::Mat frame = background.clone();
                test::placeFace(frame, photo, face.box, share,
                                {place.x * 640 + shift, place.y * 360 + shift / 2});
                (shift == 0 ? clip.first : clip.next) = test::toNv12(frame);
            }
            clips.push_back(std::move(clip));
        }
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// One detection timed by the wall clock (the benchmark's time) and by this thread's processor time
// (the counter cpu_ms: on a shared machine it leaves out the time spent waiting for a processor).
template <typename Detect> void timeFrame(benchmark::State& state, Detect&& detect) {
    timespec cpuStart, cpuEnd;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    const auto start = std::chrono::steady_clock::now();
    auto faces = detect();
    const auto end = std::chrono::steady_clock::now();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    benchmark::DoNotOptimize(faces);
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    state.counters["cpu_ms"] =
        1e3 * double(cpuEnd.tv_sec - cpuStart.tv_sec) + 1e-6 * double(cpuEnd.tv_nsec - cpuStart.tv_nsec);
}

double p95(const std::vector<double>& values) {
    auto sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(std::ceil(0.95 * sorted.size())) - 1];
}

void BM_DetectSearch(benchmark::State& state) {
    auto& f = fixture();
    if (!f.problem.empty()) return state.SkipWithError(f.problem.c_str());
    static std::size_t next = 0;
    for (auto _ : state) {
        const Clip& clip = f.clips[next++ % f.clips.size()];
        f.detector->reset();
        timeFrame(state, [&] { return f.detector->detect(clip.first.view()); });
    }
}

void BM_DetectTracking(benchmark::State& state) {
    auto& f = fixture();
    if (!f.problem.empty()) return state.SkipWithError(f.problem.c_str());
    static std::size_t next = 0;
    for (auto _ : state) {
        const Clip& clip = f.clips[next++ % f.clips.size()];
        f.detector->reset();
        f.detector->detect(clip.first.view());
        f.detector->detect(clip.first.view());
        if (!f.detector->isTracking()) return state.SkipWithError("a test face was not found");
        timeFrame(state, [&] { return f.detector->detect(clip.next.view()); });
    }
}

void BM_ModelInference(benchmark::State& state) {
    auto& f = fixture();
    if (!f.problem.empty()) return state.SkipWithError(f.problem.c_str());
    const int shape[] = {1, 128, 128, 3};
    cv::Mat input(4, shape, CV_32F, cv::Scalar(0));
    std::vector<cv::Mat> outputs;
    for (auto _ : state) {
        timeFrame(state, [&] {
            f.net.setInput(input);
            f.net.forward(outputs, f.net.getUnconnectedOutLayersNames());
            return outputs.size();
        });
    }
}

} // namespace

BENCHMARK(BM_DetectSearch)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(repetitions)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("p95", p95);
BENCHMARK(BM_DetectTracking)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(repetitions)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("p95", p95);

BENCHMARK(BM_ModelInference)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(repetitions)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("p95", p95);

BENCHMARK_MAIN();
