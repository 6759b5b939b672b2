#include <complex>

#include <Eigen/Eigenvalues>
#include <gtest/gtest.h>

#include "detail.hpp"
#include "helpers.hpp"
#include "lagsys.hpp"

using cd = std::complex<double>;

namespace {

std::vector<lagsys::detail::Pencil> small_pencils() {
    std::vector<lagsys::detail::Pencil> pencils;
    pencils.push_back(lagsys::sparse_spectral_discretization(test::lambert_system(), 10));
    pencils.push_back(lagsys::sparse_spectral_discretization(
        lagsys::lagsys(test::random_matrices(3, 3, 21), {0.0, 0.4, 1.0}), 8));
    pencils.push_back(lagsys::sparse_spectral_discretization(
        lagsys::lagsys(test::random_matrices(2, 2, 22), {0.0, 2.0}), 20));
    pencils.push_back(lagsys::sparse_spectral_discretization(
        lagsys::lagsys(test::random_matrices(4, 4, 23), {0.3, 0.0, 0.9, 0.6}), 6));
    return pencils;
}

}  // namespace

TEST(Eigensolvers, EigenvaluesOnlyQZIsBitForBitTheSame) {
    for (const auto& pencil : small_pencils()) {
        Eigen::GeneralizedEigenSolver<Eigen::MatrixXd> with_vectors;
        with_vectors.compute(pencil.first, pencil.second);
        Eigen::GeneralizedEigenSolver<Eigen::MatrixXd> values_only;
        values_only.compute(pencil.first, pencil.second, false);
        ASSERT_EQ(with_vectors.info(), Eigen::Success);
        ASSERT_EQ(values_only.betas().size(), pencil.first.rows());
        // Exact comparison, entry by entry.
        EXPECT_TRUE((with_vectors.alphas().array() == values_only.alphas().array()).all());
        EXPECT_TRUE((with_vectors.betas().array() == values_only.betas().array()).all());

        const auto candidates = lagsys::detail::pencil_candidates(pencil);
        ASSERT_EQ(static_cast<Eigen::Index>(candidates.size()), with_vectors.betas().size());
        for (Eigen::Index i = 0; i < with_vectors.betas().size(); ++i) {
            const cd a = with_vectors.alphas()(i);
            const double b = with_vectors.betas()(i);
            EXPECT_EQ(candidates[static_cast<std::size_t>(i)], cd(a.real() / b, a.imag() / b));
        }
    }
}

TEST(Eigensolvers, ConjugatePairsAreAdjacentNegativeImaginaryFirst) {
    const auto candidates = lagsys::detail::pencil_candidates(small_pencils()[1]);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].imag() < 0) {
            ASSERT_LT(i + 1, candidates.size());
            EXPECT_EQ(candidates[i + 1], std::conj(candidates[i]));
            ++i;
        } else {
            EXPECT_EQ(candidates[i].imag(), 0.0);
        }
    }
}

TEST(Eigensolvers, EmptyPencilHasNoCandidates) {
    EXPECT_TRUE(lagsys::detail::pencil_candidates({Eigen::MatrixXd(0, 0), Eigen::MatrixXd(0, 0)}).empty());
}

TEST(Eigensolvers, SingularJacobianGivesAFiniteStep) {
    std::srand(31);
    Eigen::MatrixXcd J = Eigen::MatrixXcd::Random(5, 5);
    J.col(3) = J.col(1) * cd(2.0, -1.0);
    J.col(4).setZero();
    lagsys::detail::NewtonQR qr(J);
    const Eigen::VectorXcd dx = qr.solve(Eigen::VectorXcd::Random(5));
    EXPECT_TRUE(dx.allFinite()) << dx;
}
