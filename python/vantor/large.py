"""Large delay systems: sparse matrices, the rightmost roots by shift-invert Arnoldi, certified
by argument-principle counts with sparse log-determinants."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, field
from typing import Any, Optional, Sequence, Union

import numpy as np
import scipy.sparse
from numpy.typing import ArrayLike, NDArray
from scipy.optimize import brentq

import pyvantor

from ._krylov import ACCEPT_RESIDUAL, LargeSystem, ShiftInvert, _is_sparse, _norm_bound, newton
from ._proximity import linked_labels
from ._system import ComplexArray, FloatArray, check_real, check_system
from ._winding import turn_along, winding, zeros_in_circles, zeros_in_rects

# A root closer than this (relative) to one already found is the same root.
_SAME = 1e-8
# Dense systems up to this order get exact numerical-range and norm bounds (eigvalsh, SVD).
_EXACT_BOUNDS = 3000
# Dense systems above this order keep Ritz pairs with an accepted residual without Newton steps.
_DENSE_POLISH = 200
# Found roots closer than this (relative) are one group, counted on a circle for its multiplicity:
# Newton's iterates of a root of multiplicity m scatter by about eps^(1/m).
_CLUSTER = 1e-5
# Groups merge while the merged points spread at most this far (relative): a root of multiplicity
# m has iterates about eps^(1/m) apart (1e-3 for m = 5).
_MERGE_MAX = 1e-2
# A multiplicity circle's radius relative to max(1, |centre|), and its sample budget.
_CIRCLE_REL = 1e-3
_CIRCLE_BUDGET = 2000
# Dense systems up to this order are counted before further shifts cover the region right of the
# line (a count costs them about as much as one shift).
_COUNT_FIRST_MAX = 64
# rightmost_roots finds at most this many roots at once.
_MAX_K = 5000
# Pieces of each contour refined as independent tasks on an executor.
_PIECES = 16
# Rounds of new shifts placed where the count finds roots that were not yet found.
_ROUNDS = 4
# A root on or within rounding of the counted line moves the line left by these amounts
# (relative to max(1, |r|)); such a root counts as right of the line.
_EDGE_SHIFTS = (0.0, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4)


class DelaySystem:
    """The delay system ``x'(t) = sum_k A_k x(t - h_k)`` with dense or sparse matrices.

    Parameters
    ----------
    A : sequence of array_like or scipy.sparse matrices, each (n, n)
        The matrices A_k: NumPy arrays (or anything `numpy.asarray` takes) or SciPy sparse
        matrices/arrays in any format (CSR, CSC, COO, ...), real and finite. Sparse input stays
        sparse (stored as CSC).
    delays : sequence of float
        The delays h_k >= 0, one per matrix.

    Raises
    ------
    TypeError
        `A` not a sequence of real matrices; `delays` not real numbers.
    ValueError
        No matrices, matrices of different or non-square shapes, non-finite entries, a delay
        count that does not match, negative or non-finite delays.

    Examples
    --------
    >>> import numpy as np, scipy.sparse as sp, vantor
    >>> L = sp.diags([1.0, -2.0, 1.0], [-1, 0, 1], shape=(1000, 1000))
    >>> sys = vantor.DelaySystem([L, -0.5 * sp.identity(1000)], [0.0, 1.0])
    >>> sys.n, sys.sparse
    (1000, True)
    """

    def __init__(self, A: Sequence[Any], delays: Sequence[float]) -> None:
        if isinstance(A, np.ndarray) and A.ndim == 3:
            A = list(A)
        if _is_sparse(A) or not isinstance(A, (list, tuple)):
            raise TypeError(f"A must be a list or tuple of matrices, got {type(A).__name__}")
        if len(A) == 0:
            raise ValueError("A must hold at least one matrix")
        matrices: list[Any] = []
        for k, Ak in enumerate(A):
            matrices.append(_matrix(Ak, f"A[{k}]"))
        n = matrices[0].shape[0]
        for k, Ak in enumerate(matrices):
            if n == 0:
                raise ValueError(f"A[{k}] has shape {Ak.shape}: the matrices must not be empty")
            if Ak.shape != (n, n):
                raise ValueError(f"A[{k}] has shape {Ak.shape}, expected ({n}, {n}) (square)")
        if isinstance(delays, (str, bytes)) or not hasattr(delays, "__len__"):
            raise TypeError(f"delays must be a sequence of numbers, got {delays!r}")
        if len(delays) != len(matrices):
            raise ValueError(f"delays has {len(delays)} entries for {len(matrices)} matrices")
        values: list[float] = []
        for k, h in enumerate(delays):
            if isinstance(h, (bool, np.bool_)) or not isinstance(h, numbers.Real):
                raise TypeError(f"delays[{k}] must be a real number, got {h!r}")
            if not (math.isfinite(float(h)) and float(h) >= 0.0):
                raise ValueError(f"delays[{k}] = {float(h)!r}: delays must be finite and >= 0")
            values.append(float(h))
        self.matrices = matrices
        self.delays = np.array(values)
        self.sparse = any(_is_sparse(Ak) for Ak in matrices)
        if self.sparse:
            self.matrices = [Ak if _is_sparse(Ak) else scipy.sparse.csc_matrix(Ak)
                             for Ak in matrices]

    @property
    def n(self) -> int:
        """The order."""
        return int(self.matrices[0].shape[0])

    @property
    def tau(self) -> float:
        """The largest delay."""
        return float(self.delays.max())

    def __repr__(self) -> str:
        kind = "sparse" if self.sparse else "dense"
        return f"DelaySystem(n={self.n}, {len(self.matrices)} {kind} terms, delays={self.delays.tolist()})"

    def to_lagsys(self) -> pyvantor.lagsys:
        """The system as a ``pyvantor.lagsys`` (sparse matrices become dense: n^2 numbers each)."""
        dense = [Ak.toarray() if _is_sparse(Ak) else Ak for Ak in self.matrices]
        return pyvantor.lagsys(dense, self.delays.tolist())


def _matrix(value: Any, name: str) -> Any:
    if _is_sparse(value):
        if np.iscomplexobj(np.empty(0, dtype=value.dtype)) or not (
                np.issubdtype(value.dtype, np.number) or value.dtype == np.bool_):
            raise TypeError(f"{name} must be real, got dtype {value.dtype}")
        if value.ndim != 2:
            raise ValueError(f"{name} must be 2-D, got {value.ndim}-D")
        matrix = scipy.sparse.csc_matrix(value, dtype=np.float64)
        matrix.sum_duplicates()
        if not np.all(np.isfinite(matrix.data)):
            raise ValueError(f"{name} has a non-finite entry")
        return matrix
    array = np.asarray(value)
    if array.dtype == object or np.iscomplexobj(array) or not (
            np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_):
        raise TypeError(f"{name} must be a real matrix, got dtype {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must be 2-D, got shape {array.shape}")
    array = np.array(array, dtype=np.float64)
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} has a non-finite entry")
    return array


def in_unit(system: LargeSystem) -> tuple[LargeSystem, float]:
    """The system in a unit of time in which its rightmost roots are of order 1 (a power of two,
    so the rescaling is exact), and that unit: rates (r, roots) are divided by it on the way in and
    multiplied on the way out. The scale is that of the box bounds, the larger of the numerical
    abscissa of the undelayed sum and the delayed norms (a stiff discretization's far-left modes
    do not set it), or the norms when both vanish: entries of 1e-300 or 1e300 cost nothing
    special."""
    g, s, norms = _bounds(system)
    base = max(abs(g), float(norms.sum()))
    if not (math.isfinite(base) and base > 1e-12 * float(system.norm_bounds.sum())):
        base = float(system.norm_bounds.sum())
    if not (math.isfinite(base) and base > 0.0):
        return system, 1.0
    unit = math.ldexp(1.0, round(math.log2(base)))
    if unit == 1.0:
        return system, 1.0
    with np.errstate(over="ignore"):
        delays = system.delays * unit
    if not np.all(np.isfinite(delays)):
        raise ValueError(f"the system's delays times its rates (about {base:.3g}) overflow the "
                         f"double range: no root can be computed")
    scaled = LargeSystem([A * (1.0 / unit) for A in system.matrices], delays, system.sparse)
    scaled.bounds = (g / unit, s / unit, norms / unit)
    return scaled, unit


def large_system(sys: object, name: str = "sys") -> LargeSystem:
    """A DelaySystem or pyvantor.lagsys as the matrices and delays the Krylov solver works on."""
    if isinstance(sys, DelaySystem):
        return LargeSystem(list(sys.matrices), sys.delays.copy(), sys.sparse)
    if isinstance(sys, pyvantor.lagsys):
        data = check_system(sys, name)
        return LargeSystem(list(data.matrices), data.delays.copy(), False)
    raise TypeError(f"{name} must be a vantor.DelaySystem or a pyvantor.lagsys, got {type(sys).__name__}")


@dataclass(frozen=True)
class Box:
    """Every root right of a line lies in [x0, x1] x [-y, y]."""

    x0: float
    x1: float
    y: float


def _balancing(A0: Any) -> FloatArray:
    """log d of the diagonal similarity D A_0 D^-1 closest to symmetric in its off-diagonal
    moduli: d_i / d_j = sqrt(|a_ji| / |a_ij|) for every pair with both entries nonzero, in the
    least-squares sense (a graph Laplacian; exact for tridiagonal matrices). The similarity keeps
    the roots and shrinks the skew part that bounds their imaginary parts. The Laplacian is sparse
    for a sparse A_0 and dense for a dense one (small systems: no sparse-matrix overhead)."""
    n = A0.shape[0]
    sparse = _is_sparse(A0)
    if sparse:
        coo = scipy.sparse.coo_matrix(A0)
        upper = coo.row < coo.col
        lower = scipy.sparse.csr_matrix((np.abs(coo.data), (coo.row, coo.col)), shape=(n, n))
        rows, cols = coo.row[upper].astype(np.intp), coo.col[upper].astype(np.intp)
        if rows.size == 0:
            return np.zeros(n)  # nothing above the diagonal (indexing by no pairs is not an array)
        forward = np.abs(coo.data[upper])
        backward = np.asarray(lower[cols, rows]).ravel()
    else:
        moduli = np.abs(np.asarray(A0, dtype=np.float64))
        rows, cols = np.nonzero(np.triu(moduli, 1))
        forward, backward = moduli[rows, cols], moduli[cols, rows]
    both = (forward > 0) & (backward > 0)
    if not np.any(both):
        return np.zeros(n)  # no pair to balance
    i, j = rows[both], cols[both]
    target = 0.5 * np.log(backward[both] / forward[both])
    rhs = np.bincount(i, target, n) - np.bincount(j, target, n)
    degree = (np.bincount(i, minlength=n) + np.bincount(j, minlength=n)).astype(np.float64)
    if sparse:
        adjacency = scipy.sparse.csr_matrix((np.ones(i.size), (i, j)), shape=(n, n))
        laplacian = (scipy.sparse.diags(degree + 1e-9) - adjacency - adjacency.T).tocsc()
        x = np.asarray(scipy.sparse.linalg.spsolve(laplacian, rhs), dtype=np.float64)
    else:
        dense = np.diag(degree + 1e-9)
        dense[i, j] = dense[j, i] = -1.0
        x = np.asarray(np.linalg.solve(dense, rhs), dtype=np.float64)
    x -= x.mean()
    return x if np.all(np.isfinite(x)) and np.abs(x).max() < 300.0 else np.zeros(n)


def _bounds(system: LargeSystem) -> tuple[float, float, FloatArray]:
    """(g, s, norms) for the balanced system D A_k D^-1 (same roots): Re w <= g and |Im w| <= s
    for every w in the numerical range of the undelayed sum A_0 (g bounds the largest eigenvalue
    of its symmetric part by Gershgorin's discs, s the 2-norm of its skew part by its 1-norm), and
    bounds on the 2-norms of the delayed matrices."""
    if system.bounds is not None:
        return system.bounds
    undelayed = [A for A, h in zip(system.matrices, system.delays) if h == 0.0]
    if not system.sparse and system.n <= _EXACT_BOUNDS:
        # Dense and not too large: the numerical range's extent and the norms exactly.
        norms = np.array([float(np.linalg.norm(A, 2)) if h > 0.0 else 0.0
                          for A, h in zip(system.matrices, system.delays)])
        if not undelayed:
            result = (0.0, 0.0, norms)
        else:
            A0d = np.sum(undelayed, axis=0)
            g = float(np.linalg.eigvalsh(0.5 * (A0d + A0d.T))[-1])
            skew = float(np.abs(np.linalg.eigvalsh(0.5j * (A0d - A0d.T))).max())
            result = (g * (1 + 1e-12) + 1e-300, skew * (1 + 1e-12), norms * (1 + 1e-12))
        system.bounds = result
        return result
    sparse = [scipy.sparse.csr_matrix(A) for A in system.matrices]
    A0: Any = sum(scipy.sparse.csr_matrix(A) for A in undelayed) if undelayed else None
    logd = _balancing(A0) if A0 is not None else np.zeros(system.n)
    d = scipy.sparse.diags(np.exp(logd))
    d_inv = scipy.sparse.diags(np.exp(-logd))
    norms = np.array([_norm_bound(d @ A @ d_inv) if h > 0.0 else 0.0
                      for A, h in zip(sparse, system.delays)])
    if A0 is None:
        result = (0.0, 0.0, norms)
    else:
        B = (d @ A0 @ d_inv).tocsr()
        S = ((B + B.T) * 0.5).tocsr()
        K = ((B - B.T) * 0.5).tocsc()
        diagonal = S.diagonal()
        radius = np.asarray(abs(S).sum(axis=1)).ravel() - np.abs(diagonal)
        skew = float(np.asarray(abs(K).sum(axis=0)).max()) if K.nnz else 0.0
        result = (float(np.max(diagonal + radius)), skew, norms)
    system.bounds = result
    return result


def _gershgorin_bounds(system: LargeSystem) -> tuple[float, float]:
    g, s, _ = _bounds(system)
    return g, s


def _delayed_bound(system: LargeSystem, r: float) -> float:
    _, _, norms = _bounds(system)
    delayed = system.delays > 0.0
    with np.errstate(over="ignore"):
        return float(np.sum(norms[delayed] * np.exp(-r * system.delays[delayed])))


def box_right_of(system: LargeSystem, r: float) -> Optional[Box]:
    """A box that holds every root with Re(lambda) >= r, None when no root can lie there.

    For a root, v* Delta(lambda) v = 0 with |v| = 1 gives lambda = v* A_0 v + sum_{h_k > 0}
    exp(-lambda h_k) v* A_k v, so Re(lambda) <= g + d(r) and |Im(lambda)| <= s + d(r), with (g, s)
    from `_gershgorin_bounds` and d(r) = sum_{h_k > 0} ||A_k|| exp(-r h_k)."""
    g, s = _gershgorin_bounds(system)
    d = _delayed_bound(system, r)
    if not math.isfinite(d):
        raise ValueError(f"r = {r!r} is so low that the bound on the roots overflows; raise r")
    right, height = g + d, s + d
    if right < r:
        return None
    pad = 0.05 * max(1.0, abs(r), abs(right), height)
    return Box(r, right + pad, height + pad)


def abscissa_bound(system: LargeSystem) -> float:
    """The x with x = g + d(x): no root has a larger real part (g + d(x) falls as x grows)."""
    g, _ = _gershgorin_bounds(system)

    def excess(x: float) -> float:
        return g + _delayed_bound(system, x) - x

    high = max(1.0, abs(g)) + g + 1.0
    while excess(high) > 0.0:
        high = high + 2.0 * max(1.0, abs(high))
    low = g - 1.0
    while excess(low) < 0.0:
        low = low - 2.0 * max(1.0, abs(low))
    return float(brentq(excess, low, high, xtol=1e-12, rtol=1e-12))


def _turn_task(system: LargeSystem, job: tuple[FloatArray, float, float]) -> tuple[float, bool]:
    rect, t0, t1 = job
    return turn_along(system, rect, t0, t1)


def _rect_counts(system: LargeSystem, rects: FloatArray, executor: Optional[Any]
                 ) -> tuple[NDArray[np.int64], NDArray[np.bool_]]:
    """zeros_in_rects; with an executor, each boundary in pieces refined independently on the
    workers (the system sent to each once), the pieces' turns summed."""
    if executor is None:
        return zeros_in_rects(system, rects)
    from ._executor import is_dask_client

    pieces = _PIECES
    jobs = [(rect, i / pieces, (i + 1) / pieces) for rect in rects for i in range(pieces)]
    if is_dask_client(executor):
        handle = executor.scatter(system, broadcast=True, hash=False)
        futures = executor.map(_turn_task, [handle] * len(jobs), jobs, pure=False, retries=1)
        results = list(executor.gather(futures))
    else:
        from ._executor import map_shared

        results = map_shared(_turn_task, system, jobs, executor)
    counts = np.empty(rects.shape[0], dtype=np.int64)
    hits = np.zeros(rects.shape[0], dtype=bool)
    for j in range(rects.shape[0]):
        part = results[j * pieces:(j + 1) * pieces]
        hits[j] = any(hit for _, hit in part)
        counts[j] = -1 if hits[j] else winding(sum(turn for turn, _ in part))
    return counts, hits


def count_large(system: LargeSystem, r: float, executor: Optional[Any] = None) -> tuple[int, float]:
    """Roots with Re(lambda) > r by the argument principle on `box_right_of`, and the line used."""
    scale = max(system.root_scale, abs(r))
    for shift in _EDGE_SHIFTS:
        left = r - shift * scale
        box = box_right_of(system, left)
        if box is None:
            return 0, left
        counts, hit = _rect_counts(system, np.array([[box.x0, box.x1, -box.y, box.y]]), executor)
        if not hit[0]:
            return int(counts[0]), left
    raise RuntimeError(f"det Delta vanishes on every contour tried near Re(lambda) = {r!r}")


def strip_counts(system: LargeSystem, line: float, edges: FloatArray,
                 executor: Optional[Any] = None) -> NDArray[np.int64]:
    """Roots in [line, x1] x [edges[i], edges[i+1]] for each strip (-1 where a root lies on it)."""
    box = box_right_of(system, line)
    if box is None:
        return np.zeros(edges.size - 1, dtype=np.int64)
    rects = np.array([[box.x0, box.x1, a, b] for a, b in zip(edges[:-1], edges[1:])])
    counts, _ = _rect_counts(system, rects, executor)
    return counts


@dataclass(frozen=True)
class RightmostRoots:
    """The outcome of `rightmost_roots`.

    Attributes
    ----------
    roots : ndarray of complex
        The roots, rightmost first (of equal real parts, negative imaginary part first).
    multiplicity : ndarray of int
        Their multiplicities: each counted on a small circle by the argument principle where the
        values found cluster (a defective or semisimple multiple root), 1 for an isolated root.
    certified : bool
        True: the argument principle counts exactly these roots (with multiplicity) right of the
        line `r` (no root right of the last one returned is missing). False when
        ``certify=False`` was asked for: such a list holds true roots but may skip some (on
        clustered spectra it need not be the k rightmost).
    r : float
        The line the count was taken on (just left of the last root returned).
    count : int
        That count (-1 without certification).
    residual : ndarray of float
        ``||Delta(lambda) v|| / (||v|| (|lambda| + sum_k ||A_k|| |exp(-lambda h_k)|))`` of each root.
    vectors : ndarray of complex, shape (n, len(roots))
        Unit null vectors: ``Delta(roots[j]) vectors[:, j] ~ 0`` (the eigenfunction's value at 0).
    shifts : int
        Shift-invert Arnoldi runs.
    message : str
        What was done ("certified by the count", or "not certified: certify=False").
    """

    roots: ComplexArray
    multiplicity: NDArray[np.int64]
    certified: bool
    r: float
    count: int
    residual: FloatArray = field(repr=False)
    vectors: ComplexArray = field(repr=False)
    shifts: int = 0
    message: str = ""


class _Found:
    """Refined roots with their residuals and null vectors, without duplicates, closed under
    conjugation."""

    def __init__(self, n: int, floor: float = 1.0) -> None:
        self.n, self.floor = n, floor
        self.roots: list[complex] = []
        self.residuals: list[float] = []
        self.vectors: list[ComplexArray] = []

    def add(self, lam: complex, residual: float, v: ComplexArray) -> None:
        for z, w in ((lam, v), (lam.conjugate(), v.conj())):
            if abs(z.imag) <= 1e-13 * max(self.floor, abs(z)):
                z = complex(z.real, 0.0)
            if any(abs(z - u) <= _SAME * max(self.floor, abs(z)) for u in self.roots):
                continue
            self.roots.append(z)
            self.residuals.append(residual)
            self.vectors.append(w)

    def sorted(self) -> tuple[ComplexArray, FloatArray, ComplexArray]:
        z = np.array(self.roots, dtype=np.complex128)
        res = np.array(self.residuals, dtype=np.float64)
        V = np.array(self.vectors, dtype=np.complex128).reshape(len(self.vectors), self.n)
        order = np.lexsort((z.imag, -z.real))
        return z[order], res[order], V[order]


@dataclass
class _Roots:
    """Distinct roots (rightmost first) with multiplicities, residuals and null vectors, and
    whether each multiplicity was counted on a circle."""

    z: ComplexArray
    multiplicity: NDArray[np.int64]
    residual: FloatArray
    vectors: ComplexArray
    counted: NDArray[np.bool_]
    # The radius of the circle each multiplicity was counted on (0 when not counted).
    radius: FloatArray


def _group_labels(z: ComplexArray, tol: float, floor: float = 1.0) -> NDArray[np.intp]:
    """Single-linkage groups of points closer than tol max(floor, |z|) (a KD-tree pair query)."""
    return linked_labels(z, np.full(z.size, tol * max(floor, float(np.abs(z).max(initial=0.0)))))


def _cluster(system: LargeSystem, z: ComplexArray, res: FloatArray, V: ComplexArray,
             probe: Optional[NDArray[np.bool_]] = None, known: Optional[_Roots] = None) -> _Roots:
    """The roots found as distinct roots with multiplicities.

    Newton's iterates of one multiple root scatter by about eps^(1/m) (relative): points closer
    than _CLUSTER form a group. The points of a group are first counted each on a circle of 0.45
    of the distance to the nearest other point: ones each, they are distinct simple roots.
    Otherwise the group, and every group of one point marked in `probe`, is counted on a circle
    around it (radius 1e-3 max(1, |centre|) or thirty times its spread, at most 0.45 of the
    distance to the nearest other group, grown tenfold while det Delta is in rounding noise on
    it): the count is its multiplicity (a semisimple root found once counts twice). A group
    whose circle stays in noise merges with its nearest neighbour (a root of high multiplicity
    scatters wider than _CLUSTER) and is counted again; one that cannot merge raises."""
    floor = system.root_scale
    labels = _group_labels(z, _CLUSTER, floor)
    groups = [np.flatnonzero(labels == u) for u in np.unique(labels)]
    resolved: dict[tuple[int, ...], list[tuple[complex, int, int, float]]] = {}
    for _ in range(64):
        centres = np.array([z[g].mean() if g.size > 1 else z[g[0]] for g in groups], dtype=np.complex128)
        caps = np.full(len(groups), math.inf)
        nearest = np.full(len(groups), -1)
        if len(groups) > 1:
            dist = np.abs(centres[:, None] - centres[None, :])
            np.fill_diagonal(dist, np.inf)
            nearest = np.argmin(dist, axis=1)
            caps = 0.45 * dist[np.arange(len(groups)), nearest]
        merge: Optional[tuple[int, int]] = None
        for i, g in enumerate(groups):
            key = tuple(int(x) for x in g)
            if key in resolved:
                continue
            best = int(g[int(np.argmin(res[g]))])
            wanted_probe = probe is not None and bool(np.any(probe[g]))
            previous = _known_multiplicity(known, centres[i], floor)
            if g.size == 1 and (previous is not None or not wanted_probe):
                resolved[key] = [(complex(z[best]), previous or 1, best, 0.0)]
                continue
            if g.size > 1:
                singles = _separate_points(system, z[g])
                if singles is not None:
                    resolved[key] = [(complex(z[j]), 1, int(j), float(rho)) for j, rho in zip(g, singles)]
                    continue
            counted = _circle_count(system, complex(centres[i]),
                                    float(np.abs(z[g] - centres[i]).max()), float(caps[i]))
            if counted[0] <= 0:
                # No root (or only noise) on every circle up to the neighbours: the scattered
                # iterates of one root of high multiplicity, or a value that is no root.
                if nearest[i] >= 0:
                    joined = np.concatenate((g, groups[int(nearest[i])]))
                    spread = float(np.abs(z[joined] - z[joined].mean()).max())
                    if spread <= _MERGE_MAX * max(floor, abs(complex(centres[i]))):
                        merge = (i, int(nearest[i]))
                        break
                if counted[0] == 0:
                    resolved[key] = []  # a pseudo-eigenvalue: det Delta has no zero near it
                    continue
                raise RuntimeError(
                    f"the multiplicity of the root near {complex(centres[i]):.10g} could not be "
                    f"counted: det Delta is in rounding noise on every circle tried")
            resolved[key] = [(complex(centres[i]), counted[0], best, counted[1])]
        if merge is None:
            break
        i, j = merge
        joined = np.concatenate((groups[i], groups[j]))
        groups = [g for k, g in enumerate(groups) if k not in (i, j)] + [joined]
    else:
        raise RuntimeError("the roots found could not be grouped into counted clusters")
    entries = [e for g in groups for e in resolved[tuple(int(x) for x in g)]]
    centres = _conjugate_centres(np.array([e[0] for e in entries], dtype=np.complex128))
    mult = np.array([e[1] for e in entries], dtype=np.int64)
    best_of = np.array([e[2] for e in entries], dtype=np.intp)
    radius = np.array([e[3] for e in entries])
    counted_flag = np.array([e[3] > 0.0 for e in entries], dtype=bool)
    order = np.lexsort((centres.imag, -centres.real))
    return _Roots(centres[order], mult[order], res[best_of][order], V[best_of][order],
                  counted_flag[order], radius[order])


def _known_multiplicity(known: Optional[_Roots], centre: complex, floor: float) -> Optional[int]:
    """The multiplicity an earlier clustering counted at this centre, if any."""
    if known is None or known.z.size == 0:
        return None
    j = int(np.argmin(np.abs(known.z - centre)))
    if known.counted[j] and abs(known.z[j] - centre) <= _CLUSTER * max(floor, abs(centre)):
        return int(known.multiplicity[j])
    return None


def _separate_points(system: LargeSystem, points: ComplexArray) -> Optional[FloatArray]:
    """The radii of circles (0.45 of the distance to the nearest other point) that each hold
    exactly one root, or None when any does not (or is in rounding noise)."""
    dist = np.abs(points[:, None] - points[None, :])
    np.fill_diagonal(dist, np.inf)
    radii = 0.45 * dist.min(axis=1)
    if np.any(radii <= 1e-10 * np.maximum(system.root_scale, np.abs(points))):
        return None
    counts, hit = zeros_in_circles(system, points, radii, budget=_CIRCLE_BUDGET)
    return radii if not np.any(hit) and np.all(counts == 1) else None


def _circle_count(system: LargeSystem, centre: complex, spread: float, cap: float
                  ) -> tuple[int, float]:
    """The count on a circle around centre and its radius, grown tenfold from max(1e-3 max(1,
    |centre|), 30 spread) up to cap while the count is 0 or det Delta is in rounding noise on the
    circle; (0, radius) when it stays 0, (-1, radius) when it stays in noise."""
    scale = max(system.root_scale, abs(centre))
    radius = min(cap, max(_CIRCLE_REL * scale, 30.0 * spread))
    while True:
        counts, hit = zeros_in_circles(system, np.array([centre]), np.array([radius]),
                                       budget=_CIRCLE_BUDGET)
        if not hit[0] and counts[0] > 0:
            return int(counts[0]), radius
        if radius >= cap or radius >= 1e-1 * scale:
            return (-1 if hit[0] else 0), radius
        radius = min(cap, 10.0 * radius)


def _conjugate_centres(z: ComplexArray) -> ComplexArray:
    """A real system's distinct roots exactly closed under conjugation: a centre within rounding
    of the real axis is real, and the upper member of a pair is the conjugate of the lower."""
    z = z.copy()
    scale = np.maximum(1.0, np.abs(z))
    z[np.abs(z.imag) <= 1e-12 * scale] = z[np.abs(z.imag) <= 1e-12 * scale].real
    for i in np.flatnonzero(z.imag > 0):
        j = int(np.argmin(np.abs(z - np.conj(z[i]))))
        if z[j].imag < 0 and abs(z[j] - np.conj(z[i])) <= _CLUSTER * scale[i]:
            z[i] = np.conj(z[j])
    return z


def _centre(system: LargeSystem, sigma: complex) -> complex:
    """Where to centre the collocation for a shift: at the shift itself, unless exp(-zeta h_k)
    would leave the double range (a shift far left of a long delay's roots)."""
    tau = system.tau
    if tau <= 0.0:
        return 0.0
    return complex(max(sigma.real, -256.0 / tau), sigma.imag)


def _degree(system: LargeSystem, sigma: complex) -> int:
    # The collocation resolves eigenvalues up to about |lambda - centre| tau ~ N; Newton does the rest.
    # Small dense systems start higher: their Arnoldi run costs mostly the Hessenberg eigenproblem
    # (at n = 10, 6.5 ms at degree 24, 7.4 ms at 40), and a raised degree would cost a second run.
    distance = abs(sigma - _centre(system, sigma))
    least = 40 if not system.sparse and system.n <= 16 else 24
    return int(min(160, max(least, math.ceil(1.5 * distance * system.tau) + 24)))


def _shift_task(system: LargeSystem, job: tuple[complex, int, int, int]
                ) -> tuple[list[tuple[complex, float, ComplexArray]], float, int]:
    """The refined roots from the Ritz values nearest a shift, the radius they span and the
    degree that resolved them. The job's last entry is the least degree to start from: the one
    earlier shifts needed (the roots' spacing, and so the spread of as many Ritz values, varies
    slowly), which saves most shifts a second Arnoldi run at a raised degree."""
    sigma, count, seed, least = job
    degree = max(_degree(system, sigma), min(least, 160))
    while True:
        values, vectors = ShiftInvert(system, degree, sigma, _centre(system, sigma)).eigenpairs(count, seed)
        # Ritz values farther from the centre than the degree resolves are not yet roots: raise
        # the degree to the radius they span (the roots of a long delay lie densely about it).
        spread = float(np.abs(values - _centre(system, sigma)).max()) if values.size else 0.0
        needed = int(min(160, math.ceil(1.5 * spread * system.tau) + 24))
        if needed <= degree + 8:
            break
        degree = needed
    accepted = []
    for lam, v in zip(values, vectors):
        # A Ritz pair already within rounding needs no Newton step (each costs a factorization).
        norm = float(np.linalg.norm(v))
        if norm > 0.0 and np.isfinite(lam):
            residual = float(np.linalg.norm(system.delta(complex(lam)) @ v)) / (
                norm * system.term_size(complex(lam)))
            if residual <= 1e-2 * ACCEPT_RESIDUAL:
                accepted.append((complex(lam), residual, v / norm))
                continue
            if not system.sparse and system.n > _DENSE_POLISH and residual <= ACCEPT_RESIDUAL:
                # A dense factorization of a large order costs more than the whole Arnoldi run:
                # an accurate Ritz pair is kept as it is.
                accepted.append((complex(lam), residual, v / norm))
                continue
        refined = newton(system, complex(lam), v)
        if refined is not None and refined[1] <= ACCEPT_RESIDUAL:
            accepted.append(refined)
    radius = float(np.abs(values - sigma).max()) if values.size >= count else math.inf
    return accepted, radius, degree


def _uncovered_shifts(system: LargeSystem, line: float, upper: float,
                      discs: list[tuple[complex, float]], count: int, seed: int
                      ) -> list[tuple[complex, int, int]]:
    """Shifts for the part of the region [line, upper] x [0, Y] (every root right of line, upper
    half) that the discs of earlier shifts do not cover, on a grid of sample points."""
    box = box_right_of(system, line)
    if box is None or upper <= line:
        return []
    typical = float(np.median([r for _, r in discs if math.isfinite(r)] or [box.y]))
    step = max(0.5 * typical, 1e-3 * max(1.0, box.y))
    # Up to a little above the roots found: the count, not this heuristic, proves the rest.
    top = min(box.y, max((abs(c.imag) + r for c, r in discs if math.isfinite(r)), default=box.y)
              + typical)
    xs = np.linspace(line, upper, max(2, int(math.ceil((upper - line) / step)) + 1))
    ys = np.linspace(0.0, top, max(2, int(math.ceil(top / step)) + 1))
    points = (xs[:, None] + 1j * ys[None, :]).ravel()
    covered = np.zeros(points.size, dtype=bool)
    for centre, radius in discs:
        covered |= np.abs(points - centre) <= 0.9 * radius
    jobs: list[tuple[complex, int, int]] = []
    while not covered.all() and len(jobs) < 64:
        centre = complex(points[np.flatnonzero(~covered)[0]])
        centre = complex(min(max(centre.real, line), upper), centre.imag + 0.5 * typical)
        jobs.append((centre, count, seed + len(jobs)))
        covered |= np.abs(points - centre) <= 0.9 * typical
    return jobs


def _check_count(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    if value < 1:
        raise ValueError(f"{name} must be >= 1, got {value}")
    return int(value)


def rightmost_roots(sys: Union[DelaySystem, pyvantor.lagsys], k: int = 6, *, r: Optional[float] = None,
                    certify: bool = True, executor: Optional[Any] = None, seed: int = 0
                    ) -> RightmostRoots:
    """The k rightmost characteristic roots of a (large, sparse) delay system, certified.

    Shift-invert Arnoldi on a Chebyshev collocation of the delay equation centred at each shift
    (x(t) = exp(sigma t) y(t), so that the roots near the shift are resolved by a low degree even
    far up the axis or with a delay far longer than the system's time scale), where each solve
    with the shifted operator reduces to one solve with an n x n matrix formed from the A_k at
    the shift, factored once (a sparse LU for sparse A_k); the first shift lies right of a proven
    bound on the spectral abscissa. The system is first balanced by a diagonal similarity
    (same roots), so that non-normal operators (upwind advection) show no pseudo-eigenvalues.
    Every Ritz value is refined by Newton's method on Delta(lambda) v = 0 with sparse
    factorizations and kept only with a relative residual below 1e-10. Values that cluster are
    counted on a small circle: the count is the multiplicity of the root there (a double root
    found as two nearby values is one root of multiplicity two; a semisimple root found once counts
    twice). Certification counts the roots right of a line just left of the k-th root (never
    through a cluster or a conjugate pair) by the argument principle (sparse LU log-determinants
    at the contour's nodes, on a box from the numerical range of the undelayed matrices; when the
    undelayed part is symmetric of order at most 3000 and every delayed matrix a multiple of I or
    symmetric and commuting with it, det Delta is the product over the modes of their scalar
    characteristic functions, from one eigenvalue decomposition; when the pattern is reducible, the
    product of its diagonal blocks' determinants); when the
    count exceeds the roots found, strips of the box are counted and new shifts placed where roots
    are missing.

    Parameters
    ----------
    sys : vantor.DelaySystem or pyvantor.lagsys
        The system.
    k : int, optional
        How many roots (>= 1, at most 5000), counted with multiplicity. Default 6. Every root with
        the real part of the k-th is returned too, so a real system's conjugate pairs come whole
        (k may grow by one, as with eigs). A system without delays has only n roots: k > n returns
        those n and says so in ``message``. Ignored when `r` is given.
    r : float, optional
        Return every root with ``Re(lambda) > r`` instead of the k rightmost.
    certify : bool, optional
        Prove the list complete by the count (default True); False skips the count, and the
        list may then skip roots.
    executor : concurrent.futures.Executor or dask.distributed.Client, optional
        Runs the contour nodes and the shifts; the system goes to each Dask worker once. The
        results are those of the serial run.
    seed : int, optional
        Seed of Arnoldi's starting vectors. Default 0.

    Returns
    -------
    RightmostRoots
        ``roots``, ``multiplicity``, ``certified``, ``r``, ``count``, ``residual``, ``shifts``,
        ``message``.

    Raises
    ------
    TypeError, ValueError
        Invalid arguments (an executor of the wrong kind, k above 5000).
    RuntimeError
        The roots counted right of the line could not all be found, or the multiplicity of a
        cluster could not be counted.

    Examples
    --------
    >>> import numpy as np, scipy.sparse as sp, vantor
    >>> n = 2000
    >>> L = sp.diags([1.0, -2.0, 1.0], [-1, 0, 1], shape=(n, n)) * (n + 1) ** 2 / np.pi ** 2
    >>> sys = vantor.DelaySystem([L, -0.5 * sp.identity(n)], [0.0, 1.0])
    >>> res = vantor.rightmost_roots(sys, 4)
    >>> res.certified, res.count
    (True, 4)
    """
    system, scaling = _balanced(large_system(sys))
    system, unit = in_unit(system)
    if r is None:
        wanted: Optional[int] = _check_count(k, "k")
        bound: Optional[float] = None
    else:
        wanted, bound = None, check_real(r, "r") / unit
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an integer, got {seed!r}")
    if not 0 <= seed < 2 ** 31:
        raise ValueError(f"seed must be in [0, 2**31), got {seed}")
    if not isinstance(certify, (bool, np.bool_)):
        raise TypeError(f"certify must be True or False, got {certify!r}")
    from ._executor import check_executor, map_shared

    check_executor(executor)
    note = ""
    if wanted is not None and not np.any(system.delays > 0.0) and wanted > system.n:
        note = f"; only {system.n} roots exist without delays (k = {wanted} asked)"
        wanted = system.n
    if wanted is not None and wanted > _MAX_K:
        raise ValueError(f"k = {wanted} is more than the {_MAX_K} rightmost roots one call finds "
                         f"(each needs its own Arnoldi vectors); give r to bound them instead")

    found = _Found(system.n, system.root_scale)
    upper = abscissa_bound(system)
    # Right of every root, but within a few root spacings (2 pi / tau) of the line of a long
    # delay's roots: beyond them, every root is at about the same distance from the shift.
    offset = 0.05 * max(1.0, abs(upper))
    if system.tau > 0.0:
        offset = min(offset, 2.0 / system.tau)
    sigma0 = complex(upper + offset, 0.0)
    batch = (wanted or 10) + 6
    jobs: list[tuple[complex, int, int]] = [(sigma0, batch, seed)]
    shifts = 0
    line = math.nan
    count = -1
    discs: list[tuple[complex, float]] = []
    roots: Optional[_Roots] = None
    degree = 0
    count_first = certify and not system.sparse and system.n <= _COUNT_FIRST_MAX
    for round_ in range(_ROUNDS + 1):
        while jobs:
            tasks = [(*job, degree) for job in jobs]
            for job, (accepted, radius, used) in zip(jobs, map_shared(_shift_task, system, tasks, executor)):
                discs.append((job[0], radius))
                degree = max(degree, used)
                for lam, residual, v in accepted:
                    found.add(lam, residual, v)
            shifts += len(jobs)
            z, res, V = found.sorted()
            if wanted is not None and z.size < wanted and shifts < 4 * (_ROUNDS + 1):
                batch *= 2
                jobs = [(sigma0, batch, seed + shifts)]
                continue
            # Shifts until the discs where every root was found cover the region right of the
            # tentative line (which moves right as roots are found).
            # (A small dense system counts first: its count costs about one shift.)
            covering = shifts < 16 * (_ROUNDS + 1) and not (round_ == 0 and count_first)
            jobs = _uncovered_shifts(system, _line(z, np.ones(z.size, dtype=np.int64), wanted, bound,
                                                           floor=system.root_scale),
                                     upper, discs, batch, seed + shifts) if covering else []
        z, res, V = found.sorted()
        roots = _cluster(system, z, res, V, known=roots)
        line = _line(roots.z, roots.multiplicity, wanted, bound, roots.radius, system.root_scale)
        if not certify:
            return _result(roots, line, False, -1, shifts,
                           "not certified: certify=False (an uncertified list may skip roots)" + note,
                           scaling, unit)
        count, line = count_large(system, line, executor)
        inside = int(roots.multiplicity[roots.z.real > line].sum())
        if count != inside:
            # A semisimple root found once (two modes with one value) counts twice on its circle;
            # the scattered iterates of a root of high multiplicity count once together.
            near = z.real > line - 1e-2 * max(system.root_scale, abs(line))
            roots = _cluster(system, z, res, V, probe=near, known=roots)
            line = _line(roots.z, roots.multiplicity, wanted, bound, roots.radius, system.root_scale)
            count, line = count_large(system, line, executor)
            inside = int(roots.multiplicity[roots.z.real > line].sum())
        if count == inside:
            return _result(roots, line, True, count, shifts, "certified by the count" + note, scaling,
                           unit)
        if count < inside or round_ == _ROUNDS:
            break
        jobs = _missing_shifts(system, line, roots.z, executor, seed + 100 * (round_ + 1), 2 ** round_,
                               count - inside)
    found_right = int(roots.multiplicity[roots.z.real > line].sum()) if roots is not None else 0
    raise RuntimeError(
        f"{count} roots lie right of Re(lambda) = {line * unit:.6g} by the argument principle, but "
        f"{found_right} were found after {shifts} shifts")


def _result(roots: _Roots, line: float, certified: bool, count: int, shifts: int, message: str,
            scaling: Optional[FloatArray], unit: float) -> RightmostRoots:
    """Every distinct root right of the line: the k rightmost with multiplicity, and any root of
    the same real part as the k-th (the other member of a conjugate pair); null vectors of the
    system as given (undoing the balancing similarity)."""
    keep = roots.z.real > line
    vectors = roots.vectors[keep].T.copy()
    if scaling is not None and vectors.size:
        vectors = vectors / scaling[:, None]
        vectors /= np.linalg.norm(vectors, axis=0)
    return RightmostRoots(roots.z[keep] * unit, roots.multiplicity[keep], certified, line * unit,
                          count, roots.residual[keep], vectors, shifts, message)


def _balanced(system: LargeSystem) -> tuple[LargeSystem, Optional[FloatArray]]:
    """The system under the diagonal similarity D A_k D^-1 of `_balancing` (same roots; null
    vectors D v), and D's diagonal; the system itself when D = I. Non-normal operators (upwind
    advection) have pseudo-eigenvalues with tiny residuals far from every root; balanced, Arnoldi
    and Newton see a nearly normal operator."""
    undelayed = [A for A, h in zip(system.matrices, system.delays) if h == 0.0]
    if not undelayed:
        return system, None
    A0: Any = (sum(scipy.sparse.csr_matrix(A) for A in undelayed) if system.sparse
               else np.sum(undelayed, axis=0))
    logd = _balancing(A0)
    if not np.any(np.abs(logd) > 1e-3):
        return system, None
    d = np.exp(logd)
    if system.sparse:
        D, D_inv = scipy.sparse.diags(d), scipy.sparse.diags(1.0 / d)
        matrices = [scipy.sparse.csc_matrix(D @ A @ D_inv) for A in system.matrices]
    else:
        matrices = [d[:, None] * A / d[None, :] for A in system.matrices]
    return LargeSystem(matrices, system.delays.copy(), system.sparse), d


def _line(z: ComplexArray, multiplicity: NDArray[np.int64], wanted: Optional[int],
          bound: Optional[float], radius: Optional[FloatArray] = None, floor: float = 1.0) -> float:
    """The line to count on: r itself, or just left of the k-th root found counted with
    multiplicity (a quarter of the way to the next distinct real part): it never cuts a cluster
    or a conjugate pair."""
    if bound is not None:
        return bound
    assert wanted is not None
    if z.size == 0:
        raise RuntimeError("shift-invert Arnoldi found no root (a delay far longer than the "
                           "system's time scale puts the roots beyond what its discretization "
                           "resolves)")
    index = min(int(np.searchsorted(np.cumsum(multiplicity), wanted)), z.size - 1)
    kth = float(z[index].real)
    scale = max(floor, abs(kth))
    below = z.real[z.real < kth - 1e-9 * scale]
    gap = 0.25 * (kth - float(below.max())) if below.size else 1e-2 * scale
    # Clear of the circle on which the k-th root's multiplicity was counted.
    clear = 1.01 * float(radius[index]) if radius is not None else 0.0
    return kth - max(min(max(gap, 1e-6 * scale), 1e-2 * scale), clear)


def _missing_shifts(system: LargeSystem, line: float, z: ComplexArray, executor: Optional[Any],
                    seed: int, refinement: int, missing: int) -> list[tuple[complex, int, int]]:
    """Shifts where the count exceeds the roots found: in each strip of the upper half box whose
    count is larger than the roots found in it (the lower half mirrors it), at the centre of the
    roots found there (a cluster) or of the strip, asking for enough eigenvalues to pass through
    a cluster of the strip's count."""
    box = box_right_of(system, line)
    assert box is not None
    strips = 4 * refinement
    # The first strip straddles the real axis (real roots must not lie on an edge).
    edges = np.concatenate(([-1e-3 * box.y], np.linspace(0.0, box.y, strips + 1)[1:]))
    edges[1:] += 1e-9 * box.y * np.arange(1, strips + 1)
    counts = strip_counts(system, line, edges, executor)
    jobs = []
    right = float(z.real.max()) if z.size else box.x1
    for i, c in enumerate(counts):
        a, b = edges[i], edges[i + 1]
        here = (z.real > line) & (z.imag >= a) & (z.imag <= b)
        have = int(np.count_nonzero(here))
        if c < 0 or c > have:
            centre = complex(np.mean(z[here])) if have else \
                complex(0.5 * (line + max(right, line)), 0.5 * (a + b))
            jobs.append((centre, 4 * max(c, have, 1) + 10 * refinement, seed + i))
    if not jobs:
        # The strips agree with the roots found while the whole count does not (a root near a
        # strip's edge): search around the roots nearest the line with many more eigenvalues.
        near = z[z.real > line]
        centre = complex(np.mean(near)) if near.size else complex(line, 0.0)
        jobs.append((complex(centre.real, abs(centre.imag)), 4 * (near.size + missing) + 20, seed))
    return jobs
