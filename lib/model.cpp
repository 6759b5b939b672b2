#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "detail.hpp"
#include "lagsys.hpp"

namespace lagsys {

lagsys::lagsys(std::vector<Eigen::MatrixXd> A, std::vector<double> hA)
    : A_(std::move(A)), hA_(std::move(hA)) {}

namespace detail {

namespace {

std::string shape_text(const Eigen::MatrixXd& A) {
    return std::to_string(A.rows()) + "x" + std::to_string(A.cols());
}

}  // namespace

void require_delay_per_matrix(const lagsys& sys) {
    const auto& h = sys.hA();
    if (h.size() < sys.mA()) {
        // The checked access to the first missing delay raises the standard library's own text.
        (void)h.at(h.size());
    }
}

void require_square_terms(const lagsys& sys, const char* who) {
    const Eigen::Index n = sys.n();
    for (std::size_t k = 0; k < sys.mA(); ++k) {
        const Eigen::MatrixXd& A = sys.A(k);
        if (A.rows() != n || A.cols() != n) {
            throw std::invalid_argument(std::string(who) + ": matrix A(" + std::to_string(k) +
                                        ") has shape " + shape_text(A) + ", expected " +
                                        std::to_string(n) + "x" + std::to_string(n) +
                                        " (square, of the order of A(0))");
        }
    }
}

void validate_for_roots(const lagsys& sys) {
    require_square_terms(sys, "roots");
    const std::size_t m = sys.mA();
    for (std::size_t k = 0; k < m; ++k) {
        const Eigen::MatrixXd& A = sys.A(k);
        for (Eigen::Index j = 0; j < A.cols(); ++j) {
            for (Eigen::Index i = 0; i < A.rows(); ++i) {
                if (!std::isfinite(A(i, j))) {
                    throw std::invalid_argument(
                        "roots: matrix A(" + std::to_string(k) + ") has a non-finite entry " +
                        std::to_string(A(i, j)) + " at (" + std::to_string(i) + ", " +
                        std::to_string(j) + ")");
                }
            }
        }
    }
    const auto& h = sys.hA();
    const std::size_t paired = std::min(m, h.size());
    for (std::size_t k = 0; k < paired; ++k) {
        if (!std::isfinite(h[k]) || h[k] < 0.0) {
            throw std::invalid_argument("roots: delay hA[" + std::to_string(k) + "] = " +
                                        std::to_string(h[k]) +
                                        " must be finite and non-negative");
        }
    }
}

double max_delay(const lagsys& sys) {
    const auto& h = sys.hA();
    if (h.empty()) return 0.0;
    double tau = h.front();
    for (const double d : h) {
        if (d > tau) tau = d;
    }
    return tau;
}

namespace {

// exp(-lambda h), part by part.
std::complex<double> delay_factor(std::complex<double> lambda, double h) {
    return std::exp(std::complex<double>(-lambda.real() * h, -lambda.imag() * h));
}

}  // namespace

void characteristic_matrix(const lagsys& sys, std::complex<double> lambda,
                           Eigen::Ref<Eigen::MatrixXcd> D) {
    const Eigen::Index n = D.rows();
    for (Eigen::Index b = 0; b < n; ++b) {
        for (Eigen::Index a = 0; a < n; ++a) D(a, b) = (a == b) ? lambda : lambda * 0.0;
    }
    const std::size_t m = sys.mA();
    for (std::size_t k = 0; k < m; ++k) {
        const std::complex<double> e = delay_factor(lambda, sys.hA().at(k));
        const Eigen::MatrixXd& A = sys.A(k);
        for (Eigen::Index b = 0; b < n; ++b) {
            for (Eigen::Index a = 0; a < n; ++a) D(a, b) -= A(a, b) * e;
        }
    }
}

}  // namespace detail

void fun_evp(const lagsys& sys, const Eigen::VectorXcd& x, Eigen::VectorXcd& F, Eigen::MatrixXcd& J) {
    const Eigen::Index n = sys.n();
    const std::size_t m = sys.mA();
    detail::require_square_terms(sys, "fun_evp");
    if (x.size() != n + 1 || F.size() != n + 1 || J.rows() != n + 1 || J.cols() != n + 1) {
        throw std::invalid_argument(
            "fun_evp: expected x and F of size " + std::to_string(n + 1) + " and J of size " +
            std::to_string(n + 1) + "x" + std::to_string(n + 1) + ", got x " +
            std::to_string(x.size()) + ", F " + std::to_string(F.size()) + ", J " +
            std::to_string(J.rows()) + "x" + std::to_string(J.cols()));
    }

    const std::complex<double> lambda = x(0);
    const auto v = x.tail(n);

    // Columns 1 ... n hold Delta(lambda); column 0 collects
    // Delta'(lambda) v = v + sum_k h_k e^{-lambda h_k} A_k v, its row sums running over b in
    // ascending order as a column-wise accumulation into a zeroed vector would.
    detail::characteristic_matrix(sys, lambda, J.block(0, 1, n, n));
    for (Eigen::Index a = 0; a < n; ++a) J(a, 0) = v(a);
    for (std::size_t k = 0; k < m; ++k) {
        const double h = sys.hA().at(k);
        const std::complex<double> e = detail::delay_factor(lambda, h);
        const Eigen::MatrixXd& A = sys.A(k);
        for (Eigen::Index a = 0; a < n; ++a) {
            std::complex<double> t = 0.0;
            for (Eigen::Index b = 0; b < n; ++b) t += A(a, b) * v(b);
            J(a, 0) += e * (h * t);
        }
    }

    // F = Delta(lambda) v from the finished block.
    for (Eigen::Index a = 0; a < n; ++a) {
        std::complex<double> t = 0.0;
        for (Eigen::Index b = 0; b < n; ++b) t += J(a, 1 + b) * v(b);
        F(a) = t;
    }

    double norm2 = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) norm2 += v(i).real() * v(i).real() + v(i).imag() * v(i).imag();
    F(n) = std::complex<double>(norm2 - 1.0, 0.0);

    J(n, 0) = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) J(n, 1 + i) = std::complex<double>(2.0 * v(i).real(), -2.0 * v(i).imag());
}

}  // namespace lagsys
