"""The rightmost point of a structured epsilon-pseudospectrum of a delay system.

lambda lies in the epsilon-pseudospectrum when some A_k + w_k Delta_k with ||Delta_k||_2 <= eps has
it as a root. Delta(lambda) - sum_k w_k Delta_k exp(-lambda h_k) is singular for such Delta_k exactly
when sigma_min(Delta(lambda)) <= eps sum_k w_k |exp(-lambda h_k)| (rank-one Delta_k = c u v^H reach the
bound), so the set is {f <= 0} with

    f(x + i y) = sigma_min(Delta(x + i y)) - eps sum_k w_k exp(-x h_k).

f < 0 at every root. Right of every root f grows: sigma_min(Delta(lambda)) >= |lambda| -
sum_k ||A_k|| exp(-x h_k), so each horizontal line leaves the set.

Ascent (criss-cross in its simplest form, alternating the two searches): from a point inside,
the horizontal search finds the boundary x_b to the right along the line (f changes sign: a
bracket by doubling steps, then Brent's method); the vertical search then minimizes f(x_b, .)
near the current y (bounded Brent). Where the minimum is negative, the set reaches further right
at that height and the horizontal search resumes there; otherwise (x_b, y) is a locally rightmost
point: the boundary's tangent is vertical. x only grows.
"""

from __future__ import annotations

import math

import numpy as np
from scipy.optimize import brentq, minimize_scalar

from ._system import FloatArray, SystemData, char_matrices

_ASCENT_STEPS = 60


def level(data: SystemData, weights: FloatArray, eps: float, lam: complex) -> float:
    """f(lambda): negative inside the epsilon-pseudospectrum, positive outside."""
    Delta = char_matrices(data, np.array([lam], dtype=np.complex128))[0]
    if not np.all(np.isfinite(Delta)):
        return -math.inf   # exp(-lambda h) beyond the double range: far inside, left
    smallest = float(np.linalg.svd(Delta, compute_uv=False)[-1])
    return smallest - eps * float(np.sum(weights * np.exp(-lam.real * data.delays)))


def rightmost_point(data: SystemData, weights: FloatArray, eps: float, start: complex,
                    scale: float) -> complex:
    """A locally rightmost point of the epsilon-pseudospectrum reached from `start` (inside)."""
    x, y = start.real, start.imag
    tol = 1e-13 * max(scale, abs(start))

    def f(a: float, b: float) -> float:
        return level(data, weights, eps, complex(a, b))

    boundary = x
    for _ in range(_ASCENT_STEPS):
        step = 1e-3 * scale
        inside, outside = x, x + step
        for _ in range(2000):
            if f(outside, y) > 0.0:
                break
            inside, outside, step = outside, outside + 2.0 * step, 2.0 * step
        else:
            raise RuntimeError("the pseudospectrum seems unbounded to the right")
        previous, boundary = boundary, float(brentq(lambda a: f(a, y), inside, outside, xtol=tol, rtol=1e-15))
        if boundary - previous <= 1e-12 * scale and previous != x:
            break
        reach = 0.5 * max(boundary - x, 1e-3 * scale)
        found = minimize_scalar(lambda b: f(boundary - tol, b), bounds=(y - reach, y + reach),
                                method="bounded", options={"xatol": 1e-10 * scale})
        if not found.fun < f(boundary - tol, y):
            break   # no height reaches further right near y: the tangent is vertical
        x, y = boundary - tol, float(found.x)
    return complex(boundary, y)
