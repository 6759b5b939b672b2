"""Newton's method on det Delta(lambda), many points at once.

The step is lambda -= 1 / trace(Delta(lambda)^{-1} Delta'(lambda)) = det Delta / (det Delta)'. At a
simple zero it converges quadratically; at a zero of multiplicity m linearly, each step (m - 1) / m
of the one before, until the iterate reaches the rounding level of det Delta, about eps^(1/m)
relative. The iteration stops when a step is no smaller than the one before; the rate of the
last steps tells the two cases apart.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

from ._system import SINGULAR, ComplexArray, FloatArray, SystemData, log_derivatives

_EPS = float(np.finfo(np.float64).eps)
# A step at most this fraction of the one before is quadratic convergence, not linear.
QUADRATIC_RATIO = 0.2
# A step at least this fraction of the one before no longer converges.
_STALLED = 0.95
MAX_STEPS = 80

BoolArray = NDArray[np.bool_]


class Refined(NamedTuple):
    """Outcome of `refine` for each start."""

    roots: ComplexArray
    # The iteration converged (to rounding level, or linearly towards a multiple zero).
    converged: BoolArray
    # It converged quadratically: a simple zero, accurate to a few units of rounding.
    simple: BoolArray
    # An estimate of the distance to the zero.
    error: FloatArray
    # The rate of the last steps that shrank (about (m - 1) / m at a zero of multiplicity m).
    rate: FloatArray


def scale(z: ComplexArray) -> FloatArray:
    return np.asarray(np.maximum(1.0, np.abs(z)), dtype=np.float64)


def newton_steps(data: SystemData, z: ComplexArray) -> ComplexArray:
    """det Delta / (det Delta)' at each point; 0 where Delta is singular to working precision, inf
    where it or its derivative overflows."""
    if z.size == 0:
        return np.empty(0, dtype=np.complex128)
    _, trace, status = log_derivatives(data, z)
    with np.errstate(all="ignore"):
        finite = np.isfinite(trace)
        step = np.where(finite & (trace != 0), 1.0 / trace, np.where(finite, 0.0, np.inf))
    step[status == SINGULAR] = 0.0
    return np.asarray(step, dtype=np.complex128)


def refine(data: SystemData, z: ComplexArray, max_steps: int = MAX_STEPS) -> Refined:
    """Newton's method on det Delta from every point of z until its steps stop shrinking."""
    z = np.array(z, dtype=np.complex128)
    count = z.size
    last = np.full(count, np.inf)
    rate = np.full(count, np.nan)
    simple = np.zeros(count, dtype=bool)
    failed = np.zeros(count, dtype=bool)
    active = np.ones(count, dtype=bool)
    for k in range(max_steps):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        step = newton_steps(data, z[idx])
        size = np.abs(step)
        bad = ~np.isfinite(size)
        failed[idx[bad]] = True
        # The first step has no rate: a start already at the rounding level proves nothing.
        ratio = size / last[idx] if k else np.full(idx.size, np.nan)
        shrinking = ~bad & ((size < _STALLED * last[idx]) | (k == 0))
        move = idx[shrinking]
        z[move] -= step[shrinking]
        rate[move] = ratio[shrinking]
        simple[move] = ratio[shrinking] < QUADRATIC_RATIO  # False for NaN
        last[move] = size[shrinking]
        tiny = size <= 2.0 * _EPS * scale(z[idx])
        done = ~shrinking | tiny
        active[idx[done]] = False
    finite = np.isfinite(z)
    converged = ~failed & finite & ~active & (last <= 1e-4 * scale(z))
    # A zero reached linearly at rate q lies about q / (1 - q) times the last step further on.
    q = np.clip(np.where(np.isnan(rate), 0.0, rate), 0.0, 0.9)
    error = np.where(simple, np.maximum(last, 4.0 * _EPS * scale(z)), last * (1.0 + q / (1.0 - q)))
    return Refined(z, converged, simple & converged, np.asarray(error, dtype=np.float64),
                   np.asarray(rate, dtype=np.float64))
