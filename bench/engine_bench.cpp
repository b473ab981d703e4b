// The engine's own work per analysed frame and per click, with the face detector answering at once.

#include "SyntheticProfile.h"
#include "core/ScreenModel.h"
#include "engine/TrackingPipeline.h"

#include <benchmark/benchmark.h>

#include <limits>

using namespace orvane;

namespace {

// Work posted to it runs at once: the benchmark thread plays the frame queue.
class ImmediateQueue : public TaskQueue {
public:
    void post(Task task) override { task(); }
    void postAfter(double, Task task) override { task(); }
};

class SteppedClock : public Clock {
public:
    double uptime() const override { return uptime_; }
    WallTime now() const override { return WallTime{} + std::chrono::seconds(1'765'000'000); }
    void advance(double seconds) { uptime_ += seconds; }

private:
    double uptime_ = 1000;
};

class FixedFaceDetector : public FaceDetector {
public:
    std::optional<std::vector<DetectedFace>> detect(const FrameView&) override {
        return std::vector<DetectedFace>{{0.39, 0.44, 0.22, 0.22, radians(12.0), radians(-7.0), 0.01, 0.95}};
    }
};

class QuietInput : public InputSource {
public:
    double secondsSinceLast(InputEvent) override { return std::numeric_limits<double>::infinity(); }
    bool buttonDown(int) override { return false; }
    std::uint32_t modifierFlags() override { return 0; }
};

struct Rig {
    ImmediateQueue queue;
    SteppedClock clock;
    FixedFaceDetector detector;
    QuietInput input;
    TrackingPipeline pipeline{queue, detector, input, clock};
    CalibrationProfile profile = bench::syntheticProfile(2, 110, 300);
    FrameView frame{640, 360, nullptr, 640, nullptr, 640};

    Rig() {
        pipeline.setModel(ScreenModel::train(profile.allSamples(), profile.screenIDs(), {}));
        pipeline.setSwitchingEnabled(true);
        pipeline.setFullRate(true);
        pipeline.onPose = [](const std::optional<HeadPose>&, double) {};
        pipeline.onSnapshot = [](const TrackingSnapshot& snapshot) { benchmark::DoNotOptimize(snapshot); };
        pipeline.onSwitch = [](const std::string&) {};
    }
    void nextFrame() {
        clock.advance(1.0 / 15);
        pipeline.handle(frame);
    }
};

} // namespace

// Filter, history, prediction, decider, snapshot (every other frame at 15 per second).
static void PipelineFrame(benchmark::State& state) {
    Rig rig;
    for (int i = 0; i < 30; ++i) rig.nextFrame();
    for (auto _ : state) rig.nextFrame();
}
BENCHMARK(PipelineFrame);

// A click after a steady head: scored against the model, a sample learned and added to the profile.
static void Click(benchmark::State& state) {
    Rig rig;
    for (int i = 0; i < 30; ++i) rig.nextFrame();
    std::optional<LabeledSample> learned;
    rig.pipeline.onLearnedSample = [&](const LabeledSample& sample) { learned = sample; };
    const std::string screen = rig.profile.screenIDs()[1];
    for (auto _ : state) {
        rig.pipeline.handleClick(screen, rig.clock.uptime());
        if (learned) rig.profile.addClick(*learned, 300);
    }
    state.counters["clicks"] = double(rig.profile.clickSamples.size());
}
BENCHMARK(Click);

BENCHMARK_MAIN();
