"""Contour-integral eigensolver for Delta(lambda) v = 0 inside circles (block Hankel moments).

For a circle |z - c| = rho and the scaled variable mu = (z - c) / rho, the moments

    A_p = 1/(2 pi i) oint mu^p  U^H Delta(z)^{-1} V  dz,        p = 0 ... 2K - 1,

with U, V of n x l columns, equal sum_j mu_j^p U^H P_j V over the characteristic roots lambda_j
inside the circle (Keldysh's theorem: Delta^{-1} is a principal part at each root plus a function
holomorphic inside the circle, whose integral vanishes; P_j holds the root's Jordan chains). The
block Hankel matrices H0 = [A_{i+j}] and H1 = [A_{i+j+1}] (i, j = 0 ... K-1) therefore factor as
W^T X and W^T diag(mu) X with W, X block Vandermonde, so that with H0 = Q S Z^H truncated to its
numerical rank k, the eigenvalues of Q_k^H H1 Z_k S_k^{-1} are the mu_j. This holds while k, the
number of roots inside the circle counted with multiplicity, is below the capacity l K.

The integral is the trapezoidal rule on N equally spaced nodes z = c + rho w, w = exp(2 pi i
(t + 1/2) / N): A_p ~ (rho / N) sum_t w_t^(p+1) U^H Delta(z_t)^{-1} V (the common factor rho is
dropped). Its error from a root at scaled distance |mu| from the centre falls like |mu|^(N - 2K)
inside and |mu|^-N outside, so N is chosen well above 2K. The eigenvalues found are only
starting points: the caller refines them by Newton's method and checks them against counts.
"""

from __future__ import annotations

import math
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

from ._executor import map_tasks
from ._system import ComplexArray, FloatArray, SystemData, char_matrices

# Singular values of H0 below this fraction of the largest are quadrature and rounding noise.
RANK_TOL = 1e-10
# Node solves per task when they are sent to an executor.
_NODES_PER_TASK = 4096


def plan(count: int, n: int) -> tuple[int, int]:
    """Columns l and moments K for a circle expected to hold up to `count` roots: capacity l K of
    at least count + 2 (a clear rank gap), at least two moments (defective roots)."""
    capacity = max(2, count + 2)
    columns = min(n, max(1, math.ceil(capacity / 2)))
    return columns, max(2, math.ceil(capacity / columns))


def node_count(radius: float, tau: float, moments: int) -> int:
    """Trapezoidal nodes for a circle: exp(-z h) on it needs about e rho tau terms of its Fourier
    series, and the aliasing of the moments up to 2K - 1 falls like |mu|^(N - 2K)."""
    return int(max(96, 4 * moments + 64, math.ceil(3.0 * radius * tau) + 64))


def _solve_nodes(task: tuple[FloatArray, FloatArray, ComplexArray, ComplexArray]) -> ComplexArray:
    """Delta(z)^{-1} V at every node z: the independent work of the method (a picklable task)."""
    matrices, delays, nodes, V = task
    data = SystemData(matrices, delays, np.zeros(matrices.shape[0]))
    D = char_matrices(data, nodes)
    if data.n == 1:
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.asarray(V[None, :, :] / D, dtype=np.complex128)
    try:
        return np.asarray(np.linalg.solve(D, np.broadcast_to(V, (nodes.size,) + V.shape)),
                          dtype=np.complex128)
    except np.linalg.LinAlgError:
        out = np.full((nodes.size,) + V.shape, np.nan + 0j)
        for i in range(nodes.size):
            try:
                out[i] = np.linalg.solve(D[i], V)
            except np.linalg.LinAlgError:
                pass
        return out


def circle_eigenvalues(data: SystemData, centres: ComplexArray, radii: FloatArray,
                       counts: NDArray[np.int64], rng: np.random.Generator,
                       executor: Optional[Any] = None) -> list[tuple[ComplexArray, bool]]:
    """Eigenvalue estimates inside each circle |z - centres[i]| < radii[i], planned for counts[i]
    roots, and whether the circle's rank filled its capacity (more roots than planned: the
    estimates may be incomplete). All nodes of all circles are solved in one batch, or in tasks on
    `executor` (a concurrent.futures executor or a Dask client)."""
    n = data.n
    plans = [plan(int(c), n) for c in counts]
    columns = max(p[0] for p in plans)
    if columns == n:
        U = V = np.eye(n, dtype=np.complex128)
    else:
        V = rng.standard_normal((n, columns)) + 1j * rng.standard_normal((n, columns))
        U = rng.standard_normal((n, columns)) + 1j * rng.standard_normal((n, columns))
    sizes = [node_count(float(rho), data.tau, K) for rho, (_, K) in zip(radii, plans)]
    w = [np.exp(2j * np.pi * (np.arange(N) + 0.5) / N) for N in sizes]
    nodes = np.concatenate([c + rho * wk for c, rho, wk in zip(centres, radii, w)])
    tasks = [(data.matrices, data.delays, nodes[s:s + _NODES_PER_TASK], V)
             for s in range(0, nodes.size, _NODES_PER_TASK)]
    X = np.concatenate(map_tasks(_solve_nodes, tasks, executor))
    # U^H Delta^{-1} V per node, shaped (nodes, l, l).
    Y = np.einsum("ia,tib->tab", U.conj(), X) if columns < n else X
    results: list[tuple[ComplexArray, bool]] = []
    start = 0
    for (l, K), N, wk, c, rho in zip(plans, sizes, w, centres, radii):
        Yc = Y[start:start + N, :l, :l]
        start += N
        if not np.all(np.isfinite(Yc)):
            # A node on a root: the circle is moved by the caller's subdivision.
            results.append((np.empty(0, dtype=np.complex128), True))
            continue
        powers = wk[None, :] ** np.arange(1, 2 * K + 1)[:, None]          # (2K, N)
        moments = np.einsum("pt,tab->pab", powers, Yc) / N                  # (2K, l, l)
        H0 = np.block([[moments[i + j] for j in range(K)] for i in range(K)])
        H1 = np.block([[moments[i + j + 1] for j in range(K)] for i in range(K)])
        Q, s, Zh = np.linalg.svd(H0)
        if s.size == 0 or s[0] == 0.0:
            results.append((np.empty(0, dtype=np.complex128), False))
            continue
        k = int(np.count_nonzero(s > RANK_TOL * s[0]))
        reduced = Q[:, :k].conj().T @ H1 @ Zh[:k].conj().T / s[:k]
        mu = np.linalg.eigvals(reduced)
        results.append((np.asarray(c + rho * mu, dtype=np.complex128), k >= l * K))
    return results
