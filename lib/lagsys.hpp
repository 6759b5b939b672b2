// Characteristic roots of linear retarded time-delay systems
//   dx/dt = sum_k A_k x(t - h_k),
// i.e. the solutions of det(lambda I - sum_k A_k exp(-lambda h_k)) = 0.
#pragma once

#include <complex>
#include <cstddef>
#include <utility>
#include <vector>

#include <Eigen/Dense>

namespace lagsys {

// A delay system: matrices A_0 ... A_{m-1} paired by index with delays h_0 ... h_{m-1}.
// A passive container; nothing is validated at construction.
class lagsys {
public:
    // Takes both vectors by value and moves them in.
    lagsys(std::vector<Eigen::MatrixXd> A, std::vector<double> hA);

    // Number of matrices m.
    std::size_t mA() const { return A_.size(); }

    // Order of the system: rows of A_0, or 0 without matrices.
    Eigen::Index n() const { return A_.empty() ? 0 : A_.at(0).rows(); }

    // The k-th matrix. Throws std::out_of_range when k >= mA().
    const Eigen::MatrixXd& A(std::size_t k) const { return A_.at(k); }

    // All stored delays (possibly more or fewer than mA()).
    const std::vector<double>& hA() const { return hA_; }

private:
    std::vector<Eigen::MatrixXd> A_;
    std::vector<double> hA_;
};

// Residual F and Jacobian J of the nonlinear eigenproblem Delta(lambda) v = 0, v^H v = 1 at
// x = (lambda, v): F = (Delta(lambda) v, v^H v - 1), J = [Delta'(lambda) v, Delta(lambda); 0, 2 v^H].
// x, F and J must have n+1 entries ((n+1)x(n+1) for J); they are not resized.
// Throws std::invalid_argument for other sizes or matrices that are not n x n, and
// std::out_of_range when there are fewer delays than matrices.
void fun_evp(const lagsys& sys, const Eigen::VectorXcd& x, Eigen::VectorXcd& F, Eigen::MatrixXcd& J);

// Sample matrix of the degree estimate with one phase angle per delayed term:
// M = e^{-(r+s) h_0} A_0 - r I + sum_{k>=1} e^{-(r+s) h_k} e^{i theta_k} A_k,
// theta_k = 2 pi indices[k-1] / N_theta. M is resized to n x n.
// Throws std::out_of_range for missing matrices or delays, std::invalid_argument for matrices
// that are not n x n, fewer than m-1 indices or N_theta = 0.
void create_matrix(const lagsys& sys, Eigen::MatrixXcd& M, double r, double s,
                   const std::vector<std::size_t>& indices, std::size_t N_theta);

// Sample matrix with a single angle theta = 2 pi j / N_theta: every delay is rounded to a multiple
// q_k of h_max/20 and term k turns by q_k theta (all q_k are 0 when h_max = 0).
// Throws as the multi-angle overload.
void create_matrix(const lagsys& sys, Eigen::MatrixXcd& M, double r, double s, std::size_t j,
                   std::size_t N_theta);

// Degree N (>= 5) of the spectral discretization that captures the roots with real part >= r,
// estimated on a grid of N_theta phase angles. A first term with a nonzero delay is handled by
// estimating for the same system with a zero-delay term in front.
// Throws std::length_error without matrices, std::out_of_range with fewer delays than matrices,
// std::invalid_argument for N_theta = 0 or matrices that are not n x n.
std::size_t compute_N_rhp(const lagsys& sys, double r, std::size_t N_theta);

// The two grids of compute_N_rhp: single_angle = false walks one angle per delayed term
// (compute_N_rhp uses it up to four matrices), true one common angle with rounded delays.
template <bool single_angle>
std::size_t compute_N_rhp_impl(const lagsys& sys, double r, std::size_t N_theta);

extern template std::size_t compute_N_rhp_impl<false>(const lagsys&, double, std::size_t);
extern template std::size_t compute_N_rhp_impl<true>(const lagsys&, double, std::size_t);

// Chebyshev spectral discretization of degree N on [-tau, 0]: the pencil (Sigma_N, Pi_N) of order
// n(N+1), whose generalized eigenvalues Sigma_N z = lambda Pi_N z approximate characteristic roots.
// Throws std::invalid_argument for N = 0, no delays, fewer delays than matrices or matrices that
// are not n x n; std::bad_alloc when the pencil cannot be allocated.
std::pair<Eigen::MatrixXd, Eigen::MatrixXd> sparse_spectral_discretization(const lagsys& sys,
                                                                           std::size_t N);

// Characteristic roots with real part >= r, Newton-refined to a residual below 1e-5 (iterated on
// while the steps still shrink, so that multiple roots converge), in the order of the eigen-solver's
// candidates (conjugates as two entries, duplicates possible). Delays beyond the matrices are
// ignored; a largest delay too small for the discretization (4/tau overflows) counts as none.
// Throws std::invalid_argument for r NaN or -inf, non-square or unequal matrices, non-finite
// entries and negative or non-finite delays; std::length_error without matrices;
// std::out_of_range with fewer delays than matrices; std::overflow_error when the discretization
// overflows; std::runtime_error when no eigenvalue iteration converges on it.
std::vector<std::complex<double>> roots(const lagsys& sys, double r);

}  // namespace lagsys
