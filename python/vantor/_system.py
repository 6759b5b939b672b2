"""Validation of arguments and the numerical pieces shared by the analyses: the system's matrices as
arrays, the bound on the roots' moduli and the characteristic matrix at many points at once."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import pyvantor

# The discretization degree of `pyvantor.roots` is capped at 100, which resolves roots up to about
# |lambda| * max(1, tau) = 90.
RESOLVED_REACH = 90.0

ComplexArray = NDArray[np.complex128]
FloatArray = NDArray[np.float64]


@dataclass(frozen=True)
class SystemData:
    """A validated copy of a system: matrices (m, n, n), delays (m,), their spectral norms."""

    matrices: FloatArray
    delays: FloatArray
    norms: FloatArray

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
        """
        with np.errstate(over="ignore", invalid="ignore"):
            weights = np.exp(-r * self.delays)
            by_norms = float(np.sum(self.norms * weights))
            if not math.isfinite(by_norms) or self.n == 1:
                return by_norms
            W = np.tensordot(weights, np.abs(self.matrices), axes=1)
            perron = float(np.abs(np.linalg.eigvals(W)).max())
        return min(by_norms, perron * (1.0 + 1e-12))

    def reach(self, r: float) -> float:
        """B(r) * max(1, tau): what the discretization degree has to resolve for the bound r."""
        return self.modulus_bound(r) * max(1.0, self.tau)


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
                f"is_stable, spectral_abscissa, all_roots), or {name}.to_lagsys() for a small system")
        converted: pyvantor.lagsys = sys.to_lagsys()
        return converted
    return sys  # type: ignore[return-value]


def check_system(sys: object, name: str = "sys") -> SystemData:
    """The system's matrices and delays after the checks `roots` makes, with errors naming `name`."""
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
    stacked = np.stack(matrices)
    norms = np.linalg.norm(stacked, ord=2, axis=(1, 2))
    return SystemData(stacked, delays, norms)


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
