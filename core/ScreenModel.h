#pragma once

#include "core/CalibrationProfile.h"
#include "core/HeadPose.h"
#include "core/Json.h"
#include "core/ScreenPrediction.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// Which display the head faces: a softmax classifier over standardised pose features, one class
// per display, plus one yaw/pitch envelope per display that recognises looking at none of them.
// Fitted from a profile's samples, never changed afterwards and never stored.
struct ScreenModel {
    static constexpr int featureCount = HeadPose::featureCount;
    // The features and the bias.
    static constexpr int inputCount = featureCount + 1;

    struct Configuration {
        // Divisor of each centred feature (yaw, pitch, faceX, faceY, log face size).
        std::array<double, featureCount> featureScales{0.1, 0.1, 0.1, 0.1, 0.15};
        // Ridge penalty of each feature's weight, per class.
        std::array<double, featureCount> penalties{0.002, 0.002, 0.05, 0.05, 0.05};
        double biasPenalty = 0.0001;
        // Clicks on a display at which they weigh as much as its calibration samples.
        double clicksForEqualWeight = 40;
        // Cap of a display's click weight relative to its calibration weight.
        double maxClickShare = 2.0;
        // Half-life of a click's weight, counted in newer clicks on the same display.
        double clickHalfLife = 60;
        // Envelope distance (standard deviations) beyond which a pose is off-screen.
        double offScreenDistance = 4.0;
        // Radians of spread added to each envelope's yaw and pitch variance, squared.
        double envelopeFloor = 0.1;

        bool operator==(const Configuration&) const = default;
    };

    struct WeightedSample {
        LabeledSample sample;
        double weight = 0;

        bool operator==(const WeightedSample&) const = default;
    };

    // A Gaussian ellipse over raw yaw and pitch.
    struct Envelope {
        struct Point {
            std::array<double, 2> x{};
            double w = 0;
        };

        std::array<double, 2> mean{};
        // Inverse of the floored weighted covariance, row-major.
        std::array<std::array<double, 2>, 2> inverseCovariance{};

        // Weighted mean and inverse covariance, with floors squared added to the variances.
        // Absent without points, without positive total weight, or for a singular covariance.
        static std::optional<Envelope> fit(const std::vector<Point>& points, std::array<double, 2> floors);

        // Mahalanobis distance of (yaw, pitch) in standard deviations; NaN stays NaN.
        double distance(double yaw, double pitch) const;

        bool operator==(const Envelope&) const = default;
    };

    std::vector<std::string> screenIDs;
    Configuration configuration;
    std::array<double, featureCount> center{};
    std::vector<std::array<double, inputCount>> weights;
    std::vector<Envelope> envelopes;

    // Every display with samples carries a total weight of 1; its clicks take a share that grows
    // with their number up to a cap, newer clicks counting more. Samples of unlisted displays
    // are dropped. Output: per display in screenIDs order, calibration samples then clicks,
    // newest first.
    static std::vector<WeightedSample> sampleWeights(const std::vector<LabeledSample>& samples,
                                                     const std::vector<std::string>& screenIDs,
                                                     const Configuration& configuration);

    // Absent with fewer than two displays, when a listed display has no sample, or when an
    // envelope cannot be fitted.
    static std::optional<ScreenModel> train(const std::vector<LabeledSample>& samples,
                                            const std::vector<std::string>& screenIDs,
                                            const Configuration& configuration);

    ScreenPrediction predict(const HeadPose& pose) const;

    // The worst display's mean probability for its own samples: 1 when certain, near 1/K when the
    // displays cannot be told apart. Samples of unknown displays are ignored; none at all give 1.
    double separationScore(const std::vector<LabeledSample>& samples) const;

    // Share of samples whose best display is their labelled one; 0 for no samples.
    double accuracy(const std::vector<LabeledSample>& samples) const;

    bool operator==(const ScreenModel&) const = default;
};

json::Json toJson(const ScreenModel::Configuration& configuration, const std::string& path = "");
json::Json toJson(const ScreenModel::Envelope& envelope, const std::string& path = "");
json::Json toJson(const ScreenModel& model, const std::string& path = "");
ScreenModel::Configuration screenModelConfigurationFromJson(const json::Json& value,
                                                            const std::string& path = "");
ScreenModel::Envelope envelopeFromJson(const json::Json& value, const std::string& path = "");
// Refuses lists of the wrong length (they would make prediction read out of bounds).
ScreenModel screenModelFromJson(const json::Json& value, const std::string& path = "");

JsonResult<std::string> encodeScreenModel(const ScreenModel& model);
JsonResult<ScreenModel> decodeScreenModel(std::string_view text);

} // namespace orvane
