"""Argument-principle counts of the zeros of det Delta(lambda) inside closed contours.

The argument of det Delta is followed along the contour in steps that are refined until no step, and
neither half of it (checked at its midpoint), turns the argument by more than an eighth of a turn;
the total turn divided by 2 pi is the number of zeros inside. A zero on or very near the contour
shows as a step that never settles: the refinement stops below a relative width of 1e-12 and
reports it, and the caller moves the contour.
"""

from __future__ import annotations

import math
from typing import Callable

import numpy as np

from ._system import ComplexArray, FloatArray, SystemData, char_matrices

MAX_TURN = 2.0 * math.pi / 8.0
# Samples allowed for one contour; more means a contour far too long for the system's delays.
MAX_SAMPLES = 2_000_000
_MIN_WIDTH = 1e-12
# Matrices per batched determinant (memory: CHUNK * n^2 complex numbers at most 64 MB).
_CHUNK_ENTRIES = 4_000_000

Path = Callable[[FloatArray], ComplexArray]


class ContourHitsZero(Exception):
    """det Delta vanishes on or within rounding of the contour."""


def det_phase(data: SystemData, lam: ComplexArray) -> FloatArray:
    """The argument of det Delta at every point of lam (log-determinants, so no overflow)."""
    n = data.n
    chunk = max(1, _CHUNK_ENTRIES // (n * n))
    phases = np.empty(lam.shape[0])
    for start in range(0, lam.shape[0], chunk):
        part = lam[start:start + chunk]
        sign, logabs = np.linalg.slogdet(char_matrices(data, part))
        if not np.all(np.isfinite(sign)):
            raise OverflowError(
                "det Delta(lambda) overflows on the contour (exp(-lambda h) beyond the double range)")
        if np.any(np.isneginf(logabs)):
            raise ContourHitsZero
        phases[start:start + chunk] = np.angle(sign)
    return phases


def _wrap(angle: FloatArray) -> FloatArray:
    return (angle + np.pi) % (2.0 * np.pi) - np.pi


def total_turn(data: SystemData, path: Path, initial: int, budget: list[int]) -> float:
    """The change of arg det Delta along path(t), t from 0 to 1, starting from `initial` equal
    steps. budget[0] counts the samples left; RuntimeError when they run out."""
    t = np.linspace(0.0, 1.0, initial + 1)
    p = det_phase(data, path(t))
    budget[0] -= t.size
    a, b, pa, pb = t[:-1], t[1:], p[:-1], p[1:]
    turn = 0.0
    while a.size:
        mid = 0.5 * (a + b)
        budget[0] -= mid.size
        if budget[0] < 0:
            raise RuntimeError(
                f"the argument-principle contour needs more than {MAX_SAMPLES} samples")
        pm = det_phase(data, path(mid))
        d = _wrap(pb - pa)
        d1 = _wrap(pm - pa)
        d2 = _wrap(pb - pm)
        ok = (np.abs(d) <= MAX_TURN) & (np.abs(d1) <= MAX_TURN) & (np.abs(d2) <= MAX_TURN)
        turn += float(np.sum(d1[ok] + d2[ok]))
        bad = ~ok
        if np.any(b[bad] - a[bad] < _MIN_WIDTH):
            raise ContourHitsZero
        a, b = np.concatenate((a[bad], mid[bad])), np.concatenate((mid[bad], b[bad]))
        pa, pb = np.concatenate((pa[bad], pm[bad])), np.concatenate((pm[bad], pb[bad]))
    return turn


def _winding(turn: float) -> int:
    count = round(turn / (2.0 * math.pi))
    if abs(turn / (2.0 * math.pi) - count) > 0.25:
        raise RuntimeError(f"the argument principle gave a non-integer count {turn / (2 * math.pi):.3f}")
    return int(count)


def _segment(start: complex, end: complex) -> Path:
    def path(t: FloatArray) -> ComplexArray:
        return np.asarray(start + (end - start) * t, dtype=np.complex128)
    return path


def zeros_in_box(data: SystemData, x0: float, x1: float, y: float) -> int:
    """Zeros of det Delta in the box [x0, x1] x [-y, y], counted with multiplicity."""
    corners = [complex(x0, -y), complex(x1, -y), complex(x1, y), complex(x0, y), complex(x0, -y)]
    # Initial steps turn exp(-lambda h) by at most half a radian along the vertical edges.
    rate = 2.0 * (data.tau + 1.0)
    budget = [MAX_SAMPLES]
    turn = 0.0
    for start, end in zip(corners[:-1], corners[1:]):
        steps = int(min(max(32.0, math.ceil(abs(end - start) * rate)), MAX_SAMPLES / 4))
        turn += total_turn(data, _segment(start, end), steps, budget)
    return _winding(turn)


def zeros_in_circle(data: SystemData, centre: complex, radius: float) -> int:
    """Zeros of det Delta in the disc |lambda - centre| < radius, counted with multiplicity."""
    def path(t: FloatArray) -> ComplexArray:
        return np.asarray(centre + radius * np.exp(2j * np.pi * t), dtype=np.complex128)
    return _winding(total_turn(data, path, 16, [MAX_SAMPLES]))
