#include "core/ScreenModel.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <random>

using namespace orvane;
using Source = LabeledSample::Source;

namespace {

const ScreenModel::Configuration defaults;

WallTime at(int seconds) {
    return WallTime{} + std::chrono::seconds(1'700'000'000 + seconds);
}

LabeledSample sample(const std::string& id, Source source, double yaw = 0, int time = 0) {
    return {{yaw, 0, 0, 0.5, 0.45, 0.2}, id, source, at(time)};
}

std::vector<LabeledSample> repeated(int count, const std::string& id, Source source, int firstTime = 0) {
    std::vector<LabeledSample> samples;
    for (int i = 0; i < count; ++i)
        samples.push_back(sample(id, source, 0, firstTime + i));
    return samples;
}

std::vector<LabeledSample> operator+(std::vector<LabeledSample> a, const std::vector<LabeledSample>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Displays 0.6 rad (about 34 degrees) apart in yaw, the head anywhere on each; the face box moves with it.
std::vector<LabeledSample> synthetic(const std::vector<std::string>& ids, int calibration, int clicks,
                                     unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> across(-0.15, 0.15);
    std::vector<LabeledSample> samples;
    for (int i = 0; i < calibration + clicks; ++i)
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const double yaw = (double(k) - double(ids.size() - 1) / 2) * 0.6 + across(rng),
                         pitch = (k % 2 ? 0.05 : -0.05) + across(rng) / 2, roll = across(rng) / 10,
                         x = across(rng) / 10, y = across(rng) / 10, size = across(rng) / 30;
            HeadPose pose{yaw, pitch, roll, 0.5 - 0.2 * yaw + x, 0.45 + 0.1 * pitch + y, 0.2 + size};
            samples.push_back({pose, ids[k], i < calibration ? Source::calibration : Source::click, at(i)});
        }
    return samples;
}

// B's log-odds equal the yaw; A's envelope has a spread of 0.1 around the origin, B's lies far away.
ScreenModel handMade() {
    ScreenModel model;
    model.screenIDs = {"A", "B"};
    model.configuration.featureScales = {1, 1, 1, 1, 1};
    model.weights = {{0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0}};
    model.envelopes = {{{0, 0}, {{{100, 0}, {0, 100}}}}, {{5, 5}, {{{1, 0}, {0, 1}}}}};
    return model;
}

HeadPose facing(double yaw, double pitch = 0) {
    return {yaw, pitch, 0, 0, 0, 1};
}

} // namespace

TEST(ScreenModelWeights, EachDisplayCarriesOneUnitAndClicksTakeACappedShareNewestFirst) {
    auto ws = ScreenModel::sampleWeights(repeated(10, "A", Source::calibration) +
                                             repeated(40, "A", Source::click, 100) +
                                             repeated(10, "B", Source::calibration),
                                         {"A", "B"}, defaults);
    ASSERT_EQ(ws.size(), 60u);
    auto sum = [&](int from, int to) {
        return std::accumulate(ws.begin() + from, ws.begin() + to, 0.0,
                               [](double s, auto& w) { return s + w.weight; });
    };
    EXPECT_DOUBLE_EQ(ws[0].weight, 0.05);
    EXPECT_DOUBLE_EQ(sum(10, 50), 0.5);
    EXPECT_DOUBLE_EQ(ws[59].weight, 0.1);
    EXPECT_EQ(ws[10].sample.time, at(139)); // A's clicks follow its calibration samples, newest first
    EXPECT_EQ(ws[49].sample.time, at(100));
    ws = ScreenModel::sampleWeights(repeated(5, "A", Source::calibration) + repeated(121, "A", Source::click),
                                    {"A", "B"}, defaults);
    EXPECT_NEAR(sum(0, 5), 1.0 / 3, 1e-15); // the clicks' share is capped at twice the calibration's
    EXPECT_NEAR(ws[5 + 60].weight / ws[5].weight, 0.5, 1e-15); // the half-life, in newer clicks
    EXPECT_NEAR(ws[5 + 120].weight / ws[5].weight, 0.25, 1e-15);
    // Only clicks share the unit; equal times count the one given first as newer; Z is not listed.
    auto first = sample("A", Source::click, 0.1, 5), second = sample("A", Source::click, 0.2, 5);
    ws = ScreenModel::sampleWeights(
        {sample("Z", Source::click), first, second, sample("Z", Source::calibration)}, {"B", "A"}, defaults);
    ASSERT_EQ(ws.size(), 2u);
    EXPECT_EQ(ws[0].sample, first);
    EXPECT_GT(ws[0].weight, ws[1].weight);
    EXPECT_NEAR(sum(0, 2), 1.0, 1e-15);
}

TEST(ScreenModelEnvelope, WeightedMeanAndFlooredCovariance) {
    auto e = ScreenModel::Envelope::fit({{{0, 0.1}, 1}, {{0.2, 0.1}, 3}}, {0.1, 0.1});
    ASSERT_TRUE(e);
    EXPECT_NEAR(e->mean[0], 0.15, 1e-15);
    EXPECT_NEAR(e->inverseCovariance[0][0], 1 / 0.0175, 1e-9); // yaw variance 0.0075 plus the floor's 0.01
    auto coinciding = ScreenModel::Envelope::fit({{{0.3, -0.2}, 1}, {{0.3, -0.2}, 2}}, {0.1, 0.1});
    ASSERT_TRUE(coinciding);
    EXPECT_NEAR(coinciding->inverseCovariance[1][1], 100, 1e-9);
    EXPECT_NEAR(coinciding->inverseCovariance[1][0], 0, 1e-12);
    EXPECT_NEAR(coinciding->distance(0.6, -0.2), 3, 1e-9); // 0.3 rad at a spread of 0.1
    EXPECT_FALSE(ScreenModel::Envelope::fit({}, {0.1, 0.1}));
    EXPECT_FALSE(ScreenModel::Envelope::fit({{{0, 0}, 0}}, {0.1, 0.1}));
    EXPECT_FALSE(ScreenModel::Envelope::fit({{{0, 0}, 1}, {{0, 0}, 1}}, {0, 0})); // singular without floor
}

TEST(ScreenModelTraining, AbsentWithoutTwoDisplaysWithSamplesOrAFittableEnvelope) {
    auto samples = synthetic({"A", "B"}, 20, 0);
    EXPECT_FALSE(ScreenModel::train(samples, {"A"}, defaults));
    EXPECT_FALSE(ScreenModel::train(samples, {"A", "B", "C"}, defaults));
    samples[0].pose.yaw = NAN; // leaves its envelope singular: absent, not a crash
    EXPECT_FALSE(ScreenModel::train(samples, {"A", "B"}, defaults));
}

TEST(ScreenModelTraining, SeparatesDisplaysDeterministicallyInAnyOrderAndIgnoresUnknownOnes) {
    const std::vector<std::string> ids{"A", "B", "C", "D"};
    auto samples = synthetic(ids, 110, 300);
    auto model = ScreenModel::train(samples, ids, defaults);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->accuracy(samples), 1.0);
    EXPECT_GT(model->separationScore(samples), 0.95);
    EXPECT_EQ(model->accuracy(synthetic(ids, 50, 0, 99)), 1.0);
    EXPECT_FALSE(model->predict(facing(model->envelopes[1].mean[0], model->envelopes[1].mean[1])).offScreen);
    EXPECT_TRUE(model->predict(facing(0, 1.2)).offScreen); // looking far above every display
    auto permuted = ScreenModel::train(samples, {"C", "A", "D", "B"}, defaults);
    ASSERT_TRUE(permuted);
    const int from[] = {2, 0, 3, 1}; // permuting the displays permutes classes and envelopes
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(permuted->envelopes[k], model->envelopes[from[k]]);
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(permuted->weights[k][i], model->weights[from[k]][i], 1e-7);
    }
    // Bitwise deterministic, and samples of unlisted displays change nothing (not even the centre).
    auto strangers = repeated(30, "Z", Source::calibration) + repeated(5, "Z", Source::click);
    for (auto& s : strangers)
        s.pose.yaw = 2;
    EXPECT_EQ(ScreenModel::train(samples + strangers, ids, defaults), model);
}

TEST(ScreenModelTraining, IdenticalPosesGiveZeroWeightsAndEvenOdds) {
    auto samples = repeated(4, "A", Source::calibration) + repeated(7, "B", Source::calibration) +
                   repeated(2, "C", Source::calibration) + repeated(50, "C", Source::click);
    auto model = ScreenModel::train(samples, {"A", "B", "C"}, defaults);
    ASSERT_TRUE(model);
    for (const auto& row : model->weights)
        EXPECT_EQ(row, (std::array<double, 6>{}));
    EXPECT_EQ(model->envelopes[0], model->envelopes[2]);
    auto p = model->predict(HeadPose{0.4, -0.1, 0, 0.3, 0.3, 0.5});
    EXPECT_EQ(p.probabilities, std::vector<double>(3, 1.0 / 3));
    EXPECT_EQ(p.best(), "A"); // first of equal maxima
}

TEST(ScreenModelPrediction, ProbabilitiesAndTheNearestEnvelopeDecideOffScreen) {
    auto model = handMade();
    auto p = model.predict(facing(0.3));
    ASSERT_EQ(p.screenIDs, model.screenIDs);
    EXPECT_NEAR(p.probabilities[1], 1 / (1 + std::exp(-0.3)), 1e-15);
    EXPECT_NEAR(p.envelopeDistance, 3, 1e-12);
    auto away = model.predict(facing(-0.5));
    EXPECT_TRUE(away.offScreen);
    EXPECT_EQ(away.best(), "A"); // off-screen still names a display
    EXPECT_EQ(model.predict(facing(5, 5)).envelopeDistance, 0);
    model.envelopes[0].inverseCovariance = {{{1, 0}, {0, 1}}};
    EXPECT_FALSE(model.predict(facing(4)).offScreen); // exactly at the threshold
    EXPECT_TRUE(model.predict(facing(4.000001)).offScreen);
    auto nan = model.predict(facing(NAN));
    EXPECT_TRUE(std::isnan(nan.envelopeDistance) && std::isnan(nan.probabilities[1]));
    EXPECT_FALSE(nan.offScreen);
    model.envelopes.clear();
    EXPECT_EQ(model.predict(facing(0)).envelopeDistance, INFINITY);
    model.center[0] = 0.2; // features are taken relative to the centre
    EXPECT_NEAR(model.predict(facing(0.5)).probabilities[1], 1 / (1 + std::exp(-0.3)), 1e-15);
}

TEST(ScreenModelScores, SeparationIsTheWorstDisplaysMeanConfidence) {
    auto model = handMade();
    auto a = sample("A", Source::calibration, -std::log(9.0)); // p(A) = 0.9
    auto b = sample("B", Source::calibration, std::log(1.5));  // p(B) = 0.6
    EXPECT_NEAR(model.separationScore({a, b, a, b, sample("Z", Source::click)}), 0.6, 1e-12);
    EXPECT_NEAR(model.separationScore({b, a, a}), 0.6, 1e-12); // a display with one sample counts too
    EXPECT_EQ(model.separationScore({sample("Z", Source::click)}), 1);
    EXPECT_EQ(model.accuracy({}), 0);
    auto mislabelled = a;
    mislabelled.screenID = "B";
    EXPECT_DOUBLE_EQ(model.accuracy({a, b, mislabelled}), 2.0 / 3);
    EXPECT_EQ(ScreenModel{}.accuracy({a}), 0); // a model without displays names none
}

TEST(ScreenModelJson, RoundTripKeepsEveryBitAndMalformedModelsAreRefusedNamingTheKey) {
    auto model = ScreenModel::train(synthetic({"A", "B"}, 30, 10), {"A", "B"}, defaults);
    ASSERT_TRUE(model);
    auto text = encodeScreenModel(*model);
    ASSERT_TRUE(text) << text.error;
    EXPECT_EQ(decodeScreenModel(*text.value).value, model);
    model->weights[1][3] = NAN;
    EXPECT_NE(encodeScreenModel(*model).error.find("\"weights[1][3]\""), std::string::npos);
    // Lists of the wrong length would make prediction read out of bounds.
    using J = json::Json;
    const std::pair<const char*, std::function<void(J&)>> cases[] = {
        {"screenIDs", [](J& j) { j["screenIDs"] = J::array({"A"}); }},
        {"configuration.featureScales", [](J& j) { j["configuration"]["featureScales"].push_back(1); }},
        {"configuration.envelopeFloor", [](J& j) { j["configuration"].erase("envelopeFloor"); }},
        {"center", [](J& j) { j["center"].erase(0); }},
        {"weights", [](J& j) { j["weights"].push_back(j["weights"][0]); }},
        {"weights[1]", [](J& j) { j["weights"][1].erase(5); }},
        {"envelopes", [](J& j) { j["envelopes"].erase(1); }},
        {"envelopes[0].mean", [](J& j) { j["envelopes"][0]["mean"].push_back(0); }},
        {"envelopes[1].inverseCovariance", [](J& j) { j["envelopes"][1]["inverseCovariance"].erase(0); }},
        {"envelopes[1].inverseCovariance[0]",
         [](J& j) { j["envelopes"][1]["inverseCovariance"][0] = J::array({1}); }},
    };
    const auto good = toJson(handMade());
    for (const auto& [key, change] : cases) {
        auto j = good;
        change(j);
        auto result = decodeScreenModel(json::dump(j));
        ASSERT_FALSE(result) << key;
        EXPECT_NE(result.error.find(std::string("\"") + key + "\""), std::string::npos) << result.error;
    }
}
