// The core's hot paths: per-frame prediction, decision and smoothing, and the background fit and file work.

#include "SyntheticProfile.h"
#include "core/OneEuroFilter.h"
#include "core/ScreenModel.h"
#include "core/SwitchDecider.h"

#include <benchmark/benchmark.h>

using namespace orvane;

static void Predict(benchmark::State& state) {
    auto profile = bench::syntheticProfile(int(state.range(0)), 110, 0);
    auto model = ScreenModel::train(profile.allSamples(), profile.screenIDs(), {});
    if (!model) {
        state.SkipWithError("training failed");
        return;
    }
    HeadPose pose{radians(10.0), radians(-7.0), 0.01, 0.51, 0.44, 0.22};
    for (auto _ : state) {
        benchmark::DoNotOptimize(pose);
        auto prediction = model->predict(pose);
        benchmark::DoNotOptimize(prediction);
    }
}
BENCHMARK(Predict)->Arg(2)->Arg(4);

static void Train(benchmark::State& state) {
    auto profile = bench::syntheticProfile(int(state.range(0)), 110, 300);
    auto samples = profile.allSamples();
    auto ids = profile.screenIDs();
    for (auto _ : state) {
        auto model = ScreenModel::train(samples, ids, {});
        benchmark::DoNotOptimize(model);
    }
    state.counters["samples"] = double(samples.size());
}
BENCHMARK(Train)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

static void EncodeProfile(benchmark::State& state) {
    auto profile = bench::syntheticProfile(4, 110, 300);
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = encodeProfile(profile);
        bytes = text.value ? text.value->size() : 0;
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = double(bytes);
}
BENCHMARK(EncodeProfile)->Unit(benchmark::kMillisecond);

static void DecodeProfile(benchmark::State& state) {
    auto text = encodeProfile(bench::syntheticProfile(4, 110, 300));
    if (!text) {
        state.SkipWithError(text.error.c_str());
        return;
    }
    for (auto _ : state) {
        auto profile = decodeProfile(*text.value);
        benchmark::DoNotOptimize(profile);
    }
}
BENCHMARK(DecodeProfile)->Unit(benchmark::kMillisecond);

// A steady stream of confident predictions for the active screen: the decider's everyday case.
static void DeciderUpdate(benchmark::State& state) {
    SwitchDecider decider{SwitchDecider::Configuration{}};
    ScreenPrediction prediction{{0.9, 0.1}, {bench::displayUUID(0), bench::displayUUID(1)}, false, 0.8};
    std::optional<ScreenPrediction> input = prediction;
    decider.didSwitch(bench::displayUUID(0), 0);
    double now = 1;
    for (auto _ : state) {
        now += 1.0 / 15;
        auto target = decider.update(input, InputActivity::idle, now);
        benchmark::DoNotOptimize(target);
    }
}
BENCHMARK(DeciderUpdate);

// A candidate dwelling on another screen while the user types: the busiest path through the rules.
static void DeciderUpdateWhileTyping(benchmark::State& state) {
    SwitchDecider decider{SwitchDecider::Configuration{}};
    ScreenPrediction prediction{{0.1, 0.9}, {bench::displayUUID(0), bench::displayUUID(1)}, false, 0.8};
    std::optional<ScreenPrediction> input = prediction;
    decider.didSwitch(bench::displayUUID(0), 0);
    InputActivity typing{0.2, 5.0, false, false};
    double now = 1;
    for (auto _ : state) {
        now += 1.0 / 15;
        auto target = decider.update(input, typing, now);
        benchmark::DoNotOptimize(target);
    }
}
BENCHMARK(DeciderUpdateWhileTyping);

static void PoseFilterFilter(benchmark::State& state) {
    PoseFilter filter(1.2, 1.5);
    HeadPose pose{0.1, -0.1, 0.0, 0.5, 0.45, 0.23};
    double t = 0;
    for (auto _ : state) {
        t += 1.0 / 15;
        pose.yaw = -pose.yaw;
        auto smoothed = filter.filter(pose, t);
        benchmark::DoNotOptimize(smoothed);
    }
}
BENCHMARK(PoseFilterFilter);

BENCHMARK_MAIN();
