"""Distinct characteristic roots with multiplicities, polished to double precision."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree

import pyvantor

from ._contour import ContourHitsZero, zeros_in_circle
from ._system import ComplexArray, SystemData, char_derivatives, char_matrices, check_real, check_system

_EPS = float(np.finfo(np.float64).eps)
# Values closer than this (relative to max(1, |lambda|)) are copies of one candidate's root.
_SAME_VALUE = 1e-7
# Radii of the circles that count the zeros at a value: 1e-6 of max(1, |lambda|) first, grown tenfold
# up to 1e-3 while the circle holds no zero (a root of multiplicity k is returned about 1e-16/k off).
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
    `certify` reports such values. Simple roots are polished by Newton's method on det Delta to a
    few units of double precision; a multiple root is the centroid of its candidates.

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
        ``roots`` (complex array, rightmost first, of a conjugate pair the member with negative
        imaginary part first) and ``multiplicity`` (int array, each >= 1).

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
    array([-0.31813151-1.33723570j, -0.31813151+1.33723570j])
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
    roots: list[complex] = []
    mult: list[int] = []
    spurious: list[complex] = []
    for group in _groups(values, tol):
        outside = np.delete(values, group)
        for centre, k in _resolve(data, values[group], outside):
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
    if values.size == 0:
        return []
    points = np.column_stack((values.real, values.imag))
    pairs = cKDTree(points).query_pairs(tol * float(_scale(values).max()), output_type="ndarray")
    if pairs.size:
        i, j = pairs[:, 0], pairs[:, 1]
        close = np.abs(values[i] - values[j]) <= tol * np.maximum(_scale(values[i]), _scale(values[j]))
        i, j = i[close], j[close]
    else:
        i = j = np.empty(0, dtype=np.intp)
    graph = coo_matrix((np.ones(i.size), (i, j)), shape=(values.size, values.size))
    count, labels = connected_components(graph, directed=False)
    return [np.flatnonzero(labels == g) for g in range(count)]


def _count_near(data: SystemData, centre: complex, least: float, cap: float) -> int:
    """Zeros within the first circle of radius >= least (from _RADII) that holds one, up to cap."""
    scale = max(1.0, abs(centre))
    count = 0
    for rel in _RADII:
        radius = min(max(rel * scale, least), cap)
        try:
            count = zeros_in_circle(data, centre, radius)
        except ContourHitsZero:
            count = zeros_in_circle(data, centre, 0.7 * radius)
        if count > 0 or radius >= cap:
            break
    return count


def _resolve(data: SystemData, group: ComplexArray, outside: ComplexArray) -> list[tuple[complex, int]]:
    """The roots a group of nearby values stands for, as (value, multiplicity); multiplicity 0 for
    a value with no zero near it."""
    centre = complex(group.mean())
    spread = float(np.abs(group - centre).max())
    free = float(np.abs(outside - centre).min()) if outside.size else math.inf
    cap = 0.45 * free
    clusters = _groups(group, _SAME_VALUE)
    if len(clusters) == 1:
        return [(centre, _count_near(data, centre, 2.0 * spread, cap))]
    # Several separate values: distinct roots if circles around each hold as many zeros as one
    # circle around all of them; otherwise one multiple root (or a cluster) at their centroid.
    total = _count_near(data, centre, 1.5 * spread, max(cap, 1.5 * spread))
    centres = np.array([group[c].mean() for c in clusters])
    separate = []
    for i, c in enumerate(centres):
        nearest = float(np.abs(np.delete(centres, i) - c).min())
        separate.append(_count_near(data, complex(c), 0.0, min(0.45 * nearest, cap)))
    if sum(separate) == total:
        if total == 0:
            return [(complex(c), 0) for c in centres]
        # A value with no zero of its own beside roots that account for the group's zeros is an
        # inaccurate copy of one of them.
        return [(complex(c), k) for c, k in zip(centres, separate) if k > 0]
    return [(centre, total)]


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
