#include <cmath>
#include <complex>
#include <stdexcept>

#include <Eigen/Eigenvalues>
#include <gtest/gtest.h>

#include "helpers.hpp"
#include "lagsys.hpp"

using cd = std::complex<double>;
using test::scalar;

namespace {

constexpr double rounding = 1e-14;

Eigen::MatrixXd block(const Eigen::MatrixXd& P, Eigen::Index n, Eigen::Index i, Eigen::Index j) {
    return P.block(i * n, j * n, n, n);
}

// Pencil eigenvalue closest to z.
cd closest_eigenvalue(const std::pair<Eigen::MatrixXd, Eigen::MatrixXd>& pencil, cd z) {
    Eigen::GeneralizedEigenSolver<Eigen::MatrixXd> ges(pencil.first, pencil.second, false);
    cd best = ges.alphas()(0) / ges.betas()(0);
    for (Eigen::Index i = 0; i < ges.betas().size(); ++i) {
        const cd lambda = ges.alphas()(i) / ges.betas()(i);
        if (std::abs(lambda - z) < std::abs(best - z)) best = lambda;
    }
    return best;
}

}  // namespace

TEST(Discretization, DegreeOne) {
    const auto A = test::random_matrices(2, 2, 4);
    const double tau = 1.6;
    const lagsys::lagsys sys(A, {0.4, tau});
    const auto [Sigma, Pi] = lagsys::sparse_spectral_discretization(sys, 1);
    const Eigen::MatrixXd I = Eigen::MatrixXd::Identity(2, 2);
    const double x0 = -2 * 0.4 / tau + 1;
    ASSERT_EQ(Sigma.rows(), 4);
    EXPECT_EIGEN_NEAR(block(Sigma, 2, 0, 0), A[0] + A[1], rounding);
    EXPECT_EIGEN_NEAR(block(Sigma, 2, 0, 1), x0 * A[0] - A[1], rounding);
    EXPECT_EIGEN_NEAR(block(Sigma, 2, 1, 0), Eigen::MatrixXd::Zero(2, 2), 0.0);
    EXPECT_EIGEN_NEAR(block(Sigma, 2, 1, 1), I, 0.0);
    EXPECT_EIGEN_NEAR(block(Pi, 2, 0, 0), I, rounding);
    EXPECT_EIGEN_NEAR(block(Pi, 2, 0, 1), I, rounding);
    EXPECT_EIGEN_NEAR(block(Pi, 2, 1, 0), tau / 2 * I, rounding);
    EXPECT_EIGEN_NEAR(block(Pi, 2, 1, 1), Eigen::MatrixXd::Zero(2, 2), 0.0);
}

TEST(Discretization, IntegrationBlocksAtDegreeThree) {
    const double tau = 2.5;
    const Eigen::Index n = 2;
    const lagsys::lagsys sys(test::random_matrices(2, n, 6), {0.0, tau});
    const auto [Sigma, Pi] = lagsys::sparse_spectral_discretization(sys, 3);
    // P_3 by blocks (multiples of I), scaled by tau/4.
    const double P[4][4] = {{4 / tau, 4 / tau, 4 / tau, 4 / tau},
                            {2, 0, -1, 0},
                            {0, 0.5, 0, -0.5},
                            {0, 0, 1.0 / 3, 0}};
    for (Eigen::Index i = 0; i < 4; ++i) {
        for (Eigen::Index j = 0; j < 4; ++j) {
            const Eigen::MatrixXd expected = tau / 4 * P[i][j] * Eigen::MatrixXd::Identity(n, n);
            EXPECT_EIGEN_NEAR(block(Pi, n, i, j), expected, rounding) << "block " << i << "," << j;
            if (i > 0) {
                const Eigen::MatrixXd sigma = (i == j ? 1.0 : 0.0) * Eigen::MatrixXd::Identity(n, n);
                EXPECT_EQ(block(Sigma, n, i, j), sigma);
            }
        }
    }
}

TEST(Discretization, ChebyshevValuesAtTheEnds) {
    // Delay 0 maps to x = 1 (T_j = 1), delay tau to x = -1 (T_j = (-1)^j).
    const auto A = test::random_matrices(2, 3, 8);
    const lagsys::lagsys sys(A, {0.0, 3.0});
    const auto [Sigma, Pi] = lagsys::sparse_spectral_discretization(sys, 6);
    for (Eigen::Index j = 0; j <= 6; ++j) {
        const Eigen::MatrixXd expected = A[0] + ((j % 2 == 0) ? 1.0 : -1.0) * A[1];
        EXPECT_EIGEN_NEAR(block(Sigma, 3, 0, j), expected, 1e-13) << j;
    }
}

TEST(Discretization, ExtraDelaysSetTauOnly) {
    const auto A = test::random_matrices(2, 1, 2);
    const auto a = lagsys::sparse_spectral_discretization(lagsys::lagsys(A, {0.0, 1.0, 2.0}), 4);
    const auto b = lagsys::sparse_spectral_discretization(lagsys::lagsys({A[0], A[1], Eigen::MatrixXd::Zero(1, 1)}, {0.0, 1.0, 2.0}), 4);
    EXPECT_EIGEN_NEAR(a.first, b.first, rounding);
    EXPECT_EQ(a.second, b.second);
    EXPECT_NEAR(a.second(1, 0), 1.0, rounding);  // tau/2 with tau = 2
}

TEST(Discretization, EmptyMatricesGiveAnEmptyPencil) {
    const auto [Sigma, Pi] = lagsys::sparse_spectral_discretization(
        lagsys::lagsys({Eigen::MatrixXd(0, 0)}, {1.0}), 5);
    EXPECT_EQ(Sigma.size(), 0);
    EXPECT_EQ(Pi.size(), 0);
}

class ScalarPencil : public ::testing::TestWithParam<std::pair<std::size_t, double>> {};

TEST_P(ScalarPencil, ApproximatesTheRightmostRoot) {
    const auto [N, tol] = GetParam();
    const auto pencil = lagsys::sparse_spectral_discretization(test::lambert_system(), N);
    const cd lambda = closest_eigenvalue(pencil, cd(-0.3181315, 1.3372357));
    EXPECT_LT(std::abs(lambda + std::exp(-lambda)), tol) << lambda;
}

INSTANTIATE_TEST_SUITE_P(Degrees, ScalarPencil,
                         ::testing::Values(std::pair<std::size_t, double>{10, 1e-12},
                                           std::pair<std::size_t, double>{16, 1e-14}));

TEST(Discretization, Failures) {
    const lagsys::lagsys sys = test::lambert_system();
    EXPECT_THROW(lagsys::sparse_spectral_discretization(sys, 0), std::invalid_argument);
    EXPECT_THROW(lagsys::sparse_spectral_discretization(lagsys::lagsys({scalar(1)}, {}), 3), std::invalid_argument);
    EXPECT_THROW(lagsys::sparse_spectral_discretization(test::scalar_system({1, 2}, {1.0}), 3), std::invalid_argument);
    const lagsys::lagsys unequal({scalar(1), Eigen::MatrixXd::Zero(2, 2)}, {0.0, 1.0});
    EXPECT_THROW(lagsys::sparse_spectral_discretization(unequal, 3), std::invalid_argument);
    EXPECT_THROW(lagsys::sparse_spectral_discretization(sys, std::size_t{1} << 62), std::bad_alloc);
}
