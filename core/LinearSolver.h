#pragma once

#include <optional>
#include <span>
#include <vector>

namespace orvane {

// Gaussian elimination with partial pivoting for the small dense systems of model fitting.
struct LinearSolver {
    // Solves A x = b; absent when A is singular (a pivot no larger than 1e-14) or not n x n.
    static std::optional<std::vector<double>> solve(const std::vector<std::vector<double>>& a,
                                                    const std::vector<double>& b);

    // The same on caller-owned buffers, which it overwrites: `matrix` is n x n row-major with
    // n = rhs.size(), `solution` has n entries. Lets the fit solve without allocating.
    // Returns false when the system is singular or the sizes do not fit.
    static bool solveInPlace(std::span<double> matrix, std::span<double> rhs, std::span<double> solution);
};

} // namespace orvane
