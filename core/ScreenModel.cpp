#include "core/ScreenModel.h"

#include "core/LinearSolver.h"
#include "core/SoftmaxRegression.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane {

// MARK: Envelope

std::optional<ScreenModel::Envelope> ScreenModel::Envelope::fit(const std::vector<Point>& points,
                                                                std::array<double, 2> floors) {
    constexpr std::size_t d = 2;
    if (points.empty()) return std::nullopt;
    double total = 0;
    for (const auto& p : points)
        total += p.w;
    if (!(total > 0)) return std::nullopt;

    Envelope envelope;
    for (std::size_t a = 0; a < d; ++a) {
        double sum = 0;
        for (const auto& p : points)
            sum += p.w * p.x[a];
        envelope.mean[a] = sum / total;
    }
    std::vector<std::vector<double>> covariance(d, std::vector<double>(d));
    for (std::size_t a = 0; a < d; ++a)
        for (std::size_t b = 0; b < d; ++b) {
            double sum = 0;
            for (const auto& p : points)
                sum += p.w * (p.x[a] - envelope.mean[a]) * (p.x[b] - envelope.mean[b]);
            covariance[a][b] = sum / total;
        }
    for (std::size_t a = 0; a < d; ++a)
        covariance[a][a] += floors[a] * floors[a];

    for (std::size_t c = 0; c < d; ++c) {
        std::vector<double> unit(d, 0.0);
        unit[c] = 1;
        auto column = LinearSolver::solve(covariance, unit);
        if (!column) return std::nullopt;
        for (std::size_t r = 0; r < d; ++r)
            envelope.inverseCovariance[r][c] = (*column)[r];
    }
    return envelope;
}

double ScreenModel::Envelope::distance(double yaw, double pitch) const {
    const std::array<double, 2> offset{yaw - mean[0], pitch - mean[1]};
    double q = 0;
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t b = 0; b < 2; ++b)
            q += offset[a] * inverseCovariance[a][b] * offset[b];
    // Rounding can leave a tiny negative q near the mean.
    return std::sqrt(std::max(q, 0.0));
}

// MARK: Training

std::vector<ScreenModel::WeightedSample> ScreenModel::sampleWeights(const std::vector<LabeledSample>& samples,
                                                                    const std::vector<std::string>& screenIDs,
                                                                    const Configuration& configuration) {
    std::vector<WeightedSample> result;
    std::vector<const LabeledSample*> calibration, clicks;
    std::vector<double> decays;
    for (const auto& id : screenIDs) {
        calibration.clear();
        clicks.clear();
        for (const auto& s : samples) {
            if (s.screenID != id) continue;
            (s.source == LabeledSample::Source::calibration ? calibration : clicks).push_back(&s);
        }
        // Newest first; equal times keep their input order, so the one given first counts as newer.
        std::stable_sort(clicks.begin(), clicks.end(),
                         [](const LabeledSample* a, const LabeledSample* b) { return a->time > b->time; });

        const double share =
            std::min(double(clicks.size()) / configuration.clicksForEqualWeight, configuration.maxClickShare);
        double total;
        if (!calibration.empty()) {
            total = 1 + share;
            for (const auto* s : calibration)
                result.push_back({*s, (1 / total) / double(calibration.size())});
        } else if (share > 0) {
            total = share;
        } else {
            continue;
        }
        if (clicks.empty() || !(share > 0)) continue;
        decays.clear();
        double decaySum = 0;
        for (std::size_t i = 0; i < clicks.size(); ++i) {
            decays.push_back(std::pow(2.0, -double(i) / configuration.clickHalfLife));
            decaySum += decays.back();
        }
        for (std::size_t i = 0; i < clicks.size(); ++i)
            result.push_back({*clicks[i], (share / total) * decays[i] / decaySum});
    }
    return result;
}

std::optional<ScreenModel> ScreenModel::train(const std::vector<LabeledSample>& samples,
                                              const std::vector<std::string>& screenIDs,
                                              const Configuration& configuration) {
    if (screenIDs.size() < 2) return std::nullopt;
    const auto weighted = sampleWeights(samples, screenIDs, configuration);
    if (weighted.empty()) return std::nullopt;
    for (const auto& id : screenIDs)
        if (std::none_of(weighted.begin(), weighted.end(),
                         [&](const auto& ws) { return ws.sample.screenID == id; }))
            return std::nullopt;

    ScreenModel model;
    model.screenIDs = screenIDs;
    model.configuration = configuration;

    double total = 0;
    for (const auto& ws : weighted)
        total += ws.weight;
    std::vector<HeadPose::Features> features;
    features.reserve(weighted.size());
    for (const auto& ws : weighted) {
        features.push_back(ws.sample.pose.features());
        const double share = ws.weight / total;
        for (int i = 0; i < featureCount; ++i)
            model.center[i] += share * features.back()[i];
    }

    std::vector<SoftmaxRegression::Row> rows(weighted.size());
    for (std::size_t n = 0; n < weighted.size(); ++n) {
        auto& row = rows[n];
        row.x.resize(inputCount);
        for (int i = 0; i < featureCount; ++i)
            row.x[i] = (features[n][i] - model.center[i]) / configuration.featureScales[i];
        row.x[featureCount] = 1;
        row.y = int(std::find(screenIDs.begin(), screenIDs.end(), weighted[n].sample.screenID) -
                    screenIDs.begin());
        row.w = weighted[n].weight / total;
    }
    std::vector<double> lambda(configuration.penalties.begin(), configuration.penalties.end());
    lambda.push_back(configuration.biasPenalty);
    for (const auto& fitted : SoftmaxRegression::fit(rows, int(screenIDs.size()), lambda)) {
        auto& row = model.weights.emplace_back();
        std::copy(fitted.begin(), fitted.end(), row.begin());
    }

    std::vector<Envelope::Point> points;
    for (const auto& id : screenIDs) {
        points.clear();
        for (const auto& ws : weighted)
            if (ws.sample.screenID == id)
                points.push_back({{ws.sample.pose.yaw, ws.sample.pose.pitch}, ws.weight});
        auto envelope = Envelope::fit(points, {configuration.envelopeFloor, configuration.envelopeFloor});
        if (!envelope) return std::nullopt;
        model.envelopes.push_back(*envelope);
    }
    return model;
}

// MARK: Prediction

ScreenPrediction ScreenModel::predict(const HeadPose& pose) const {
    const auto f = pose.features();
    std::array<double, inputCount> x;
    for (int i = 0; i < featureCount; ++i)
        x[i] = (f[i] - center[i]) / configuration.featureScales[i];
    x[featureCount] = 1;

    ScreenPrediction prediction;
    prediction.probabilities.resize(weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k)
        prediction.probabilities[k] = SoftmaxRegression::score(weights[k], x);
    SoftmaxRegression::softmax(prediction.probabilities);
    prediction.screenIDs = screenIDs;

    // A NaN distance wins, so a pose with NaN angles reports NaN (and counts as on-screen).
    double nearest = std::numeric_limits<double>::infinity();
    for (const auto& envelope : envelopes) {
        const double distance = envelope.distance(pose.yaw, pose.pitch);
        if (std::isnan(distance) || distance < nearest) nearest = distance;
        if (std::isnan(nearest)) break;
    }
    prediction.envelopeDistance = nearest;
    prediction.offScreen = configuration.offScreenDistance < nearest;
    return prediction;
}

double ScreenModel::separationScore(const std::vector<LabeledSample>& samples) const {
    double score = 1;
    for (const auto& id : screenIDs) {
        double sum = 0;
        std::size_t count = 0;
        for (const auto& s : samples) {
            if (s.screenID != id) continue;
            sum += predict(s.pose).probability(id);
            ++count;
        }
        if (count == 0) continue;
        score = std::min(score, sum / double(count));
    }
    return score;
}

double ScreenModel::accuracy(const std::vector<LabeledSample>& samples) const {
    if (samples.empty()) return 0;
    std::size_t right = 0;
    for (const auto& s : samples) {
        const auto prediction = predict(s.pose);
        // A model without classes (default-constructed) names no display rather than reading past its IDs.
        if (prediction.bestIndex() < prediction.screenIDs.size() && prediction.best() == s.screenID) ++right;
    }
    return double(right) / double(samples.size());
}

// MARK: JSON

namespace {

json::Json numbersToJson(std::span<const double> numbers, const std::string& path) {
    json::Json array = json::Json::array();
    for (std::size_t i = 0; i < numbers.size(); ++i)
        array.push_back(json::finite(numbers[i], json::element(path, i)));
    return array;
}

// Exactly N numbers; a list of another length would make prediction read out of bounds.
template <std::size_t N>
std::array<double, N> numbersFromJson(const json::Json& value, const std::string& path) {
    if (!value.is_array())
        throw JsonError(path, std::string("expected an array, found ") + value.type_name());
    if (value.size() != N)
        throw JsonError(path,
                        "expected " + std::to_string(N) + " numbers, found " + std::to_string(value.size()));
    std::array<double, N> numbers;
    for (std::size_t i = 0; i < N; ++i)
        numbers[i] = json::requireNumber(value[i], json::element(path, i));
    return numbers;
}

template <std::size_t N>
std::array<double, N> numbersFromJson(const json::Json& object, std::string_view key,
                                      const std::string& path) {
    return numbersFromJson<N>(json::requireMember(object, key, path), json::member(path, key));
}

const json::Json& requireCount(const json::Json& object, std::string_view key, const std::string& path,
                               std::size_t count, const char* what) {
    const json::Json& array = json::requireArray(object, key, path);
    if (array.size() != count)
        throw JsonError(json::member(path, key), "expected " + std::to_string(count) + " " + what +
                                                     ", found " + std::to_string(array.size()));
    return array;
}

} // namespace

json::Json toJson(const ScreenModel::Configuration& configuration, const std::string& path) {
    using json::finite;
    using json::member;
    json::Json object = json::Json::object();
    object["featureScales"] = numbersToJson(configuration.featureScales, member(path, "featureScales"));
    object["penalties"] = numbersToJson(configuration.penalties, member(path, "penalties"));
    object["biasPenalty"] = finite(configuration.biasPenalty, member(path, "biasPenalty"));
    object["clicksForEqualWeight"] =
        finite(configuration.clicksForEqualWeight, member(path, "clicksForEqualWeight"));
    object["maxClickShare"] = finite(configuration.maxClickShare, member(path, "maxClickShare"));
    object["clickHalfLife"] = finite(configuration.clickHalfLife, member(path, "clickHalfLife"));
    object["offScreenDistance"] = finite(configuration.offScreenDistance, member(path, "offScreenDistance"));
    object["envelopeFloor"] = finite(configuration.envelopeFloor, member(path, "envelopeFloor"));
    return object;
}

json::Json toJson(const ScreenModel::Envelope& envelope, const std::string& path) {
    json::Json object = json::Json::object();
    object["mean"] = numbersToJson(envelope.mean, json::member(path, "mean"));
    json::Json rows = json::Json::array();
    const std::string inversePath = json::member(path, "inverseCovariance");
    for (std::size_t r = 0; r < envelope.inverseCovariance.size(); ++r)
        rows.push_back(numbersToJson(envelope.inverseCovariance[r], json::element(inversePath, r)));
    object["inverseCovariance"] = std::move(rows);
    return object;
}

json::Json toJson(const ScreenModel& model, const std::string& path) {
    json::Json object = json::Json::object();
    object["screenIDs"] = model.screenIDs;
    object["configuration"] = toJson(model.configuration, json::member(path, "configuration"));
    object["center"] = numbersToJson(model.center, json::member(path, "center"));
    json::Json weights = json::Json::array();
    const std::string weightsPath = json::member(path, "weights");
    for (std::size_t k = 0; k < model.weights.size(); ++k)
        weights.push_back(numbersToJson(model.weights[k], json::element(weightsPath, k)));
    object["weights"] = std::move(weights);
    json::Json envelopes = json::Json::array();
    const std::string envelopesPath = json::member(path, "envelopes");
    for (std::size_t k = 0; k < model.envelopes.size(); ++k)
        envelopes.push_back(toJson(model.envelopes[k], json::element(envelopesPath, k)));
    object["envelopes"] = std::move(envelopes);
    return object;
}

ScreenModel::Configuration screenModelConfigurationFromJson(const json::Json& value,
                                                            const std::string& path) {
    using json::requireNumber;
    json::requireObject(value, path);
    ScreenModel::Configuration configuration;
    configuration.featureScales = numbersFromJson<ScreenModel::featureCount>(value, "featureScales", path);
    configuration.penalties = numbersFromJson<ScreenModel::featureCount>(value, "penalties", path);
    configuration.biasPenalty = requireNumber(value, "biasPenalty", path);
    configuration.clicksForEqualWeight = requireNumber(value, "clicksForEqualWeight", path);
    configuration.maxClickShare = requireNumber(value, "maxClickShare", path);
    configuration.clickHalfLife = requireNumber(value, "clickHalfLife", path);
    configuration.offScreenDistance = requireNumber(value, "offScreenDistance", path);
    configuration.envelopeFloor = requireNumber(value, "envelopeFloor", path);
    return configuration;
}

ScreenModel::Envelope envelopeFromJson(const json::Json& value, const std::string& path) {
    json::requireObject(value, path);
    ScreenModel::Envelope envelope;
    envelope.mean = numbersFromJson<2>(value, "mean", path);
    const std::string inversePath = json::member(path, "inverseCovariance");
    const auto& rows = requireCount(value, "inverseCovariance", path, 2, "rows");
    for (std::size_t r = 0; r < 2; ++r)
        envelope.inverseCovariance[r] = numbersFromJson<2>(rows[r], json::element(inversePath, r));
    return envelope;
}

ScreenModel screenModelFromJson(const json::Json& value, const std::string& path) {
    json::requireObject(value, path);
    ScreenModel model;
    const auto& ids = json::requireArray(value, "screenIDs", path);
    const std::string idsPath = json::member(path, "screenIDs");
    if (ids.size() < 2)
        throw JsonError(idsPath, "expected at least 2 display IDs, found " + std::to_string(ids.size()));
    for (std::size_t k = 0; k < ids.size(); ++k)
        model.screenIDs.push_back(json::requireString(ids[k], json::element(idsPath, k)));
    const std::size_t classes = model.screenIDs.size();

    model.configuration = screenModelConfigurationFromJson(json::requireMember(value, "configuration", path),
                                                           json::member(path, "configuration"));
    model.center = numbersFromJson<ScreenModel::featureCount>(value, "center", path);

    const std::string weightsPath = json::member(path, "weights");
    const auto& weights = requireCount(value, "weights", path, classes, "rows, one per display");
    for (std::size_t k = 0; k < classes; ++k)
        model.weights.push_back(
            numbersFromJson<ScreenModel::inputCount>(weights[k], json::element(weightsPath, k)));

    const std::string envelopesPath = json::member(path, "envelopes");
    const auto& envelopes = requireCount(value, "envelopes", path, classes, "envelopes, one per display");
    for (std::size_t k = 0; k < classes; ++k)
        model.envelopes.push_back(envelopeFromJson(envelopes[k], json::element(envelopesPath, k)));
    return model;
}

JsonResult<std::string> encodeScreenModel(const ScreenModel& model) {
    return json::capture<std::string>([&] { return json::dump(toJson(model)); });
}

JsonResult<ScreenModel> decodeScreenModel(std::string_view text) {
    return json::capture<ScreenModel>([&] { return screenModelFromJson(json::parse(text)); });
}

} // namespace orvane
