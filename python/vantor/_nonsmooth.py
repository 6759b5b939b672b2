"""Minimization of a locally Lipschitz function that is smooth almost everywhere but not at its
minimizers (the spectral abscissa: its minima often lie where rightmost roots tie or collide).

Phase 1, BFGS with a weak Wolfe line search. From x with gradient g the direction is d = -H g;
the step t is bracketed by bisection (doubling while unbounded) until

    f(x + t d) <= f(x) + c1 t g.d   (sufficient decrease)   and   g(x + t d).d >= c2 g.d   (curvature),

which a function that is smooth along the segment satisfies on an interval of t even when it is
not smooth at the minimizer; the inverse Hessian H is updated with s = t d, y = g_new - g whenever
s.y > 0. On non-smooth functions BFGS converges to the kink with H growing ill-conditioned along
the non-smooth directions; it stops when the line search can no longer bracket a step (the
bracket falls below rounding) or the gradient is undefined (a multiple root).

For one variable, bisection on the sign of the derivative then closes the bracket around the
kink that the points of BFGS leave on either side of it.

Phase 2, gradient sampling: at x, gradients at points sampled uniformly in a ball of radius eps
approximate the eps-subdifferential; the element g* of least norm of their convex hull (a small
quadratic program, solved as a non-negative least-squares problem) gives the descent direction
-g*. A backtracking line search along it with sufficient decrease; when ||g*|| is below the
tolerance or no step decreases f, eps shrinks by 10, down to its smallest value. A point where
every eps-ball's sampled gradients hold 0 in their hull is eps-stationary: the optimality test.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np
from numpy.typing import NDArray
from scipy.optimize import nnls

FloatArray = NDArray[np.float64]
# f and its gradient; the gradient is NaN where f is not differentiable.
Objective = Callable[[FloatArray], tuple[float, FloatArray]]

_ARMIJO = 1e-4
_CURVATURE = 0.5
_LINE_STEPS = 60
# BFGS stops after this many iterations in a row that decrease f by at most ftol (relative).
_STALLED = 5


@dataclass
class Trace:
    """The best point seen and what it cost."""

    x: FloatArray
    f: float
    g: FloatArray
    nit: int = 0
    nfev: int = 0
    stationary: bool = False
    message: str = ""

    def offer(self, x: FloatArray, f: float, g: FloatArray) -> None:
        if f < self.f:
            self.x, self.f, self.g = x.copy(), f, g.copy()


def _evaluate(objective: Objective, trace: Trace, x: FloatArray) -> tuple[float, FloatArray]:
    f, g = objective(x)
    trace.nfev += 1
    trace.offer(x, f, g)
    return f, g


def _exceeds(objective: Objective, x: FloatArray, level: float) -> bool:
    """Whether the objective proves f(x) > level more cheaply than by evaluating f: its optional
    method `exceeds(x, level)`; False when it has none or cannot tell. A trial step it rejects
    is neither evaluated nor a candidate for the best point."""
    test = getattr(objective, "exceeds", None)
    return test is not None and bool(test(x, level))


def _line_search(objective: Objective, trace: Trace, x: FloatArray, f: float, g: FloatArray,
                 d: FloatArray) -> Optional[tuple[float, FloatArray, FloatArray]]:
    """A step satisfying the weak Wolfe conditions, or None (the bracket collapsed)."""
    slope = float(g @ d)
    lo, hi, t = 0.0, math.inf, 1.0
    for _ in range(_LINE_STEPS):
        x_t = x + t * d
        level = f + _ARMIJO * t * slope
        if _exceeds(objective, x_t, level):
            hi = t  # proven no sufficient decrease, without evaluating f there
        else:
            f_t, g_t = _evaluate(objective, trace, x_t)
            if not math.isfinite(f_t) or f_t > level:
                hi = t
            elif not np.all(np.isfinite(g_t)):
                hi = t  # a kink (a multiple root): look for a smooth point on the near side
            elif float(g_t @ d) < _CURVATURE * slope:
                lo = t
            else:
                return f_t, g_t, x_t
        t = 0.5 * (lo + hi) if math.isfinite(hi) else 2.0 * t
        if math.isfinite(hi) and hi - lo <= 1e-15 * max(1.0, lo):
            break
    return None


def bfgs(objective: Objective, x0: FloatArray, trace: Trace, max_iter: int, gtol: float,
         ftol: float, bracketed: Optional[Callable[[], bool]] = None, name: str = "the abscissa") -> None:
    """Phase 1; stops early once `bracketed()` says that a bracket holds a minimizer. `name` is
    the objective's in the messages."""
    x = x0.copy()
    f, g = _evaluate(objective, trace, x)
    n = x.size
    H = np.eye(n)
    first = True
    stalled = 0
    for _ in range(max_iter):
        if bracketed is not None and bracketed():
            trace.message = "a minimizer is bracketed"
            return
        if not np.all(np.isfinite(g)):
            trace.message = f"stopped at a point where {name} is not differentiable"
            return
        if float(np.linalg.norm(g)) <= gtol:
            trace.stationary = True
            trace.message = "the gradient vanishes"
            return
        d = -H @ g
        if float(g @ d) >= 0.0:
            H = np.eye(n)
            d = -g
        trace.nit += 1
        found = _line_search(objective, trace, x, f, g, d)
        if found is None:
            trace.message = "the line search cannot bracket a step: a kink"
            return
        f_new, g_new, x_new = found
        s, y = x_new - x, g_new - g
        sy = float(s @ y)
        if sy > 0.0:
            if first:
                H = np.eye(n) * (sy / float(y @ y))
                first = False
            rho = 1.0 / sy
            V = np.eye(n) - rho * np.outer(s, y)
            H = V @ H @ V.T + rho * np.outer(s, s)
        stalled = stalled + 1 if f - f_new <= ftol * max(1.0, abs(f)) else 0
        x, f, g = x_new, f_new, g_new
        if stalled >= _STALLED:
            trace.message = f"{name} stopped decreasing"
            return
    trace.message = "reached the iteration limit"


def bracket(history: list[tuple[float, float, float]], best: float) -> Optional[tuple[float, float]]:
    """The nearest points left and right of `best` where the derivative is negative and positive."""
    left = [u for u, _, g in history if u <= best and math.isfinite(g) and g < 0.0]
    right = [u for u, _, g in history if u >= best and math.isfinite(g) and g > 0.0]
    return (max(left), min(right)) if left and right else None


def bisect_bracket(objective: Objective, trace: Trace, history: list[tuple[float, float, float]],
                   max_iter: int, width: float = 0.0) -> bool:
    """One variable: from the points evaluated so far, (u, f, f'), the nearest ones around the best
    point where the derivative is negative (left) and positive (right) bracket a minimizer of a
    function that is smooth on either side of it; the bracket is halved by the derivative's sign
    at its midpoint down to adjacent doubles. BFGS zigzags across a one-sided square-root kink
    (a double root) with steps that shrink geometrically; bisection reaches it in as many
    evaluations as bits. Returns whether the bracket closed to adjacent doubles (or a zero
    derivative), or to `width` (relative) where the derivative turned undefined (a multiple root):
    a minimizer is then located to that width, which proves stationarity in one variable."""
    found = bracket(history, float(trace.x[0]))
    if found is None:
        return False
    a, b = found
    for _ in range(max_iter):
        mid = 0.5 * (a + b)
        if not a < mid < b:
            return True  # adjacent doubles
        _, g = _evaluate(objective, trace, np.array([mid]))
        if not math.isfinite(float(g[0])):
            break  # the kink itself, within rounding: a multiple root
        if g[0] < 0.0:
            a = mid
        elif g[0] > 0.0:
            b = mid
        else:
            return True
    else:
        return False
    # Within rounding of the kink the derivative's sign is lost and the values are as accurate as
    # the multiple root: the best of a few points across what is left of the bracket.
    for u in np.linspace(a, b, 9)[1:-1]:
        _evaluate(objective, trace, np.array([u]))
    return b - a <= width * max(1.0, abs(a), abs(b))


def _least_norm(G: FloatArray) -> FloatArray:
    """The point of least norm in the convex hull of the rows of G."""
    k = G.shape[0]
    weight = 1e3 * max(1.0, float(np.abs(G).max()))
    M = np.vstack([G.T, weight * np.ones((1, k))])
    rhs = np.concatenate([np.zeros(G.shape[1]), [weight]])
    coefficients, _ = nnls(M, rhs, maxiter=50 * k)
    total = coefficients.sum()
    if total > 0.0:
        coefficients /= total
    return np.asarray(coefficients @ G, dtype=np.float64)


def gradient_sampling(objective: Objective, trace: Trace, radius: float, smallest: float,
                      gtol: float, rng: np.random.Generator, max_iter: int) -> None:
    n = trace.x.size
    samples = 2 * n + 2
    eps = radius
    trace.stationary = False
    for _ in range(max_iter):
        if eps < smallest:
            trace.stationary = True
            trace.message += "; stationary to the smallest sampling radius"
            return
        x, f = trace.x.copy(), trace.f
        scale = np.maximum(1.0, np.abs(x))
        gradients = [trace.g] if np.all(np.isfinite(trace.g)) else []
        for _ in range(samples):
            u = rng.normal(size=n)
            u *= rng.uniform() ** (1.0 / n) / max(float(np.linalg.norm(u)), 1e-300)
            _, g_u = _evaluate(objective, trace, x + eps * scale * u)
            if np.all(np.isfinite(g_u)):
                gradients.append(g_u)
        trace.nit += 1
        if not gradients:
            eps *= 0.1
            continue
        g_star = _least_norm(np.array(gradients))
        norm = float(np.linalg.norm(g_star))
        if norm <= gtol:
            eps *= 0.1
            continue
        # Steps from a thousand radii down to a tenth of one, along -g* in the scaled variables.
        d = -g_star * scale / norm
        t = min(1.0, 1e3 * eps)
        decreased = False
        while t >= 0.1 * eps:
            if _exceeds(objective, x + t * scale * d, f - _ARMIJO * t * norm):
                t *= 0.5
                continue
            f_t, _ = _evaluate(objective, trace, x + t * scale * d)
            if f_t < f - _ARMIJO * t * norm:
                decreased = True
                break
            t *= 0.5
        if not decreased:
            eps *= 0.1
    trace.message += "; reached the iteration limit of gradient sampling"
