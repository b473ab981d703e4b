#include "core/SoftmaxRegression.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>

using namespace orvane;

TEST(SoftmaxRegression, ProbabilitiesAreStableAndSumToOne) {
    auto p = SoftmaxRegression::probabilities({{1000, 0}, {999, 0}, {0, 0}}, {1, 5});
    ASSERT_EQ(p.size(), 3u);
    EXPECT_NEAR(p[0], 1 / (1 + std::exp(-1.0)), 1e-12);
    EXPECT_NEAR(p[1], std::exp(-1.0) / (1 + std::exp(-1.0)), 1e-12);
    EXPECT_EQ(p[2], 0.0);
    EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), 1.0, 1e-15);
    // Only the positions present in both lists count.
    EXPECT_EQ(SoftmaxRegression::probabilities({{2}, {0, 9}}, {std::log(3.0)}),
              SoftmaxRegression::probabilities({{2}, {0}}, {std::log(3.0)}));
    EXPECT_TRUE(SoftmaxRegression::probabilities({}, {1}).empty());
}

// At the optimum the penalised gradient vanishes: sum w (p_k - [k = y]) x_j + lambda_j theta_kj = 0.
static void expectStationary(const std::vector<SoftmaxRegression::Row>& rows,
                             const std::vector<std::vector<double>>& theta,
                             const std::vector<double>& lambda) {
    for (std::size_t k = 0; k < theta.size(); ++k)
        for (std::size_t j = 0; j < lambda.size(); ++j) {
            double g = lambda[j] * theta[k][j];
            for (const auto& row : rows)
                g += row.w * (SoftmaxRegression::probabilities(theta, row.x)[k] - (row.y == int(k))) *
                     row.x[j];
            EXPECT_NEAR(g, 0, 1e-8) << "class " << k << " input " << j;
        }
}

TEST(SoftmaxRegression, FitReachesTheOptimumOfOverlappingClasses) {
    std::vector<SoftmaxRegression::Row> rows{{{-1, 1}, 0, 0.3},  {{-0.5, 1}, 0, 0.1}, {{0.2, 1}, 0, 0.1},
                                             {{0.4, 1}, 1, 0.2}, {{-0.1, 1}, 1, 0.1}, {{1, 1}, 1, 0.1},
                                             {{0, 1}, 2, 0.05},  {{0.1, 1}, 2, 0.05}};
    std::vector<double> lambda{0.01, 0.001};
    auto theta = SoftmaxRegression::fit(rows, 3, lambda);
    ASSERT_EQ(theta.size(), 3u);
    ASSERT_EQ(theta[0].size(), 2u);
    expectStationary(rows, theta, lambda);
    EXPECT_LT(theta[0][0], theta[1][0]); // class 0 lies left of class 1
    EXPECT_EQ(SoftmaxRegression::fit(rows, 3, lambda), theta);
}

TEST(SoftmaxRegression, SeparableClassesStayFiniteThanksToThePenalty) {
    std::vector<SoftmaxRegression::Row> rows{{{-1, 1}, 0, 0.5}, {{1, 1}, 1, 0.5}};
    auto theta = SoftmaxRegression::fit(rows, 2, {0.002, 0.0001});
    expectStationary(rows, theta, {0.002, 0.0001});
    EXPECT_GT(SoftmaxRegression::probabilities(theta, {1, 1})[1], 0.99);
    // The symmetric problem has a symmetric answer.
    EXPECT_NEAR(theta[0][0], -theta[1][0], 1e-9);
}

TEST(SoftmaxRegression, DegenerateInputsNeverFail) {
    EXPECT_TRUE(SoftmaxRegression::fit({{{1}, 0, 1}}, 0, {0.1}).empty());
    EXPECT_EQ(SoftmaxRegression::fit({}, 2, {0.1, 0.1}), (std::vector<std::vector<double>>(2, {0, 0})));
    EXPECT_EQ(SoftmaxRegression::fit({{{1}, 0, 1}}, 2, {}), (std::vector<std::vector<double>>(2)));
    // NaN input: a singular Newton system ends the fit at the start.
    EXPECT_EQ(SoftmaxRegression::fit({{{NAN, 1}, 0, 1}}, 2, {0.1, 0.1}),
              (std::vector<std::vector<double>>(2, {0, 0})));
    // Short inputs count as zeros, out-of-range classes as never right; both simply must not crash.
    auto theta = SoftmaxRegression::fit({{{1}, 5, 0.5}, {{}, -1, 0.5}, {{-1, 1, 7}, 1, 0.5}}, 2, {0.1, 0.1});
    ASSERT_EQ(theta.size(), 2u);
    for (const auto& row : theta)
        for (double v : row)
            EXPECT_TRUE(std::isfinite(v));
}
