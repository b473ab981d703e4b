#pragma once

#include <span>
#include <vector>

namespace orvane {

// Multinomial logistic regression with a ridge penalty, fitted by damped Newton steps.
struct SoftmaxRegression {
    // One training row: input x, class index y, weight w.
    struct Row {
        std::vector<double> x;
        int y = 0;
        double w = 0;
    };

    // K rows of D = lambda.size() weights minimising the weighted negative log-likelihood plus
    // half of sum(lambda_j * weight^2). Deterministic; never fails: a singular Newton system or a
    // failed line search ends the fit with the best weights so far. Entries of x beyond D are
    // ignored and missing ones count as 0; a row whose y is not a class never counts as right.
    static std::vector<std::vector<double>> fit(const std::vector<Row>& rows, int classCount,
                                                const std::vector<double>& lambda);

    // Class probabilities of input x, one per weight row; empty without rows.
    static std::vector<double> probabilities(const std::vector<std::vector<double>>& weights,
                                             const std::vector<double>& x);

    // Building blocks for callers that keep their own buffers.
    // Dot product over the positions present in both.
    static double score(std::span<const double> weights, std::span<const double> x) {
        const std::size_t n = weights.size() < x.size() ? weights.size() : x.size();
        double sum = 0;
        for (std::size_t i = 0; i < n; ++i)
            sum += weights[i] * x[i];
        return sum;
    }
    // Turns scores into probabilities in place; the largest score is subtracted first, so large
    // scores cannot overflow.
    static void softmax(std::span<double> scores);
};

} // namespace orvane
