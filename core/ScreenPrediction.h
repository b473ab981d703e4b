#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// The screen model's answer for one pose: a probability per display, in the model's class order.
struct ScreenPrediction {
    std::vector<double> probabilities;
    std::vector<std::string> screenIDs;
    bool offScreen = false;
    // Distance to the nearest display's envelope in standard deviations; +infinity without envelopes.
    double envelopeDistance = 0;

    // Position of the largest probability; the first of equal maxima wins; 0 with fewer than two.
    std::size_t bestIndex() const {
        if (probabilities.size() < 2) return 0;
        std::size_t best = 0;
        for (std::size_t i = 1; i < probabilities.size(); ++i)
            if (probabilities[i] > probabilities[best]) best = i;
        return best;
    }
    // Defined only for a non-empty prediction, which every model-made prediction is.
    const std::string& best() const { return screenIDs[bestIndex()]; }
    double bestProbability() const { return probabilities[bestIndex()]; }

    // Probability of a display; 0 for an ID the prediction does not list.
    double probability(std::string_view screenID) const {
        for (std::size_t i = 0; i < screenIDs.size() && i < probabilities.size(); ++i)
            if (screenIDs[i] == screenID) return probabilities[i];
        return 0;
    }

    bool operator==(const ScreenPrediction&) const = default;
};

} // namespace orvane
