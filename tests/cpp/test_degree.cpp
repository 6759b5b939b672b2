#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "lagsys.hpp"

using cd = std::complex<double>;
using test::scalar;
using test::scalar_system;

namespace {

constexpr double pi = std::numbers::pi;
constexpr double rounding = 1e-13;
const cd I(0.0, 1.0);

Eigen::MatrixXcd complex_of(const Eigen::MatrixXd& A) { return A.cast<cd>(); }

}  // namespace

// --- sampled matrices -----------------------------------------------------------------------

TEST(CreateMatrix, SingleMatrixReadsNoIndex) {
    const Eigen::MatrixXd A0 = (Eigen::MatrixXd(2, 2) << 1, 2, -3, 4).finished();
    const lagsys::lagsys sys({A0}, {0.5});
    Eigen::MatrixXcd M(7, 7);  // resized by the call
    lagsys::create_matrix(sys, M, 0.3, 0.2, std::vector<std::size_t>{}, 20);
    const Eigen::MatrixXd expected = std::exp(-(0.2 + 0.3) * 0.5) * A0 - 0.3 * Eigen::MatrixXd::Identity(2, 2);
    EXPECT_EIGEN_NEAR(M, complex_of(expected), rounding);
}

TEST(CreateMatrix, UndelayedFirstTermIgnoresTheShift) {
    const Eigen::MatrixXd A0 = (Eigen::MatrixXd(2, 2) << 1, 2, -3, 4).finished();
    const lagsys::lagsys sys({A0}, {0.0});
    Eigen::MatrixXcd M;
    lagsys::create_matrix(sys, M, -1.5, 7.0, std::vector<std::size_t>{}, 20);
    const Eigen::MatrixXd expected = A0 + 1.5 * Eigen::MatrixXd::Identity(2, 2);
    EXPECT_EQ(M, complex_of(expected));
}

TEST(CreateMatrix, MultiAngleGivesEachTermItsAngle) {
    const lagsys::lagsys sys({scalar(1.0), scalar(2.0), scalar(3.0)}, {0.0, 0.5, 1.0});
    Eigen::MatrixXcd M;
    const double r = 0.1, s = 0.4, c = -(s + r);
    lagsys::create_matrix(sys, M, r, s, std::vector<std::size_t>{5, 10}, 20);
    // Index 5 of 20 is pi/2, index 10 is pi.
    const cd expected = 1.0 - r + 2.0 * std::exp(c * 0.5) * I + 3.0 * std::exp(c * 1.0) * -1.0;
    EXPECT_NEAR(std::abs(M(0, 0) - expected), 0.0, rounding);
}

TEST(CreateMatrix, SingleAngleRoundsDelaysToSteps) {
    // h_max = 20, so the step is 1: 2.5 rounds to 3 and 2.4 to 2.
    const lagsys::lagsys sys({scalar(1.0), scalar(2.0), scalar(3.0), scalar(0.5)}, {0.0, 2.5, 2.4, 20.0});
    Eigen::MatrixXcd M;
    const double r = 0.05, c = -r;
    lagsys::create_matrix(sys, M, r, 0.0, std::size_t{5}, 20);
    const double theta = pi / 2;
    const cd expected = 1.0 - r + 2.0 * std::exp(3 * c) * std::exp(I * (3 * theta)) +
                        3.0 * std::exp(2 * c) * std::exp(I * (2 * theta)) +
                        0.5 * std::exp(20 * c) * std::exp(I * (20 * theta));
    EXPECT_NEAR(std::abs(M(0, 0) - expected), 0.0, rounding);
}

TEST(CreateMatrix, SingleAngleWithoutDelaysStaysFinite) {
    const lagsys::lagsys sys({scalar(1.0), scalar(-2.0)}, {0.0, 0.0});
    Eigen::MatrixXcd M;
    lagsys::create_matrix(sys, M, 0.5, 1.0, std::size_t{3}, 20);
    EXPECT_EQ(M(0, 0), cd(1.0 - 2.0 - 0.5, 0.0));
}

TEST(CreateMatrix, Failures) {
    Eigen::MatrixXcd M;
    const std::vector<std::size_t> none;
    EXPECT_THROW(lagsys::create_matrix(lagsys::lagsys({}, {}), M, 0, 0, none, 20), std::out_of_range);
    EXPECT_THROW(lagsys::create_matrix(lagsys::lagsys({}, {1.0}), M, 0, 0, none, 20), std::out_of_range);
    EXPECT_THROW(lagsys::create_matrix(lagsys::lagsys({scalar(1)}, {}), M, 0, 0, std::size_t{0}, 20),
                 std::out_of_range);
    const lagsys::lagsys two = test::lambert_system();
    EXPECT_THROW(lagsys::create_matrix(two, M, 0, 0, none, 20), std::invalid_argument);
    EXPECT_THROW(lagsys::create_matrix(two, M, 0, 0, std::vector<std::size_t>{1}, 0), std::invalid_argument);
    EXPECT_THROW(lagsys::create_matrix(two, M, 0, 0, std::size_t{1}, 0), std::invalid_argument);
    const lagsys::lagsys unequal({scalar(1), Eigen::MatrixXd::Zero(2, 2)}, {0.0, 1.0});
    EXPECT_THROW(lagsys::create_matrix(unequal, M, 0, 0, std::vector<std::size_t>{1}, 20),
                 std::invalid_argument);
}

// --- the degree -----------------------------------------------------------------------------

struct DegreeCase {
    const char* name;
    std::vector<double> a;
    std::vector<double> h;
    double r;
    std::size_t degree;
};

class WorkedDegree : public ::testing::TestWithParam<DegreeCase> {};

TEST_P(WorkedDegree, MatchesTheHandComputation) {
    const DegreeCase& c = GetParam();
    std::vector<Eigen::MatrixXd> A;
    for (double v : c.a) A.push_back(scalar(v));
    EXPECT_EQ(lagsys::compute_N_rhp(lagsys::lagsys(A, c.h), c.r, 20), c.degree);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, WorkedDegree,
    ::testing::Values(
        DegreeCase{"minus10", {0.0, -10.0}, {0.0, 1.0}, 0.0, 9},
        DegreeCase{"minus30", {0.0, -30.0}, {0.0, 1.0}, 0.0, 23},
        DegreeCase{"all_left", {-1.0, 0.0}, {0.0, 1.0}, 0.0, 5},
        // A delayed first term is estimated as the same system with a zero-delay term first.
        DegreeCase{"single_delayed", {-30.0}, {1.0}, 0.0, 23},
        DegreeCase{"delayed_first", {-30.0, 0.0}, {1.0, 0.0}, 0.0, 23},
        // For tau > 1 moduli are scaled by tau.
        DegreeCase{"long_delay", {-0.5, -0.5}, {0.0, 4.0}, -0.6, 18}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Degree, DispatchesOnTheNumberOfMatrices) {
    for (std::size_t m : {4u, 5u}) {
        std::vector<double> h;
        for (std::size_t k = 0; k < m; ++k) h.push_back(0.23 * static_cast<double>(k));
        auto A = test::random_matrices(m, 3, 5);
        for (auto& Ak : A) Ak *= 12.0;
        const lagsys::lagsys sys(A, h);
        const std::size_t multi = lagsys::compute_N_rhp_impl<false>(sys, -1.0, 20);
        const std::size_t single = lagsys::compute_N_rhp_impl<true>(sys, -1.0, 20);
        ASSERT_NE(multi, single) << "the two grids must differ on this system";
        EXPECT_EQ(lagsys::compute_N_rhp(sys, -1.0, 20), m > 4 ? single : multi) << m;
    }
}

TEST(Degree, RearrangementMovesTheFirstUndelayedTerm) {
    const auto A = test::random_matrices(3, 2, 9);
    const lagsys::lagsys given({A[0], A[1], A[2]}, {0.7, 0.0, 0.2});
    const lagsys::lagsys front({A[1], A[0], A[2]}, {0.0, 0.7, 0.2});
    EXPECT_EQ(lagsys::compute_N_rhp(given, -2.0, 20), lagsys::compute_N_rhp(front, -2.0, 20));
    const lagsys::lagsys none({A[0], A[2]}, {0.7, 0.2});
    const lagsys::lagsys zero_first({Eigen::MatrixXd::Zero(2, 2), A[0], A[2]}, {0.0, 0.7, 0.2});
    EXPECT_EQ(lagsys::compute_N_rhp(none, -2.0, 20), lagsys::compute_N_rhp(zero_first, -2.0, 20));
}

TEST(Degree, GrowsWithTheDelayBeyondOne) {
    // x' = -x(t - h): the roots right of -1 grow in number as h grows.
    std::size_t previous = 0;
    for (double h : {1.0, 2.0, 4.0}) {
        const std::size_t N = lagsys::compute_N_rhp(scalar_system({0.0, -3.0}, {0.0, h}), -1.0, 20);
        if (h > 1.0) {
            EXPECT_GT(N, previous) << h;
        }
        previous = N;
    }
    // Delays up to one leave the stored curves' degree unchanged: tau enters only above one.
    EXPECT_EQ(lagsys::compute_N_rhp(scalar_system({0.0, -30.0}, {0.0, 1.0, 0.5}), 0.0, 20), 23u);
}

TEST(Degree, OrderZeroGivesTheFloor) {
    const lagsys::lagsys sys({Eigen::MatrixXd(0, 0), Eigen::MatrixXd(0, 0)}, {0.0, 1.0});
    EXPECT_EQ(lagsys::compute_N_rhp(sys, 0.0, 20), 5u);
}

TEST(Degree, ManyUndelayedTermsAreFinite) {
    const lagsys::lagsys sys(test::random_matrices(6, 3, 3), std::vector<double>(6, 0.0));
    const std::size_t N = lagsys::compute_N_rhp(sys, -1.0, 20);
    EXPECT_GE(N, 5u);
    EXPECT_LT(N, 1000u);
}

TEST(Degree, Failures) {
    EXPECT_THROW(lagsys::compute_N_rhp(lagsys::lagsys({}, {}), 0.0, 20), std::length_error);
    EXPECT_THROW(lagsys::compute_N_rhp_impl<false>(lagsys::lagsys({}, {1.0}), 0.0, 20), std::length_error);
    EXPECT_THROW(lagsys::compute_N_rhp_impl<true>(lagsys::lagsys({}, {1.0}), 0.0, 20), std::out_of_range);
    EXPECT_THROW(lagsys::compute_N_rhp(test::lambert_system(), 0.0, 0), std::invalid_argument);
    // Fewer delays than matrices: the standard text for the first missing delay, also when the
    // first delay is nonzero (checked before the system is rearranged).
    for (const auto& h : {std::vector<double>{0.0}, std::vector<double>{1.0}}) {
        try {
            (void)lagsys::compute_N_rhp(scalar_system({1.0, 2.0}, h), 0.0, 20);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "vector::_M_range_check: __n (which is 1) >= this->size() (which is 1)");
        }
    }
    EXPECT_THROW(lagsys::compute_N_rhp(scalar_system({1.0}, {}), 0.0, 20), std::out_of_range);
}
