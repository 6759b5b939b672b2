// Root computation: degree estimate, spectral discretization, QZ candidates, Newton refinement.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

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
// ... or after this many updates, unless the steps still shrink.
constexpr int max_updates = 10;
// Near a multiple root Newton converges only linearly, each step this fraction or more of the one
// before (1/2 for a double root, 2/3 for a triple one); quadratic convergence shrinks it far more.
constexpr double linear_ratio = 0.2;
// A step at least this fraction of the one before no longer converges.
constexpr double stalled_ratio = 0.95;
// Past the first stop, iterating on a multiple root or a cluster ends once the step is this small
// relative to the iterate.
constexpr double cluster_step_tol = 1e-13;
// Updates allowed in all while the steps keep shrinking.
constexpr int max_converging_updates = 100;
// A root this close to the real axis, relative to max(1, |root|), is taken for a real one when it
// was reached with linearly shrinking steps (a double root is found to about 1e-8 relative).
constexpr double real_axis_tol = 1e-6;
// Below this order the start vector comes from the Jacobi SVD (which the divide-and-conquer SVD
// would call anyway), from this order on from the divide-and-conquer SVD.
constexpr Eigen::Index bdc_min_order = 16;
// A simple root that Newton on det Delta reaches from a candidate whose (lambda, v) iteration ended
// on a multiple root is another root when it lies further than this (relative) from that one: a
// double root comes back to about 1e-8.
constexpr double distinct_tol = 1e-7;
// A refined root is accepted when its last residual norm is below this.
constexpr double accept_tol = 1e-5;

using Residual = std::function<void(const Eigen::VectorXcd&, Eigen::VectorXcd&, Eigen::MatrixXcd&)>;

// No root: fails every comparison with r.
constexpr std::complex<double> no_root{std::numeric_limits<double>::quiet_NaN(), 0.0};

bool is_finite(std::complex<double> z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

}  // namespace

namespace detail {

double spectral_norm(const Eigen::MatrixXd& A) {
    if (A.size() == 0) return 0.0;
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(A);
    return svd.singularValues()(0);
}

double modulus_bound(const lagsys& sys, double r) {
    double bound = 0.0;
    for (std::size_t k = 0; k < sys.mA(); ++k) {
        const double h = sys.hA().at(k);
        bound += spectral_norm(sys.A(k)) * (h == 0.0 ? 1.0 : std::exp(-r * h));
    }
    return bound;
}

namespace {

// Each conjugate pair of a real matrix's eigenvalues with the negative imaginary part first, as the
// QZ delivers them.
void order_conjugate_pairs(Candidates& mu) {
    for (std::size_t i = 0; i + 1 < mu.size(); ++i) {
        if (mu[i].imag() > 0.0 && mu[i + 1] == std::conj(mu[i])) {
            std::swap(mu[i], mu[i + 1]);
            ++i;
        }
    }
}

// Eigenvalues of a real square matrix: the real Schur form, or the complex one when that fails.
// Throws std::runtime_error naming `what` when neither converges.
Candidates matrix_eigenvalues(const Eigen::MatrixXd& C, const char* what) {
    Eigen::EigenSolver<Eigen::MatrixXd> real_solver;
    real_solver.compute(C, false);
    if (real_solver.info() == Eigen::Success) {
        const Eigen::VectorXcd& mu = real_solver.eigenvalues();
        Candidates result(mu.data(), mu.data() + mu.size());
        order_conjugate_pairs(result);
        return result;
    }
    Eigen::ComplexEigenSolver<Eigen::MatrixXcd> complex_solver;
    complex_solver.compute(C.cast<std::complex<double>>(), false);
    if (complex_solver.info() == Eigen::Success) {
        const Eigen::VectorXcd& mu = complex_solver.eigenvalues();
        return Candidates(mu.data(), mu.data() + mu.size());
    }
    throw std::runtime_error(std::string("roots: the eigenvalue iteration did not converge for the ") +
                             what + " of order " + std::to_string(C.rows()) +
                             "; no roots could be computed");
}

}  // namespace

Candidates pencil_candidates(const Pencil& pencil) {
    const Eigen::Index M = pencil.first.rows();
    if (M == 0) return {};
    if (!pencil.first.allFinite() || !pencil.second.allFinite()) {
        throw std::overflow_error("roots: the discretization of order " + std::to_string(M) +
                                  " overflows (delays or matrix entries at the limits of double "
                                  "precision); no roots could be computed");
    }
    Eigen::GeneralizedEigenSolver<Eigen::MatrixXd> solver;
    // Eigenvalues only: the eigenvectors would be computed after, and apart from, the Schur form,
    // so skipping them leaves alpha and beta bit for bit unchanged at half the cost.
    solver.compute(pencil.first, pencil.second, false);
    const Eigen::VectorXcd& alpha = solver.alphas();
    const Eigen::VectorXd& beta = solver.betas();
    // A fresh solver holds no eigenvalues unless its QZ iteration converged.
    if (beta.size() != M) {
        // Eigen's real QZ does not converge on some pencils with defective or clustered spectra
        // (Jordan blocks in A_0, delayed couplings below the diagonal), and more iterations do not
        // help. Pi is invertible (tau > 0), so the pencil's eigenvalues are those of Pi^{-1} Sigma,
        // whose real Schur form converges on them; Newton refines every candidate anyway.
        const Eigen::MatrixXd C = pencil.second.partialPivLu().solve(pencil.first);
        if (!C.allFinite()) {
            throw std::runtime_error("roots: the eigenvalue iteration did not converge for the pencil of order " +
                                     std::to_string(M) + "; no roots could be computed");
        }
        return matrix_eigenvalues(C, "pencil");
    }
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
    if (!sum.allFinite()) {
        throw std::overflow_error("roots: the sum of the matrices overflows; no roots could be computed");
    }
    return matrix_eigenvalues(sum, "sum of the matrices");
}

namespace {

// Newton's method on det Delta: lambda -= 1 / trace(Delta(lambda)^-1 Delta'(lambda)). It needs no
// eigenvector, so it still converges (linearly) at a semisimple multiple root, where the bordered
// Jacobian of the (lambda, v) iteration is singular and its steps wander, and from a start near a
// simple root beside a multiple one it goes to the simple root. Iterates while the steps shrink, at
// most max_converging_updates times; nullopt when it leaves the finite range or runs far left of r
// (it converged elsewhere). With a known root `pole` of multiplicity `order`, the iteration runs on
// det Delta(lambda) / (lambda - pole)^order instead, which has no zero there.
struct DeterminantRoot {
    std::complex<double> lambda;
    // The last step shrank faster than linearly: the root is simple.
    bool quadratic;
};

std::optional<DeterminantRoot> determinant_newton(const lagsys& sys, std::complex<double> lambda,
                                                  double r, Eigen::MatrixXcd& D,
                                                  std::complex<double> pole = 0.0, int order = 0) {
    const Eigen::Index n = sys.n();
    Eigen::MatrixXcd Dp(n, n);
    Eigen::PartialPivLU<Eigen::MatrixXcd> lu(n);
    double step = std::numeric_limits<double>::infinity();
    double ratio = std::numeric_limits<double>::quiet_NaN();
    for (int k = 0; k < max_converging_updates; ++k) {
        characteristic_matrix(sys, lambda, D);
        Dp.setIdentity();
        for (std::size_t j = 0; j < sys.mA(); ++j) {
            const double h = sys.hA().at(j);
            if (h != 0.0) Dp += (h * std::exp(-lambda * h)) * sys.A(j).cast<std::complex<double>>();
        }
        if (!D.allFinite() || !Dp.allFinite()) return std::nullopt;
        lu.compute(D);
        std::complex<double> trace = lu.solve(Dp).trace();
        if (order > 0) trace -= static_cast<double>(order) / (lambda - pole);
        if (!is_finite(trace) || trace == 0.0) break;  // singular to working precision: a root
        const std::complex<double> dlambda = 1.0 / trace;
        const double previous = step;
        step = std::abs(dlambda);
        if (!(step < stalled_ratio * previous) && k > 0) break;
        ratio = step / previous;
        lambda -= dlambda;
        if (!is_finite(lambda) || lambda.real() < r - 1.0 - 0.1 * std::abs(lambda)) return std::nullopt;
        if (step <= cluster_step_tol * std::max(1.0, std::abs(lambda))) break;
    }
    return DeterminantRoot{lambda, ratio < linear_ratio};
}

}  // namespace

Candidates refine_candidates(const lagsys& sys, const Candidates& candidates, double r) {
    Candidates result;
    result.reserve(candidates.size());
    const Eigen::Index n = sys.n();
    if (n == 0) return result;

    Eigen::VectorXcd x(n + 1);
    Eigen::VectorXcd F(n + 1);
    Eigen::VectorXcd dx(n + 1);
    Eigen::VectorXcd x_saved(n + 1);
    // Zeroed so that binding the in-place QR (which factorizes at once) reads defined values.
    Eigen::MatrixXcd J = Eigen::MatrixXcd::Zero(n + 1, n + 1);
    Eigen::MatrixXcd D(n, n);
    // The start vector is the right singular vector of the smallest singular value. Up to order
    // 16 the divide-and-conquer SVD is the one-sided Jacobi SVD itself; above, it bidiagonalises
    // first and gives the same vector (to rounding, up to a unit factor, to which Newton's
    // iteration on (lambda, v) is indifferent) several times faster: 4x at n = 20, 7x at n = 100.
    Eigen::JacobiSVD<Eigen::MatrixXcd> jacobi_svd;
    Eigen::BDCSVD<Eigen::MatrixXcd> bdc_svd;
    const bool use_jacobi = n < bdc_min_order;
    if (use_jacobi) {
        jacobi_svd = Eigen::JacobiSVD<Eigen::MatrixXcd>(n, n, Eigen::ComputeThinV);
    } else {
        bdc_svd = Eigen::BDCSVD<Eigen::MatrixXcd>(n, n, Eigen::ComputeThinV);
    }
    NewtonQR qr(J);
    // x = (lambda, v) with v the right singular vector of D = Delta(lambda) for its smallest
    // singular value.
    const auto start_at = [&](std::complex<double> lambda) {
        x(0) = lambda;
        if (use_jacobi) {
            jacobi_svd.compute(D, Eigen::ComputeThinV);
            x.tail(n) = jacobi_svd.matrixV().col(n - 1);
        } else {
            bdc_svd.compute(D, Eigen::ComputeThinV);
            x.tail(n) = bdc_svd.matrixV().col(n - 1);
        }
    };

    // Set when a candidate of a conjugate pair reached the real axis with linearly shrinking steps:
    // the pair stands for a real double root or two real roots closer than the discretization
    // resolves. Its partner would only find the conjugate of the same point, so it starts on the
    // real axis at the mirror image of that point about the pair's centre instead.
    std::optional<std::complex<double>> partner_start;
    // For a real system every step of the refinement from the conjugate of a candidate is the
    // conjugate of the step from the candidate, to the last bit (the matrices are real; the
    // arithmetic, the SVD and the QR treat real and imaginary parts alike). The second member of a
    // conjugate pair therefore takes the conjugate of the first member's outcome instead of
    // repeating its work.
    bool leader_pending = false;
    std::optional<std::complex<double>> leader_root;
    // The simple root found beside the leader's multiple root, when there is one (NaN otherwise).
    std::complex<double> leader_beside = no_root;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        std::complex<double> lambda = candidates[c];
        const bool from_mirror = partner_start.has_value();
        if (from_mirror) lambda = *std::exchange(partner_start, std::nullopt);
        if (!from_mirror && leader_pending && lambda == std::conj(candidates[c - 1])) {
            leader_pending = false;
            if (leader_root && std::conj(*leader_root).real() >= r) result.push_back(std::conj(*leader_root));
            if (std::conj(leader_beside).real() >= r) result.push_back(std::conj(leader_beside));
            continue;
        }
        // A mirrored start is real, so it leads no pair.
        leader_pending = lambda.imag() < 0.0 && c + 1 < candidates.size() &&
                         candidates[c + 1] == std::conj(lambda);
        leader_root.reset();
        leader_beside = no_root;
        // A non-finite candidate or characteristic matrix can never pass the residual test.
        if (!is_finite(lambda)) continue;
        characteristic_matrix(sys, lambda, D);
        if (!D.allFinite()) continue;

        start_at(lambda);

        const Residual residual = [&sys](const Eigen::VectorXcd& xv, Eigen::VectorXcd& Fv,
                                         Eigen::MatrixXcd& Jv) { fun_evp(sys, xv, Fv, Jv); };
        residual(x, F, J);
        double rho = F.norm();
        int updates = 0;
        double step = std::numeric_limits<double>::infinity();
        double ratio = std::numeric_limits<double>::quiet_NaN();  // this step over the one before
        // One Newton update; J must hold the Jacobian at x.
        const auto update = [&] {
            qr.compute(J);
            dx = qr.solve(F);
            x -= dx;
            ++updates;
            const double previous = step;
            step = dx.norm();
            ratio = step / previous;
        };
        bool at_limit = false;
        while (rho > residual_tol) {
            update();
            if (step / x.norm() < step_tol) break;
            if (updates == max_updates) {
                at_limit = true;
                break;
            }
            residual(x, F, J);
            rho = F.norm();
        }

        // Near a multiple root or a cluster Newton converges only linearly and the residual falls
        // like a power of the error, so the residual test can pass with the iterate still far off.
        // The ratio of the last two steps tells: a residual below the tolerance reached with
        // linearly shrinking steps, or a limit reached while the steps still shrink. With fewer
        // than two steps made, two trial steps tell; when they show quadratic convergence they
        // are undone, so that a simple root is returned exactly as the residual test left it.
        // The mirrored start of a pair's partner (below) lies in such a cluster too: its root is
        // simple but ill-conditioned, so the residual test alone stops it early as well.
        bool multiple = from_mirror;
        if (!multiple && !at_limit && rho <= residual_tol && updates < 2) {
            x_saved = x;
            const double rho_saved = rho;
            update();
            if (updates < 2) {
                residual(x, F, J);
                update();
            }
            multiple = ratio >= linear_ratio && ratio < stalled_ratio;
            if (multiple) {
                residual(x, F, J);
                rho = F.norm();
            } else {
                x = x_saved;
                rho = rho_saved;
            }
        } else if (!multiple) {
            multiple = at_limit ? ratio < stalled_ratio
                                : rho <= residual_tol && ratio >= linear_ratio && ratio < stalled_ratio;
        }
        if (multiple && at_limit) {
            // The limit left J factorized and F at the iterate before the last update.
            residual(x, F, J);
            rho = F.norm();
        }
        // From here on every step is below stalled_ratio times the one before (the loop stops at the
        // first that is not, and undoes it), so the iterate moves less than stalled_ratio /
        // (1 - stalled_ratio) times the last step in all. An iterate that stays left of r even so
        // can never be accepted; unless it is the first member of a conjugate pair that might still
        // land on the real axis (its partner's start depends on that), it is dropped at once.
        const auto cannot_reach_bound = [&](std::complex<double> z, double last_step) {
            const double reach = last_step * (stalled_ratio / (1.0 - stalled_ratio));
            if (!(z.real() + reach < r)) return false;
            return !leader_pending ||
                   std::abs(z.imag()) - reach > real_axis_tol * std::max(1.0, std::abs(z) + reach);
        };
        bool rejected = false;
        double rate = ratio;  // of the last step that shrank
        if (multiple) {
            at_limit = false;
            for (;;) {
                if (updates == max_converging_updates) {
                    at_limit = true;
                    break;
                }
                update();
                if (!(ratio < stalled_ratio)) {
                    // Rounding level reached: the step is noise; keep the iterate before it, whose
                    // residual F and rho still hold.
                    x += dx;
                    break;
                }
                rate = ratio;
                if (cannot_reach_bound(x(0), step)) {
                    rejected = true;
                    break;
                }
                residual(x, F, J);
                rho = F.norm();
                if (step <= cluster_step_tol * x.norm()) break;
            }
        }
        if (rejected) continue;

        // An iteration stopped by a limit while its steps no longer shrink has not converged. Near
        // a semisimple multiple root (identical subsystems, symmetric couplings) that is the
        // bordered Jacobian's singularity, not a bad candidate: Newton on det Delta from the
        // candidate finds the root, and an eigenvector from the SVD there gives the residual.
        if ((at_limit && !(ratio < stalled_ratio)) || !(rho < accept_tol)) {
            const double reach = r - 0.1 * std::max(1.0, std::abs(lambda));
            if (from_mirror || !(std::max(lambda.real(), x(0).real()) >= reach)) continue;
            const auto root = determinant_newton(sys, lambda, r, D);
            if (!root) continue;
            characteristic_matrix(sys, root->lambda, D);
            start_at(root->lambda);
            residual(x, F, J);
            rho = F.norm();
            if (!(rho < accept_tol)) continue;
        }
        const std::complex<double> root = x(0);
        // On a cluster the (lambda, v) iteration follows its start vector, the singular vector of
        // the smallest singular value of Delta at the candidate. Beside a defective multiple root
        // that singular value is small to a higher order than at a simple root, so even a
        // candidate next to the simple root starts on the multiple root's vector, and every
        // candidate of the cluster ends on the multiple root. Newton on det Delta needs no vector:
        // from the candidate, and if that too ends on the multiple root then with the multiple
        // root divided out (its multiplicity m from the linear rate (m - 1) / m of the steps), it
        // finds the simple root, which is returned too.
        std::complex<double> beside = no_root;
        if (multiple && !from_mirror) {
            const double scale = std::max(1.0, std::abs(root));
            const auto distinct = [&](const std::optional<DeterminantRoot>& z) {
                return z && z->quadratic && std::abs(z->lambda - root) > distinct_tol * scale;
            };
            auto other = determinant_newton(sys, lambda, r, D);
            if (!distinct(other)) {
                const double m = rate < 1.0 ? 1.0 / (1.0 - rate) : 2.0;
                const int order = static_cast<int>(std::clamp(std::round(m), 2.0, static_cast<double>(n)));
                other = determinant_newton(sys, lambda, r, D, root, order);
                // Only a simple root of det Delta itself stays put under the plain iteration.
                if (other) other = determinant_newton(sys, other->lambda, r, D);
            }
            if (distinct(other)) {
                characteristic_matrix(sys, other->lambda, D);
                start_at(other->lambda);
                residual(x, F, J);
                if (F.norm() < accept_tol) beside = other->lambda;
            }
        }
        if (multiple && leader_pending &&
            std::abs(root.imag()) <= real_axis_tol * std::max(1.0, std::abs(root))) {
            partner_start = std::complex<double>(2.0 * lambda.real() - root.real(), 0.0);
        }
        leader_root = root;
        leader_beside = beside;
        if (root.real() >= r) result.push_back(root);
        if (beside.real() >= r) result.push_back(beside);
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
    // A root right of r has |lambda| <= sum_k ||A_k||_2 e^{-r h_k}; a bound r beyond that leaves no
    // room for one, and nothing needs computing.
    if (r > 0.0 && r > detail::modulus_bound(sys, r)) return {};
    const std::size_t N = std::min(compute_N_rhp(sys, r, degree_resolution), max_degree);
    // Without any delay the equation is an ODE whose roots are the eigenvalues of sum_k A_k. A
    // delay too small for the discretization (4/tau overflows) is as good as none: exp(-lambda h)
    // rounds to 1 for every lambda that double precision can hold with Re lambda >= r, unless r is
    // itself beyond -1e300.
    const double tau = detail::max_delay(sys);
    if (tau == 0.0 || !std::isfinite(4.0 / tau)) {
        return detail::refine_candidates(sys, detail::ode_candidates(sys), r);
    }
    const detail::Pencil pencil = sparse_spectral_discretization(sys, N);
    return detail::refine_candidates(sys, detail::pencil_candidates(pencil), r);
}

}  // namespace lagsys
