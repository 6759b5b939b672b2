"""Distinct characteristic roots with multiplicities, polished to double precision."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

import pyvantor

from ._newton import newton_steps, scale as _scale
from ._resolve import Resolver
from ._system import (ComplexArray, SystemData, as_lagsys, check_real, check_system, is_sparse_system,
                      normalized)

_EPS = float(np.finfo(np.float64).eps)
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

    The values of ``pyvantor.roots(sys, r)`` are refined by Newton's method on det Delta; a value
    that reaches no zero within ``tol * max(1, |lambda|)`` of itself (a point where Delta is nearly
    singular without being singular, seen on strongly non-normal systems) is left out: `certify`
    reports such values. Each root is counted on a small circle (the argument principle), sized to
    its accuracy so that det Delta is above its rounding noise there: the count is its
    multiplicity. A count of two or more is taken for a multiple root only when the contour-integral
    eigensolver on that circle finds no other root in it, so two simple roots closer than the
    discretization resolves come back as two roots. Simple roots are polished until Newton's steps
    stop shrinking, which leaves a well-conditioned root within rounding error; a multiple root is
    the mean of the eigensolver's estimates of it (about 1e-8 relative for a double root).
    `all_roots` also finds the roots that ``pyvantor.roots`` misses.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem
        The system. A sparse DelaySystem is solved by `rightmost_roots` (with ``r``).
    r : float
        The bound: roots with ``Re(lambda) >= r`` are returned.
    tol : float, optional
        How far (relative) a value may lie from the zero it refines to. Default 1e-4.

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
    bound = check_real(r, "r")
    tol = check_real(tol, "tol")
    if not 0.0 < tol <= 0.1:
        raise ValueError(f"tol must be in (0, 0.1], got {tol!r}")
    if is_sparse_system(sys):
        from .large import rightmost_roots

        proven = rightmost_roots(sys, r=bound)
        return DistinctRoots(proven.roots, proven.multiplicity)
    data = normalized(check_system(as_lagsys(sys)))
    found = analyse(data, bound / data.unit, tol)
    return DistinctRoots(found.roots * data.unit, found.multiplicity)


def analyse(data: SystemData, r: float, tol: float = 1e-4) -> _Analysis:
    """distinct_roots without the argument checks, also returning the values that are no roots; in
    the unit of `data` (r and the roots)."""
    values = np.asarray(pyvantor.roots(data.to_lagsys(), r), dtype=np.complex128)
    resolver = Resolver(data)
    spurious = resolver.seed(values, tol, far=False)
    z, m = resolver.settle()
    simple = m == 1
    z[simple] = _polish(data, z[simple])
    z = _conjugate_symmetric(z, m)
    keep = z.real >= r
    z, m = z[keep], m[keep]
    order = np.lexsort((z.imag, -z.real))
    return _Analysis(z[order], m[order], spurious)


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
        step = newton_steps(data, current[idx])
        size = np.abs(step)
        shrinking = np.isfinite(size) & (size < last[idx])
        current[idx[shrinking]] -= step[shrinking]
        last[idx] = np.where(shrinking, size, last[idx])
        done = ~shrinking | (size <= 2.0 * _EPS * _scale(current[idx]))
        active[idx[done]] = False
    moved = np.abs(current - start) > _POLISH_MOVE * _scale(start)
    current[moved] = start[moved]
    return current


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
