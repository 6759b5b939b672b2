"""Rightmost roots of large (sparse) delay systems: shift-invert Arnoldi on a spectral
discretization with a structured solve, Newton's method with sparse factorizations, and the
log-determinant phase for argument-principle counts.

Discretization. A root lambda with Delta(lambda) v = 0 is an eigenvalue of the generator of the
solution semigroup on functions phi on [-tau, 0]: lambda phi = phi' with phi'(0) = sum_k A_k phi(-h_k).
Collocation at the Chebyshev points theta_j = tau (cos(j pi / N) - 1) / 2, j = 0..N (theta_0 = 0), with
x_j = phi(theta_j), the differentiation matrix D and the interpolation rows l_k (l_k . x = the
interpolant at -h_k), gives the eigenproblem M x = lambda x of order n (N + 1):

    row 0:       sum_k A_k sum_j l_kj x_j = lambda x_0,
    rows 1..N:   sum_j D_ij x_j           = lambda x_i.

Structured solve. (M - sigma I) x = y: rows 1..N give x_{1:} = z - r x_0 with R = (D_11 - sigma I)^-1
(N x N), z = R y_{1:}, r = R D_10 (blockwise on the n-vectors). Row 0 then reads

    (sum_k c_k A_k - sigma I) x_0 = y_0 - sum_k A_k (l_k,1: . z),   c_k = l_k0 - l_k,1: . r,

one solve with an n x n matrix (c_k ~ exp(-sigma h_k): it is -Delta(sigma) of the discretization),
factored once per shift (a sparse LU for sparse A_k). A solve costs O(nnz + n N^2) and the Krylov
vectors O(n N) each. Arnoldi on this inverse gives the eigenvalues of M nearest sigma.

Centring. With phi(theta) = exp(zeta theta) psi(theta) the same collocation applies to psi, with
A_k exp(-zeta h_k), an extra -zeta I and eigenvalues lambda - zeta; an eigenfunction becomes
exp((lambda - zeta) theta) v, so N resolves |lambda - zeta| tau instead of |lambda| tau. Each shift
is its own centre: roots far up the axis, or of a delay much longer than the rates' time scale,
need no larger degree than roots near the origin.

Refinement. Newton's method on Delta(lambda) v = 0, c* v = 1 (c the starting vector): with
u = Delta(lambda)^-1 Delta'(lambda) v, lambda <- lambda - 1 / (c* u), v <- u / (c* u); one sparse LU per
step, quadratic convergence at a simple root.

Phase of det Delta. With Pr Delta Pc = L U (SuperLU, unit lower L), det Delta = sign(Pr) sign(Pc)
prod_i U_ii; the argument is the sum of the arguments of U_ii plus pi times the permutations'
parity (from their cycle counts).

Low-rank delayed terms. A dense system whose delayed matrices have small rank, A_k = U_k V_k^T,
counts through the complex Schur form Z T Z^H of the undelayed sum S: with U, V the Z^H U_k, Z^H V_k
side by side and E(z) = diag(exp(-z h_k)) over their columns,

    det Delta(z) = det(z I - T) det(I - E(z) V^H (z I - T)^-1 U)

(Sylvester's determinant identity), O(n^2 r) per point after one O(n^3) reduction instead of an
O(n^3) factorization at each. Singular values of A_k below n eps ||A_k|| are dropped: the
determinant is that of a system within the backward error of a factorization.

Reducible patterns. When the directed graph of the union pattern (i -> j where some A_k(i, j) != 0)
has several strongly connected components, a symmetric permutation (which leaves det Delta
unchanged) makes Delta block triangular with the components as diagonal blocks, so det Delta is the
product of the blocks' determinants: a 1 x 1 block contributes z - sum_k A_k(i, i) exp(-z h_k),
evaluated for all such blocks and points at once, and the larger blocks are factored on their own.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import Any, ClassVar, Optional, Sequence, Union

import numpy as np
import scipy.linalg
import scipy.sparse
import scipy.sparse.linalg
from numpy.typing import NDArray
from scipy.sparse.csgraph import connected_components, reverse_cuthill_mckee

from . import _kernels

ComplexArray = NDArray[np.complex128]
FloatArray = NDArray[np.float64]
BoolArray = NDArray[np.bool_]
Matrix = Union[NDArray[np.float64], "scipy.sparse.csc_matrix"]

_NEWTON_STEPS = 30
# Largest order for which a count uses the eigenvalues of a symmetric undelayed part (with
# scalar delayed terms) instead of a factorization at every point.
_SPECTRAL_MAX = 3000
# Largest kl + ku for LAPACK's banded LU; wider patterns take SuperLU.
_BAND_MAX = 64
# Diagonal blocks of a reducible pattern up to this order are factored as dense matrices.
_DENSE_BLOCK_MAX = 200
# Dense systems from this order count through the Schur form of the undelayed sum when the
# delayed matrices together have rank at most n / _LOW_RANK_RATIO.
_LOW_RANK_MIN = 64
_LOW_RANK_RATIO = 8
# Dense systems up to this order run compact Arnoldi in the compiled kernel.
_COMPILED_ARNOLDI_MAX = 64
# A refined root is accepted with ||Delta(lambda) v|| at most this times ||v|| times the size of
# Delta's terms.
ACCEPT_RESIDUAL = 1e-10


def chebyshev(N: int, tau: float) -> tuple[FloatArray, FloatArray]:
    """The points theta_j = tau (cos(j pi / N) - 1) / 2 on [-tau, 0] and the differentiation matrix."""
    j = np.arange(N + 1)
    x = np.cos(np.pi * j / N)
    c = np.where((j == 0) | (j == N), 2.0, 1.0) * (-1.0) ** j
    X = x[:, None] - x[None, :]
    D = np.outer(c, 1.0 / c) / (X + np.eye(N + 1))
    D -= np.diag(D.sum(axis=1))
    return tau * (x - 1.0) / 2.0, D * (2.0 / tau)


def interpolation_row(theta: FloatArray, point: float) -> FloatArray:
    """Barycentric weights: row . values = the interpolant through (theta_j, values_j) at point."""
    N = theta.size - 1
    j = np.arange(N + 1)
    w = np.where((j == 0) | (j == N), 0.5, 1.0) * (-1.0) ** j
    diff = point - theta
    exact = np.flatnonzero(np.abs(diff) <= 1e-15 * max(1.0, float(np.abs(theta).max())))
    row = np.zeros(N + 1)
    if exact.size:
        row[exact[0]] = 1.0
        return row
    terms = w / diff
    return np.asarray(terms / terms.sum(), dtype=np.float64)


def collocation_eigenvalues(matrices: FloatArray, delays: FloatArray, N: int, centre: float = 0.0
                            ) -> ComplexArray:
    """The eigenvalues of the collocation matrix M of degree N (order n (N + 1)) of a small dense
    system (matrices shaped (m, n, n)), centred about the real point `centre`, by LAPACK's dense
    eigensolver: approximations (to about 1e-3) of the roots with |lambda - centre| tau up to about
    1.5 N (an eigenfunction exp((lambda - centre) theta) is resolved by a Chebyshev interpolant of
    that degree), of no use beyond. Nothing when the matrix is not finite or the QR iteration fails:
    seeds are optional."""
    n = matrices.shape[1]
    tau = float(delays.max())
    if tau <= 0.0 or not math.isfinite(4.0 / tau):
        # No delay, or one too small to discretize: the roots of the delay-free system.
        return np.asarray(np.linalg.eigvals(matrices.sum(axis=0)), dtype=np.complex128)
    theta, D = chebyshev(N, tau)
    weights = np.exp(-centre * delays)
    rows = np.array([interpolation_row(theta, -h) for h in delays]) * weights[:, None]
    M = np.zeros(((N + 1) * n, (N + 1) * n))
    M[:n] = np.einsum("kj,kic->ijc", rows, matrices).reshape(n, (N + 1) * n)
    M[:n, :n] -= centre * np.eye(n)
    M[n:] = np.kron(D[1:], np.eye(n))
    if not np.all(np.isfinite(M)):
        return np.empty(0, dtype=np.complex128)
    try:
        values = scipy.linalg.eigvals(M, overwrite_a=True, check_finite=False)
    except np.linalg.LinAlgError:
        return np.empty(0, dtype=np.complex128)
    return np.asarray(values + centre, dtype=np.complex128)


@dataclass
class LargeSystem:
    """The matrices (dense arrays or CSC matrices of order n), delays and norm bounds of a
    system, with the characteristic matrix, its factorizations and its determinant's phase."""

    matrices: list[Any]
    delays: FloatArray
    sparse: bool
    # Each sample of a count costs a factorization: the budget of one count.
    max_samples: ClassVar[int] = 500_000
    norm_bounds: FloatArray = field(init=False)
    # The box bounds (numerical range of the balanced undelayed sum, norms of the delayed
    # matrices), computed on first use by `vantor.large`.
    bounds: Optional[tuple[float, float, FloatArray]] = field(default=None, init=False)

    def __post_init__(self) -> None:
        self.norm_bounds = np.array([_norm_bound(A) for A in self.matrices])
        self.band: Optional[tuple[int, int]] = None
        self._blocks: Optional[_Blocks] = None
        self._spectral: Optional[ModalForm] = None
        self._low_rank: Optional[LowRankForm] = None
        self._low_rank_checked = False
        self._spectral_checked = False
        self._stacked: Optional[FloatArray] = None
        if self.sparse:
            self._pattern()

    def spectral_form(self) -> Optional[ModalForm]:
        """The system in one orthonormal eigenbasis Q of all its terms, when the undelayed matrices
        sum to a symmetric S and every delayed matrix is c_k I or symmetric and commuting with S and
        the others (symmetric to 1e-8 relative: the antisymmetric rest joins E_k below): then
        det Delta(lambda) = prod_j z_j(lambda) with z_j = lambda - sum_k mu_jk exp(-lambda h_k) over
        the eigenvalues mu_jk of the terms, and a count costs O(n m) per point
        after one symmetric eigenvalue decomposition. With scalar delayed terms the mu_j of S are
        within eps ||S|| of exact (as backward stable as a factorization at each point); otherwise
        Q^T A_k Q keeps off-diagonal parts E_k (rounding), and a point where
        min_j |z_j| <= sum_k ||E_k||_F |exp(-lambda h_k)| (there det(D + t E) may vanish for some t
        in [0, 1]) is reported as singular, so that the count is that of det Delta itself. None
        otherwise, or above _SPECTRAL_MAX."""
        if self._spectral_checked:
            return self._spectral
        self._spectral_checked = True
        if not 0 < self.n <= _SPECTRAL_MAX:
            return None
        n = self.n
        undelayed = np.zeros((n, n))
        delays, scalars, general = [0.0], [], []
        for A, delay in zip(self.matrices, self.delays):
            if delay == 0.0:
                undelayed += A.toarray() if _is_sparse(A) else A
                continue
            diagonal = A.diagonal() if _is_sparse(A) else np.diag(A)
            off = (A - scipy.sparse.diags(diagonal)).count_nonzero() if _is_sparse(A) else \
                np.count_nonzero(A - np.diag(diagonal))
            delays.append(float(delay))
            if off == 0 and np.all(diagonal == diagonal[0]):
                scalars.append((len(delays) - 1, float(diagonal[0])))
            else:
                dense = A.toarray() if _is_sparse(A) else np.asarray(A, dtype=np.float64)
                general.append((len(delays) - 1, dense))
        # Symmetric parts; an antisymmetric remainder K (rounding of Q diag Q^T) has a zero
        # diagonal in any orthonormal basis and joins the slack with ||K||_F.
        given = [undelayed] + [M for _, M in general]
        matrices = [(M + M.T) / 2.0 for M in given]
        norms = [float(np.linalg.norm(M)) for M in given]
        skew = [float(np.linalg.norm(M - M.T)) / 2.0 for M in given]
        if any(k > 1e-8 * norm for k, norm in zip(skew, norms)):
            return None
        values = np.zeros((n, len(delays)))
        slack = np.zeros(len(delays))
        for column, c in scalars:
            values[:, column] = c
        if not general and skew[0] == 0.0:
            values[:, 0] = np.linalg.eigvalsh(undelayed)
            self._spectral = ModalForm(values, np.array(delays), slack)
            return self._spectral
        # Commuting, on a random vector first (O(n^2)); then the eigenbasis of a generic combination.
        x = np.random.default_rng(0).standard_normal(n)
        for i in range(len(matrices)):
            for j in range(i):
                defect = matrices[i] @ (matrices[j] @ x) - matrices[j] @ (matrices[i] @ x)
                if np.linalg.norm(defect) > 1e-10 * norms[i] * norms[j] * np.linalg.norm(x):
                    return None
        weights = 1.0 + np.sqrt(2.0) * np.arange(len(matrices)) / 7.0
        S = sum(w / norm * M for w, norm, M in zip(weights, norms, matrices) if norm > 0.0)
        _, Q = np.linalg.eigh(S)
        for column, M, norm, k in zip([0] + [c for c, _ in general], matrices, norms, skew):
            D = Q.T @ M @ Q
            values[:, column] = np.diag(D)
            np.fill_diagonal(D, 0.0)
            slack[column] = float(np.linalg.norm(D)) + k
            if slack[column] > 1e-8 * max(norm, 1e-300):
                return None  # a poor common eigenbasis (nearly equal eigenvalues of S)
        self._spectral = ModalForm(values, np.array(delays), slack)
        return self._spectral

    def low_rank_form(self) -> Optional[LowRankForm]:
        """The Schur form of a dense system's undelayed sum with its delayed matrices as U V^T of
        total rank at most n / _LOW_RANK_RATIO (see the module's docstring); None otherwise."""
        if self._low_rank_checked:
            return self._low_rank
        self._low_rank_checked = True
        n = self.n
        if self.sparse or n < _LOW_RANK_MIN:
            return None
        limit = n // _LOW_RANK_RATIO
        undelayed = np.zeros((n, n))
        left, right, column_delays = [], [], []
        rng = np.random.default_rng(0)
        for A, delay in zip(self.matrices, self.delays):
            if delay == 0.0:
                undelayed += A
                continue
            # A sketch of the range first: full rank shows in O(n^2 limit), before any SVD.
            sketch = np.linalg.svd(A @ rng.standard_normal((n, limit + 1)), compute_uv=False)
            if sketch.size and sketch[-1] > n * np.finfo(float).eps * sketch[0]:
                return None
            U, sigma, Vt = np.linalg.svd(A)
            rank = int(np.count_nonzero(sigma > n * np.finfo(float).eps * sigma[0])) if sigma[0] > 0 else 0
            left.append(U[:, :rank] * sigma[:rank])
            right.append(Vt[:rank].T)
            column_delays += [float(delay)] * rank
            if len(column_delays) > limit:
                return None
        T, Z = scipy.linalg.schur(undelayed, output="complex")
        Zh = Z.conj().T
        empty = np.zeros((n, 0), dtype=np.complex128)
        self._low_rank = LowRankForm(
            np.ascontiguousarray(T), np.ascontiguousarray(Zh @ np.hstack(left)) if left else empty,
            np.ascontiguousarray(Zh @ np.hstack(right)) if right else empty,
            np.array(column_delays, dtype=np.float64))
        return self._low_rank

    def _pattern(self) -> None:
        """The union of the matrices' patterns and the identity's, with a column order (COLAMD,
        computed once) under which the characteristic matrix is factored without reordering: the
        values of each A_k on that pattern, so that Delta(z) is one vector operation away."""
        n = self.n
        pieces = [scipy.sparse.identity(n, format="csc")] + [abs(A) for A in self.matrices]
        union = pieces[0]
        for piece in pieces[1:]:
            union = union + piece
        union = scipy.sparse.csc_matrix(union)
        union.sort_indices()
        cols = np.repeat(np.arange(n), np.diff(union.indptr))
        keys = cols.astype(np.int64) * n + union.indices
        components, labels = connected_components(union, directed=True, connection="strong")
        if components > 1:
            self._blocks = _Blocks.of(self.matrices, self.delays, np.asarray(labels, dtype=np.intp))

        def on_pattern(A: Any) -> FloatArray:
            coo = scipy.sparse.coo_matrix(A)
            values = np.zeros(keys.size)
            np.add.at(values, np.searchsorted(keys, coo.col.astype(np.int64) * n + coo.row), coo.data)
            return values

        self._union = (union.indices.copy(), union.indptr.copy())
        self._identity_values = on_pattern(scipy.sparse.identity(n))
        self._values = np.stack([on_pattern(A) for A in self.matrices])
        # Banded after a reverse Cuthill-McKee ordering (a symmetric permutation: the same
        # determinant): LAPACK's banded LU, far cheaper than a general sparse one.
        symmetric = scipy.sparse.csr_matrix(union + union.T)
        perm = np.asarray(reverse_cuthill_mckee(symmetric, symmetric_mode=True), dtype=np.intp)
        inverse = np.empty(n, dtype=np.intp)
        inverse[perm] = np.arange(n)
        rows, columns = inverse[union.indices], inverse[cols]
        kl = int(np.max(rows - columns, initial=0))
        ku = int(np.max(columns - rows, initial=0))
        if kl + ku <= _BAND_MAX:
            self.band = (kl, ku)
            self._band_perm = perm
            self._band_at = (kl + ku + rows - columns) * n + columns
            return
        # A representative matrix for the ordering: Delta at a point off the real axis.
        sample = scipy.sparse.csc_matrix((self._identity_values * (1.0 + 1.0j) - self._values.sum(axis=0),
                                          union.indices, union.indptr), shape=(n, n))
        # SuperLU factors sample[:, argsort(perm_c)] (column i moves to position perm_c[i]).
        order = np.argsort(scipy.sparse.linalg.splu(sample).perm_c)
        position = scipy.sparse.csc_matrix((np.arange(keys.size, dtype=np.float64), union.indices,
                                            union.indptr), shape=(n, n))[:, order]
        position.sort_indices()
        self._take = position.data.astype(np.intp)
        self._indices, self._indptr = position.indices.copy(), position.indptr.copy()
        self._order = order

    def ordered(self, weights: Any, shift: complex) -> Any:
        """(shift I + sum_k weights_k A_k) with its columns in the stored order, as CSC."""
        values = complex(shift) * self._identity_values + np.asarray(weights) @ self._values
        return scipy.sparse.csc_matrix((values[self._take], self._indices, self._indptr),
                                       shape=(self.n, self.n))

    def sparse_lu(self, weights: Any, shift: complex) -> Any:
        return scipy.sparse.linalg.splu(self.ordered(weights, shift), permc_spec="NATURAL")

    def band_lu(self, weights: Any, shift: complex) -> tuple[ComplexArray, NDArray[np.intc], int]:
        """LAPACK's banded LU of (shift I + sum_k weights_k A_k) in the band ordering."""
        assert self.band is not None
        kl, ku = self.band
        values = complex(shift) * self._identity_values
        for w, row in zip(weights, self._values):
            values += w * row
        ab = np.zeros((2 * kl + ku + 1, self.n), dtype=np.complex128)
        ab.ravel()[self._band_at] = values
        lu, ipiv, info = scipy.linalg.lapack.zgbtrf(ab, kl, ku, overwrite_ab=1)
        return lu, ipiv, int(info)

    @property
    def n(self) -> int:
        return int(self.matrices[0].shape[0])

    def stacked(self) -> FloatArray:
        """A dense system's matrices as one contiguous (m, n, n) array (made once)."""
        if self._stacked is None:
            self._stacked = np.ascontiguousarray(np.stack(self.matrices), dtype=np.float64)
        return self._stacked

    @property
    def tau(self) -> float:
        return float(self.delays.max())

    @property
    def root_scale(self) -> float:
        """Below this modulus, distances between roots are compared absolutely: 1 in the
        system's unit of time, less for a delay longer than it (its roots lie 2 pi / tau apart)."""
        return min(1.0, 1.0 / self.tau) if self.tau > 0.0 else 1.0

    def combination(self, weights: Any, shift: complex) -> Any:
        """shift I + sum_k weights_k A_k."""
        if self.sparse:
            # On the stored union pattern: one vector operation, no sparse additions.
            values = complex(shift) * self._identity_values + np.asarray(weights) @ self._values
            return scipy.sparse.csc_matrix((values, *self._union), shape=(self.n, self.n))
        dense = np.zeros((self.n, self.n), dtype=np.complex128)
        for w, A in zip(weights, self.matrices):
            dense += w * A
        dense[np.diag_indices(self.n)] += shift
        return dense

    def delta(self, lam: complex) -> Any:
        return self.combination(-np.exp(-lam * self.delays), lam)

    def delta_prime(self, lam: complex) -> Any:
        return self.combination(self.delays * np.exp(-lam * self.delays), 1.0)

    def term_size(self, lam: complex) -> float:
        return abs(lam) + float(np.sum(self.norm_bounds * np.abs(np.exp(-lam * self.delays))))

    def factor(self, weights: Any, shift: complex) -> Any:
        """A solver of (shift I + sum_k weights_k A_k) x = b: sparse LU (on the stored column
        order) or dense LU."""
        if self.sparse and self.band is not None:
            kl, ku = self.band
            band, ipiv, info = self.band_lu(weights, shift)
            if info > 0:
                raise np.linalg.LinAlgError("singular matrix")
            perm = self._band_perm

            def solve_band(b: ComplexArray) -> ComplexArray:
                y, _ = scipy.linalg.lapack.zgbtrs(band, kl, ku, np.asarray(b, dtype=np.complex128)[perm], ipiv)
                x = np.empty(self.n, dtype=np.complex128)
                x[perm] = y
                return x

            return solve_band
        if self.sparse:
            lu = self.sparse_lu(weights, shift)
            inverse = np.empty(self.n, dtype=np.intp)
            inverse[self._order] = np.arange(self.n)

            def solve(b: ComplexArray) -> ComplexArray:
                # (M P) y = b with P the column order, so x = P y.
                y = np.asarray(lu.solve(np.asarray(b, dtype=np.complex128)), dtype=np.complex128)
                x = np.empty_like(y)
                x[self._order] = y
                return x

            return solve
        lu = scipy.linalg.lu_factor(self.combination(weights, shift), check_finite=False)
        return lambda b: scipy.linalg.lu_solve(lu, b, check_finite=False)

    def factor_delta(self, lam: complex) -> Any:
        return self.factor(-np.exp(-lam * self.delays), lam)

    def det_phase(self, lam: ComplexArray) -> tuple[FloatArray, FloatArray, BoolArray]:
        """arg det Delta at each point, |(det Delta)'/det Delta| and whether Delta is exactly
        singular there."""
        form = self.spectral_form()
        if form is not None:
            return spectral_phase(form, lam)
        phases, slopes, zero = self.log_derivative(np.asarray(lam, dtype=np.complex128).reshape(-1))
        return phases, np.abs(slopes), zero

    def log_derivative(self, lam: ComplexArray) -> tuple[FloatArray, ComplexArray, BoolArray]:
        """arg det Delta, (det Delta)'/det Delta (infinite where Delta is exactly singular) and
        whether it is, at each point of the 1-D array lam."""
        if self._blocks is not None:
            return self._blocks.log_derivative(lam)
        if not self.sparse:
            from ._system import OVERFLOW, SINGULAR, SystemData, log_derivatives

            data = SystemData(np.stack(self.matrices), self.delays, self.norm_bounds)
            form = self.low_rank_form()
            if form is None:
                phase, trace, status = log_derivatives(data, lam)
            else:
                phase, trace, status = _kernels.low_rank_log_derivatives(
                    form.T, form.U, form.V, form.delays, np.ascontiguousarray(lam, dtype=np.complex128))
                pole = np.flatnonzero(status == _POLE)
                if pole.size:   # lambda on an eigenvalue of S: a factorization there
                    phase[pole], trace[pole], status[pole] = log_derivatives(data, lam[pole])
            if np.any(status == OVERFLOW):
                raise OverflowError(
                    "det Delta(lambda) overflows on the contour (exp(-lambda h) beyond the double range)")
            zero = status == SINGULAR
            return phase, np.where(np.isfinite(trace) & ~zero, trace, np.inf), zero
        phases = np.empty(lam.size)
        slopes = np.empty(lam.size, dtype=np.complex128)
        zero = np.zeros(lam.size, dtype=bool)
        for i, z in enumerate(lam):
            phases[i], slopes[i], zero[i] = phase_slope(self, complex(z))
        return phases, slopes, zero


@dataclass
class _Blocks:
    """The diagonal blocks of a reducible pattern: the 1 x 1 blocks (their indices and each
    matrix's diagonal there) and the larger blocks as systems of their own."""

    singles: NDArray[np.intp]
    diagonals: FloatArray   # (m, singles.size)
    delays: FloatArray
    systems: list[LargeSystem]

    @classmethod
    def of(cls, matrices: Sequence[Any], delays: FloatArray, labels: NDArray[np.intp]) -> _Blocks:
        sizes = np.bincount(labels)
        singles = np.flatnonzero(sizes[labels] == 1)
        diagonals = np.array([np.asarray(A.diagonal(), dtype=np.float64)[singles] for A in matrices])
        order = np.argsort(labels, kind="stable")
        starts = np.concatenate(([0], np.cumsum(sizes)))
        systems = []
        for label in np.flatnonzero(sizes > 1):
            index = order[starts[label]:starts[label + 1]]
            parts = [scipy.sparse.csc_matrix(A)[index][:, index] for A in matrices]
            if index.size <= _DENSE_BLOCK_MAX:
                systems.append(LargeSystem([part.toarray() for part in parts], delays, False))
            else:
                systems.append(LargeSystem([part.tocsc() for part in parts], delays, True))
        return cls(singles, diagonals, delays, systems)

    def log_derivative(self, lam: ComplexArray) -> tuple[FloatArray, ComplexArray, BoolArray]:
        """The sums of the blocks' phases and logarithmic derivatives; singular where one is."""
        phases = np.zeros(lam.size)
        slopes = np.zeros(lam.size, dtype=np.complex128)
        zero = np.zeros(lam.size, dtype=bool)
        if self.singles.size:
            chunk = max(1, 2 ** 20 // self.singles.size)
            for start in range(0, lam.size, chunk):
                part = slice(start, start + chunk)
                points = lam[part]
                with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
                    terms = np.exp(-np.outer(points, self.delays))
                    d = points[:, None] - terms @ self.diagonals
                    d_prime = 1.0 + (terms * self.delays) @ self.diagonals
                    singular = np.any(d == 0.0, axis=1) | ~np.all(np.isfinite(d), axis=1)
                    phases[part] = np.where(singular, 0.0, np.angle(d).sum(axis=1))
                    slopes[part] = np.where(singular, np.inf, (d_prime / d).sum(axis=1))
                zero[part] = singular
        for system in self.systems:
            phase, slope, singular = system.log_derivative(lam)
            phases += phase
            slopes += slope
            zero |= singular
        slopes[zero] = np.inf
        phases[zero] = 0.0
        return phases, slopes, zero


# The kernel's status of a point on an eigenvalue of the undelayed sum (see LowRankForm).
_POLE = 3


@dataclass(frozen=True)
class LowRankForm:
    """Delta(z) = Z (z I - T - U diag(exp(-z delays)) V^H) Z^H: T upper triangular (n x n), U and V
    (n x r) with one delay per column, all contiguous."""

    T: ComplexArray
    U: ComplexArray
    V: ComplexArray
    delays: FloatArray


@dataclass(frozen=True)
class ModalForm:
    """Every term of a system in one orthonormal eigenbasis Q: values[j, k] = (Q^T A_k Q)_jj for
    the delays h_k (the undelayed terms summed in column 0) and slack_k >= ||Q^T A_k Q - its
    diagonal||_F."""

    values: FloatArray
    delays: FloatArray
    slack: FloatArray


def spectral_phase(form: ModalForm, lam: ComplexArray) -> tuple[FloatArray, FloatArray, BoolArray]:
    """det_phase from `LargeSystem.spectral_form`: arg det Delta = sum_j arg z_j and
    (det Delta)'/det Delta = sum_j z_j' / z_j, in chunks of about a million terms; singular where
    some z_j vanishes or is within the off-diagonal slack of zero."""
    mu, h = form.values.T, form.delays
    lam = np.asarray(lam, dtype=np.complex128)
    phases = np.zeros(lam.size)
    rates = np.full(lam.size, math.inf)
    zero = np.zeros(lam.size, dtype=bool)
    chunk = max(1, 2 ** 20 // max(1, mu.shape[1]))
    for start in range(0, lam.size, chunk):
        part = slice(start, start + chunk)
        points = lam[part]
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            terms = np.exp(-np.outer(points, h))
            z = points[:, None] - terms @ mu
            dz = 1.0 + (terms * h) @ mu
            margin = np.abs(terms) @ form.slack
            singular = ~np.all(np.isfinite(z), axis=1) | (np.min(np.abs(z), axis=1) <= margin)
            phase = np.angle(z).sum(axis=1)
            rate = np.abs((dz / z).sum(axis=1))
        zero[part] = singular
        phases[part] = np.where(singular, 0.0, phase)
        rates[part] = np.where(singular, math.inf, rate)
    return phases, rates, zero


def _is_sparse(value: Any) -> bool:
    return bool(scipy.sparse.issparse(value))


def _norm_bound(A: Any) -> float:
    """An upper bound on ||A||_2: sqrt(||A||_1 ||A||_inf) (exact 2-norm for small dense A)."""
    if _is_sparse(A):
        absolute: Any = abs(A)
        one = float(absolute.sum(axis=0).max()) if A.nnz else 0.0
        inf = float(absolute.sum(axis=1).max()) if A.nnz else 0.0
        return math.sqrt(one) * math.sqrt(inf)  # no under- or overflow of the product
    if A.shape[0] <= 200:
        return float(np.linalg.norm(A, 2))
    return math.sqrt(float(np.abs(A).sum(axis=0).max())) * math.sqrt(float(np.abs(A).sum(axis=1).max()))


def _parity(perm: NDArray[np.intp]) -> int:
    """(n - number of cycles) mod 2 of a permutation of 0..n-1."""
    return _kernels.permutation_parity(np.ascontiguousarray(perm, dtype=np.int64))


def log_det(system: LargeSystem, z: complex) -> Optional[complex]:
    """log det Delta(z) (its imaginary part up to a constant multiple of 2 pi), None where Delta
    is exactly singular."""
    if system.band is not None:
        band, ipiv, info = system.band_lu(-np.exp(-z * system.delays), z)
        if info > 0:
            return None
        kl, ku = system.band
        diagonal = band[kl + ku]
        swaps = int(np.count_nonzero(ipiv != np.arange(system.n)))
    else:
        # The fixed column order changes the sign of det Delta by a constant: no turn.
        try:
            lu = system.sparse_lu(-np.exp(-z * system.delays), z)
        except RuntimeError:
            return None  # exactly singular
        diagonal = lu.U.diagonal()
        swaps = _parity(lu.perm_r) + _parity(lu.perm_c)
    if np.any(diagonal == 0):
        return None
    return complex(float(np.log(np.abs(diagonal)).sum()),
                   float(np.angle(diagonal).sum() + math.pi * swaps))


def phase_slope(system: LargeSystem, z: complex) -> tuple[float, complex, bool]:
    """arg det Delta(z), (det Delta)'/det Delta (a forward difference of log det over 1e-7 of
    |z|: no trace of Delta^-1 Delta' is formed) and whether Delta(z) is exactly singular."""
    value = log_det(system, z)
    if value is None:
        return 0.0, complex(math.inf), True
    step = 1e-7 * max(1.0, abs(z))
    ahead = log_det(system, z + step)
    if ahead is None:
        return value.imag, complex(math.inf), False
    turn = (ahead.imag - value.imag + math.pi) % (2.0 * math.pi) - math.pi
    return value.imag, complex(ahead.real - value.real, turn) / step, False


class ShiftInvert:
    """(M - sigma I)^-1 of the collocation matrix M of degree N, as a LinearOperator, collocated
    about a centre zeta: phi(theta) = exp(zeta theta) psi(theta) turns lambda phi = phi' into
    (lambda - zeta) psi = psi' with (lambda - zeta) psi(0) = sum_k exp(-zeta h_k) A_k psi(-h_k) - zeta psi(0),
    the same structure with A_k exp(-zeta h_k), an extra -zeta I and eigenvalues shifted by zeta.
    An eigenfunction psi = exp((lambda - zeta) theta) v is smooth for lambda near zeta, so N needs
    to resolve |lambda - zeta| tau, not |lambda| tau: roots far up the axis or of a long delay
    are within reach of a small N. zeta = 0 is the plain collocation."""

    def __init__(self, system: LargeSystem, N: int, sigma: complex, centre: complex = 0.0) -> None:
        self.system, self.N, self.sigma, self.centre = system, N, sigma, complex(centre)
        theta, D = chebyshev(N, system.tau if system.tau > 0 else 1.0)
        self.D = D
        weights = np.exp(-self.centre * system.delays)
        if not np.all(np.isfinite(weights)):
            raise ValueError(f"the collocation centre {centre!r} is too far left for the delays")
        self.rows = np.array([interpolation_row(theta, -h) for h in system.delays]) * weights[:, None]
        R = np.linalg.inv(D[1:, 1:] - (sigma - self.centre) * np.eye(N))
        self.R = R
        r = R @ D[1:, 0]
        self.c = self.rows[:, 0] - self.rows[:, 1:] @ r
        self.r = r
        n = system.n
        self.size = n * (N + 1)
        self.operator = scipy.sparse.linalg.LinearOperator(
            (self.size, self.size), matvec=self._solve, dtype=np.complex128)
        self.forward = scipy.sparse.linalg.LinearOperator(
            (self.size, self.size), matvec=self._apply, dtype=np.complex128)

    @functools.cached_property
    def solve0(self) -> Any:
        """A solver of (sum_k c_k A_k - sigma I) x = b: the n x n matrix of the structured solve."""
        return self.system.factor(self.c, -self.sigma)

    def _solve(self, y: ComplexArray) -> ComplexArray:
        n, N = self.system.n, self.N
        Y = np.asarray(y, dtype=np.complex128).reshape(N + 1, n)
        z = self.R @ Y[1:]
        rhs = Y[0].copy()
        for row, A in zip(self.rows, self.system.matrices):
            rhs -= A @ (row[1:] @ z)
        x0 = self.solve0(rhs)
        X = np.empty_like(Y)
        X[0] = x0
        X[1:] = z - np.outer(self.r, x0)
        return X.reshape(-1)

    def _apply(self, x: ComplexArray) -> ComplexArray:
        """The collocation matrix about the centre plus zeta I (eigenvalues the roots)."""
        n, N = self.system.n, self.N
        X = np.asarray(x, dtype=np.complex128).reshape(N + 1, n)
        Y = np.empty_like(X)
        Y[0] = sum(A @ (row @ X) for row, A in zip(self.rows, self.system.matrices))
        Y[1:] = self.D[1:] @ X + self.centre * X[1:]
        return Y.reshape(-1)

    def eigenpairs(self, count: int, seed: int = 0) -> tuple[ComplexArray, ComplexArray]:
        """Ritz values of M nearest sigma (about `count` of them, nearest first) and the first
        blocks x_0 of their Ritz vectors, by Arnoldi on (M - sigma I)^-1 in compact form.

        Every block of every Krylov vector lies in the span of the n-vectors U = [u_0, x_0 of each
        step] (x_{1:} = z - r x_0 and z = R y_{1:} combine earlier blocks), so a Krylov vector is
        U S with a small coefficient matrix S ((steps + 1) x (N + 1)); with U orthonormal, inner
        products of Krylov vectors are those of their coefficients. A step costs one solve, the
        products with the A_k and O(n steps) for U, not O(n N steps).
        """
        n, N, rows, R, r = self.system.n, self.N, self.rows, self.R, self.r
        steps = int(min(self.size - 1, max(3 * count + 30, 60), 240))
        rng = np.random.default_rng(seed)
        u0 = rng.normal(size=n) + 0j
        if not self.system.sparse and n <= _COMPILED_ARNOLDI_MAX:
            # Small dense systems: the same steps in the compiled kernel, where Python's overhead
            # per step would cost more than the arithmetic.
            H, first, basis, singular = _kernels.compact_arnoldi(
                self.system.stacked(), np.ascontiguousarray(rows, dtype=np.complex128),
                np.ascontiguousarray(R, dtype=np.complex128), np.ascontiguousarray(r, dtype=np.complex128),
                complex(self.sigma), np.ascontiguousarray(u0.real), steps)
            if singular:
                raise np.linalg.LinAlgError("singular matrix")
            return self._ritz_pairs(H, first.shape[0], first, basis, count)
        U = np.zeros((n, steps + 1), dtype=np.complex128)
        U[:, 0] = u0 / np.linalg.norm(u0)
        C = np.zeros((steps + 1, steps + 1, N + 1), dtype=np.complex128)
        C[0, 0, :] = 1.0 / math.sqrt(N + 1)
        H = np.zeros((steps + 1, steps), dtype=np.complex128)
        p = 1
        done = steps
        for j in range(steps):
            S = C[j, :p]
            Z = S[:, 1:] @ R.T
            rhs = U[:, :p] @ S[:, 0]
            for row, A in zip(rows, self.system.matrices):
                rhs = rhs - A @ (U[:, :p] @ (Z @ row[1:]))
            x0 = self.solve0(rhs)
            h0 = np.zeros(p + 1, dtype=np.complex128)
            size = float(np.linalg.norm(x0))
            for _ in range(2):
                g = U[:, :p].conj().T @ x0
                x0 = x0 - U[:, :p] @ g
                h0[:p] += g
            beta = float(np.linalg.norm(x0))
            if beta > 1e-13 * size and p <= steps:
                U[:, p] = x0 / beta
                h0[p] = beta
                p += 1
            X = np.zeros((p, N + 1), dtype=np.complex128)
            X[:, 0] = h0[:p]
            X[:Z.shape[0], 1:] = Z
            X[:, 1:] -= np.outer(h0[:p], r)
            for _ in range(2):
                g = np.einsum("jpk,pk->j", C[:j + 1, :p].conj(), X)
                X = X - np.einsum("j,jpk->pk", g, C[:j + 1, :p])
                H[:j + 1, j] += g
            norm = float(np.linalg.norm(X))
            H[j + 1, j] = norm
            if norm <= 1e-14 * max(1.0, float(np.abs(H[:j + 1, j]).max())):
                done = j + 1  # an invariant subspace: its Ritz values are exact
                break
            C[j + 1, :p] = X / norm
        return self._ritz_pairs(H, done, C[:done, :p, 0], U[:, :p], count)

    def _ritz_pairs(self, H: ComplexArray, done: int, first: ComplexArray, U: ComplexArray, count: int
                    ) -> tuple[ComplexArray, ComplexArray]:
        """The `count` Ritz values of largest modulus of H[:done, :done] as eigenvalues of M, and the
        first blocks U first^T y of their Ritz vectors."""
        theta, vectors = np.linalg.eig(H[:done, :done])
        order = np.argsort(-np.abs(theta))[:max(1, count)]
        theta, vectors = theta[order], vectors[:, order]
        keep = np.abs(theta) > 0
        theta, vectors = theta[keep], vectors[:, keep]
        blocks = first.T @ vectors
        return self.sigma + 1.0 / theta, (U @ blocks).T


def newton(system: LargeSystem, lam: complex, v: ComplexArray, max_steps: int = _NEWTON_STEPS
           ) -> Optional[tuple[complex, float, ComplexArray]]:
    """A root refined from (lam, v), its relative residual and unit null vector; None when Newton
    fails."""
    norm = float(np.linalg.norm(v))
    if not (norm > 0.0 and math.isfinite(norm) and math.isfinite(abs(lam))):
        return None
    c = v / norm
    v = c.copy()
    last = math.inf
    # Far left of a long delay's roots exp(-lam h) overflows: such iterates fail the checks below.
    with np.errstate(over="ignore", invalid="ignore"):
        for step_number in range(max_steps):
            try:
                u = system.factor_delta(lam)(system.delta_prime(lam) @ v)
            except (RuntimeError, ValueError, np.linalg.LinAlgError):
                break  # singular to working precision: lam is a root
            denominator = complex(np.vdot(c, u))
            if denominator == 0 or not np.all(np.isfinite(u)):
                break
            step = 1.0 / denominator
            v = u / denominator
            size = abs(step)
            if step_number > 2 and size > last:
                break  # no longer converging: keep the last iterate
            lam = lam - step
            last = size
            if size <= 1e-15 * max(system.root_scale, abs(lam)):
                break
        residual = float(np.linalg.norm(system.delta(lam) @ v)) / (
            float(np.linalg.norm(v)) * system.term_size(lam))
    if not math.isfinite(residual):
        return None
    return lam, residual, v / np.linalg.norm(v)
