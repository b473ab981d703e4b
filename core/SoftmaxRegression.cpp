#include "core/SoftmaxRegression.h"

#include "core/LinearSolver.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvane {

void SoftmaxRegression::softmax(std::span<double> scores) {
    if (scores.empty()) return;
    double largest = scores[0];
    for (double s : scores)
        if (s > largest) largest = s;
    double sum = 0;
    for (double& s : scores) {
        s = std::exp(s - largest);
        sum += s;
    }
    for (double& s : scores)
        s /= sum;
}

std::vector<double> SoftmaxRegression::probabilities(const std::vector<std::vector<double>>& weights,
                                                     const std::vector<double>& x) {
    std::vector<double> p(weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k)
        p[k] = score(weights[k], x);
    softmax(p);
    return p;
}

namespace {

// The rows laid out flat (x padded or cut to D) with buffers reused across iterations, so the
// per-row loops never allocate.
class Fit {
  public:
    Fit(const std::vector<SoftmaxRegression::Row>& rows, std::size_t classCount,
        const std::vector<double>& lambda)
        : n(rows.size()), k(classCount), d(lambda.size()), kd(k * d), lambda(lambda), x(n * d, 0.0), y(n),
          w(n) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto& row = rows[i];
            std::copy_n(row.x.begin(), std::min(row.x.size(), d), x.begin() + i * d);
            y[i] = row.y;
            w[i] = row.w;
        }
    }

    std::vector<double> run() {
        std::vector<double> theta(kd, 0.0), trial(kd), gradient(kd), hessian(kd * kd), rhs(kd), step(kd);
        std::vector<double> probs(n * k), trialProbs(n * k);
        double value = objective(theta, probs);
        for (int iterations = 0;;) {
            derivatives(theta, probs, gradient, hessian);
            double squares = 0;
            for (double g : gradient)
                squares += g * g;
            if (std::sqrt(squares) < 1e-9) return theta;
            ++iterations;

            for (std::size_t i = 0; i < kd; ++i)
                rhs[i] = -gradient[i];
            if (!LinearSolver::solveInPlace(hessian, rhs, step)) return theta;
            double slope = 0;
            for (std::size_t i = 0; i < kd; ++i)
                slope += gradient[i] * step[i];

            // Backtracking: step sizes 1, 1/2, ..., 2^-13.
            bool accepted = false;
            double trialValue = 0;
            for (double t = 1; t > 0.0001; t /= 2) {
                for (std::size_t i = 0; i < kd; ++i)
                    trial[i] = theta[i] + t * step[i];
                trialValue = objective(trial, trialProbs);
                if (trialValue <= value + 0.0001 * t * slope) {
                    accepted = true;
                    break;
                }
            }
            if (!accepted) return theta;
            if (value - trialValue < 1e-12) return trial;
            // The accepted trial's probabilities are exactly those the next pass would compute.
            std::swap(theta, trial);
            std::swap(probs, trialProbs);
            value = trialValue;
            if (iterations == 40) return theta;
        }
    }

  private:
    // F(theta); leaves every row's class probabilities in probs (n x k).
    double objective(const std::vector<double>& theta, std::vector<double>& probs) const {
        double logLikelihood = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::span<double> p(probs.data() + i * k, k);
            probabilities(theta, i, p);
            double py = y[i] >= 0 && std::size_t(y[i]) < k ? p[y[i]] : 0.0;
            logLikelihood += w[i] * std::log(std::max(py, 1e-300));
        }
        double penalty = 0;
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < d; ++j)
                penalty += lambda[j] * (theta[c * d + j] * theta[c * d + j]);
        return -logLikelihood + 0.5 * penalty;
    }

    void probabilities(const std::vector<double>& theta, std::size_t row, std::span<double> p) const {
        std::span<const double> xi(x.data() + row * d, d);
        for (std::size_t c = 0; c < k; ++c)
            p[c] = SoftmaxRegression::score(std::span<const double>(theta.data() + c * d, d), xi);
        SoftmaxRegression::softmax(p);
    }

    // Gradient and Hessian of F at theta, whose row probabilities are in probs.
    void derivatives(const std::vector<double>& theta, const std::vector<double>& probs,
                     std::vector<double>& gradient, std::vector<double>& hessian) const {
        std::fill(gradient.begin(), gradient.end(), 0.0);
        std::fill(hessian.begin(), hessian.end(), 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double* p = probs.data() + i * k;
            const double* xi = x.data() + i * d;
            for (std::size_t c = 0; c < k; ++c) {
                double r = std::size_t(y[i]) == c && y[i] >= 0 ? p[c] - 1 : p[c];
                double wr = w[i] * r;
                for (std::size_t j = 0; j < d; ++j)
                    gradient[c * d + j] += wr * xi[j];
            }
            for (std::size_t c = 0; c < k; ++c) {
                double wp = w[i] * p[c];
                for (std::size_t l = 0; l < k; ++l) {
                    double curvature = wp * ((c == l ? 1.0 : 0.0) - p[l]);
                    if (curvature == 0) continue;
                    for (std::size_t a = 0; a < d; ++a) {
                        double ca = curvature * xi[a];
                        double* out = hessian.data() + (c * d + a) * kd + l * d;
                        for (std::size_t b = 0; b < d; ++b)
                            out[b] += ca * xi[b];
                    }
                }
            }
        }
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < d; ++j) {
                gradient[c * d + j] += lambda[j] * theta[c * d + j];
                hessian[(c * d + j) * kd + c * d + j] += lambda[j];
            }
    }

    std::size_t n, k, d, kd;
    const std::vector<double>& lambda;
    std::vector<double> x;
    std::vector<int> y;
    std::vector<double> w;
};

} // namespace

std::vector<std::vector<double>> SoftmaxRegression::fit(const std::vector<Row>& rows, int classCount,
                                                        const std::vector<double>& lambda) {
    if (classCount <= 0) return {};
    const std::size_t k = std::size_t(classCount), d = lambda.size();
    std::vector<double> theta = Fit(rows, k, lambda).run();
    std::vector<std::vector<double>> weights(k);
    for (std::size_t c = 0; c < k; ++c)
        weights[c].assign(theta.begin() + c * d, theta.begin() + (c + 1) * d);
    return weights;
}

} // namespace orvane
