"""Argument-principle counts of the zeros of det Delta(lambda) inside closed contours.

The argument of det Delta is followed along the contour in steps that are refined until no step, and
neither half of it (checked at its midpoint), turns the argument by more than an eighth of a turn,
and the logarithmic derivative of det Delta allows no more over the step's length either;
the total turn divided by 2 pi is the number of zeros inside. A zero on or very near the contour
shows as a step that never settles: the refinement stops below a relative width of 1e-12 and
reports it, and the caller moves the contour.
"""

from __future__ import annotations

import math
from typing import Callable, Optional, Protocol, Union

import numpy as np
from numpy.typing import NDArray

from ._system import OVERFLOW, SINGULAR, ComplexArray, FloatArray, SystemData, log_derivatives

MAX_TURN = 2.0 * math.pi / 8.0
# Samples allowed for one contour; more means a contour far too long for the system's delays.
MAX_SAMPLES = 2_000_000
_MIN_WIDTH = 1e-12

IntArray = NDArray[np.intp]
BoolArray = NDArray[np.bool_]
Points = Callable[[IntArray, FloatArray], ComplexArray]


class PhaseSource(Protocol):
    """A system that computes the phase of its own determinant (a large or sparse one)."""

    @property
    def tau(self) -> float: ...

    def det_phase(self, lam: ComplexArray) -> tuple[FloatArray, FloatArray, BoolArray]: ...


System = Union[SystemData, PhaseSource]


class ContourHitsZero(Exception):
    """det Delta vanishes on or within rounding of the contour."""


class TooManySamples(RuntimeError):
    """The contour needs more than MAX_SAMPLES samples: far too many roots inside it."""


def det_phase(data: System, lam: ComplexArray) -> tuple[FloatArray, FloatArray, BoolArray]:
    """At every point of lam: the argument of det Delta (from the pivots of its LU factorization,
    so no overflow), the modulus of its logarithmic derivative (det Delta)'/det Delta =
    trace(Delta^-1 Delta'), and whether det Delta is exactly zero there. A system other than
    SystemData (a large or sparse one) computes them itself."""
    if not isinstance(data, SystemData):
        return data.det_phase(lam)
    phase, trace, status = log_derivatives(data, lam)
    if np.any(status == OVERFLOW):
        raise OverflowError(
            "det Delta(lambda) overflows on the contour (exp(-lambda h) beyond the double range)")
    zero = status == SINGULAR
    rate = np.abs(trace)
    return phase, np.where(np.isfinite(rate) & ~zero, rate, np.inf), zero


def _wrap(angle: FloatArray) -> FloatArray:
    return (angle + np.pi) % (2.0 * np.pi) - np.pi


def total_turns(data: System, points: Points, speed: FloatArray, steps: IntArray,
                budget: Optional[int] = None, closed: bool = True) -> tuple[FloatArray, BoolArray]:
    """The change of arg det Delta along each of several closed contours at once.

    points(c, t) gives the points at parameters t in [0, 1] of contours c, |dlambda/dt| = speed[c];
    contour c starts with steps[c] equal steps. A step is accepted when the argument turns by at
    most MAX_TURN over it and over each half, and the logarithmic derivative at its ends times its
    length is at most MAX_TURN too (a zero close to the contour makes it large, so that a full turn
    between two samples is not mistaken for none). Returns the total turn of each contour and whether a zero of det Delta lies
    on or within rounding of it (its turn is then meaningless). RuntimeError beyond MAX_SAMPLES in
    all; a contour that needs more than `budget` samples of its own is reported like one through a
    zero (det Delta in rounding noise along it).
    """
    contours = steps.size
    ids = np.repeat(np.arange(contours), steps)
    t0 = np.concatenate([np.arange(k) / k for k in steps])
    t1 = np.concatenate([np.arange(1, k + 1) / k for k in steps])
    # Each step ends where the next begins; the last one ends at the contour's start (closed)
    # or at its own end point (an open piece of a contour, t = 1).
    following = np.arange(1, ids.size + 1)
    if closed:
        following[np.cumsum(steps) - 1] = np.cumsum(steps) - steps
        phase, rate, zero = det_phase(data, points(ids, t0))
    else:
        following[np.cumsum(steps) - 1] = ids.size + np.arange(contours)
        phase, rate, zero = det_phase(data, points(np.concatenate((ids, np.arange(contours))),
                                                  np.concatenate((t0, np.ones(contours)))))
    a, b, c = t0, t1, ids
    pa, pb, ra, rb = phase, phase[following], rate, rate[following]
    hit = np.zeros(contours, dtype=bool)
    np.logical_or.at(hit, ids, zero[:ids.size])
    if not closed:
        hit |= zero[ids.size:]
    pa, ra = phase[:ids.size], rate[:ids.size]
    limit = int(getattr(data, "max_samples", MAX_SAMPLES))
    turn = np.zeros(contours)
    used = ids.size
    own = steps.astype(np.int64)
    while a.size:
        live = ~hit[c]
        a, b, pa, pb, ra, rb, c = a[live], b[live], pa[live], pb[live], ra[live], rb[live], c[live]
        if a.size == 0:
            break
        mid = 0.5 * (a + b)
        used += mid.size
        if used > limit:
            raise TooManySamples(
                f"the argument-principle contour needs more than {limit} samples (roots crowd it)")
        pm, rm, zero = det_phase(data, points(c, mid))
        np.logical_or.at(hit, c, zero)
        if budget is not None:
            own += np.bincount(c, minlength=contours)
            hit |= own > budget
        d = _wrap(pb - pa)
        d1 = _wrap(pm - pa)
        d2 = _wrap(pb - pm)
        length = speed[c] * (b - a)
        ok = ((np.abs(d) <= MAX_TURN) & (np.abs(d1) <= MAX_TURN) & (np.abs(d2) <= MAX_TURN)
              & (np.maximum(ra, rb) * length <= MAX_TURN))
        np.add.at(turn, c[ok], d1[ok] + d2[ok])
        bad = ~ok
        np.logical_or.at(hit, c[bad], b[bad] - a[bad] < _MIN_WIDTH)
        a, b = np.concatenate((a[bad], mid[bad])), np.concatenate((mid[bad], b[bad]))
        pa, pb = np.concatenate((pa[bad], pm[bad])), np.concatenate((pm[bad], pb[bad]))
        ra, rb = np.concatenate((ra[bad], rm[bad])), np.concatenate((rm[bad], rb[bad]))
        c = np.concatenate((c[bad], c[bad]))
    return turn, hit


def _winding(turn: float) -> int:
    count = round(turn / (2.0 * math.pi))
    if abs(turn / (2.0 * math.pi) - count) > 0.25:
        raise RuntimeError(f"the argument principle gave a non-integer count {turn / (2 * math.pi):.3f}")
    return int(count)


def zeros_in_box(data: System, x0: float, x1: float, y: float) -> int:
    """Zeros of det Delta in the box [x0, x1] x [-y, y], counted with multiplicity; ContourHitsZero
    when one lies on or within rounding of its boundary."""
    counts, hit = zeros_in_rects(data, np.array([[x0, x1, -y, y]]))
    if hit[0]:
        raise ContourHitsZero
    return int(counts[0])


def rect_contours(rects: FloatArray) -> tuple[Points, FloatArray]:
    """The boundaries of rectangles rects[i] = (x0, x1, y0, y1), counter-clockwise from the lower
    left corner, as points(c, t), t in [0, 1], and their perimeters."""
    x0, x1, y0, y1 = (rects[:, i] for i in range(4))
    # Corners counter-clockwise from the lower left, and the fraction of the perimeter at each.
    corners = np.stack([x0 + 1j * y0, x1 + 1j * y0, x1 + 1j * y1, x0 + 1j * y1, x0 + 1j * y0], axis=1)
    lengths = np.abs(np.diff(corners, axis=1))
    perimeter = lengths.sum(axis=1)
    at = np.concatenate((np.zeros((rects.shape[0], 1)), np.cumsum(lengths, axis=1)), axis=1)
    at /= perimeter[:, None]

    def points(c: IntArray, t: FloatArray) -> ComplexArray:
        marks = at[c]
        edge = np.minimum((t[:, None] >= marks[:, 1:4]).sum(axis=1), 3)
        rows = np.arange(c.size)
        start, end = marks[rows, edge], marks[rows, edge + 1]
        local = np.where(end > start, (t - start) / np.where(end > start, end - start, 1.0), 0.0)
        a, b = corners[c, edge], corners[c, edge + 1]
        return np.asarray(a + (b - a) * local, dtype=np.complex128)

    return points, np.asarray(perimeter, dtype=np.float64)


def initial_steps(data: System, perimeter: FloatArray) -> FloatArray:
    """Initial steps turn exp(-lambda h) by at most half a radian along the vertical edges; a
    system that computes its own phase (a large one) pays for every node and starts coarser."""
    least = 128.0 if isinstance(data, SystemData) else 32.0
    return np.asarray(np.minimum(np.maximum(least, np.ceil(perimeter * 2.0 * (data.tau + 1.0))),
                                 MAX_SAMPLES / 4), dtype=np.float64)


def zeros_in_rects(data: System, rects: FloatArray, budget: Optional[int] = None
                   ) -> tuple[NDArray[np.int64], BoolArray]:
    """Zeros of det Delta in each rectangle rects[i] = (x0, x1, y0, y1), with multiplicity, and
    whether a zero lies on or within rounding of its boundary (its count is then -1)."""
    points, perimeter = rect_contours(rects)
    turn, hit = total_turns(data, points, perimeter, initial_steps(data, perimeter).astype(np.intp), budget)
    counts = np.array([-1 if h else _winding(float(x)) for x, h in zip(turn, hit)], dtype=np.int64)
    return counts, hit


def turn_along(data: System, rect: FloatArray, t0: float, t1: float) -> tuple[float, bool]:
    """The change of arg det Delta along the part t0 <= t <= t1 of a rectangle's boundary (as in
    `rect_contours`), refined on its own: the pieces of one contour are independent tasks."""
    points, perimeter = rect_contours(rect[None, :])

    def piece(c: IntArray, t: FloatArray) -> ComplexArray:
        return points(c, t0 + (t1 - t0) * t)

    length = perimeter * (t1 - t0)
    steps = np.maximum(8.0, np.ceil(initial_steps(data, perimeter) * (t1 - t0)))
    turn, hit = total_turns(data, piece, length, steps.astype(np.intp), closed=False)
    return float(turn[0]), bool(hit[0])


def winding(turn: float) -> int:
    return _winding(turn)


def zeros_in_circles(data: System, centres: ComplexArray, radii: FloatArray,
                     budget: Optional[int] = None) -> tuple[NDArray[np.int64], BoolArray]:
    """Zeros of det Delta in each disc |lambda - centres[i]| < radii[i], with multiplicity, and
    whether a zero lies on or within rounding of that circle (its count is then -1)."""
    def points(c: IntArray, t: FloatArray) -> ComplexArray:
        return np.asarray(centres[c] + radii[c] * np.exp(2j * np.pi * t), dtype=np.complex128)

    turn, hit = total_turns(data, points, 2.0 * np.pi * radii, np.full(centres.size, 16), budget)
    counts = np.array([-1 if h else _winding(float(x)) for x, h in zip(turn, hit)], dtype=np.int64)
    return counts, hit
