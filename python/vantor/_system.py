"""Validation of arguments and the numerical pieces shared by the analyses: the system's matrices as
arrays, the bound on the roots' moduli and the characteristic matrix at many points at once."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, replace

import numpy as np
from numpy.typing import NDArray
from scipy.linalg.lapack import zgetrf, zgetrs

import pyvantor

from . import _kernels

# The discretization degree of `pyvantor.roots` is capped at 100, which resolves roots up to about
# |lambda| * max(1, tau) = 90.
RESOLVED_REACH = 90.0

ComplexArray = NDArray[np.complex128]
FloatArray = NDArray[np.float64]

# The status of a point in `log_derivatives`.
REGULAR, SINGULAR, OVERFLOW = 0, 1, 2
# Largest order for which the compiled kernel computes log_derivatives (LAPACK beyond), and the
# matrices per batch of the NumPy path (CHUNK * n^2 complex numbers: at most 64 MB).
_KERNEL_MAX_ORDER = 100
_CHUNK_ENTRIES = 4_000_000


@dataclass(frozen=True)
class SystemData:
    """A validated copy of a system: matrices (m, n, n), delays (m,), their spectral norms, and the
    unit of time it is expressed in (see `normalized`): its roots are the system's roots / unit."""

    matrices: FloatArray
    delays: FloatArray
    norms: FloatArray
    unit: float = 1.0

    @property
    def n(self) -> int:
        return int(self.matrices.shape[1])

    @property
    def tau(self) -> float:
        return float(self.delays.max())

    def modulus_bound(self, r: float) -> float:
        """A bound B(r) on |lambda| for every root with Re(lambda) >= r; inf when it overflows.

        A root has lambda v = sum_k A_k exp(-lambda h_k) v for some v != 0, and every h_k >= 0, so
        |exp(-lambda h_k)| <= exp(-r h_k). Hence |lambda| <= sum_k ||A_k||_2 exp(-r h_k) (norms), and
        |lambda| |v| <= W |v| entrywise with W = sum_k |A_k| exp(-r h_k), so |lambda| <= rho(W), the
        Perron root of the non-negative W. B(r) is the smaller of the two; the second is far smaller
        for strongly non-normal systems (a large delayed coupling above the diagonal).
        Computed by the compiled kernel (a tiny eigenproblem; the analyses solve B(r) = value
        for r, calling it many times).
        """
        return float(_kernels.modulus_bound(np.ascontiguousarray(self.matrices, dtype=np.float64),
                                            np.ascontiguousarray(self.norms, dtype=np.float64),
                                            np.ascontiguousarray(self.delays, dtype=np.float64),
                                            float(r)))

    def reach(self, r: float) -> float:
        """B(r) * max(1, tau): what the discretization degree has to resolve for the bound r."""
        return self.modulus_bound(r) * max(1.0, self.tau)

    def to_lagsys(self) -> pyvantor.lagsys:
        """The system as held here (in its own unit of time) as a pyvantor.lagsys."""
        return pyvantor.lagsys(list(self.matrices), self.delays.tolist())


def normalized(data: SystemData) -> SystemData:
    """The same system in a unit of time in which its roots are of order 1.

    Rescaling time t = s t' maps A_k to s A_k, h_k to h_k / s and every root lambda to s lambda,
    and leaves delay factors unchanged. The analyses decide clusters, multiplicities and edges with
    tolerances relative to max(1, abs(lambda)); in this unit they mean the same for a system given
    in seconds, milliseconds or years. The unit is the power of two nearest the largest spectral
    radius of sum_k A_k (the roots as the delays vanish) and of each A_k (the roots' limits as
    they grow); spectral radii rather than norms, so that a model ill-conditioned by a similarity
    keeps its roots of order 1; norms only when every one of those matrices is nilpotent. A power
    of two makes the rescaling exact: a system rescaled by a power of two gives bit-identical
    answers. The analyses take rates (r, roots, frequencies) in and out divided and multiplied by
    `unit`."""
    if data.unit != 1.0:
        return data
    total = float(data.norms.sum())
    with np.errstate(all="ignore"):
        candidates = np.concatenate([data.matrices, data.matrices.sum(axis=0)[None]])
        radius = float(np.abs(np.linalg.eigvals(candidates)).max())
    if not (math.isfinite(radius) and radius > 1e-12 * total):
        radius = total
    if radius == 0.0:
        return data
    unit = math.ldexp(1.0, round(math.log2(radius)))
    with np.errstate(over="ignore"):
        delays = data.delays * unit
    if not np.all(np.isfinite(delays)):
        raise ValueError(
            f"the system's delays (up to {data.tau:.6g}) times its rates (about {radius:.6g}) "
            f"overflow the double range: no root can be computed")
    return replace(data, matrices=data.matrices / unit, delays=delays, norms=data.norms / unit,
                   unit=unit)


def is_sparse_system(sys: object) -> bool:
    """A vantor.DelaySystem with sparse matrices (the analyses take its own path)."""
    return type(sys).__name__ == "DelaySystem" and bool(getattr(sys, "sparse", False))


def as_lagsys(sys: object, name: str = "sys") -> pyvantor.lagsys:
    """sys itself, or a dense vantor.DelaySystem as a pyvantor.lagsys; TypeError for a sparse one
    (whose dense form would hold n^2 numbers per matrix)."""
    if type(sys).__name__ == "DelaySystem" and hasattr(sys, "to_lagsys"):
        if is_sparse_system(sys):
            raise TypeError(
                f"{name} is a sparse DelaySystem: use vantor.rightmost_roots (or count_roots, "
                f"is_stable, spectral_abscissa, all_roots, roots_in_box, distinct_roots, certify), "
                f"or {name}.to_lagsys() for a small system")
        converted: pyvantor.lagsys = sys.to_lagsys()
        return converted
    return sys  # type: ignore[return-value]


def check_system(sys: object, name: str = "sys", norms: bool = True) -> SystemData:
    """The system's matrices and delays after the checks `roots` makes, with errors naming `name`;
    norms=False leaves the spectral norms (one SVD per matrix) out, as NaN, for callers that only
    form Delta."""
    sys = as_lagsys(sys, name)
    if not isinstance(sys, pyvantor.lagsys):
        raise TypeError(f"{name} must be a pyvantor.lagsys or a vantor.DelaySystem, got {type(sys).__name__}")
    m = sys.mA
    if m == 0:
        raise ValueError(f"{name} has no matrices")
    delays_view = np.asarray(sys.hA())
    if delays_view.shape[0] < m:
        raise ValueError(f"{name} has {m} matrices but {delays_view.shape[0]} delays")
    delays = np.array(delays_view[:m], dtype=np.float64)
    matrices = [np.array(sys.A(k), dtype=np.float64) for k in range(m)]
    n = matrices[0].shape[0]
    for k, Ak in enumerate(matrices):
        if Ak.shape != (n, n):
            raise ValueError(f"{name}.A({k}) has shape {Ak.shape}, expected ({n}, {n})")
        if not np.all(np.isfinite(Ak)):
            raise ValueError(f"{name}.A({k}) has a non-finite entry")
    if n == 0:
        raise ValueError(f"{name} has matrices of order 0")
    for k, hk in enumerate(delays.tolist()):
        if not (math.isfinite(hk) and hk >= 0.0):
            raise ValueError(f"{name}.hA()[{k}] = {hk!r}: delays must be finite and >= 0")
    stacked = np.ascontiguousarray(np.stack(matrices))
    if not norms:
        return SystemData(stacked, delays, np.full(m, np.nan))
    return SystemData(stacked, delays, np.linalg.norm(stacked, ord=2, axis=(1, 2)))


def check_real(value: object, name: str) -> float:
    """A finite real number (Python or NumPy), else TypeError / ValueError naming `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    result = float(value)
    if not math.isfinite(result):
        raise ValueError(f"{name} must be finite, got {result!r}")
    return result


def char_matrices(data: SystemData, lam: ComplexArray) -> ComplexArray:
    """Delta(lambda) = lambda I - sum_k A_k exp(-lambda h_k) at every point of the 1-D array lam,
    shaped (len(lam), n, n)."""
    n = data.n
    with np.errstate(over="ignore", invalid="ignore"):
        weights = np.exp(-np.outer(lam, data.delays))
        terms = weights @ data.matrices.reshape(data.matrices.shape[0], n * n)
        D: ComplexArray = -terms.reshape(-1, n, n)
    diagonal = np.arange(n)
    D[:, diagonal, diagonal] += lam[:, None]
    return D


def char_derivatives(data: SystemData, lam: ComplexArray) -> ComplexArray:
    """Delta'(lambda) = I + sum_k h_k A_k exp(-lambda h_k), shaped (len(lam), n, n)."""
    n = data.n
    with np.errstate(over="ignore", invalid="ignore"):
        weights = data.delays * np.exp(-np.outer(lam, data.delays))
        terms = weights @ data.matrices.reshape(data.matrices.shape[0], n * n)
        D: ComplexArray = terms.reshape(-1, n, n)
    diagonal = np.arange(n)
    D[:, diagonal, diagonal] += 1.0
    return D


def log_derivatives(data: SystemData, lam: ComplexArray
                    ) -> tuple[FloatArray, ComplexArray, NDArray[np.uint8]]:
    """At every point of the 1-D array lam: arg det Delta from the pivots of an LU factorization
    (no overflow), the logarithmic derivative (det Delta)'/det Delta = trace(Delta^-1 Delta') and a
    status: REGULAR, SINGULAR (det Delta = 0 exactly; trace inf) or OVERFLOW (a non-finite Delta).

    Up to order _KERNEL_MAX_ORDER by the compiled kernel (one small LU per point, no temporaries,
    without the GIL); above it LAPACK's blocked LU (OpenBLAS's kernels are the faster there), one
    factorization per point for both the phase and the solve."""
    points = np.ascontiguousarray(lam, dtype=np.complex128).reshape(-1)
    if data.n <= _KERNEL_MAX_ORDER:
        phase, trace, status = _kernels.log_derivatives(
            np.ascontiguousarray(data.matrices, dtype=np.float64),
            np.ascontiguousarray(data.delays, dtype=np.float64), points)
        return (np.asarray(phase, dtype=np.float64), np.asarray(trace, dtype=np.complex128),
                np.asarray(status, dtype=np.uint8))
    phases = np.zeros(points.size)
    traces = np.full(points.size, np.nan, dtype=np.complex128)
    statuses = np.full(points.size, OVERFLOW, dtype=np.uint8)
    chunk = max(1, _CHUNK_ENTRIES // (data.n * data.n))
    for start in range(0, points.size, chunk):
        part = slice(start, start + chunk)
        D = char_matrices(data, points[part])
        D_prime = char_derivatives(data, points[part])
        finite = np.isfinite(D).all(axis=(1, 2))
        with np.errstate(all="ignore"):
            _factor_each(D, D_prime, np.flatnonzero(finite), start, phases, traces, statuses)
    phases = np.remainder(phases + math.pi, 2.0 * math.pi) - math.pi
    return phases, traces, statuses


def _factor_each(D: ComplexArray, D_prime: ComplexArray, which: NDArray[np.intp], offset: int,
                 phases: FloatArray, traces: ComplexArray, statuses: NDArray[np.uint8]) -> None:
    """log_derivatives at the points `which` of the batch D (entries offset + i of the outputs)."""
    identity = np.arange(D.shape[1])
    for i in which:
        # One LU per point serves both: the pivots give arg det, the solve the trace.
        lu, pivots, info = zgetrf(D[i], overwrite_a=1)
        at = offset + i
        if info > 0:
            statuses[at], traces[at] = SINGULAR, np.inf
            continue
        swaps = int(np.count_nonzero(pivots != identity))
        phases[at] = float(np.angle(np.diagonal(lu)).sum()) + math.pi * (swaps % 2)
        X, _ = zgetrs(lu, pivots, D_prime[i])
        traces[at] = np.trace(X)
        statuses[at] = REGULAR
