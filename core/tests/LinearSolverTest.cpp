#include "core/LinearSolver.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;

TEST(LinearSolver, SolvesWithRowSwapsWhereTheDiagonalStartsAtZero) {
    const std::vector<std::vector<double>> a{{0, 1, 2}, {1, 0, 3}, {4, -3, 8}};
    const std::vector<double> b{5, 7, 15};
    auto x = LinearSolver::solve(a, b);
    ASSERT_TRUE(x && x->size() == 3);
    for (std::size_t r = 0; r < 3; ++r)
        EXPECT_NEAR(a[r][0] * (*x)[0] + a[r][1] * (*x)[1] + a[r][2] * (*x)[2], b[r], 1e-12) << r;
    EXPECT_EQ(LinearSolver::solve({{0, 1}, {1, 0}}, {2, 3}), (std::vector<double>{3, 2}));
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

TEST(LinearSolver, SingularMalformedAndEmptySystems) {
    EXPECT_FALSE(LinearSolver::solve({{1, 2}, {2, 4}}, {1, 2}));
    EXPECT_FALSE(LinearSolver::solve({{1e-14}}, {1})); // a pivot must be greater than 1e-14
    EXPECT_EQ(LinearSolver::solve({{2e-14}}, {1}), std::vector<double>{1 / 2e-14});
    EXPECT_FALSE(LinearSolver::solve({{NAN, 0}, {0, 1}}, {1, 1}));
    EXPECT_FALSE(LinearSolver::solve({{1, 0}}, {1, 1}));      // too few rows
    EXPECT_FALSE(LinearSolver::solve({{1, 0}, {1}}, {1, 1})); // ragged row
    EXPECT_EQ(LinearSolver::solve({}, {}), std::vector<double>{});
}
