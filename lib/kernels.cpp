#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>

namespace lagsys::kernels {

namespace {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// (number of elements - number of cycles) mod 2 of a permutation: its parity.
int parity(const Eigen::VectorXi& perm, std::vector<char>& seen) {
    const auto n = static_cast<std::size_t>(perm.size());
    seen.assign(n, 0);
    std::size_t cycles = 0;
    for (std::size_t start = 0; start < n; ++start) {
        if (seen[start]) continue;
        ++cycles;
        for (std::size_t j = start; !seen[j]; j = static_cast<std::size_t>(perm[static_cast<Eigen::Index>(j)])) {
            seen[j] = 1;
        }
    }
    return static_cast<int>((n - cycles) % 2);
}

// Scales W by a diagonal similarity of powers of two (exact; the same eigenvalues) until its
// rows and columns have comparable norms. An unbalanced W (an entry 1e-3 beside others 1e-70, as
// exp(-r h) makes them) would lose its small Perron root to rounding of the large entries.
void balance(Eigen::MatrixXd& W) {
    const Eigen::Index n = W.rows();
    for (int sweep = 0; sweep < 200; ++sweep) {
        bool changed = false;
        for (Eigen::Index i = 0; i < n; ++i) {
            double column = W.col(i).cwiseAbs().sum() - std::abs(W(i, i));
            double row = W.row(i).cwiseAbs().sum() - std::abs(W(i, i));
            if (column == 0.0 || row == 0.0) continue;
            const double total = column + row;
            double factor = 1.0;
            while (column < 0.5 * row) {
                column *= 2.0;
                row *= 0.5;
                factor *= 2.0;
            }
            while (column >= 2.0 * row) {
                column *= 0.5;
                row *= 2.0;
                factor *= 0.5;
            }
            if (column + row < 0.95 * total) {
                W.col(i) *= factor;
                W.row(i) /= factor;
                changed = true;
            }
        }
        if (!changed) break;
    }
}

}  // namespace

void log_derivatives(const SystemView& sys, const std::complex<double>* lam, std::size_t count,
                     double* phase, std::complex<double>* trace, std::uint8_t* status) {
    if (sys.n == 0 || sys.m == 0) {
        throw std::invalid_argument("log_derivatives: a system needs at least one matrix of order >= 1");
    }
    const auto n = static_cast<Eigen::Index>(sys.n);
    std::vector<Eigen::Map<const RowMatrix>> A;
    A.reserve(sys.m);
    for (std::size_t k = 0; k < sys.m; ++k) A.emplace_back(sys.matrices + k * sys.n * sys.n, n, n);

    Eigen::MatrixXcd D(n, n), X(n, n);
    Eigen::PartialPivLU<Eigen::MatrixXcd> lu(n);
    std::vector<std::complex<double>> weight(sys.m);
    std::vector<char> seen;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < count; ++i) {
        const std::complex<double> z = lam[i];
        for (std::size_t k = 0; k < sys.m; ++k) weight[k] = std::exp(-z * sys.delays[k]);
        D.setZero();
        for (std::size_t k = 0; k < sys.m; ++k) D -= weight[k] * A[k].cast<std::complex<double>>();
        D.diagonal().array() += z;
        if (!D.allFinite()) {
            phase[i] = 0.0;
            trace[i] = {nan, nan};
            status[i] = overflow_point;
            continue;
        }
        lu.compute(D);
        const auto& U = lu.matrixLU();
        double angle = parity(lu.permutationP().indices(), seen) ? std::numbers::pi : 0.0;
        bool singular = false;
        for (Eigen::Index j = 0; j < n; ++j) {
            const std::complex<double> pivot = U(j, j);
            if (pivot == 0.0) {
                singular = true;
                break;
            }
            angle += std::arg(pivot);
        }
        if (singular) {
            phase[i] = 0.0;
            trace[i] = {inf, 0.0};
            status[i] = singular_point;
            continue;
        }
        phase[i] = std::remainder(angle, 2.0 * std::numbers::pi);
        // Delta' = I + sum_k h_k exp(-lambda h_k) A_k; trace(Delta^-1 Delta') from one solve.
        X.setIdentity();
        for (std::size_t k = 0; k < sys.m; ++k) {
            if (sys.delays[k] != 0.0) X += (sys.delays[k] * weight[k]) * A[k].cast<std::complex<double>>();
        }
        trace[i] = lu.solve(X).trace();
        status[i] = regular_point;
    }
}

double modulus_bound(const SystemView& sys, const double* norms, double r) {
    if (sys.n == 0 || sys.m == 0) {
        throw std::invalid_argument("modulus_bound: a system needs at least one matrix of order >= 1");
    }
    const auto n = static_cast<Eigen::Index>(sys.n);
    std::vector<double> weight(sys.m);
    double by_norms = 0.0;
    for (std::size_t k = 0; k < sys.m; ++k) {
        weight[k] = sys.delays[k] > 0.0 ? std::exp(-r * sys.delays[k]) : 1.0;
        by_norms += norms[k] * weight[k];
    }
    if (!std::isfinite(by_norms) || n == 1) return by_norms;
    Eigen::MatrixXd W = Eigen::MatrixXd::Zero(n, n);
    for (std::size_t k = 0; k < sys.m; ++k) {
        W += weight[k] * Eigen::Map<const RowMatrix>(sys.matrices + k * sys.n * sys.n, n, n).cwiseAbs();
    }
    balance(W);
    const Eigen::EigenSolver<Eigen::MatrixXd> solver(W, false);
    if (solver.info() != Eigen::Success) return by_norms;
    const double perron = solver.eigenvalues().cwiseAbs().maxCoeff();
    return std::min(by_norms, perron * (1.0 + 1e-12));
}

int permutation_parity(const std::int64_t* perm, std::size_t n) {
    std::vector<char> seen(n, 0);
    std::size_t cycles = 0;
    for (std::size_t start = 0; start < n; ++start) {
        if (seen[start]) continue;
        ++cycles;
        std::size_t j = start;
        do {
            seen[j] = 1;
            const std::int64_t next = perm[j];
            if (next < 0 || static_cast<std::uint64_t>(next) >= n) {
                throw std::invalid_argument("permutation_parity: entry " + std::to_string(next) +
                                            " out of range 0.." + std::to_string(n - 1));
            }
            j = static_cast<std::size_t>(next);
        } while (!seen[j]);
        if (j != start) {
            throw std::invalid_argument("permutation_parity: the entry " + std::to_string(j) +
                                        " appears twice");
        }
    }
    return static_cast<int>((n - cycles) % 2);
}

}  // namespace lagsys::kernels
