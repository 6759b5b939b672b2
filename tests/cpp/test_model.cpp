#include <cmath>
#include <complex>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "lagsys.hpp"

using cd = std::complex<double>;
using test::scalar;
using test::scalar_system;

namespace {

// Message of a std::out_of_range thrown by f, or "" when none is thrown.
template <typename F>
std::string out_of_range_text(F&& f) {
    try {
        f();
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "";
}

std::string range_text(std::size_t k, std::size_t size) {
    return "vector::_M_range_check: __n (which is " + std::to_string(k) +
           ") >= this->size() (which is " + std::to_string(size) + ")";
}

}  // namespace

TEST(Model, EmptySystem) {
    const lagsys::lagsys sys({}, {});
    EXPECT_EQ(sys.mA(), 0u);
    EXPECT_EQ(sys.n(), 0);
    EXPECT_EQ(out_of_range_text([&] { (void)sys.A(0); }), range_text(0, 0));
}

TEST(Model, OrderIsRowsOfFirstMatrix) {
    const lagsys::lagsys wide({Eigen::MatrixXd::Zero(2, 3)}, {0.0});
    EXPECT_EQ(wide.n(), 2);
    const lagsys::lagsys mixed({Eigen::MatrixXd::Zero(3, 3), Eigen::MatrixXd::Zero(5, 5)}, {0.0});
    EXPECT_EQ(mixed.n(), 3);
    EXPECT_EQ(mixed.mA(), 2u);
    EXPECT_EQ(mixed.hA().size(), 1u);
}

TEST(Model, AccessorsReturnStoredData) {
    const Eigen::MatrixXd A1 = (Eigen::MatrixXd(2, 2) << 1, 2, 3, 4).finished();
    const lagsys::lagsys sys({Eigen::MatrixXd::Zero(2, 2), A1}, {0.0, 1.5, 7.0});
    EXPECT_EQ(sys.A(1), A1);
    EXPECT_EQ(sys.hA(), (std::vector<double>{0.0, 1.5, 7.0}));
    EXPECT_EQ(out_of_range_text([&] { (void)sys.A(2); }), range_text(2, 2));
}

TEST(Model, CopyIsIndependent) {
    const lagsys::lagsys source({scalar(1.0)}, {0.5});
    lagsys::lagsys copy = source;
    const_cast<Eigen::MatrixXd&>(copy.A(0))(0, 0) = 9.0;
    EXPECT_EQ(source.A(0)(0, 0), 1.0);
    EXPECT_NE(source.A(0).data(), copy.A(0).data());
}

TEST(Model, MoveLeavesSourceEmpty) {
    lagsys::lagsys source({scalar(1.0), scalar(2.0)}, {0.0, 1.0});
    const double* storage = source.A(1).data();
    const lagsys::lagsys target = std::move(source);
    EXPECT_EQ(source.mA(), 0u);
    EXPECT_EQ(source.n(), 0);
    EXPECT_TRUE(source.hA().empty());
    EXPECT_EQ(target.A(1).data(), storage);
}

// --- residual and Jacobian of the nonlinear eigenproblem -------------------------------------

namespace {

struct Evp {
    Eigen::VectorXcd F;
    Eigen::MatrixXcd J;
};

Evp evaluate(const lagsys::lagsys& sys, const Eigen::VectorXcd& x) {
    Evp r{Eigen::VectorXcd::Constant(x.size(), cd(7, 7)), Eigen::MatrixXcd::Constant(x.size(), x.size(), cd(7, 7))};
    lagsys::fun_evp(sys, x, r.F, r.J);
    return r;
}

constexpr double tight = 1e-14;

}  // namespace

TEST(FunEvp, NoMatrices) {
    const Evp r = evaluate(lagsys::lagsys({}, {}), Eigen::VectorXcd::Constant(1, cd(2, 1)));
    EXPECT_EQ(r.F(0), cd(-1, 0));
    EXPECT_EQ(r.J(0, 0), cd(0, 0));
}

TEST(FunEvp, ScalarExample) {
    const cd lambda(0.3, -0.7);
    const Eigen::VectorXcd x = (Eigen::VectorXcd(2) << lambda, 1.0).finished();
    const Evp r = evaluate(test::lambert_system(), x);
    const cd e = std::exp(-lambda);
    EXPECT_EIGEN_NEAR(r.F, (Eigen::VectorXcd(2) << lambda + e, 0.0).finished(), tight);
    const Eigen::MatrixXcd J = (Eigen::MatrixXcd(2, 2) << 1.0 - e, lambda + e, 0.0, 2.0).finished();
    EXPECT_EIGEN_NEAR(r.J, J, tight);
}

TEST(FunEvp, MatchesFiniteDifferences) {
    const lagsys::lagsys sys(test::random_matrices(3, 3, 11), {0.0, 0.4, 1.3});
    Eigen::VectorXcd x = Eigen::VectorXcd::Random(4);
    const Evp r = evaluate(sys, x);
    constexpr double step = 1e-7;
    for (Eigen::Index j = 0; j < 4; ++j) {
        // The residual is holomorphic in lambda and v except for the normalisation row.
        Eigen::VectorXcd xp = x;
        xp(j) += step;
        const Evp rp = evaluate(sys, xp);
        const Eigen::VectorXcd dF = (rp.F - r.F) / step;
        EXPECT_EIGEN_NEAR(dF.head(3), r.J.col(j).head(3), 1e-5) << "column " << j;
        if (j > 0) {
            EXPECT_NEAR(dF(3).real(), 2.0 * x(j).real(), 1e-5);
        }
    }
    EXPECT_EQ(r.J(3, 0), cd(0, 0));
    for (Eigen::Index i = 0; i < 3; ++i) EXPECT_EQ(r.J(3, 1 + i), 2.0 * std::conj(x(1 + i)));
}

TEST(FunEvp, ZeroDelayAddsNoDerivative) {
    const lagsys::lagsys sys({scalar(-2.0)}, {0.0});
    const Evp r = evaluate(sys, (Eigen::VectorXcd(2) << cd(1, 1), 1.0).finished());
    EXPECT_EQ(r.J(0, 0), cd(1, 0));          // Delta' = I
    EXPECT_EQ(r.J(0, 1), cd(3, 1));          // lambda + 2
}

TEST(FunEvp, ExtraDelaysAreIgnored) {
    const Eigen::VectorXcd x = (Eigen::VectorXcd(2) << cd(0.2, 0.5), 0.6).finished();
    const Evp a = evaluate(test::lambert_system(), x);
    const Evp b = evaluate(scalar_system({0.0, -1.0}, {0.0, 1.0, 3.0, -4.0}), x);
    EXPECT_EQ(a.F, b.F);
    EXPECT_EQ(a.J, b.J);
}

TEST(FunEvp, ZeroResidualAtExactRoot) {
    // x' = diag(-1, -2) x(t): lambda = -1 with v = e_1.
    const lagsys::lagsys sys({(Eigen::MatrixXd(2, 2) << -1, 0, 0, -2).finished()}, {0.0});
    const Evp r = evaluate(sys, (Eigen::VectorXcd(3) << -1.0, 1.0, 0.0).finished());
    EXPECT_EQ(r.F, Eigen::VectorXcd::Zero(3));
}

TEST(FunEvp, UnnormalisedVector) {
    const lagsys::lagsys sys({Eigen::MatrixXd::Identity(2, 2)}, {0.0});
    const Evp r = evaluate(sys, (Eigen::VectorXcd(3) << 0.0, cd(0, 2), 0.0).finished());
    EXPECT_EQ(r.F(2), cd(3, 0));
}

TEST(FunEvp, FewerDelaysThanMatrices) {
    const lagsys::lagsys sys({scalar(1.0), scalar(2.0)}, {0.0});
    Eigen::VectorXcd F(2);
    Eigen::MatrixXcd J(2, 2);
    EXPECT_EQ(out_of_range_text([&] { lagsys::fun_evp(sys, Eigen::VectorXcd::Ones(2), F, J); }),
              range_text(1, 1));
}

TEST(FunEvp, RejectsWrongSizes) {
    const lagsys::lagsys sys = test::lambert_system();
    Eigen::VectorXcd F2(2), F3(3);
    Eigen::MatrixXcd J2(2, 2), J3(3, 3);
    const Eigen::VectorXcd x2 = Eigen::VectorXcd::Ones(2), x1 = Eigen::VectorXcd::Ones(1);
    EXPECT_THROW(lagsys::fun_evp(sys, x1, F2, J2), std::invalid_argument);
    EXPECT_THROW(lagsys::fun_evp(sys, x2, F3, J2), std::invalid_argument);
    EXPECT_THROW(lagsys::fun_evp(sys, x2, F2, J3), std::invalid_argument);
    const lagsys::lagsys unequal({scalar(1.0), Eigen::MatrixXd::Zero(2, 2)}, {0.0, 1.0});
    EXPECT_THROW(lagsys::fun_evp(unequal, x2, F2, J2), std::invalid_argument);
}
