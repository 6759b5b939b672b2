#pragma once

#include <complex>
#include <initializer_list>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "lagsys.hpp"

namespace test {

// Passes when ||a - b||_max <= tol; prints both matrices otherwise.
template <typename A, typename B>
::testing::AssertionResult eigen_near(const A& a, const B& b, double tol) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) {
        return ::testing::AssertionFailure() << "shapes differ: " << a.rows() << "x" << a.cols()
                                             << " vs " << b.rows() << "x" << b.cols();
    }
    const double err = (a - b).cwiseAbs().maxCoeff();
    if (err <= tol) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "max deviation " << err << " > " << tol << "\n"
                                         << a << "\n--- vs ---\n" << b;
}

#define EXPECT_EIGEN_NEAR(a, b, tol) EXPECT_TRUE(::test::eigen_near((a), (b), (tol)))

inline Eigen::MatrixXd scalar(double a) { return Eigen::MatrixXd::Constant(1, 1, a); }

// Scalar system x' = sum_k a_k x(t - h_k).
inline lagsys::lagsys scalar_system(std::initializer_list<double> a, std::vector<double> h) {
    std::vector<Eigen::MatrixXd> A;
    for (double v : a) A.push_back(scalar(v));
    return lagsys::lagsys(std::move(A), std::move(h));
}

// The scalar equation lambda + e^{-lambda} = 0, written with a zero-delay zero matrix first.
inline lagsys::lagsys lambert_system() { return scalar_system({0.0, -1.0}, {0.0, 1.0}); }

// Seeded random n x n matrices with entries uniform in [-1, 1].
inline std::vector<Eigen::MatrixXd> random_matrices(std::size_t m, Eigen::Index n, unsigned seed) {
    std::srand(seed);
    std::vector<Eigen::MatrixXd> A;
    for (std::size_t k = 0; k < m; ++k) A.push_back(Eigen::MatrixXd::Random(n, n));
    return A;
}

// Smallest singular value of Delta(lambda) relative to its largest.
inline double relative_smallest_singular_value(const lagsys::lagsys& sys, std::complex<double> lambda) {
    const Eigen::Index n = sys.n();
    Eigen::MatrixXcd D = lambda * Eigen::MatrixXcd::Identity(n, n);
    for (std::size_t k = 0; k < sys.mA(); ++k) {
        D -= sys.A(k).cast<std::complex<double>>() * std::exp(-lambda * sys.hA()[k]);
    }
    const Eigen::VectorXd s = Eigen::JacobiSVD<Eigen::MatrixXcd>(D).singularValues();
    return s(n - 1) / std::max(1.0, s(0));
}

}  // namespace test
