#include "core/LinearSolver.h"

#include <cmath>
#include <utility>

namespace orvane {

std::optional<std::vector<double>> LinearSolver::solve(const std::vector<std::vector<double>>& a,
                                                       const std::vector<double>& b) {
    const std::size_t n = b.size();
    if (a.size() != n) return std::nullopt;
    std::vector<double> matrix;
    matrix.reserve(n * n);
    for (const auto& row : a) {
        if (row.size() != n) return std::nullopt;
        matrix.insert(matrix.end(), row.begin(), row.end());
    }
    std::vector<double> rhs = b;
    std::vector<double> solution(n);
    if (!solveInPlace(matrix, rhs, solution)) return std::nullopt;
    return solution;
}

bool LinearSolver::solveInPlace(std::span<double> matrix, std::span<double> rhs, std::span<double> solution) {
    const std::size_t n = rhs.size();
    if (matrix.size() != n * n || solution.size() != n) return false;
    auto at = [&](std::size_t r, std::size_t c) -> double& { return matrix[r * n + c]; };

    for (std::size_t c = 0; c < n; ++c) {
        // Strictly larger only, so the upper row wins a tie.
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::abs(at(r, c)) > std::abs(at(pivot, c))) pivot = r;
        if (!(std::abs(at(pivot, c)) > 1e-14)) return false; // also refuses NaN
        if (pivot != c) {
            for (std::size_t j = 0; j < n; ++j)
                std::swap(at(pivot, j), at(c, j));
            std::swap(rhs[pivot], rhs[c]);
        }
        for (std::size_t r = c + 1; r < n; ++r) {
            double factor = at(r, c) / at(c, c);
            if (factor == 0) continue;
            for (std::size_t j = c; j < n; ++j)
                at(r, j) -= factor * at(c, j);
            rhs[r] -= factor * rhs[c];
        }
    }

    for (std::size_t i = n; i-- > 0;) {
        double sum = 0;
        for (std::size_t j = i + 1; j < n; ++j)
            sum += at(i, j) * solution[j];
        solution[i] = (rhs[i] - sum) / at(i, i);
    }
    return true;
}

} // namespace orvane
