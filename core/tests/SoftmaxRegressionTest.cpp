#include "core/SoftmaxRegression.h"

#include "core/LinearSolver.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>

using namespace orvane;
using Rows = std::vector<SoftmaxRegression::Row>;

TEST(LinearSolver, SolvesWithRowSwapsWhereTheDiagonalStartsAtZeroAndRefusesSingularSystems) {
    EXPECT_EQ(LinearSolver::solve({{0, 1, 2}, {1, 0, 3}, {4, -3, 8}}, {5, 7, 15}),
              (std::vector<double>{4, 3, 1}));
    EXPECT_FALSE(LinearSolver::solve({{1, 2}, {2, 4}}, {1, 2}));
    EXPECT_FALSE(LinearSolver::solve({{1e-14}}, {1})); // a pivot must be greater than 1e-14
    EXPECT_EQ(LinearSolver::solve({{2e-14}}, {1}), std::vector<double>{1 / 2e-14});
    EXPECT_FALSE(LinearSolver::solve({{NAN, 0}, {0, 1}}, {1, 1}));
    EXPECT_FALSE(LinearSolver::solve({{1, 0}}, {1, 1}));      // too few rows
    EXPECT_FALSE(LinearSolver::solve({{1, 0}, {1}}, {1, 1})); // ragged row
    EXPECT_EQ(LinearSolver::solve({}, {}), std::vector<double>{});
}

TEST(LinearSolver, TiedPivotsKeepTheUpperRow) {
    // |0.1| and |-0.1| tie in the first column; the two possible pivots round differently.
    const double a00 = 0.1, a01 = 1.0 / 3, a10 = -0.1, a11 = 0.7, b0 = 0.3, b1 = 1.1;
    auto eliminate = [](double p00, double p01, double p10, double p11, double q0, double q1) {
        double factor = p10 / p00;
        double x1 = (q1 - factor * q0) / (p11 - factor * p01);
        return std::vector<double>{(q0 - p01 * x1) / p00, x1};
    };
    auto upper = eliminate(a00, a01, a10, a11, b0, b1);
    ASSERT_NE(upper, eliminate(a10, a11, a00, a01, b1, b0)) << "the example should tell the pivots apart";
    EXPECT_EQ(LinearSolver::solve({{a00, a01}, {a10, a11}}, {b0, b1}), upper);
}

TEST(SoftmaxRegression, ProbabilitiesAreStableAndSumToOne) {
    auto p = SoftmaxRegression::probabilities({{1000, 0}, {999, 0}, {0, 0}}, {1, 5});
    ASSERT_EQ(p.size(), 3u);
    EXPECT_NEAR(p[0], 1 / (1 + std::exp(-1.0)), 1e-12);
    EXPECT_EQ(p[2], 0.0);
    EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), 1.0, 1e-15);
    // Only the positions present in both lists count.
    EXPECT_EQ(SoftmaxRegression::probabilities({{2}, {0, 9}}, {std::log(3.0)}),
              SoftmaxRegression::probabilities({{2}, {0}}, {std::log(3.0)}));
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
    EXPECT_EQ(SoftmaxRegression::fit({}, 2, {0.1, 0.1}), Weights(2, {0, 0}));
    // NaN input: a singular Newton system ends the fit at the start.
    EXPECT_EQ(SoftmaxRegression::fit({{{NAN, 1}, 0, 1}}, 2, {0.1, 0.1}), Weights(2, {0, 0}));
    // Short inputs count as zeros, out-of-range classes as never right.
    auto theta = SoftmaxRegression::fit({{{1}, 5, 0.5}, {{}, -1, 0.5}, {{-1, 1, 7}, 1, 0.5}}, 2, {0.1, 0.1});
    for (const auto& row : theta)
        for (double v : row)
            EXPECT_TRUE(std::isfinite(v));
}
