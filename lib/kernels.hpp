// Batched kernels of the analyses in the package vantor: the characteristic matrix, the argument of
// its determinant and its logarithmic derivative at many points, in one call each.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lagsys::kernels {

// A system as flat arrays: m matrices of order n, row-major and contiguous (A_k(i, j) at
// matrices[(k n + i) n + j]), and their m delays.
struct SystemView {
    const double* matrices;
    const double* delays;
    std::size_t m;
    std::size_t n;
};

// What log_derivatives found at a point: a regular one; Delta(lambda) exactly singular (det Delta = 0);
// a non-finite entry of Delta(lambda) (exp(-lambda h) beyond the double range), or of its
// factorization.
inline constexpr std::uint8_t regular_point = 0;
inline constexpr std::uint8_t singular_point = 1;
inline constexpr std::uint8_t overflow_point = 2;

// At each of the `count` points lam[i]: phase[i] = arg det Delta(lam[i]) (in (-pi, pi], from the
// pivots of an LU factorization with partial pivoting, so that no product over- or underflows),
// trace[i] = (det Delta)'/det Delta = trace(Delta^-1 Delta') and status[i]. A singular point has
// phase 0 and an infinite trace; an overflowing one phase 0 and a NaN trace. A trace that
// overflows (Delta' beyond the double range) is not finite. Throws std::invalid_argument for
// n = 0 or m = 0.
void log_derivatives(const SystemView& sys, const std::complex<double>* lam, std::size_t count,
                     double* phase, std::complex<double>* trace, std::uint8_t* status);

// A bound B(r) on |lambda| for every root with Re(lambda) >= r, given the spectral norms of the
// matrices: the smaller of sum_k ||A_k||_2 exp(-r h_k) and (1 + 1e-12) rho(sum_k |A_k| exp(-r h_k))
// (the Perron root of the entrywise absolute values; far smaller for strongly non-normal systems).
// exp(-r h_k) is 1 for h_k = 0 whatever r. The first sum alone when it is not finite (inf or NaN),
// for n = 1, or when the eigenvalue iteration fails. Throws std::invalid_argument for n = 0 or m = 0.
double modulus_bound(const SystemView& sys, const double* norms, double r);

// A characteristic matrix in Schur form with low-rank delayed terms: Delta(lambda) is unitarily
// similar to lambda I - T - U E(lambda) V^H, with T (n x n, upper triangular: the Schur form of the
// undelayed sum), U and V (n x r) and E(lambda) = diag(exp(-lambda h_c)) over the r columns (the
// delay of each column). All complex and row-major.
struct LowRankView {
    const std::complex<double>* T;
    const std::complex<double>* U;
    const std::complex<double>* V;
    const double* delays;  // one per column of U and V
    std::size_t n;
    std::size_t r;
};

// What low_rank_log_derivatives adds to the statuses: lambda equals a diagonal entry of T, where
// the factorization det Delta = det(lambda I - T) det(I - E V^H (lambda I - T)^-1 U) does not hold.
inline constexpr std::uint8_t pole_point = 3;

// log_derivatives for a LowRankView, in O(n^2 r) per point: det(lambda I - T) from T's diagonal and
// the r x r determinant of I - E W with W = V^H (lambda I - T)^-1 U (two back substitutions give W
// and its derivative). phase[i] is arg det of the similar matrix (the unitary similarity turns every
// point's argument by the same constant). A pole has phase 0 and a NaN trace. Throws
// std::invalid_argument for n = 0.
void low_rank_log_derivatives(const LowRankView& sys, const std::complex<double>* lam, std::size_t count,
                              double* phase, std::complex<double>* trace, std::uint8_t* status);

// Arnoldi on (M - sigma I)^-1 for the Chebyshev collocation matrix M of degree N of a dense system,
// in compact form: every block of every Krylov vector lies in the span of orthonormal n-vectors
// U = [u_0, u_1, ...], so Krylov vector j is U S_j with a coefficient matrix S_j (p x (N + 1)) and
// inner products of Krylov vectors are those of their coefficients. The structured solve takes
//     rows (m x (N + 1)): the interpolation rows l_k at -h_k, times the centring weights,
//     R (N x N) = (D_11 - (sigma - centre) I)^-1 and r = R D_10 (N),
// and factors Sum_k c_k A_k - sigma I once, c_k = l_k0 - l_k,1: . r (the matrices as given: centred
// by the caller). All complex arrays row-major.
struct CollocationView {
    const std::complex<double>* rows;
    const std::complex<double>* R;
    const std::complex<double>* r;
    std::size_t N;
};

struct CompactArnoldi {
    std::vector<std::complex<double>> H;      // (steps + 1) x steps, upper Hessenberg
    std::vector<std::complex<double>> first;  // done x p: the first coefficient column of S_j
    std::vector<std::complex<double>> U;      // n x p, orthonormal columns
    std::size_t done = 0;  // steps taken (fewer than asked at an invariant subspace)
    std::size_t p = 0;     // columns of U
    bool singular = false; // Sum_k c_k A_k - sigma I exactly singular: nothing computed
};

// `steps` Arnoldi steps from the block vector whose first block is start / |start| and the others
// zero (start: n real numbers, not all zero), with two passes of classical Gram-Schmidt for U and
// for the coefficients. Throws std::invalid_argument for n = 0, m = 0, N = 0, steps = 0 or a zero
// start.
CompactArnoldi compact_arnoldi(const SystemView& sys, const CollocationView& col, std::complex<double> sigma,
                               const double* start, std::size_t steps);

// The parity of a permutation of 0..n-1 ((n - number of cycles) mod 2: 0 even, 1 odd), whose sign
// a determinant of the permuted rows takes. Throws std::invalid_argument when perm is not a
// permutation of 0..n-1 (an entry out of range or repeated).
int permutation_parity(const std::int64_t* perm, std::size_t n);

}  // namespace lagsys::kernels
