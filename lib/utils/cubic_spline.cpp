#include "utils/cubic_spline.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "utils/thomas_algorithm.hpp"

namespace lagsys::utils {

CubicSpline::CubicSpline(double x0, double h, std::span<const double> y)
    : x0_(x0), h_(h) {
    if (y.size() < 3) {
        throw std::length_error("CubicSpline: at least 3 knots are required, got " +
                                std::to_string(y.size()));
    }
    a_.assign(y.size() - 1, 0.0);
    b_.assign(y.size() - 1, 0.0);
    c_.assign(y.size() - 1, 0.0);
    d_.assign(y.size() - 1, 0.0);
    compute_coefficients(y);
}

void CubicSpline::compute_coefficients(const std::span<const double>& y) {
    const std::size_t K = y.size();
    if (K < 3) {
        throw std::length_error("CubicSpline::compute_coefficients: at least 3 knots are required, got " +
                                std::to_string(K));
    }
    if (a_.size() != K - 1 || b_.size() != K - 1 || c_.size() != K - 1 || d_.size() != K - 1) {
        throw std::invalid_argument("CubicSpline::compute_coefficients: " + std::to_string(K) +
                                    " knot values for a spline of " + std::to_string(a_.size()) +
                                    " intervals");
    }
    const double h = h_;

    // Interior quadratic coefficients c_1 ... c_{K-2} (half the second derivatives).
    std::vector<double> lower(K - 3, h);
    std::vector<double> upper(K - 3, h);
    std::vector<double> diag(K - 2, 4.0 * h);
    std::vector<double> rhs(K - 2);
    for (std::size_t i = 0; i + 2 < K; ++i) rhs[i] = 3.0 * (y[i] - 2.0 * y[i + 1] + y[i + 2]) / h;
    thomas_algorithm(lower, diag, upper, rhs);

    c_[0] = 0.0;
    for (std::size_t i = 1; i + 1 < K; ++i) c_[i] = rhs[i - 1];
    for (std::size_t i = 0; i + 1 < K; ++i) a_[i] = y[i];
    for (std::size_t i = 0; i + 2 < K; ++i) {
        d_[i] = (c_[i + 1] - c_[i]) / (3.0 * h);
        b_[i] = (y[i + 1] - y[i]) / h - ((2.0 * c_[i] + c_[i + 1]) / 3.0) * h;
    }
    // Last interval: the natural end condition c_{K-1} = 0.
    const std::size_t l = K - 2;
    d_[l] = -c_[l] / (3.0 * h);
    b_[l] = (y[l + 1] - y[l]) / h - ((2.0 * c_[l]) / 3.0) * h;
}

double CubicSpline::operator()(double x) const {
    if (a_.empty()) throw std::out_of_range("CubicSpline: the spline has no intervals");
    const double t = x - x0_;
    const double u = t / h_;
    const std::size_t last = a_.size() - 1;
    std::size_t k = 0;
    // Range-checked before the conversion: NaN and points left of x0 use the first interval,
    // points at or beyond the last knot the last one.
    if (u >= static_cast<double>(last)) {
        k = last;
    } else if (u >= 1.0) {
        k = static_cast<std::size_t>(std::floor(u));
    }
    const double tau = t - static_cast<double>(k) * h_;
    return a_[k] + b_[k] * tau + c_[k] * tau * tau + d_[k] * std::pow(tau, 3.0);
}

}  // namespace lagsys::utils
