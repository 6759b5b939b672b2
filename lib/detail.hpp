// Internal helpers shared by the library's sources, the benchmarks and the tests.
#pragma once

#include <complex>
#include <cstddef>
#include <utility>
#include <vector>

#include <Eigen/Dense>
#include <Eigen/QR>

#include "lagsys.hpp"

namespace lagsys::detail {

// Throws std::out_of_range (the standard text for the first missing delay) when the system has
// fewer delays than matrices.
void require_delay_per_matrix(const lagsys& sys);

// Throws std::invalid_argument naming `who` unless every matrix is n x n, n = rows of A_0.
void require_square_terms(const lagsys& sys, const char* who);

// Every check roots() makes before computing: square matrices of one order, finite entries,
// finite non-negative delays for the paired terms. Throws std::invalid_argument.
void validate_for_roots(const lagsys& sys);

// Largest singular value of A; 0 for an empty matrix.
double spectral_norm(const Eigen::MatrixXd& A);

// sum_k ||A_k||_2 e^{-r h_k}: every characteristic root with real part >= r has at most this modulus.
double modulus_bound(const lagsys& sys, double r);

// Largest stored delay, folded from the first one (the tau of the discretization); 0 without delays.
double max_delay(const lagsys& sys);

// D = Delta(lambda) = lambda I - sum_k A_k exp(-lambda h_k); D must be n x n.
void characteristic_matrix(const lagsys& sys, std::complex<double> lambda,
                           Eigen::Ref<Eigen::MatrixXcd> D);

// Stages of roots(), exposed for the benchmarks.
using Candidates = std::vector<std::complex<double>>;
using Pencil = std::pair<Eigen::MatrixXd, Eigen::MatrixXd>;

// Generalized eigenvalues alpha_i / beta_i of the pencil in the solver's order; when the QZ does
// not converge, the eigenvalues of Pi^{-1} Sigma. Throws std::overflow_error for a non-finite pencil
// and std::runtime_error when no eigenvalue iteration converges.
Candidates pencil_candidates(const Pencil& pencil);

// Eigenvalues of sum_k A_k: the characteristic roots of a system whose delays are all zero.
Candidates ode_candidates(const lagsys& sys);

// Column-pivoting QR that factorizes the Newton Jacobian in place.
using NewtonQR = Eigen::ColPivHouseholderQR<Eigen::Ref<Eigen::MatrixXcd>>;

// Newton refinement of every candidate; keeps the refined roots with residual < 1e-5, Re >= r.
// Candidates on a multiple root or a cluster are iterated on until their steps stop shrinking.
Candidates refine_candidates(const lagsys& sys, const Candidates& candidates, double r);

}  // namespace lagsys::detail
