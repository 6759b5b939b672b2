#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "utils/cubic_spline.hpp"
#include "utils/theta_range.hpp"
#include "utils/thomas_algorithm.hpp"

using lagsys::utils::CubicSpline;
using lagsys::utils::ThetaRange;
using lagsys::utils::thomas_algorithm;

namespace {

constexpr double spacing = std::numbers::pi / 64;
constexpr double rounding = 1e-12;

std::vector<double> sine_knots(std::size_t K) {
    std::vector<double> y(K);
    for (std::size_t i = 0; i < K; ++i) y[i] = std::sin(1.3 * static_cast<double>(i) * spacing) + 0.2 * i;
    return y;
}

}  // namespace

TEST(CubicSpline, StraightLineHasNoCurvature) {
    std::vector<double> y(33);
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = 0.7 - 2.5 * static_cast<double>(i);
    const CubicSpline s(0.0, spacing, y);
    ASSERT_EQ(s.a().size(), 32u);
    for (std::size_t i = 0; i < 32; ++i) {
        EXPECT_NEAR(s.c()[i], 0.0, rounding);
        EXPECT_NEAR(s.d()[i], 0.0, rounding);
        EXPECT_NEAR(s.b()[i], -2.5 / spacing, 1e-9);
    }
}

TEST(CubicSpline, InterpolatesEveryKnotIncludingTheLast) {
    const std::vector<double> y = sine_knots(33);
    const CubicSpline s(0.5, spacing, y);
    for (std::size_t i = 0; i < y.size(); ++i) {
        EXPECT_NEAR(s(0.5 + static_cast<double>(i) * spacing), y[i], rounding) << "knot " << i;
    }
}

TEST(CubicSpline, IsNaturalAndTwiceContinuous) {
    const std::vector<double> y = sine_knots(12);
    const CubicSpline s(0.0, spacing, y);
    const auto& b = s.b();
    const auto& c = s.c();
    const auto& d = s.d();
    EXPECT_EQ(c[0], 0.0);
    const std::size_t last = b.size() - 1;
    // Second derivative vanishes at the last knot.
    EXPECT_NEAR(2 * c[last] + 6 * d[last] * spacing, 0.0, 1e-9);
    for (std::size_t i = 0; i < last; ++i) {
        EXPECT_NEAR(b[i] + 2 * c[i] * spacing + 3 * d[i] * spacing * spacing, b[i + 1], 1e-9);
        EXPECT_NEAR(2 * c[i] + 6 * d[i] * spacing, 2 * c[i + 1], 1e-9);
    }
}

TEST(CubicSpline, ExtrapolatesTheEndIntervals) {
    const std::vector<double> y = sine_knots(33);
    const CubicSpline s(0.0, spacing, y);
    const std::size_t l = 31;
    const auto cubic = [&](std::size_t k, double t) {
        return s.a()[k] + s.b()[k] * t + s.c()[k] * t * t + s.d()[k] * t * t * t;
    };
    const double beyond = 32 * spacing + 0.3;
    EXPECT_NEAR(s(beyond), cubic(l, beyond - l * spacing), rounding);
    EXPECT_NEAR(s(-0.2), cubic(0, -0.2), rounding);
    EXPECT_TRUE(std::isnan(s(std::nan(""))));
}

TEST(CubicSpline, ThreeKnotsIsOneEquation) {
    const std::array<double, 3> y = {1.0, -0.5, 2.0};
    const double h = 0.25;
    const CubicSpline s(0.0, h, y);
    EXPECT_NEAR(s.c()[1], 3 * (y[0] - 2 * y[1] + y[2]) / h / (4 * h), rounding);
    EXPECT_NEAR(s(2 * h), y[2], rounding);
}

TEST(CubicSpline, TooFewKnots) {
    for (std::size_t K : {0u, 1u, 2u}) {
        const std::vector<double> y(K, 1.0);
        EXPECT_THROW(CubicSpline(0.0, 1.0, y), std::length_error) << K;
    }
    CubicSpline s(0.0, 1.0, std::vector<double>(5, 1.0));
    EXPECT_THROW(s.compute_coefficients(std::vector<double>(4, 1.0)), std::invalid_argument);
}

TEST(ThomasAlgorithm, AgreesWithDenseSolve) {
    const std::size_t p = 9;
    std::vector<double> lower(p - 1), upper(p - 1), diag(p), rhs(p);
    Eigen::MatrixXd T = Eigen::MatrixXd::Zero(p, p);
    Eigen::VectorXd b(p);
    for (std::size_t i = 0; i < p; ++i) {
        diag[i] = 4.0 + 0.1 * i;
        rhs[i] = std::cos(1.0 + i);
        T(i, i) = diag[i];
        b(i) = rhs[i];
        if (i + 1 < p) {
            lower[i] = 1.0 - 0.05 * i;
            upper[i] = -0.5 + 0.1 * i;
            T(i + 1, i) = lower[i];
            T(i, i + 1) = upper[i];
        }
    }
    thomas_algorithm(lower, diag, upper, rhs);
    const Eigen::Map<Eigen::VectorXd> x(rhs.data(), p);
    EXPECT_LT((T * x - b).norm(), 1e-13);
}

TEST(ThomasAlgorithm, OrderOneOnlyDivides) {
    std::vector<double> diag{4.0}, rhs{3.0};
    thomas_algorithm({}, diag, {}, rhs);
    EXPECT_EQ(rhs[0], 0.75);
}

TEST(ThomasAlgorithm, RejectsShortBands) {
    std::vector<double> diag(3, 4.0), rhs(3, 1.0);
    EXPECT_THROW(thomas_algorithm({1.0}, diag, {1.0, 1.0}, rhs), std::invalid_argument);
    std::vector<double> short_rhs(2, 1.0);
    EXPECT_THROW(thomas_algorithm({1.0, 1.0}, diag, {1.0, 1.0}, short_rhs), std::invalid_argument);
}

namespace {

std::vector<std::vector<std::size_t>> walk(std::size_t L, std::size_t N_theta) {
    std::vector<std::vector<std::size_t>> tuples;
    for (const auto& t : ThetaRange(L, N_theta)) {
        tuples.push_back(t);
        if (tuples.size() > 100000) break;  // a broken end test must not hang the suite
    }
    return tuples;
}

}  // namespace

struct WalkCase {
    std::size_t L, N_theta, count;
};

class ThetaRangeWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(ThetaRangeWalk, VisitsEveryTupleOnceInOdometerOrder) {
    const auto [L, N_theta, count] = GetParam();
    const auto tuples = walk(L, N_theta);
    ASSERT_EQ(tuples.size(), count);
    // Reconstruct the odometer order independently: index 0 is the least significant digit.
    for (std::size_t s = 0; s < count; ++s) {
        std::size_t rest = s;
        ASSERT_EQ(tuples[s].size(), L);
        for (std::size_t i = 0; i < L; ++i) {
            const std::size_t base = (i == 0) ? N_theta / 2 + 1 : N_theta;
            EXPECT_EQ(tuples[s][i], rest % base) << "tuple " << s << " index " << i;
            rest /= base;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, ThetaRangeWalk,
                         ::testing::Values(WalkCase{1, 20, 11}, WalkCase{2, 20, 220},
                                           WalkCase{3, 20, 4400}, WalkCase{2, 5, 15},
                                           WalkCase{3, 5, 75}, WalkCase{1, 1, 1},
                                           WalkCase{0, 20, 1}, WalkCase{2, 0, 0}));

TEST(ThetaRange, EndsOnLastTupleAndStaysThere) {
    const auto tuples = walk(2, 20);
    EXPECT_EQ(tuples.front(), (std::vector<std::size_t>{0, 0}));
    EXPECT_EQ(tuples[1], (std::vector<std::size_t>{1, 0}));
    EXPECT_EQ(tuples[11], (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(tuples.back(), (std::vector<std::size_t>{10, 19}));
    const ThetaRange range(1, 4);
    auto it = range.begin();
    for (int i = 0; i < 3; ++i) ++it;
    EXPECT_TRUE(it == range.end());
    ++it;
    EXPECT_TRUE(it == range.end());
}
