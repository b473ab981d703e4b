#include "core/SoftmaxRegression.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>

using namespace orvane;
using Rows = std::vector<SoftmaxRegression::Row>;

TEST(SoftmaxRegression, ProbabilitiesAreStableAndSumToOne) {
    auto p = SoftmaxRegression::probabilities({{1000, 0}, {999, 0}, {0, 0}}, {1, 5});
    ASSERT_EQ(p.size(), 3u);
    EXPECT_NEAR(p[0], 1 / (1 + std::exp(-1.0)), 1e-12);
    EXPECT_EQ(p[2], 0.0);
    EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), 1.0, 1e-15);
    // Only the positions present in both lists count.
    EXPECT_EQ(SoftmaxRegression::probabilities({{2}, {0, 9}}, {std::log(3.0)}),
              SoftmaxRegression::probabilities({{2}, {0}}, {std::log(3.0)}));
    EXPECT_TRUE(SoftmaxRegression::probabilities({}, {1}).empty());
}

// At the optimum the penalised gradient vanishes: sum w (p_k - [k = y]) x_j + lambda_j theta_kj = 0.
TEST(SoftmaxRegression, FitReachesTheOptimumDeterministically) {
    const Rows overlapping{{{-1, 1}, 0, 0.3},   {{-0.5, 1}, 0, 0.1}, {{0.2, 1}, 0, 0.1}, {{0.4, 1}, 1, 0.2},
                           {{-0.1, 1}, 1, 0.1}, {{1, 1}, 1, 0.1},    {{0, 1}, 2, 0.05},  {{0.1, 1}, 2, 0.05}};
    const Rows separable{{{-1, 1}, 0, 0.5}, {{1, 1}, 1, 0.5}}; // only the penalty keeps the weights finite
    const std::pair<Rows, std::vector<double>> problems[] = {{overlapping, {0.01, 0.001}},
                                                             {separable, {0.002, 0.0001}}};
    for (const auto& [rows, lambda] : problems) {
        int classes = rows.back().y + 1;
        auto theta = SoftmaxRegression::fit(rows, classes, lambda);
        ASSERT_EQ(theta.size(), std::size_t(classes));
        for (int k = 0; k < classes; ++k)
            for (std::size_t j = 0; j < lambda.size(); ++j) {
                double g = lambda[j] * theta[k][j];
                for (const auto& row : rows)
                    g +=
                        row.w * (SoftmaxRegression::probabilities(theta, row.x)[k] - (row.y == k)) * row.x[j];
                EXPECT_NEAR(g, 0, 1e-8) << "class " << k << " input " << j;
            }
        EXPECT_LT(theta[0][0], theta[1][0]); // class 0 lies left of class 1
        EXPECT_EQ(SoftmaxRegression::fit(rows, classes, lambda), theta);
    }
}

TEST(SoftmaxRegression, DegenerateInputsNeverFail) {
    using Weights = std::vector<std::vector<double>>;
    EXPECT_TRUE(SoftmaxRegression::fit({{{1}, 0, 1}}, 0, {0.1}).empty());
    EXPECT_EQ(SoftmaxRegression::fit({}, 2, {0.1, 0.1}), Weights(2, {0, 0}));
    EXPECT_EQ(SoftmaxRegression::fit({{{1}, 0, 1}}, 2, {}), Weights(2));
    // NaN input: a singular Newton system ends the fit at the start.
    EXPECT_EQ(SoftmaxRegression::fit({{{NAN, 1}, 0, 1}}, 2, {0.1, 0.1}), Weights(2, {0, 0}));
    // Short inputs count as zeros, out-of-range classes as never right.
    auto theta = SoftmaxRegression::fit({{{1}, 5, 0.5}, {{}, -1, 0.5}, {{-1, 1, 7}, 1, 0.5}}, 2, {0.1, 0.1});
    ASSERT_EQ(theta.size(), 2u);
    for (const auto& row : theta)
        for (double v : row)
            EXPECT_TRUE(std::isfinite(v));
}
