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

namespace {

// One point of log_derivatives on the augmented rows G = [Delta | Delta'] (n x 2n, row-major, real
// and imaginary parts apart, so that every inner loop is a contiguous real loop the compiler
// vectorizes). Gaussian elimination with partial pivoting on G gives U and, in its right half,
// Z = L^-1 P Delta'; then trace(Delta^-1 Delta') = trace(U^-1 Z), row i of U^-1 (by a substitution
// along U's rows) against column i of Z. About n^3 complex multiply-adds, a quarter fewer than a
// factorization followed by a solve with n right-hand sides.
struct Augmented {
    std::size_t n;
    std::vector<double> re, im, inv_re, inv_im, y_re, y_im;

    explicit Augmented(std::size_t order)
        : n(order), re(2 * order * order), im(2 * order * order), inv_re(order), inv_im(order),
          y_re(order), y_im(order) {}

    // Delta(z) = z I - sum_k w_k A_k and Delta'(z) = I + sum_k h_k w_k A_k, w_k = exp(-z h_k).
    void form(const SystemView& sys, std::complex<double> z, const std::vector<std::complex<double>>& weight) {
        const std::size_t w2 = 2 * n;
        std::fill(re.begin(), re.end(), 0.0);
        std::fill(im.begin(), im.end(), 0.0);
        for (std::size_t k = 0; k < sys.m; ++k) {
            const double* A = sys.matrices + k * n * n;
            const double wr = weight[k].real(), wi = weight[k].imag();
            const double cr = sys.delays[k] * wr, ci = sys.delays[k] * wi;
            for (std::size_t i = 0; i < n; ++i) {
                double* dr = re.data() + i * w2;
                double* di = im.data() + i * w2;
                const double* a = A + i * n;
                for (std::size_t j = 0; j < n; ++j) {
                    dr[j] -= wr * a[j];
                    di[j] -= wi * a[j];
                    dr[n + j] += cr * a[j];
                    di[n + j] += ci * a[j];
                }
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            re[i * w2 + i] += z.real();
            im[i * w2 + i] += z.imag();
            re[i * w2 + n + i] += 1.0;
        }
    }

    bool delta_finite() const {
        const std::size_t w2 = 2 * n;
        bool finite = true;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                finite = finite && std::isfinite(re[i * w2 + j]) && std::isfinite(im[i * w2 + j]);
            }
        }
        return finite;
    }

    // Eliminates; returns the point's status and sets angle = arg det Delta (unreduced).
    std::uint8_t eliminate(double& angle) {
        const std::size_t w2 = 2 * n;
        bool odd = false;
        angle = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            std::size_t best = j;
            double size = std::abs(re[j * w2 + j]) + std::abs(im[j * w2 + j]);
            for (std::size_t i = j + 1; i < n; ++i) {
                const double s = std::abs(re[i * w2 + j]) + std::abs(im[i * w2 + j]);
                if (s > size) {
                    size = s;
                    best = i;
                }
            }
            if (!std::isfinite(size)) return overflow_point;  // the elimination itself overflowed
            if (size == 0.0) return singular_point;
            if (best != j) {
                odd = !odd;
                std::swap_ranges(re.begin() + static_cast<std::ptrdiff_t>(j * w2 + j),
                                 re.begin() + static_cast<std::ptrdiff_t>((j + 1) * w2),
                                 re.begin() + static_cast<std::ptrdiff_t>(best * w2 + j));
                std::swap_ranges(im.begin() + static_cast<std::ptrdiff_t>(j * w2 + j),
                                 im.begin() + static_cast<std::ptrdiff_t>((j + 1) * w2),
                                 im.begin() + static_cast<std::ptrdiff_t>(best * w2 + j));
            }
            const std::complex<double> pivot(re[j * w2 + j], im[j * w2 + j]);
            angle += std::arg(pivot);
            const std::complex<double> inv = 1.0 / pivot;
            inv_re[j] = inv.real();
            inv_im[j] = inv.imag();
            const double* ur = re.data() + j * w2;
            const double* ui = im.data() + j * w2;
            for (std::size_t i = j + 1; i < n; ++i) {
                double* rr = re.data() + i * w2;
                double* ri = im.data() + i * w2;
                const double lr = rr[j] * inv.real() - ri[j] * inv.imag();
                const double li = rr[j] * inv.imag() + ri[j] * inv.real();
                if (lr == 0.0 && li == 0.0) continue;
                for (std::size_t c = j + 1; c < w2; ++c) {
                    rr[c] -= lr * ur[c] - li * ui[c];
                    ri[c] -= lr * ui[c] + li * ur[c];
                }
            }
        }
        if (odd) angle += std::numbers::pi;
        return regular_point;
    }

    // trace(U^-1 Z) after eliminate().
    std::complex<double> trace() {
        const std::size_t w2 = 2 * n;
        double sum_re = 0.0, sum_im = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            std::fill(y_re.begin() + static_cast<std::ptrdiff_t>(i), y_re.end(), 0.0);
            std::fill(y_im.begin() + static_cast<std::ptrdiff_t>(i), y_im.end(), 0.0);
            y_re[i] = 1.0;
            for (std::size_t k = i; k < n; ++k) {
                // y_k of the row vector e_i^T U^-1, then its part in the later entries.
                const double vr = y_re[k] * inv_re[k] - y_im[k] * inv_im[k];
                const double vi = y_re[k] * inv_im[k] + y_im[k] * inv_re[k];
                const double* ur = re.data() + k * w2;
                const double* ui = im.data() + k * w2;
                for (std::size_t c = k + 1; c < n; ++c) {
                    y_re[c] -= vr * ur[c] - vi * ui[c];
                    y_im[c] -= vr * ui[c] + vi * ur[c];
                }
                const double zr = ur[n + i], zi = ui[n + i];
                sum_re += vr * zr - vi * zi;
                sum_im += vr * zi + vi * zr;
            }
        }
        return {sum_re, sum_im};
    }
};

}  // namespace

void log_derivatives(const SystemView& sys, const std::complex<double>* lam, std::size_t count,
                     double* phase, std::complex<double>* trace, std::uint8_t* status) {
    if (sys.n == 0 || sys.m == 0) {
        throw std::invalid_argument("log_derivatives: a system needs at least one matrix of order >= 1");
    }
    Augmented G(sys.n);
    std::vector<std::complex<double>> weight(sys.m);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < count; ++i) {
        const std::complex<double> z = lam[i];
        for (std::size_t k = 0; k < sys.m; ++k) weight[k] = std::exp(-z * sys.delays[k]);
        G.form(sys, z, weight);
        double angle = 0.0;
        status[i] = G.delta_finite() ? G.eliminate(angle) : overflow_point;
        phase[i] = 0.0;
        if (status[i] == overflow_point) {
            trace[i] = {nan, nan};
        } else if (status[i] == singular_point) {
            trace[i] = {inf, 0.0};
        } else {
            phase[i] = std::remainder(angle, 2.0 * std::numbers::pi);
            trace[i] = G.trace();
        }
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

namespace {

// Points per sweep over T: each entry of T, read once, serves this many points (T of order 1000
// is 16 MB: one sweep per point would be bound by memory traffic).
constexpr std::size_t low_rank_batch = 8;

// For the w = points * r columns of one batch (column q = p r + c: point p, column c of U), by back
// substitution in one sweep over the rows of T:
//     Y = (lambda_p I - T)^-1 U,   X = (lambda_p I - T)^-1 Y,
// real and imaginary parts apart, row-major (n x w). pole[p] is set where lambda_p equals a
// diagonal entry of T (that point's columns are then meaningless but finite).
void shifted_back_substitution(const LowRankView& sys, const std::complex<double>* lam, std::size_t points,
                               std::vector<double>& Yr, std::vector<double>& Yi, std::vector<double>& Xr,
                               std::vector<double>& Xi, std::vector<char>& pole) {
    const std::size_t n = sys.n, r = sys.r, w = points * r;
    Yr.assign(n * w, 0.0);
    Yi.assign(n * w, 0.0);
    Xr.assign(n * w, 0.0);
    Xi.assign(n * w, 0.0);
    pole.assign(points, 0);
    std::vector<double> yr(w), yi(w), xr(w), xi(w);
    for (std::size_t j = n; j-- > 0;) {
        const std::complex<double>* row = sys.T + j * n;
        for (std::size_t p = 0; p < points; ++p) {
            for (std::size_t c = 0; c < r; ++c) {
                yr[p * r + c] = sys.U[j * r + c].real();
                yi[p * r + c] = sys.U[j * r + c].imag();
            }
        }
        std::fill(xr.begin(), xr.end(), 0.0);
        std::fill(xi.begin(), xi.end(), 0.0);
        for (std::size_t i = j + 1; i < n; ++i) {
            const double tr = row[i].real(), ti = row[i].imag();
            const double* Yri = Yr.data() + i * w;
            const double* Yii = Yi.data() + i * w;
            const double* Xri = Xr.data() + i * w;
            const double* Xii = Xi.data() + i * w;
            for (std::size_t q = 0; q < w; ++q) {
                yr[q] += tr * Yri[q] - ti * Yii[q];
                yi[q] += tr * Yii[q] + ti * Yri[q];
                xr[q] += tr * Xri[q] - ti * Xii[q];
                xi[q] += tr * Xii[q] + ti * Xri[q];
            }
        }
        for (std::size_t p = 0; p < points; ++p) {
            std::complex<double> pivot = lam[p] - row[j];
            if (pivot == 0.0) {
                pole[p] = 1;
                pivot = 1.0;
            }
            const std::complex<double> inverse = 1.0 / pivot;
            for (std::size_t c = 0; c < r; ++c) {
                const std::size_t q = p * r + c;
                const std::complex<double> y = std::complex<double>(yr[q], yi[q]) * inverse;
                const std::complex<double> x = (std::complex<double>(xr[q], xi[q]) + y) * inverse;
                Yr[j * w + q] = y.real();
                Yi[j * w + q] = y.imag();
                Xr[j * w + q] = x.real();
                Xi[j * w + q] = x.imag();
            }
        }
    }
}

}  // namespace

void low_rank_log_derivatives(const LowRankView& sys, const std::complex<double>* lam, std::size_t count,
                              double* phase, std::complex<double>* trace, std::uint8_t* status) {
    if (sys.n == 0) throw std::invalid_argument("low_rank_log_derivatives: order n must be >= 1");
    const std::size_t n = sys.n, r = sys.r;
    const auto rr = static_cast<Eigen::Index>(r);
    std::vector<double> Yr, Yi, Xr, Xi;
    std::vector<char> pole, seen;
    std::vector<std::complex<double>> weight(r);
    Eigen::MatrixXcd W(rr, rr), Wd(rr, rr), M(rr, rr), Md(rr, rr);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t first = 0; first < count; first += low_rank_batch) {
        const std::size_t points = std::min(low_rank_batch, count - first), w = points * r;
        if (r > 0) shifted_back_substitution(sys, lam + first, points, Yr, Yi, Xr, Xi, pole);
        for (std::size_t p = 0; p < points; ++p) {
            const std::size_t at = first + p;
            const std::complex<double> z = lam[at];
            bool finite = std::isfinite(z.real()) && std::isfinite(z.imag());
            for (std::size_t c = 0; c < r; ++c) {
                weight[c] = std::exp(-z * sys.delays[c]);
                finite = finite && std::isfinite(weight[c].real()) && std::isfinite(weight[c].imag());
            }
            if (!finite) {
                phase[at] = 0.0;
                trace[at] = {nan, nan};
                status[at] = overflow_point;
                continue;
            }
            if (r > 0 && pole[p]) {
                phase[at] = 0.0;
                trace[at] = {nan, nan};
                status[at] = pole_point;
                continue;
            }
            // det(lambda I - T): its argument and logarithmic derivative from the diagonal.
            double angle = 0.0;
            std::complex<double> slope = 0.0;
            bool zero = false;
            for (std::size_t j = 0; j < n; ++j) {
                const std::complex<double> d = z - sys.T[j * n + j];
                zero = zero || d == 0.0;
                angle += std::arg(d);
                slope += 1.0 / d;
            }
            if (zero) {  // only without delayed terms: lambda I - T is Delta itself
                phase[at] = 0.0;
                trace[at] = {inf, 0.0};
                status[at] = singular_point;
                continue;
            }
            if (r > 0) {
                // W = V^H Y, W' = -V^H X; M = I - E W, M' = E H W - E W' (H = diag(h)).
                W.setZero();
                Wd.setZero();
                for (std::size_t i = 0; i < n; ++i) {
                    for (Eigen::Index a = 0; a < rr; ++a) {
                        const std::complex<double> v = std::conj(sys.V[i * r + static_cast<std::size_t>(a)]);
                        for (Eigen::Index b = 0; b < rr; ++b) {
                            const std::size_t q = i * w + p * r + static_cast<std::size_t>(b);
                            W(a, b) += v * std::complex<double>(Yr[q], Yi[q]);
                            Wd(a, b) -= v * std::complex<double>(Xr[q], Xi[q]);
                        }
                    }
                }
                for (Eigen::Index a = 0; a < rr; ++a) {
                    const auto ua = static_cast<std::size_t>(a);
                    M.row(a) = -weight[ua] * W.row(a);
                    Md.row(a) = weight[ua] * (sys.delays[ua] * W.row(a) - Wd.row(a));
                    M(a, a) += 1.0;
                }
                Eigen::PartialPivLU<Eigen::MatrixXcd> lu(M);
                const auto& LU = lu.matrixLU();
                bool singular = false;
                if (parity(lu.permutationP().indices(), seen)) angle += std::numbers::pi;
                for (Eigen::Index j = 0; j < rr; ++j) {
                    if (LU(j, j) == 0.0) {
                        singular = true;
                        break;
                    }
                    angle += std::arg(LU(j, j));
                }
                if (singular) {
                    phase[at] = 0.0;
                    trace[at] = {inf, 0.0};
                    status[at] = singular_point;
                    continue;
                }
                slope += lu.solve(Md).trace();
            }
            phase[at] = std::remainder(angle, 2.0 * std::numbers::pi);
            trace[at] = slope;
            status[at] = regular_point;
        }
    }
}

CompactArnoldi compact_arnoldi(const SystemView& sys, const CollocationView& col, std::complex<double> sigma,
                               const double* start, std::size_t steps) {
    if (sys.n == 0 || sys.m == 0 || col.N == 0 || steps == 0) {
        throw std::invalid_argument("compact_arnoldi: needs n, m, N and steps >= 1");
    }
    using Complex = std::complex<double>;
    using ComplexRowMatrix = Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    const auto n = static_cast<Eigen::Index>(sys.n);
    const auto N = static_cast<Eigen::Index>(col.N);
    const Eigen::Map<const ComplexRowMatrix> rows(col.rows, static_cast<Eigen::Index>(sys.m), N + 1);
    const Eigen::Map<const ComplexRowMatrix> R(col.R, N, N);
    const Eigen::Map<const Eigen::VectorXcd> r(col.r, N);
    const Eigen::Map<const Eigen::VectorXd> u0(start, n);
    const double start_norm = u0.norm();
    if (!(start_norm > 0.0) || !std::isfinite(start_norm)) {
        throw std::invalid_argument("compact_arnoldi: the start vector must be finite and nonzero");
    }

    // The n x n matrix of the structured solve, Sum_k c_k A_k - sigma I, factored once.
    std::vector<Eigen::MatrixXcd> A;
    A.reserve(sys.m);
    Eigen::MatrixXcd K = Eigen::MatrixXcd::Zero(n, n);
    for (std::size_t k = 0; k < sys.m; ++k) {
        A.push_back(Eigen::Map<const RowMatrix>(sys.matrices + k * sys.n * sys.n, n, n).cast<Complex>());
        const auto kk = static_cast<Eigen::Index>(k);
        const Complex c = rows(kk, 0) - (rows.row(kk).tail(N).transpose().cwiseProduct(r)).sum();
        K += c * A.back();
    }
    K.diagonal().array() -= sigma;
    CompactArnoldi out;
    if (!K.allFinite()) {
        out.singular = true;
        return out;
    }
    const Eigen::PartialPivLU<Eigen::MatrixXcd> lu(K);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (lu.matrixLU()(i, i) == 0.0) {
            out.singular = true;
            return out;
        }
    }

    const auto cap = static_cast<Eigen::Index>(std::min(steps + 1, sys.n));  // columns of U
    const auto total = static_cast<Eigen::Index>(steps);
    const Eigen::Index width = N + 1;
    const ComplexRowMatrix Rt = R.transpose();
    Eigen::MatrixXcd U = Eigen::MatrixXcd::Zero(n, cap);
    U.col(0) = u0.cast<Complex>() / start_norm;
    // Row j holds S_j row-major: its first p (N + 1) entries are its first p rows, so inner
    // products with all earlier vectors are one matrix-vector product.
    ComplexRowMatrix C = ComplexRowMatrix::Zero(total + 1, cap * width);
    C.row(0).head(width).setConstant(1.0 / std::sqrt(static_cast<double>(width)));
    Eigen::MatrixXcd H = Eigen::MatrixXcd::Zero(total + 1, total);
    Eigen::Index p = 1, done = total;
    Eigen::VectorXcd rhs(n), x0(n), g, h0, w;
    ComplexRowMatrix X, Z;
    for (Eigen::Index j = 0; j < total; ++j) {
        const Eigen::Map<const ComplexRowMatrix> S(C.row(j).data(), p, width);
        Z.noalias() = S.rightCols(N) * Rt;  // the blocks z = R y_1: in coefficients
        rhs.noalias() = U.leftCols(p) * S.col(0);
        for (std::size_t k = 0; k < sys.m; ++k) {
            w.noalias() = Z * rows.row(static_cast<Eigen::Index>(k)).tail(N).transpose();
            rhs.noalias() -= A[k] * (U.leftCols(p) * w);
        }
        x0 = lu.solve(rhs);
        h0 = Eigen::VectorXcd::Zero(p + 1);
        const double size = x0.norm();
        for (int pass = 0; pass < 2; ++pass) {
            g.noalias() = U.leftCols(p).adjoint() * x0;
            x0.noalias() -= U.leftCols(p) * g;
            h0.head(p) += g;
        }
        const double beta = x0.norm();
        const Eigen::Index previous = p;
        if (beta > 1e-13 * size && p < cap) {
            U.col(p) = x0 / beta;
            h0(p) = beta;
            ++p;
        }
        // The new Krylov vector's coefficients: first block x_0 = U h0, the others z - r x_0.
        X = ComplexRowMatrix::Zero(p, width);
        X.col(0) = h0.head(p);
        X.topRows(previous).rightCols(N) = Z;
        X.rightCols(N).noalias() -= h0.head(p) * r.transpose();
        Eigen::Map<Eigen::VectorXcd> x(X.data(), p * width);
        const auto earlier = C.topLeftCorner(j + 1, p * width);
        for (int pass = 0; pass < 2; ++pass) {
            g.noalias() = earlier.conjugate() * x;
            x.noalias() -= earlier.transpose() * g;
            H.col(j).head(j + 1) += g;
        }
        const double norm = x.norm();
        H(j + 1, j) = norm;
        const double largest = H.col(j).head(j + 1).cwiseAbs().maxCoeff();
        if (norm <= 1e-14 * std::max(1.0, largest)) {
            done = j + 1;  // an invariant subspace: its Ritz values are exact
            break;
        }
        C.row(j + 1).head(p * width) = x.transpose() / norm;
    }

    out.done = static_cast<std::size_t>(done);
    out.p = static_cast<std::size_t>(p);
    out.H.resize(static_cast<std::size_t>((total + 1) * total));
    Eigen::Map<ComplexRowMatrix>(out.H.data(), total + 1, total) = H;
    out.first.resize(static_cast<std::size_t>(done * p));
    for (Eigen::Index i = 0; i < done; ++i) {
        for (Eigen::Index q = 0; q < p; ++q) out.first[static_cast<std::size_t>(i * p + q)] = C(i, q * width);
    }
    out.U.resize(static_cast<std::size_t>(n * p));
    Eigen::Map<ComplexRowMatrix>(out.U.data(), n, p) = U.leftCols(p);
    return out;
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
