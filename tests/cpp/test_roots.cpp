#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <string>

#include <Eigen/Eigenvalues>
#include <gtest/gtest.h>

#include "detail.hpp"
#include "helpers.hpp"
#include "lagsys.hpp"

using cd = std::complex<double>;
using test::scalar;
using test::scalar_system;

namespace {

// A returned root must make Delta(lambda) singular to this relative level.
constexpr double singular_tol = 1e-9;

std::string invalid_argument_text(const lagsys::lagsys& sys) {
    try {
        (void)lagsys::roots(sys, 0.0);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Roots, ScalarEquationRightOfMinusOne) {
    const auto result = lagsys::roots(test::lambert_system(), -1.0);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_LT(std::abs(result[0] - cd(-0.3181315052, -1.3372357014)), 1e-8);
    EXPECT_LT(std::abs(result[1] - cd(-0.3181315052, 1.3372357014)), 1e-8);
}

TEST(Roots, EveryRootIsARootRightOfTheBound) {
    for (unsigned seed : {1u, 2u, 3u}) {
        const lagsys::lagsys sys(test::random_matrices(3, 3, seed), {0.0, 0.6, 1.1});
        const double r = -1.5;
        const auto result = lagsys::roots(sys, r);
        EXPECT_FALSE(result.empty());
        for (const cd lambda : result) {
            EXPECT_GE(lambda.real(), r);
            EXPECT_LT(test::relative_smallest_singular_value(sys, lambda), singular_tol) << lambda;
        }
    }
}

TEST(Roots, NothingRightOfTheBound) {
    EXPECT_TRUE(lagsys::roots(test::lambert_system(), 0.0).empty());
}

TEST(Roots, LongDelayKeepsEveryRoot) {
    const auto result = lagsys::roots(scalar_system({-0.5, -0.5}, {0.0, 4.0}), -0.6);
    EXPECT_EQ(result.size(), 8u);
}

TEST(Roots, UndelayedSystemGivesTheEigenvaluesOfTheSum) {
    const auto A = test::random_matrices(2, 4, 12);
    const lagsys::lagsys sys(A, {0.0, 0.0});
    Eigen::EigenSolver<Eigen::MatrixXd> es(A[0] + A[1], false);
    const double r = -10.0;
    auto result = lagsys::roots(sys, r);
    ASSERT_EQ(result.size(), 4u);
    for (Eigen::Index i = 0; i < 4; ++i) {
        const cd mu = es.eigenvalues()(i);
        const bool found = std::any_of(result.begin(), result.end(),
                                       [&](cd z) { return std::abs(z - mu) < 1e-10; });
        EXPECT_TRUE(found) << mu;
    }
}

TEST(Roots, EmptyOrderHasNoRoots) {
    EXPECT_TRUE(lagsys::roots(lagsys::lagsys({Eigen::MatrixXd(0, 0)}, {0.0}), -1.0).empty());
    EXPECT_TRUE(lagsys::roots(lagsys::lagsys({Eigen::MatrixXd(0, 0), Eigen::MatrixXd(0, 0)}, {0.0, 1.0}), -1.0).empty());
}

TEST(Roots, BoundIsInclusive) {
    const lagsys::lagsys sys({(Eigen::MatrixXd(2, 2) << -2, 0, 0, 1).finished()}, {0.0});
    EXPECT_EQ(lagsys::roots(sys, -2.0).size(), 2u);
    EXPECT_EQ(lagsys::roots(sys, std::nextafter(-2.0, 0.0)).size(), 1u);
}

TEST(Roots, InfiniteCandidatesAreDropped) {
    // beta = 0 in the second position: an infinite eigenvalue of a singular pencil.
    const lagsys::detail::Pencil pencil{(Eigen::MatrixXd(2, 2) << -1, 0, 0, 1).finished(),
                                        (Eigen::MatrixXd(2, 2) << 1, 0, 0, 0).finished()};
    const auto candidates = lagsys::detail::pencil_candidates(pencil);
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_TRUE(std::any_of(candidates.begin(), candidates.end(),
                            [](cd z) { return !std::isfinite(z.real()) || !std::isfinite(z.imag()); }));
    const lagsys::lagsys sys({scalar(-1.0)}, {0.0});
    const auto refined = lagsys::detail::refine_candidates(
        sys, {cd(std::numeric_limits<double>::infinity(), 0.0), cd(std::nan(""), 1.0), cd(-1.0, 0.0)}, -5.0);
    ASSERT_EQ(refined.size(), 1u);
    EXPECT_EQ(refined[0], cd(-1.0, 0.0));
}

TEST(Roots, ValidatesBeforeComputing) {
    using M = Eigen::MatrixXd;
    EXPECT_NE(invalid_argument_text(lagsys::lagsys({M::Zero(2, 3)}, {0.0})).find("A(0) has shape 2x3"),
              std::string::npos);
    EXPECT_NE(invalid_argument_text(lagsys::lagsys({M::Zero(2, 2), M::Zero(3, 3)}, {0.0, 1.0})).find("A(1) has shape 3x3"),
              std::string::npos);
    EXPECT_NE(invalid_argument_text(scalar_system({1, 2}, {0.0, -1.0})).find("hA[1]"), std::string::npos);
    EXPECT_NE(invalid_argument_text(scalar_system({1, 2}, {std::nan(""), 1.0})).find("hA[0]"), std::string::npos);
    EXPECT_NE(invalid_argument_text(scalar_system({1, 2}, {0.0, INFINITY})).find("hA[1]"), std::string::npos);
    EXPECT_NE(invalid_argument_text(scalar_system({1, NAN}, {0.0, 1.0})).find("A(1)"), std::string::npos);
    // Unpaired delays are not read.
    EXPECT_EQ(invalid_argument_text(scalar_system({-1.0}, {0.0, -3.0})), "");
}

TEST(Roots, DelaysWithoutMatricesAreIgnored) {
    for (double extra : {1e300, std::numeric_limits<double>::infinity(), std::nan(""), -5.0, 30.0}) {
        const auto result = lagsys::roots(scalar_system({-1.0}, {0.0, extra}), -2.0);
        ASSERT_EQ(result.size(), 1u) << extra;
        EXPECT_EQ(result[0], cd(-1.0, 0.0));
    }
    EXPECT_EQ(lagsys::roots(scalar_system({0.0, -1.0}, {0.0, 1.0, 50.0}), -1.0),
              lagsys::roots(test::lambert_system(), -1.0));
}

TEST(Roots, BoundMustBeANumberAboveMinusInfinity) {
    EXPECT_THROW(lagsys::roots(test::lambert_system(), NAN), std::invalid_argument);
    EXPECT_THROW(lagsys::roots(test::lambert_system(), -INFINITY), std::invalid_argument);
    EXPECT_TRUE(lagsys::roots(test::lambert_system(), INFINITY).empty());
}

TEST(Roots, StructuralFailuresKeepTheirTypes) {
    EXPECT_THROW(lagsys::roots(lagsys::lagsys({}, {}), 0.0), std::length_error);
    try {
        (void)lagsys::roots(scalar_system({1, 2}, {0.0}), 0.0);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "vector::_M_range_check: __n (which is 1) >= this->size() (which is 1)");
    }
}

TEST(Roots, FiveTermsFindWhatFourTermsFind) {
    // Five or more terms take the single-angle degree estimate; with a zero term appended the
    // roots are the same as those of the four-term system, all 14 of them right of -1.
    const std::vector<double> a = {0.27392337, -0.46042657, -0.91805295, -0.96694473};
    const std::vector<double> h = {0.0, 2.4398107176008175, 2.738266731833165, 1.8199073273015396};
    const lagsys::lagsys four = scalar_system({a[0], a[1], a[2], a[3]}, h);
    const lagsys::lagsys five = scalar_system({a[0], a[1], a[2], a[3], 0.0}, {h[0], h[1], h[2], h[3], 0.0});
    const auto distinct = [](const std::vector<cd>& v) {
        std::vector<cd> kept;
        for (const cd z : v) {
            if (std::none_of(kept.begin(), kept.end(), [&](cd w) { return std::abs(z - w) < 1e-6; })) kept.push_back(z);
        }
        return kept;
    };
    const auto expected = distinct(lagsys::roots(four, -1.0));
    const auto found = distinct(lagsys::roots(five, -1.0));
    ASSERT_EQ(expected.size(), 14u);
    ASSERT_EQ(found.size(), expected.size());
    for (const cd z : expected) {
        EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](cd w) { return std::abs(z - w) < 1e-8; })) << z;
    }
}

TEST(Roots, PencilWhoseQZStallsStillGivesCandidates) {
    // det Delta = (lambda - 1)(lambda + 2); Eigen's real QZ does not converge on this pencil.
    const lagsys::lagsys sys({(Eigen::MatrixXd(2, 2) << 1, 0, 0, -2).finished(),
                              (Eigen::MatrixXd(2, 2) << 0, 0, 1, 0).finished()},
                             {0.0, 1.0});
    const auto pencil = lagsys::sparse_spectral_discretization(sys, 9);
    const auto candidates = lagsys::detail::pencil_candidates(pencil);
    ASSERT_EQ(static_cast<Eigen::Index>(candidates.size()), pencil.first.rows());
    for (const cd exact : {cd(1.0, 0.0), cd(-2.0, 0.0)}) {
        EXPECT_TRUE(std::any_of(candidates.begin(), candidates.end(),
                                [&](cd z) { return std::abs(z - exact) < 1e-6; }))
            << exact;
    }
    const auto result = lagsys::roots(sys, -3.0);
    ASSERT_FALSE(result.empty());
    for (const cd z : result) {
        EXPECT_TRUE(std::abs(z - 1.0) < 1e-12 || std::abs(z + 2.0) < 1e-12) << z;
    }
}

TEST(Roots, NewtonConvergesOnADefectiveDoubleRoot) {
    // det Delta = (lambda + 1)^2 with a single eigenvector; every candidate starts off the root.
    const lagsys::lagsys sys({(Eigen::MatrixXd(2, 2) << -1, 1, 0, -1).finished(), Eigen::MatrixXd::Zero(2, 2)},
                             {0.0, 1.0});
    const auto refined = lagsys::detail::refine_candidates(sys, {cd(-1.0, 1e-3), cd(-0.99, 0.0), cd(-1.2, -0.1)}, -2.0);
    ASSERT_EQ(refined.size(), 3u);
    for (const cd z : refined) EXPECT_LT(std::abs(z + 1.0), 1e-7) << z;
}

TEST(Roots, SemisimpleDoubleRootOfIdenticalSubsystems) {
    // a I and b I rotated, as a similarity leaves them up to rounding: two identical decoupled
    // equations, so every root of lambda = a + b exp(-lambda h) is a double root with two
    // eigenvectors. The bordered Newton iteration is singular there; the farthest pair right of r,
    // Lambert W's -0.9024620924532862 -+ 26.060759777214013i, used to be lost.
    const double a = -2.48653003, b = 2.51223379, h = 2.5941281674527974, r = -0.9154020354082748;
    Eigen::MatrixXd A0 = a * Eigen::MatrixXd::Identity(2, 2), A1 = b * Eigen::MatrixXd::Identity(2, 2);
    A0(0, 1) = -1.54298926e-16;
    A0(1, 0) = 5.13733987e-16;
    A1(0, 1) = 1.49549511e-16;
    A1(1, 0) = -3.97524893e-16;
    const auto result = lagsys::roots(lagsys::lagsys({A0, A1}, {0.0, h}), r);
    for (const cd expected : {cd(-0.9024620924532862, -26.060759777214013), cd(-0.9024620924532862, 26.060759777214013)}) {
        const auto near = std::count_if(result.begin(), result.end(),
                                        [&](cd z) { return std::abs(z - expected) < 1e-6; });
        EXPECT_GE(near, 1) << expected;
    }
}

TEST(Roots, SimpleRootIsNotMovedPastTheResidualTest) {
    // The root is -1 + W_0(e/2) = -0.3149230578454061. A candidate 3e-11 from it passes the residual
    // test before any update; the trial steps that look for a multiple root are undone.
    const lagsys::lagsys sys({scalar(-1.0), scalar(0.5)}, {0.0, 1.0});
    const cd candidate(-0.3149230578147811, 0.0);
    const auto refined = lagsys::detail::refine_candidates(sys, {candidate}, -1.0);
    ASSERT_EQ(refined.size(), 1u);
    EXPECT_EQ(refined[0], candidate);
}

TEST(Roots, OverflowingDiscretizationIsAnError) {
    EXPECT_THROW(lagsys::roots(scalar_system({1e308, 1e308}, {0.0, 1.0}), 0.0), std::overflow_error);
}

TEST(Roots, DelayBelowTheDiscretizationsRangeActsAsNone) {
    const auto result = lagsys::roots(scalar_system({-1.0, 0.5}, {0.0, 2e-308}), -2.0);
    ASSERT_FALSE(result.empty());
    for (const cd z : result) EXPECT_EQ(z, cd(-0.5, 0.0));
}

TEST(Roots, NothingBeyondTheModulusBound) {
    // x' = x: the root 1; the bound sum_k ||A_k|| e^{-r h_k} is 1 for every r.
    const lagsys::lagsys ode({scalar(1.0)}, {0.0});
    EXPECT_EQ(lagsys::detail::modulus_bound(ode, 3.0), 1.0);
    ASSERT_EQ(lagsys::roots(ode, 0.999).size(), 1u);
    EXPECT_TRUE(lagsys::roots(ode, 1.001).empty());
    // x' = 0.3 x(t - 1): the real root is W_0(0.3) = 0.2367553, exactly where the bound 0.3 e^{-r}
    // falls below r; it lies right of 0.2 and left of 0.25.
    const lagsys::lagsys delayed = scalar_system({0.0, 0.3}, {0.0, 1.0});
    EXPECT_NEAR(lagsys::detail::modulus_bound(delayed, 0.25), 0.3 * std::exp(-0.25), 1e-15);
    ASSERT_EQ(lagsys::roots(delayed, 0.2).size(), 1u);
    EXPECT_NEAR(lagsys::roots(delayed, 0.2)[0].real(), 0.23675531078855933, 1e-10);
    EXPECT_TRUE(lagsys::roots(delayed, 0.25).empty());
}

// Q J Q^T with J = [[a, 1, 0], [0, a, 0], [0, 0, a + d]] at delay 0 and b I at delay 1: every root of
// lambda = a + b e^{-lambda} is double (a Jordan block), and the roots of lambda = a + d + b e^{-lambda}
// lie 1e-3 from them. Every candidate of such a cluster used to end on the double root.
TEST(Roots, SimpleRootBesideADoubleOneIsKept) {
    Eigen::Matrix3d Q;
    Q << 0.6213507558894231, 0.40628547456699216, -0.66996667925466,
        -0.4104360312383587, 0.8971318027968936, 0.16339153182371732,
        0.6674320208208081, 0.17345501309062764, 0.72418772153136;
    const double a = 0.2, b = -2.0, d = 1e-3;
    Eigen::Matrix3d J;
    J << a, 1.0, 0.0, 0.0, a, 0.0, 0.0, 0.0, a + d;
    const lagsys::lagsys sys({Q * J * Q.transpose(), b * Eigen::MatrixXd::Identity(3, 3)}, {0.0, 1.0});
    // The rightmost roots of lambda = 0.201 - 2 e^{-lambda} (Lambert W, branches 0 and -1).
    const cd simple(0.22989159482983665, 1.5889768382256027);
    const auto result = lagsys::roots(sys, -1.0);
    for (const cd z : {simple, std::conj(simple)}) {
        double nearest = std::numeric_limits<double>::infinity();
        for (const cd lambda : result) nearest = std::min(nearest, std::abs(lambda - z));
        EXPECT_LT(nearest, 1e-9) << z;
    }
    for (const cd lambda : result) {
        EXPECT_LT(test::relative_smallest_singular_value(sys, lambda), singular_tol) << lambda;
    }
}
