"""Distinct characteristic roots with multiplicities, polished to double precision."""

from __future__ import annotations

import math
from typing import NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray
from scipy.spatial import cKDTree

import pyvantor

from ._winding import zeros_in_circles
from ._system import ComplexArray, SystemData, char_derivatives, char_matrices, check_real, check_system

_EPS = float(np.finfo(np.float64).eps)
# Values closer than this (relative to max(1, |lambda|)) are copies of one candidate's root.
_SAME_VALUE = 1e-7
# Radii of the circles that count the zeros at a value: 1e-6 of max(1, |lambda|) first, grown tenfold
# up to 1e-3 while the circle holds no zero (roots() returns a double root about 1e-8 off, a triple
# one about 1e-5).
_RADII = (1e-6, 1e-5, 1e-4, 1e-3)
# Newton steps on det Delta that polish a simple root; it moves at most this far (relative).
_POLISH_STEPS = 8
_POLISH_MOVE = 1e-6


class DistinctRoots(NamedTuple):
    """Distinct characteristic roots, rightmost first, and the multiplicity of each."""

    roots: ComplexArray
    multiplicity: NDArray[np.int64]


class _Analysis(NamedTuple):
    roots: ComplexArray
    multiplicity: NDArray[np.int64]
    # Listed values with no zero of det Delta near them.
    spurious: ComplexArray


def distinct_roots(sys: pyvantor.lagsys, r: float, *, tol: float = 1e-4) -> DistinctRoots:
    """The distinct characteristic roots with real part at least `r`, with their multiplicities.

    The candidates of ``pyvantor.roots(sys, r)`` are grouped when they lie closer than
    ``tol * max(1, |lambda|)``. The number of zeros of det Delta inside a small circle around a
    group (the argument principle) tells whether the group is one root of that multiplicity, or
    several distinct roots close together; a value with no zero near it (a point where Delta is
    nearly singular without being singular, seen on strongly non-normal systems) is left out:
    `certify` reports such values. Simple roots are polished by Newton's method on det Delta until
    its steps stop shrinking, which leaves a well-conditioned root within rounding error; a
    multiple root is the centroid of its candidates.

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system.
    r : float
        The bound: roots with ``Re(lambda) >= r`` are returned.
    tol : float, optional
        Relative distance below which candidates are checked for being one root. Default 1e-4.

    Returns
    -------
    DistinctRoots
        ``roots`` (complex array, sorted by decreasing real part, then by increasing imaginary
        part) and ``multiplicity`` (int array, each >= 1).

    Raises
    ------
    TypeError
        `sys` is not a ``pyvantor.lagsys``; `r` or `tol` is not a real number.
    ValueError
        The system is invalid (no matrices, shapes, non-finite entries, negative delays), `r` is
        not finite, or `tol` is not in (0, 0.1].

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.distinct_roots(sys, -1.0)
    >>> res.roots
    array([-0.31813151-1.3372357j, -0.31813151+1.3372357j])
    >>> res.multiplicity
    array([1, 1])
    """
    data = check_system(sys)
    bound = check_real(r, "r")
    tol = check_real(tol, "tol")
    if not 0.0 < tol <= 0.1:
        raise ValueError(f"tol must be in (0, 0.1], got {tol!r}")
    found = analyse(sys, data, bound, tol)
    return DistinctRoots(found.roots, found.multiplicity)


def analyse(sys: pyvantor.lagsys, data: SystemData, r: float, tol: float = 1e-4) -> _Analysis:
    """distinct_roots without the argument checks, also returning the values that are no roots."""
    values = np.asarray(pyvantor.roots(sys, r), dtype=np.complex128)
    groups = _groups(values, tol)
    tree = cKDTree(np.column_stack((values.real, values.imag))) if values.size else None
    # Every circle of every group is counted in one batch: a group of one value (one circle), or a
    # group of separate values (one circle around all, one around each).
    centres: list[complex] = []
    least: list[float] = []
    caps: list[float] = []
    plans: list[tuple[int, list[int], NDArray[np.complex128]]] = []
    for group in groups:
        members = values[group]
        centre = complex(members.mean())
        spread = float(np.abs(members - centre).max())
        cap = 0.45 * _distance_outside(tree, values, group, centre)
        clusters = _groups(members, _SAME_VALUE)
        first = len(centres)
        centres.append(centre)
        if len(clusters) == 1:
            least.append(2.0 * spread)
            caps.append(cap)
            plans.append((first, [], np.empty(0, dtype=np.complex128)))
            continue
        least.append(1.5 * spread)
        caps.append(max(cap, 1.5 * spread))
        sub = np.array([members[c].mean() for c in clusters])
        own = []
        for i, c in enumerate(sub):
            own.append(len(centres))
            centres.append(complex(c))
            least.append(0.0)
            caps.append(min(0.45 * float(np.abs(np.delete(sub, i) - c).min()), cap))
        plans.append((first, own, sub))
    counts = _counts_near(data, np.array(centres, dtype=np.complex128), np.array(least), np.array(caps))
    roots: list[complex] = []
    mult: list[int] = []
    spurious: list[complex] = []
    for first, own, sub in plans:
        total = int(counts[first])
        if not own:
            resolved = [(centres[first], total)]
        else:
            # Distinct roots when the circles around each value hold as many zeros as the circle
            # around all of them; otherwise one multiple root (or a cluster) at their centroid.
            separate = [int(counts[i]) for i in own]
            if sum(separate) != total:
                resolved = [(centres[first], total)]
            elif total == 0:
                resolved = [(complex(c), 0) for c in sub]
            else:
                # A value with no zero of its own beside roots that account for the group's zeros
                # is an inaccurate copy of one of them.
                resolved = [(complex(c), k) for c, k in zip(sub, separate) if k > 0]
        for centre, k in resolved:
            if k > 0:
                roots.append(centre)
                mult.append(k)
            else:
                spurious.append(centre)
    z = np.array(roots, dtype=np.complex128)
    m = np.array(mult, dtype=np.int64)
    simple = m == 1
    z[simple] = _polish(data, z[simple])
    z = _conjugate_symmetric(z, m)
    keep = z.real >= r
    z, m = z[keep], m[keep]
    order = np.lexsort((z.imag, -z.real))
    return _Analysis(z[order], m[order], np.array(spurious, dtype=np.complex128))


def _scale(z: ComplexArray) -> NDArray[np.float64]:
    return np.maximum(1.0, np.abs(z))


def _groups(values: ComplexArray, tol: float) -> list[NDArray[np.intp]]:
    """Indices of the values linked by distances below tol * max(1, |z|) (single linkage)."""
    if values.size <= 1:
        return [np.arange(values.size)] if values.size else []
    points = np.column_stack((values.real, values.imag))
    pairs = cKDTree(points).query_pairs(tol * float(_scale(values).max()), output_type="ndarray")
    parent = np.arange(values.size)

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = int(parent[i])
        return i

    for i, j in pairs.tolist():
        if abs(values[i] - values[j]) <= tol * max(1.0, abs(values[i]), abs(values[j])):
            parent[root(i)] = root(j)
    labels = np.array([root(i) for i in range(values.size)])
    order = np.argsort(labels, kind="stable")
    _, starts = np.unique(labels[order], return_index=True)
    return [np.sort(part) for part in np.split(order, starts[1:])]


def _distance_outside(tree: Optional[cKDTree], values: ComplexArray, group: NDArray[np.intp],
                      centre: complex) -> float:
    """Distance from centre to the nearest value outside the group (inf when there is none)."""
    if tree is None or group.size == values.size:
        return math.inf
    k = min(values.size, group.size + 1)
    dist, idx = tree.query([centre.real, centre.imag], k=k)
    dist, idx = np.atleast_1d(dist), np.atleast_1d(idx)
    outside = ~np.isin(idx, group)
    return float(dist[outside][0]) if np.any(outside) else math.inf


def _counts_near(data: SystemData, centres: ComplexArray, least: NDArray[np.float64],
                 caps: NDArray[np.float64]) -> NDArray[np.int64]:
    """Zeros within the first circle around each centre, of radius _RADII times max(1, |centre|)
    but at least `least` and at most `caps`, that holds one; a circle through a zero is shrunk."""
    counts = np.zeros(centres.size, dtype=np.int64)
    pending = np.arange(centres.size)
    scale = _scale(centres)
    for rel in _RADII:
        if pending.size == 0:
            break
        radii = np.minimum(np.maximum(rel * scale[pending], least[pending]), caps[pending])
        found, hit = zeros_in_circles(data, centres[pending], radii)
        if np.any(hit):
            radii[hit] *= 0.7
            again, still = zeros_in_circles(data, centres[pending[hit]], radii[hit])
            found[hit] = np.where(still, 0, again)
        counts[pending] = found
        pending = pending[(found == 0) & (radii < caps[pending])]
    return counts


def _polish(data: SystemData, z: ComplexArray) -> ComplexArray:
    """Newton's method on det Delta, lambda -= 1 / trace(Delta^-1 Delta'), until the steps stop
    shrinking or reach rounding level; a root that would move further than _POLISH_MOVE keeps its
    value (it was not the root this iteration converged to)."""
    if z.size == 0:
        return z
    start = z.copy()
    current = z.copy()
    last = np.full(z.shape, np.inf)
    active = np.ones(z.shape, dtype=bool)
    for _ in range(_POLISH_STEPS):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        step = _newton_steps(data, current[idx])
        size = np.abs(step)
        shrinking = np.isfinite(size) & (size < last[idx])
        current[idx[shrinking]] -= step[shrinking]
        last[idx] = np.where(shrinking, size, last[idx])
        done = ~shrinking | (size <= 2.0 * _EPS * _scale(current[idx]))
        active[idx[done]] = False
    moved = np.abs(current - start) > _POLISH_MOVE * _scale(start)
    current[moved] = start[moved]
    return current


def _newton_steps(data: SystemData, z: ComplexArray) -> ComplexArray:
    D = char_matrices(data, z)
    Dp = char_derivatives(data, z)
    steps = np.zeros(z.shape, dtype=np.complex128)
    try:
        trace = np.trace(np.linalg.solve(D, Dp), axis1=1, axis2=2)
    except np.linalg.LinAlgError:
        # An exactly singular Delta somewhere in the batch: that point is a root, take no step.
        trace = np.empty(z.shape, dtype=np.complex128)
        for i in range(z.size):
            try:
                trace[i] = np.trace(np.linalg.solve(D[i], Dp[i]))
            except np.linalg.LinAlgError:
                trace[i] = np.inf
    with np.errstate(divide="ignore", invalid="ignore"):
        steps = np.where(np.isfinite(trace) & (trace != 0), 1.0 / trace, 0.0)
    return np.asarray(steps, dtype=np.complex128)


def _conjugate_symmetric(z: ComplexArray, m: NDArray[np.int64]) -> ComplexArray:
    """Exact symmetry of a real system's roots: a simple root within rounding of the real axis is
    real, and the upper member of a conjugate pair is the conjugate of the lower one."""
    z = z.copy()
    scale = _scale(z)
    # A multiple root's centroid is real to rounding when its candidates are conjugate pairs.
    real = np.abs(z.imag) <= np.where(m == 1, 8.0 * _EPS, 1e-12) * scale
    z[real] = z[real].real
    lower = np.flatnonzero(z.imag < 0)
    for i in np.flatnonzero(z.imag > 0):
        if lower.size == 0:
            break
        dist = np.abs(z[lower] - np.conj(z[i]))
        j = lower[int(np.argmin(dist))]
        if dist.min() <= 1e-8 * scale[i] and m[j] == m[i]:
            z[i] = np.conj(z[j])
    return z
