#include "core/LinearSolver.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;

TEST(LinearSolver, SolvesWithRowSwapsWhereTheDiagonalStartsAtZero) {
    auto x = LinearSolver::solve({{0, 1, 2}, {1, 0, 3}, {4, -3, 8}}, {5, 7, 15});
    ASSERT_TRUE(x);
    ASSERT_EQ(x->size(), 3u);
    // Check A x = b rather than a hand-computed solution.
    EXPECT_NEAR(0 * (*x)[0] + 1 * (*x)[1] + 2 * (*x)[2], 5, 1e-12);
    EXPECT_NEAR(1 * (*x)[0] + 0 * (*x)[1] + 3 * (*x)[2], 7, 1e-12);
    EXPECT_NEAR(4 * (*x)[0] - 3 * (*x)[1] + 8 * (*x)[2], 15, 1e-12);
    EXPECT_EQ(*LinearSolver::solve({{0, 1}, {1, 0}}, {2, 3}), (std::vector<double>{3, 2}));
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
    auto lower = eliminate(a10, a11, a00, a01, b1, b0);
    ASSERT_NE(upper, lower) << "the example should tell the pivots apart";
    EXPECT_EQ(LinearSolver::solve({{a00, a01}, {a10, a11}}, {b0, b1}), upper);
}

TEST(LinearSolver, SingularMalformedAndEmptySystems) {
    EXPECT_FALSE(LinearSolver::solve({{1, 2}, {2, 4}}, {1, 2}));
    EXPECT_FALSE(LinearSolver::solve({{1e-14}}, {1})); // a pivot must be greater than 1e-14
    EXPECT_EQ(LinearSolver::solve({{2e-14}}, {1}), std::vector<double>{1 / 2e-14});
    EXPECT_FALSE(LinearSolver::solve({{NAN, 0}, {0, 1}}, {1, 1}));
    EXPECT_FALSE(LinearSolver::solve({{1, 0}}, {1, 1}));      // too few rows
    EXPECT_FALSE(LinearSolver::solve({{1, 0}, {1}}, {1, 1})); // ragged row
    auto empty = LinearSolver::solve({}, {});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}
