"""Parameters and feedback gains that minimize the spectral abscissa."""

from __future__ import annotations

import math
import time
from typing import Any, Callable, Optional, Sequence, Union, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.optimize import OptimizeResult

import pyvantor

from ._nonsmooth import Trace, bfgs, bisect_bracket, bracket, gradient_sampling
from ._system import check_real, check_system
from .region import all_roots
from .sensitivity import ParameterBuild, _check_parameters, parameter_derivative
from .stability import is_stable, spectral_abscissa
from .systems import _is_state_space, _matrix, feedback_system

FloatArray = NDArray[np.float64]
# Roots within this (relative) of the abscissa are reported as the rightmost ones.
_TIE = 1e-6
# A start diverges when its parameters grow beyond this times max(1, the largest start entry): the
# abscissa then decreases without bound (an undelayed loop whose gain can push it to -inf).
_DIVERGED = 1e8


class _Diverged(Exception):
    """The parameters grew without bound."""
Bounds = Optional[Sequence[tuple[Optional[float], Optional[float]]]]


class _Transform:
    """Box constraints as a smooth change of variables p = p(u) onto the box: a sine for
    two-sided bounds, sqrt(u^2 + 1) - 1 for one-sided ones."""

    def __init__(self, bounds: Bounds, size: int) -> None:
        self.low = np.full(size, -math.inf)
        self.high = np.full(size, math.inf)
        if bounds is None:
            return
        try:
            pairs = [tuple(pair) for pair in bounds]
        except TypeError as err:
            raise TypeError(f"bounds must be a sequence of (low, high) pairs, got {bounds!r}") from err
        if len(pairs) != size or any(len(pair) != 2 for pair in pairs):
            raise ValueError(f"bounds must hold {size} (low, high) pairs, got {bounds!r}")
        for j, (lo, hi) in enumerate(pairs):
            if lo is not None:
                self.low[j] = check_real(lo, f"bounds[{j}][0]")
            if hi is not None:
                self.high[j] = check_real(hi, f"bounds[{j}][1]")
            if not self.low[j] < self.high[j]:
                raise ValueError(f"bounds[{j}] = {(lo, hi)!r}: low must be below high")

    def to_p(self, u: FloatArray) -> tuple[FloatArray, FloatArray]:
        """p(u) and dp/du."""
        p, dp = u.copy(), np.ones_like(u)
        lo, hi = self.low, self.high
        both = np.isfinite(lo) & np.isfinite(hi)
        low_only = np.isfinite(lo) & ~np.isfinite(hi)
        high_only = ~np.isfinite(lo) & np.isfinite(hi)
        root = np.sqrt(u ** 2 + 1.0)
        p[both] = lo[both] + 0.5 * (hi[both] - lo[both]) * (1.0 + np.sin(u[both]))
        dp[both] = 0.5 * (hi[both] - lo[both]) * np.cos(u[both])
        p[low_only] = lo[low_only] + root[low_only] - 1.0
        dp[low_only] = u[low_only] / root[low_only]
        p[high_only] = hi[high_only] + 1.0 - root[high_only]
        dp[high_only] = -u[high_only] / root[high_only]
        return p, dp

    def to_u(self, p: FloatArray) -> FloatArray:
        lo, hi = self.low, self.high
        if np.any(p < lo) or np.any(p > hi):
            raise ValueError(f"p0 = {p.tolist()!r} lies outside the bounds")
        u = p.copy()
        both = np.isfinite(lo) & np.isfinite(hi)
        low_only = np.isfinite(lo) & ~np.isfinite(hi)
        high_only = ~np.isfinite(lo) & np.isfinite(hi)
        # Just inside a bound: dp/du vanishes on it.
        ratio = np.clip(2.0 * (p[both] - lo[both]) / (hi[both] - lo[both]) - 1.0, -0.999, 0.999)
        u[both] = np.arcsin(ratio)
        u[low_only] = np.sqrt(np.maximum(p[low_only] - lo[low_only] + 1.0, 1.001) ** 2 - 1.0)
        u[high_only] = np.sqrt(np.maximum(hi[high_only] - p[high_only] + 1.0, 1.001) ** 2 - 1.0)
        return u

    def clip(self, p: FloatArray) -> FloatArray:
        return np.asarray(np.clip(p, self.low, self.high), dtype=np.float64)


class _Abscissa:
    """f(u) = spectral abscissa of build(p(u)) and its gradient, cached; the gradient is NaN where
    the rightmost root is multiple, f is inf where build or the analysis fails away from p0."""

    def __init__(self, build: ParameterBuild, scalar: bool, transform: _Transform,
                 limit: float = math.inf) -> None:
        self.build, self.scalar, self.transform = build, scalar, transform
        self.limit = limit
        self.cache: dict[bytes, tuple[float, FloatArray]] = {}
        self.evaluations = 0

    def system(self, p: FloatArray) -> pyvantor.lagsys:
        sys = self.build(float(p[0]) if self.scalar else p.copy())
        if not isinstance(sys, pyvantor.lagsys):
            raise TypeError(f"build must return a pyvantor.lagsys, got {type(sys).__name__}")
        return sys

    def exact(self, p: FloatArray) -> tuple[float, FloatArray]:
        sys = self.system(p)
        data = check_system(sys, "build(p)")
        found = spectral_abscissa(sys)
        self.evaluations += 1
        if found.multiplicity != 1:
            return found.abscissa, np.full(p.size, np.nan)
        gradient = parameter_derivative(self.build, p, self.scalar, data, found.root).real
        return found.abscissa, np.asarray(gradient, dtype=np.float64)

    def history(self) -> list[tuple[float, float, float]]:
        """(u, f, f') at every point evaluated so far, for one variable."""
        return [(float(np.frombuffer(key)[0]), f, float(g[0])) for key, (f, g) in self.cache.items()]

    def __call__(self, u: FloatArray) -> tuple[float, FloatArray]:
        key = u.tobytes()
        if key not in self.cache:
            p, dp = self.transform.to_p(u)
            if float(np.abs(p).max()) > self.limit:
                raise _Diverged
            try:
                f, g = self.exact(p)
            except (ArithmeticError, RuntimeError, ValueError, np.linalg.LinAlgError):
                f, g = math.inf, np.full(u.size, np.nan)
            self.cache[key] = (f, g * dp)
        f, g = self.cache[key]
        return f, g.copy()


def minimize_abscissa(
    build: ParameterBuild,
    p0: Union[float, ArrayLike],
    *,
    bounds: Bounds = None,
    starts: int = 3,
    seed: int = 0,
    max_iter: int = 200,
    gtol: float = 1e-10,
    xtol: float = 1e-10,
    ftol: float = 1e-12,
    callback: Optional[Callable[[FloatArray, float], Any]] = None,
) -> OptimizeResult:
    """The parameters p that minimize the spectral abscissa of ``build(p)``.

    The spectral abscissa is not differentiable where the rightmost roots tie or collide, and its
    minima often lie there (a double root), so the method is made for it: BFGS with a weak Wolfe
    line search, which approaches such kinks, then gradient sampling (the least-norm element of the
    gradients sampled in shrinking balls), which proves eps-stationarity down to the radius
    `xtol`. Gradients are exact for simple roots (`root_derivative`). Several starts guard against
    local minima: `p0` and ``starts - 1`` points drawn around it (normal, standard deviation
    ``0.5 max(1, abs(p0))``, seeded). The abscissa at the result is certified: the argument principle
    counts no root right of it.

    Parameters
    ----------
    build : callable
        ``build(p)`` returns the ``pyvantor.lagsys`` at parameters p (a float when `p0` is a
        number, else a 1-D array); the number of terms and the order must not depend on p.
    p0 : float or array_like of float
        The first start.
    bounds : sequence of (float or None, float or None), optional
        ``(low, high)`` for each parameter, None for no bound.
    starts : int, optional
        Number of starts (>= 1). Default 3.
    seed : int, optional
        Seed of the random starts and samples. Default 0.
    max_iter : int, optional
        Iterations of each phase per start. Default 200.
    gtol : float, optional
        A gradient (or sampled least-norm gradient) below this is zero. Default 1e-10.
    xtol : float, optional
        The smallest sampling radius, relative to ``max(1, abs(p))``. Default 1e-10.
    ftol : float, optional
        BFGS hands over to gradient sampling after five iterations in a row that lower the
        abscissa by at most ``ftol max(1, abs(fun))``. Default 1e-12.
    callback : callable, optional
        ``callback(p, fun)`` after each start with its best point.

    Returns
    -------
    scipy.optimize.OptimizeResult
        ``x`` (the parameters; a float for a number `p0`), ``fun`` (the spectral abscissa),
        ``jac`` (its gradient at x, NaN where it is not differentiable), ``nit``, ``nfev``
        (spectral abscissae computed), ``success`` (the best start ended eps-stationary),
        ``message``, ``roots`` and ``multiplicity`` (every root within 1e-6 max(1, abs(fun)) of the
        abscissa), ``certified`` (those are, by the argument principle, every root right of
        ``fun - 1e-6 max(1, abs(fun))``, and the rightmost of them has real part fun), ``stable``
        (a certified count finds no root with ``Re(lambda) >= 0``, a root within rounding of the
        axis included: a minimum at a root on the axis is not stable, whatever the sign of
        ``fun``'s last digits), ``starts`` (the abscissa reached from each start) and ``time``
        (seconds). A start whose parameters grow past 1e8 times the largest entry of `p0` (or 1)
        stops: the abscissa has no minimum; ``success`` is then False and ``message`` says so.

    Raises
    ------
    TypeError, ValueError
        Invalid arguments; `build` fails or returns no ``pyvantor.lagsys`` at `p0`.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> build = lambda k: pyvantor.lagsys([np.zeros((1, 1)), -k * np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.minimize_abscissa(build, 0.5, bounds=[(0.0, 2.0)], starts=1)
    >>> round(res.x, 6), round(res.fun, 6), res.certified
    (0.367879, -1.0, True)
    """
    started = time.perf_counter()
    params, scalar = _check_parameters(p0)
    for name, value in (("starts", starts), ("seed", seed), ("max_iter", max_iter)):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an integer, got {value!r}")
    if starts < 1 or max_iter < 1:
        raise ValueError(f"starts and max_iter must be >= 1, got {starts} and {max_iter}")
    gtol, xtol, ftol = check_real(gtol, "gtol"), check_real(xtol, "xtol"), check_real(ftol, "ftol")
    if not (gtol > 0.0 and xtol > 0.0 and ftol >= 0.0):
        raise ValueError(f"gtol and xtol must be > 0 and ftol >= 0, got {gtol!r}, {xtol!r} and {ftol!r}")
    if not callable(build):
        raise TypeError(f"build must be callable, got {type(build).__name__}")
    transform = _Transform(bounds, params.size)
    limit = _DIVERGED * max(1.0, float(np.abs(params).max()))
    objective = _Abscissa(build, scalar, transform, limit)
    u0 = transform.to_u(params)
    objective.exact(transform.to_p(u0)[0])  # errors at the start are the caller's to see
    rng = np.random.default_rng(seed)
    points = [params]
    for _ in range(starts - 1):
        points.append(transform.clip(params + 0.5 * np.maximum(1.0, np.abs(params))
                                     * rng.normal(size=params.size)))
    best: Optional[Trace] = None
    reached = []
    total_iterations = 0
    for point in points:
        u = transform.to_u(point)
        f, g = objective(u)
        trace = Trace(u.copy(), f, g)
        try:
            one = u.size == 1
            bfgs(objective, u, trace, max_iter, gtol, ftol,
                 (lambda: bracket(objective.history(), float(trace.x[0])) is not None) if one else None)
            if one:
                bisect_bracket(objective, trace, objective.history(), max_iter)
            gradient_sampling(objective, trace, 1e-3, xtol, gtol, rng, max_iter)
        except _Diverged:
            trace.stationary = False
            trace.message = (f"diverged: the abscissa keeps decreasing as the parameters grow past "
                             f"{limit:.3g}; it has no minimum (bound the parameters)")
        total_iterations += trace.nit
        reached.append(trace.f)
        if callback is not None:
            callback(transform.to_p(trace.x)[0], trace.f)
        if best is None or trace.f < best.f:
            best = trace
    assert best is not None
    p, dp = transform.to_p(best.x)
    sys = objective.system(p)
    fun = best.f
    tie = _TIE * max(1.0, abs(fun))
    # all_roots proves that these are every root right of fun - tie; fun is certified when the
    # rightmost of them is fun.
    rightmost = all_roots(sys, fun - tie)
    certified = rightmost.complete and bool(rightmost.roots.size) and \
        abs(float(rightmost.roots.real.max()) - fun) <= tie
    # Stable only by a certified count: a root within rounding of the axis counts as unstable.
    stable = is_stable(sys)
    with np.errstate(invalid="ignore", divide="ignore"):
        jac = best.g / dp
    return _result(
        x=float(p[0]) if scalar else p, fun=fun, jac=jac, nit=total_iterations,
        nfev=objective.evaluations, success=best.stationary, status=0 if best.stationary else 1,
        message=best.message.lstrip("; "), roots=rightmost.roots, multiplicity=rightmost.multiplicity,
        certified=bool(certified), stable=bool(stable), starts=reached,
        time=time.perf_counter() - started,
        method="BFGS + gradient sampling")


def _stabilized(result: OptimizeResult) -> OptimizeResult:
    """success only for a stationary and proven stable loop; the message says what failed."""
    if result.success and not result.stable:
        fields = dict(result)
        fields.update(success=False, status=2, message=(
            f"{result.message}; not proven stable: the certified count finds a root with "
            f"Re(lambda) >= 0 (the abscissa {result.fun:.3g} is zero within its accuracy)"
            if abs(result.fun) <= _TIE * max(1.0, abs(result.fun)) else
            f"{result.message}; not stable: the least abscissa {result.fun:.3g} is not negative"))
        return _result(**fields)
    return result


def _result(**fields: Any) -> OptimizeResult:
    # OptimizeResult is a dict with attribute access; SciPy's stubs type it as a read-only mapping.
    return cast(OptimizeResult, cast(Any, OptimizeResult)(**fields))


def _plant(plant: Any) -> tuple[FloatArray, FloatArray, FloatArray]:
    if _is_state_space(plant):
        if getattr(plant, "dt", 0) not in (0, None):
            raise ValueError(f"plant must be a continuous-time StateSpace, got dt = {plant.dt!r}")
        if np.any(np.asarray(plant.D) != 0.0):
            raise ValueError("plant must have zero feedthrough D (the loop would be neutral)")
        A, B, C = plant.A, plant.B, plant.C
    else:
        try:
            A, B, C = plant
        except (TypeError, ValueError) as err:
            raise TypeError("plant must be a control.StateSpace or a tuple (A, B, C)") from err
    Am, Bm, Cm = _matrix(A, "plant A"), _matrix(B, "plant B"), _matrix(C, "plant C")
    n = Am.shape[0]
    if Am.shape != (n, n) or Bm.shape[0] != n or Cm.shape[1] != n:
        raise ValueError(f"plant matrices do not fit: A {Am.shape}, B {Bm.shape}, C {Cm.shape}")
    return Am, Bm, Cm


class _StaticLoop:
    """Picklable build: the loop under u = -K y(t - delay), K's free entries from p."""

    def __init__(self, A: FloatArray, B: FloatArray, C: FloatArray, mask: NDArray[np.bool_],
                 delay: float) -> None:
        self.A, self.B, self.C, self.mask, self.delay = A, B, C, mask, delay

    def gain(self, p: FloatArray) -> FloatArray:
        K = np.zeros(self.mask.shape)
        K[self.mask] = p
        return K

    def __call__(self, p: FloatArray) -> pyvantor.lagsys:
        return feedback_system(self.A, self.B, self.C, self.gain(np.atleast_1d(p)), self.delay)


class _PILoop:
    """Picklable build: the loop under u = -kp y(t - delay) - ki * integral of y(t - delay), the
    integral as an extra state xi' = y."""

    def __init__(self, A: FloatArray, B: FloatArray, C: FloatArray, delay: float) -> None:
        n = A.shape[0]
        self.A0 = np.block([[A, np.zeros((n, 1))], [C, np.zeros((1, 1))]])
        self.B, self.C, self.delay = B, C, delay

    def __call__(self, p: FloatArray) -> pyvantor.lagsys:
        kp, ki = float(p[0]), float(p[1])
        n = self.C.shape[1]
        A1 = np.zeros((n + 1, n + 1))
        A1[:n, :n] = 0.0 - kp * self.B @ self.C
        A1[:n, n:] = 0.0 - ki * self.B
        return pyvantor.lagsys([self.A0, A1], [0.0, self.delay])


def stabilize(
    plant: Any,
    *,
    delay: float,
    structure: Union[str, ArrayLike] = "full",
    K0: Optional[ArrayLike] = None,
    bounds: Bounds = None,
    starts: int = 3,
    seed: int = 0,
    max_iter: int = 200,
) -> OptimizeResult:
    """The feedback gain that minimizes the spectral abscissa of the delayed loop.

    Static output feedback ``u(t) = -K y(t - delay)`` for a plant ``x' = A x + B u, y = C x``: the
    loop ``x' = A x - B K C x(t - delay)`` (`feedback_system`), with K full, diagonal or the entries
    of a mask free; or, for a single-input single-output plant, the PI controller
    ``u = -kp y(t - delay) - ki * integral of y(t - delay)`` (the integral an extra state).
    The gains come from `minimize_abscissa`.

    Parameters
    ----------
    plant : control.StateSpace or tuple (A, B, C)
        The plant (continuous time, no feedthrough).
    delay : float
        The loop's delay (>= 0).
    structure : "full", "diagonal", "pi" or array_like of bool (inputs x outputs), optional
        Which gains are free. Default "full".
    K0 : array_like, optional
        The first start: the gain matrix (static) or ``(kp, ki)`` (PI). Default zero.
    bounds, starts, seed, max_iter : optional
        As for `minimize_abscissa`; bounds apply to the free gains in row-major order.

    Returns
    -------
    scipy.optimize.OptimizeResult
        As for `minimize_abscissa`, plus ``K`` (the gain matrix, or ``(kp, ki)`` for "pi") and
        ``system`` (the loop as a ``pyvantor.lagsys``). ``success`` means stabilized: the search
        ended stationary and ``stable`` is True (a certified count finds no root with
        ``Re(lambda) >= 0``); otherwise ``message`` says which failed.

    Raises
    ------
    TypeError, ValueError
        An invalid plant, delay, structure or start.

    Examples
    --------
    >>> import numpy as np, vantor
    >>> res = vantor.stabilize(([[1.0]], [[1.0]], [[1.0]]), delay=0.2, K0=[[2.0]], starts=1)
    >>> res.stable, res.success
    (True, True)
    """
    A, B, C = _plant(plant)
    h = check_real(delay, "delay")
    if h < 0.0:
        raise ValueError(f"delay must be >= 0, got {h!r}")
    m, q = B.shape[1], C.shape[0]
    build: Callable[[FloatArray], pyvantor.lagsys]
    if isinstance(structure, str) and structure == "pi":
        if m != 1 or q != 1:
            raise ValueError(f"the PI form needs one input and one output, the plant has {m} and {q}")
        build = _PILoop(A, B, C, h)
        start = np.zeros(2) if K0 is None else np.asarray(K0, dtype=np.float64).ravel()
        if start.shape != (2,):
            raise ValueError(f"K0 must be (kp, ki) for the PI form, got {K0!r}")
        result = _stabilized(minimize_abscissa(build, start, bounds=bounds, starts=starts, seed=seed,
                                               max_iter=max_iter))
        return _result(**result, K=(float(result.x[0]), float(result.x[1])),
                       system=build(np.asarray(result.x)))
    if isinstance(structure, str):
        if structure == "full":
            mask = np.ones((m, q), dtype=bool)
        elif structure == "diagonal":
            mask = np.eye(m, q, dtype=bool)
        else:
            raise ValueError(f"structure must be 'full', 'diagonal', 'pi' or a mask, got {structure!r}")
    else:
        mask = np.asarray(structure)
        if mask.dtype != np.bool_ or mask.shape != (m, q):
            raise ValueError(f"structure must be a boolean mask of shape ({m}, {q}), got "
                             f"{mask.dtype} {mask.shape}")
        if not mask.any():
            raise ValueError("structure leaves no gain free")
    loop = _StaticLoop(A, B, C, mask, h)
    if K0 is None:
        start = np.zeros(int(mask.sum()))
    else:
        K_start = _matrix(K0, "K0")
        if K_start.shape != (m, q):
            raise ValueError(f"K0 must have shape ({m}, {q}), got {K_start.shape}")
        start = K_start[mask]
    result = _stabilized(minimize_abscissa(loop, start, bounds=bounds, starts=starts, seed=seed,
                                           max_iter=max_iter))
    free = np.atleast_1d(result.x)
    return _result(**result, K=loop.gain(free), system=loop(free))
