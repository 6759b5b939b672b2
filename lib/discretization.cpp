// Chebyshev spectral discretization of the delay equation on [-tau, 0].
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "detail.hpp"
#include "lagsys.hpp"

namespace lagsys {

namespace {

// Block (bi, bj) of P, n x n: value on the diagonal, value * 0.0 elsewhere.
void set_scalar_block(Eigen::MatrixXd& P, Eigen::Index n, Eigen::Index bi, Eigen::Index bj,
                      double value) {
    for (Eigen::Index b = 0; b < n; ++b) {
        for (Eigen::Index a = 0; a < n; ++a) {
            P(bi * n + a, bj * n + b) = (a == b) ? value : value * 0.0;
        }
    }
}

}  // namespace

std::pair<Eigen::MatrixXd, Eigen::MatrixXd> sparse_spectral_discretization(const lagsys& sys,
                                                                           std::size_t N) {
    if (N == 0) {
        throw std::invalid_argument("sparse_spectral_discretization: the degree N must be at least 1");
    }
    if (sys.hA().empty()) {
        throw std::invalid_argument("sparse_spectral_discretization: the system has no delays");
    }
    if (sys.hA().size() < sys.mA()) {
        throw std::invalid_argument("sparse_spectral_discretization: " +
                                    std::to_string(sys.mA()) + " matrices but only " +
                                    std::to_string(sys.hA().size()) + " delays");
    }
    detail::require_square_terms(sys, "sparse_spectral_discretization");

    const double tau = detail::max_delay(sys);
    const Eigen::Index n = sys.n();
    const std::size_t m = sys.mA();

    // M = n (N+1) and the M*M doubles of each matrix must be addressable.
    constexpr auto index_max = static_cast<unsigned long long>(std::numeric_limits<Eigen::Index>::max());
    unsigned long long M_ull = 0;
    unsigned long long entries = 0;
    unsigned long long bytes = 0;
    if (N >= index_max || __builtin_mul_overflow(static_cast<unsigned long long>(n), N + 1ull, &M_ull) ||
        M_ull > index_max || __builtin_mul_overflow(M_ull, M_ull, &entries) ||
        __builtin_mul_overflow(entries, sizeof(double), &bytes) || bytes > index_max) {
        throw std::bad_alloc();
    }
    const auto M = static_cast<Eigen::Index>(M_ull);
    const auto degree = static_cast<Eigen::Index>(N);

    // Block row 0 states the differential equation at theta = 0, R_j = sum_k T_j(x_k) A_k;
    // the identity blocks below pair with the integration rows of Pi.
    Eigen::MatrixXd Sigma = Eigen::MatrixXd::Identity(M, M);
    Sigma.topLeftCorner(n, n).setZero();
    for (Eigen::Index j = 0; j <= degree; ++j) {
        for (std::size_t k = 0; k < m; ++k) {
            const double x = (-2.0 * sys.hA()[k]) / tau + 1.0;
            const double t = std::cos(std::acos(x) * static_cast<double>(j));
            const Eigen::MatrixXd& A = sys.A(k);
            for (Eigen::Index b = 0; b < n; ++b) {
                for (Eigen::Index a = 0; a < n; ++a) {
                    double& e = Sigma(a, j * n + b);
                    e = A(a, b) * t + e;
                }
            }
        }
    }

    // Pi = (tau/4) P with P the Chebyshev integration operator and the evaluation row at 0.
    Eigen::MatrixXd Pi = Eigen::MatrixXd::Zero(M, M);
    const double f = 4.0 / tau;
    for (Eigen::Index j = 0; j <= degree; ++j) set_scalar_block(Pi, n, 0, j, f);
    for (Eigen::Index i = 2; i <= degree; ++i) set_scalar_block(Pi, n, i, i - 1, 1.0 / static_cast<double>(i));
    for (Eigen::Index i = 1; i < degree; ++i) set_scalar_block(Pi, n, i, i + 1, -(1.0 / static_cast<double>(i)));
    set_scalar_block(Pi, n, 1, 0, 2.0);
    Pi *= tau * 0.25;

    return {std::move(Sigma), std::move(Pi)};
}

}  // namespace lagsys
