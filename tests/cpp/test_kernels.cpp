// The batched log-derivative kernel against determinants known in closed form: decoupled scalar
// equations under an orthogonal similarity, whose det Delta is the product of the scalar ones.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "kernels.hpp"

namespace {

using cd = std::complex<double>;
using lagsys::kernels::SystemView;

struct Decoupled {
    std::vector<double> a, b;  // x_j' = a_j x_j + b_j x_j(t - h)
    double h;
    std::vector<double> flat;  // Q diag(a) Q^T and Q diag(b) Q^T, row-major
    std::vector<double> delays;

    SystemView view() const { return {flat.data(), delays.data(), 2, a.size()}; }
};

Decoupled decoupled(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> coefficient(-2.0, 2.0), delay(0.2, 2.0);
    Decoupled d;
    d.h = delay(gen);
    for (std::size_t j = 0; j < n; ++j) {
        d.a.push_back(coefficient(gen));
        d.b.push_back(coefficient(gen));
    }
    Eigen::MatrixXd G(n, n);
    for (Eigen::Index j = 0; j < G.cols(); ++j) {
        for (Eigen::Index i = 0; i < G.rows(); ++i) G(i, j) = coefficient(gen);
    }
    const Eigen::MatrixXd Q = Eigen::HouseholderQR<Eigen::MatrixXd>(G).householderQ();
    for (const auto* diag : {&d.a, &d.b}) {
        const Eigen::VectorXd v = Eigen::Map<const Eigen::VectorXd>(diag->data(), static_cast<Eigen::Index>(n));
        const Eigen::MatrixXd A = Q * v.asDiagonal() * Q.transpose();
        for (Eigen::Index i = 0; i < A.rows(); ++i) {
            for (Eigen::Index j = 0; j < A.cols(); ++j) d.flat.push_back(A(i, j));
        }
    }
    d.delays = {0.0, d.h};
    return d;
}

double wrapped(double angle) { return std::remainder(angle, 2.0 * std::numbers::pi); }

class DecoupledKernel : public ::testing::TestWithParam<unsigned> {};

TEST_P(DecoupledKernel, PhaseAndLogDerivativeAreThoseOfTheProduct) {
    const unsigned seed = GetParam();
    const std::size_t n = 1 + seed % 7;
    const Decoupled d = decoupled(n, seed);
    std::mt19937_64 gen(seed + 100);
    std::uniform_real_distribution<double> re(-1.5, 3.0), im(-20.0, 20.0);
    std::vector<cd> lam(40);
    for (auto& z : lam) z = {re(gen), im(gen)};
    std::vector<double> phase(lam.size());
    std::vector<cd> trace(lam.size());
    std::vector<std::uint8_t> status(lam.size());
    lagsys::kernels::log_derivatives(d.view(), lam.data(), lam.size(), phase.data(), trace.data(),
                                     status.data());
    for (std::size_t i = 0; i < lam.size(); ++i) {
        const cd z = lam[i];
        double angle = 0.0;
        cd sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const cd e = std::exp(-z * d.h);
            const cd value = z - d.a[j] - d.b[j] * e;
            angle += std::arg(value);
            sum += (1.0 + d.b[j] * d.h * e) / value;
        }
        EXPECT_EQ(status[i], lagsys::kernels::regular_point);
        EXPECT_NEAR(wrapped(phase[i] - angle), 0.0, 1e-9) << "at " << z;
        EXPECT_LE(std::abs(trace[i] - sum), 1e-9 * std::max(1.0, std::abs(sum))) << "at " << z;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DecoupledKernel, ::testing::Range(0u, 24u));

TEST(LogDerivatives, ReportsSingularAndOverflowingPoints) {
    // Delta(lambda) = diag(lambda - 2, lambda + 1 - exp(-lambda)): exactly singular at 2.
    const std::vector<double> flat = {2.0, 0.0, 0.0, -1.0, 0.0, 0.0, 0.0, 1.0};
    const std::vector<double> delays = {0.0, 1.0};
    const SystemView view{flat.data(), delays.data(), 2, 2};
    const std::vector<cd> lam = {{2.0, 0.0}, {-1000.0, 0.0}, {0.5, 0.5}};
    std::vector<double> phase(3);
    std::vector<cd> trace(3);
    std::vector<std::uint8_t> status(3);
    lagsys::kernels::log_derivatives(view, lam.data(), 3, phase.data(), trace.data(), status.data());
    EXPECT_EQ(status[0], lagsys::kernels::singular_point);
    EXPECT_TRUE(std::isinf(trace[0].real()));
    EXPECT_EQ(status[1], lagsys::kernels::overflow_point);
    EXPECT_EQ(status[2], lagsys::kernels::regular_point);
    EXPECT_TRUE(std::isfinite(trace[2].real()) && std::isfinite(trace[2].imag()));
}

TEST(LogDerivatives, ReportsAnEliminationThatOverflows) {
    // Delta(0) = -A is finite, but eliminating its first column doubles 1e308 past the range.
    const std::vector<double> flat = {1e308, 1e308, 1e308, -1e308};
    const std::vector<double> delays = {0.0};
    const SystemView view{flat.data(), delays.data(), 1, 2};
    const cd origin = 0.0;
    double phase = 1.0;
    cd trace;
    std::uint8_t status = 0;
    lagsys::kernels::log_derivatives(view, &origin, 1, &phase, &trace, &status);
    EXPECT_EQ(status, lagsys::kernels::overflow_point);
    EXPECT_FALSE(std::isfinite(trace.real()));
}

TEST(LogDerivatives, RejectsAnEmptySystem) {
    const SystemView empty{nullptr, nullptr, 0, 0};
    EXPECT_THROW(lagsys::kernels::log_derivatives(empty, nullptr, 0, nullptr, nullptr, nullptr),
                 std::invalid_argument);
}

}  // namespace

namespace {

// The Perron root of [[p, q], [s, t]] (non-negative entries) in closed form.
double perron(double p, double q, double s, double t) {
    return 0.5 * (p + t + std::sqrt((p - t) * (p - t) + 4.0 * q * s));
}

TEST(ModulusBound, IsTheSmallerOfTheNormSumAndThePerronRoot) {
    // A non-normal pair: ||A_0||_2 is about 50, while |A_0| + e^{-r} |A_1| has a small Perron root.
    const std::vector<double> flat = {-1.0, 50.0, 0.0, -2.0, 0.5, 0.0, 0.0, -0.25};
    const std::vector<double> delays = {0.0, 1.0};
    const std::vector<double> norms = {50.05, 0.5};
    const SystemView view{flat.data(), delays.data(), 2, 2};
    for (double r : {-2.0, 0.0, 1.5}) {
        const double w = std::exp(-r);
        const double expected = std::min(norms[0] + w * norms[1],
                                         perron(1.0 + 0.5 * w, 50.0, 0.0, 2.0 + 0.25 * w) * (1.0 + 1e-12));
        EXPECT_NEAR(lagsys::kernels::modulus_bound(view, norms.data(), r), expected, 1e-12 * expected) << r;
    }
    // A delay-free term keeps weight 1 for every r, and an infinite r leaves only it.
    EXPECT_NEAR(lagsys::kernels::modulus_bound(view, norms.data(), INFINITY),
                perron(1.0, 50.0, 0.0, 2.0) * (1.0 + 1e-12), 1e-12);
    EXPECT_TRUE(std::isinf(lagsys::kernels::modulus_bound(view, norms.data(), -INFINITY)));
}

TEST(ModulusBound, KeepsATinyPerronRootBesideLargeEntries) {
    // W = |A_0| + e^{-512 r} |A_1| with A_0 = [[0, 1e-3], [0, 0]] and A_1's second row delayed:
    // the Perron root sqrt(1e-3 * 0.9 w) is far below the rounding of the entry 1e-3.
    const std::vector<double> flat = {0.0, 1e-3, 0.0, 0.0, 0.0, 0.0, -0.9, 1.1};
    const std::vector<double> delays = {0.0, 512.0};
    const std::vector<double> norms = {1e-3, std::hypot(0.9, 1.1)};
    const SystemView view{flat.data(), delays.data(), 2, 2};
    double last = INFINITY;
    for (double r = 0.1; r < 0.2; r += 0.01) {
        const double w = std::exp(-512.0 * r);
        const double expected = perron(0.0, 1e-3, 0.9 * w, 1.1 * w) * (1.0 + 1e-12);
        const double bound = lagsys::kernels::modulus_bound(view, norms.data(), r);
        EXPECT_NEAR(bound, expected, 1e-10 * expected) << r;
        EXPECT_LT(bound, last);
        last = bound;
    }
}

TEST(ModulusBound, ScalarSystemsTakeTheNormSum) {
    const std::vector<double> flat = {-3.0, 2.0};
    const std::vector<double> delays = {0.0, 0.5};
    const std::vector<double> norms = {3.0, 2.0};
    const SystemView view{flat.data(), delays.data(), 2, 1};
    EXPECT_DOUBLE_EQ(lagsys::kernels::modulus_bound(view, norms.data(), -1.0), 3.0 + 2.0 * std::exp(0.5));
}

}  // namespace

// Parity against the number of inversions (an independent definition of a permutation's sign).
TEST(PermutationParity, IsTheParityOfTheInversionCount) {
    std::mt19937 gen(7);
    for (std::size_t n : {0u, 1u, 2u, 5u, 17u, 64u}) {
        for (int trial = 0; trial < 10; ++trial) {
            std::vector<std::int64_t> perm(n);
            for (std::size_t i = 0; i < n; ++i) perm[i] = static_cast<std::int64_t>(i);
            std::shuffle(perm.begin(), perm.end(), gen);
            int inversions = 0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = i + 1; j < n; ++j) inversions += perm[i] > perm[j];
            }
            EXPECT_EQ(lagsys::kernels::permutation_parity(perm.data(), n), inversions % 2);
        }
    }
}

TEST(PermutationParity, RejectsWhatIsNotAPermutation) {
    const std::vector<std::vector<std::int64_t>> bad{{1, 1}, {0, 0}, {0, 2}, {-1, 0}, {2, 0, 0}};
    for (const auto& perm : bad) {
        EXPECT_THROW(lagsys::kernels::permutation_parity(perm.data(), perm.size()), std::invalid_argument);
    }
}

// The O(n^2 r) determinant of lambda I - T - U E V^H against a dense LU of the same matrix.
TEST(LowRankLogDerivatives, MatchADenseFactorization) {
    std::mt19937 gen(11);
    std::normal_distribution<double> normal;
    const auto random = [&] { return cd(normal(gen), normal(gen)); };
    for (std::size_t r : {0u, 1u, 3u}) {
        const std::size_t n = 12;
        std::vector<cd> T(n * n, 0.0), U(n * r), V(n * r);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i; j < n; ++j) T[i * n + j] = random();
        }
        for (auto& x : U) x = random();
        for (auto& x : V) x = random();
        std::vector<double> delays(r);
        for (std::size_t c = 0; c < r; ++c) delays[c] = 0.3 + 0.4 * static_cast<double>(c);
        // Eleven points: a full batch of eight and a partial one.
        std::vector<cd> lam{{0.3, 1.7}, {-1.2, -0.4}, {2.5, 6.0}, {-0.7, 0.0}};
        while (lam.size() < 11) lam.push_back(2.0 * random());
        std::vector<double> phase(lam.size());
        std::vector<cd> trace(lam.size());
        std::vector<std::uint8_t> status(lam.size());
        lagsys::kernels::low_rank_log_derivatives({T.data(), U.data(), V.data(), delays.data(), n, r},
                                                  lam.data(), lam.size(), phase.data(), trace.data(),
                                                  status.data());
        for (std::size_t p = 0; p < lam.size(); ++p) {
            Eigen::MatrixXcd D = Eigen::MatrixXcd::Zero(n, n), Dp = Eigen::MatrixXcd::Identity(n, n);
            for (std::size_t i = 0; i < n; ++i) {
                D(i, i) = lam[p];
                for (std::size_t j = i; j < n; ++j) D(i, j) -= T[i * n + j];
                for (std::size_t j = 0; j < n; ++j) {
                    for (std::size_t c = 0; c < r; ++c) {
                        const cd term = U[i * r + c] * std::exp(-lam[p] * delays[c]) * std::conj(V[j * r + c]);
                        D(i, j) -= term;
                        Dp(i, j) += delays[c] * term;
                    }
                }
            }
            const cd det = D.determinant();
            ASSERT_EQ(status[p], lagsys::kernels::regular_point);
            EXPECT_NEAR(std::remainder(phase[p] - std::arg(det), 2.0 * std::numbers::pi), 0.0, 1e-10);
            const cd expected = D.partialPivLu().solve(Dp).trace();
            EXPECT_LT(std::abs(trace[p] - expected), 1e-10 * std::abs(expected)) << "r " << r << " point " << p;
        }
        // At a diagonal entry of T the factorization has a pole (without delayed terms: a zero).
        cd at = T[2 * n + 2];
        lagsys::kernels::low_rank_log_derivatives({T.data(), U.data(), V.data(), delays.data(), n, r}, &at, 1,
                                                  phase.data(), trace.data(), status.data());
        EXPECT_EQ(status[0], r > 0 ? lagsys::kernels::pole_point : lagsys::kernels::singular_point);
    }
}
