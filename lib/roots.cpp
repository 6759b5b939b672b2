// Root computation: degree estimate, spectral discretization, QZ candidates, Newton refinement.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <Eigen/Eigenvalues>
#include <Eigen/QR>
#include <Eigen/SVD>

#include "detail.hpp"
#include "lagsys.hpp"

namespace lagsys {

namespace {

// The discretization degree never exceeds this.
constexpr std::size_t max_degree = 100;
// Angular resolution of the degree estimate.
constexpr std::size_t degree_resolution = 20;
// Newton stops once the residual norm is at most this ...
constexpr double residual_tol = 1e-10;
// ... or the step is this small relative to the iterate ...
constexpr double step_tol = 1e-10;
// ... or after this many updates.
constexpr int max_updates = 10;
// A refined root is accepted when its last residual norm is below this.
constexpr double accept_tol = 1e-5;

using Residual = std::function<void(const Eigen::VectorXcd&, Eigen::VectorXcd&, Eigen::MatrixXcd&)>;

bool is_finite(std::complex<double> z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

}  // namespace

namespace detail {

Candidates pencil_candidates(const Pencil& pencil) {
    if (pencil.first.size() == 0) return {};
    Eigen::GeneralizedEigenSolver<Eigen::MatrixXd> solver;
    // Eigenvalues only: the eigenvectors would be computed after, and apart from, the Schur form,
    // so skipping them leaves alpha and beta bit for bit unchanged at half the cost.
    solver.compute(pencil.first, pencil.second, false);
    const Eigen::VectorXcd& alpha = solver.alphas();
    const Eigen::VectorXd& beta = solver.betas();
    Candidates candidates(static_cast<std::size_t>(beta.size()));
    for (Eigen::Index i = 0; i < beta.size(); ++i) {
        // A complex number divided by a real one, part by part.
        candidates[static_cast<std::size_t>(i)] = {alpha(i).real() / beta(i), alpha(i).imag() / beta(i)};
    }
    return candidates;
}

Candidates ode_candidates(const lagsys& sys) {
    const Eigen::Index n = sys.n();
    if (n == 0) return {};  // Eigen's real Schur form does not handle an empty matrix
    Eigen::MatrixXd sum = Eigen::MatrixXd::Zero(n, n);
    for (std::size_t k = 0; k < sys.mA(); ++k) sum += sys.A(k);
    Eigen::EigenSolver<Eigen::MatrixXd> solver;
    solver.compute(sum, false);
    if (solver.info() != Eigen::Success) return {};
    const Eigen::VectorXcd& mu = solver.eigenvalues();
    return Candidates(mu.data(), mu.data() + mu.size());
}

Candidates refine_candidates(const lagsys& sys, const Candidates& candidates, double r) {
    Candidates result;
    result.reserve(candidates.size());
    const Eigen::Index n = sys.n();
    if (n == 0) return result;

    Eigen::VectorXcd x(n + 1);
    Eigen::VectorXcd F(n + 1);
    Eigen::VectorXcd dx(n + 1);
    // Zeroed so that binding the in-place QR (which factorizes at once) reads defined values.
    Eigen::MatrixXcd J = Eigen::MatrixXcd::Zero(n + 1, n + 1);
    Eigen::MatrixXcd D(n, n);
    Eigen::JacobiSVD<Eigen::MatrixXcd> svd(n, n, Eigen::ComputeThinV);
    NewtonQR qr(J);

    for (const std::complex<double> lambda : candidates) {
        // A non-finite candidate or characteristic matrix can never pass the residual test.
        if (!is_finite(lambda)) continue;
        characteristic_matrix(sys, lambda, D);
        if (!D.allFinite()) continue;

        x(0) = lambda;
        svd.compute(D, Eigen::ComputeThinV);
        x.tail(n) = svd.matrixV().col(n - 1);

        const Residual residual = [&sys](const Eigen::VectorXcd& xv, Eigen::VectorXcd& Fv,
                                         Eigen::MatrixXcd& Jv) { fun_evp(sys, xv, Fv, Jv); };
        residual(x, F, J);
        double rho = F.norm();
        for (int left = max_updates; rho > residual_tol;) {
            qr.compute(J);
            dx = qr.solve(F);
            x -= dx;
            if (dx.norm() / x.norm() < step_tol) break;
            if (--left == 0) break;
            residual(x, F, J);
            rho = F.norm();
        }

        if (rho < accept_tol && x(0).real() >= r) result.push_back(x(0));
    }
    return result;
}

}  // namespace detail

std::vector<std::complex<double>> roots(const lagsys& sys, double r) {
    if (std::isnan(r) || r == -std::numeric_limits<double>::infinity()) {
        throw std::invalid_argument("roots: the bound r must be a number greater than -inf, got " +
                                    std::to_string(r));
    }
    detail::validate_for_roots(sys);
    if (sys.hA().size() > sys.mA()) {
        // Delays without a matrix belong to no term, but would stretch the discretization
        // interval: compute for the same system without them.
        const std::vector<double> paired(sys.hA().begin(), sys.hA().begin() + static_cast<std::ptrdiff_t>(sys.mA()));
        std::vector<Eigen::MatrixXd> A;
        A.reserve(sys.mA());
        for (std::size_t k = 0; k < sys.mA(); ++k) A.push_back(sys.A(k));
        return roots(lagsys(std::move(A), paired), r);
    }
    const std::size_t N = std::min(compute_N_rhp(sys, r, degree_resolution), max_degree);
    // Without any delay the equation is an ODE whose roots are the eigenvalues of sum_k A_k.
    if (detail::max_delay(sys) == 0.0) {
        return detail::refine_candidates(sys, detail::ode_candidates(sys), r);
    }
    const detail::Pencil pencil = sparse_spectral_discretization(sys, N);
    return detail::refine_candidates(sys, detail::pencil_candidates(pencil), r);
}

}  // namespace lagsys
