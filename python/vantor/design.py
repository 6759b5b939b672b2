"""Parameters and feedback gains that minimize the spectral abscissa or the H-infinity norm."""

from __future__ import annotations

import math
import time
from typing import Any, Callable, Optional, Sequence, Union, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.optimize import OptimizeResult

import pyvantor

from ._hinf import Peak, responses
from ._nonsmooth import Trace, bfgs, bisect_bracket, bracket, gradient_sampling
from ._newton import refine
from ._system import ComplexArray, SystemData, check_real, check_system, normalized
from .frequency import _check_budget, _io_matrices, _proven_peak
from .region import all_roots
from .sensitivity import ParameterBuild, _check_parameters, _difference, _same_shape, parameter_derivative
from .stability import is_stable, spectral_abscissa
from .systems import _is_state_space, _matrix

FloatArray = NDArray[np.float64]
# Roots within this (relative) of the abscissa are reported as the rightmost ones.
_TIE = 1e-6
# A start diverges when its parameters grow beyond this times max(1, the largest start entry): the
# abscissa then decreases without bound (an undelayed loop whose gain can push it to -inf).
_DIVERGED = 1e8
# Evaluations of G allowed to each proven H-infinity norm of the search.
_HINF_EVALUATIONS = 200_000


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
        # The rightmost root of the latest exact evaluation: Newton's start in `exceeds`.
        self.latest: Optional[complex] = None

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
        self.latest = found.root
        if found.multiplicity != 1:
            return found.abscissa, np.full(p.size, np.nan)
        gradient = parameter_derivative(self.build, p, self.scalar, data, found.root).real
        return found.abscissa, np.asarray(gradient, dtype=np.float64)

    def exceeds(self, u: FloatArray, level: float) -> bool:
        """Whether the abscissa at u is proven larger than level without certifying it: Newton's
        method from the latest rightmost root (and its conjugate) reaches, quadratically, a root
        of build(p(u)) right of level. A line search's overshooting step is rejected so for the
        cost of a few factorizations; False whenever it cannot tell."""
        key = u.tobytes()
        if key in self.cache:
            return self.cache[key][0] > level
        if self.latest is None or not math.isfinite(level):
            return False
        p, _ = self.transform.to_p(u)
        if not (np.all(np.isfinite(p)) and float(np.abs(p).max()) <= self.limit):
            return False
        try:
            data = normalized(check_system(self.system(p), "build(p)"))
            start = np.array([self.latest, np.conj(self.latest)], dtype=np.complex128) / data.unit
            found = refine(data, start)
        except (ArithmeticError, RuntimeError, TypeError, ValueError, np.linalg.LinAlgError):
            return False
        right = found.roots[found.simple].real * data.unit
        return bool(np.any(right > level + 1e-12 * max(1.0, abs(level))))

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
    gtol, xtol, ftol = _check_search(build, starts, seed, max_iter, gtol, xtol, ftol)
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
    best, reached, total_iterations = _search(objective, transform, points, max_iter, gtol, xtol, ftol,
                                              rng, limit, callback, "the abscissa")
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


def _check_search(build: object, starts: object, seed: object, max_iter: object, gtol: object,
                  xtol: object, ftol: object) -> tuple[float, float, float]:
    """The search's arguments checked (TypeError / ValueError naming them); the tolerances."""
    for name, value in (("starts", starts), ("seed", seed), ("max_iter", max_iter)):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an integer, got {value!r}")
    if cast(int, starts) < 1 or cast(int, max_iter) < 1:
        raise ValueError(f"starts and max_iter must be >= 1, got {starts} and {max_iter}")
    g, x, f = check_real(gtol, "gtol"), check_real(xtol, "xtol"), check_real(ftol, "ftol")
    if not (g > 0.0 and x > 0.0 and f >= 0.0):
        raise ValueError(f"gtol and xtol must be > 0 and ftol >= 0, got {g!r}, {x!r} and {f!r}")
    if not callable(build):
        raise TypeError(f"build must be callable, got {type(build).__name__}")
    return g, x, f


def _search(objective: _Abscissa, transform: _Transform, points: list[FloatArray], max_iter: int,
            gtol: float, xtol: float, ftol: float, rng: np.random.Generator, limit: float,
            callback: Optional[Callable[[FloatArray, float], Any]], name: str
            ) -> tuple[Trace, list[float], int]:
    """BFGS, bisection of a bracket (one variable) and gradient sampling from each start: the best
    end point, the value each start reached and the iterations."""
    best: Optional[Trace] = None
    reached = []
    total_iterations = 0
    for point in points:
        u = transform.to_u(point)
        f, g = objective(u)
        trace = Trace(u.copy(), f, g)
        if not math.isfinite(f):
            reached.append(f)
            continue
        try:
            one = u.size == 1
            bfgs(objective, u, trace, max_iter, gtol, ftol,
                 (lambda: bracket(objective.history(), float(trace.x[0])) is not None) if one else None,
                 name)
            if one and bisect_bracket(objective, trace, objective.history(), max_iter, xtol):
                trace.stationary = True
                trace.message += "; bisection closed the bracket to xtol"
            else:
                gradient_sampling(objective, trace, 1e-3, xtol, gtol, rng, max_iter)
        except _Diverged:
            trace.stationary = False
            trace.message = (f"diverged: {name} keeps decreasing as the parameters grow past "
                             f"{limit:.3g}; it has no minimum (bound the parameters)")
        total_iterations += trace.nit
        reached.append(trace.f)
        if callback is not None:
            callback(transform.to_p(trace.x)[0], trace.f)
        if best is None or trace.f < best.f:
            best = trace
    assert best is not None
    return best, reached, total_iterations


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
        # feedback_system's loop without its checks (A, B, C and the delay were checked once;
        # the derivatives call this many times per evaluation); 0 - BKC: no negative zeros.
        K = self.gain(np.atleast_1d(p))
        if not np.all(np.isfinite(K)):
            raise ValueError(f"the gain has a non-finite entry: {K!r}")
        return pyvantor.lagsys([self.A, 0.0 - self.B @ K @ self.C], [0.0, self.delay])


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


class _LoopSystem:
    """Picklable build of the loop's system alone, from a build of (system, B, C[, D])."""

    def __init__(self, build: Callable[..., Any]) -> None:
        self.build = build

    def __call__(self, p: Any) -> Any:
        out = self.build(p)
        return out[0] if isinstance(out, tuple) and out else out


class _Hinf(_Abscissa):
    """f(u) = H-infinity norm of the loop build(p(u)) and its gradient, cached; f is inf where the
    loop is unstable, the gradient NaN where the top singular value at the peak is multiple."""

    def __init__(self, build: Callable[..., Any], scalar: bool, transform: _Transform, limit: float,
                 rtol: float, max_evaluations: int) -> None:
        super().__init__(build, scalar, transform, limit)
        self.rtol, self.max_evaluations = rtol, max_evaluations
        self.peaks: dict[bytes, Peak] = {}

    def loop(self, p: FloatArray) -> tuple[pyvantor.lagsys, SystemData, FloatArray, FloatArray, FloatArray]:
        out = self.build(float(p[0]) if self.scalar else p.copy())
        if not (isinstance(out, tuple) and 2 <= len(out) <= 4 and isinstance(out[0], pyvantor.lagsys)):
            raise TypeError("build must return (pyvantor.lagsys, B, C), (pyvantor.lagsys, B, C, D) or "
                            f"(pyvantor.lagsys, control.StateSpace), got {type(out).__name__}")
        data = check_system(out[0], "build(p)[0]")
        B, C, D = _io_matrices(data, *(tuple(out[1:]) + (None,) * (4 - len(out))))
        return out[0], data, B, C, D

    def system(self, p: FloatArray) -> pyvantor.lagsys:
        return self.loop(p)[0]

    def exact(self, p: FloatArray) -> tuple[float, FloatArray]:
        sys, data, B, C, D = self.loop(p)
        peak = _proven_peak(sys, data, B, C, D, self.rtol, self.max_evaluations,
                            "so the loop has no finite H-infinity norm")
        self.evaluations += 1
        self.peaks[p.tobytes()] = peak
        return peak.value, self.gradient(p, data, (B, C, D), peak.frequency)

    def gradient(self, p: FloatArray, data: SystemData, io: tuple[FloatArray, FloatArray, FloatArray],
                 omega: float) -> FloatArray:
        """d sigma_max(G(i omega*)) / dp at the peak omega* (its shift does not count there: sigma_max
        is stationary in omega), by differences of build's transfer matrix."""
        at = np.array([omega], dtype=np.float64)

        def transfer(q: FloatArray) -> ComplexArray:
            _, other, B, C, D = self.loop(q)
            _same_shape(other, data)
            if B.shape != io[0].shape or C.shape != io[1].shape:
                raise ValueError("build(p) must keep the shapes of B and C as p changes")
            if not math.isfinite(omega):
                return np.asarray(D, dtype=np.complex128)
            value: ComplexArray = responses(other, B, C, D, at)[0]
            return value

        # At p itself the loop is the one already built.
        G = np.asarray(io[2], dtype=np.complex128) if not math.isfinite(omega) else \
            responses(data, io[0], io[1], io[2], at)[0]
        U, s, Vh = np.linalg.svd(G)
        if s.size > 1 and not s[0] - s[1] > 1e-8 * s[0]:
            return np.full(p.size, np.nan)
        u, v = U[:, 0], Vh[0].conj()
        gradient = np.empty(p.size)
        for j in range(p.size):
            gradient[j] = float((u.conj() @ _difference(transfer, p, j, G) @ v).real)
        return gradient


def minimize_hinf(
    build: Callable[..., Any],
    p0: Union[float, ArrayLike],
    *,
    bounds: Bounds = None,
    starts: int = 3,
    seed: int = 0,
    max_iter: int = 200,
    rtol: float = 1e-8,
    gtol: float = 1e-10,
    xtol: float = 1e-10,
    ftol: float = 1e-12,
    callback: Optional[Callable[[FloatArray, float], Any]] = None,
) -> OptimizeResult:
    r"""The parameters p that minimize the H-infinity norm of the stable loop ``build(p)``.

    ``build(p)`` gives a closed loop :math:`x' = \sum_k A_k(p)\, x(t - h_k) + B(p)\, w`,
    :math:`z = C(p)\, x + D(p)\, w` (the loop of a plant under a fixed-order controller, as
    `stabilize` builds it, with a disturbance input :math:`w` and a performance output :math:`z`).
    Its H-infinity norm :math:`\sup_\omega \sigma_{\max}(G(i\omega))` is, like the spectral
    abscissa, smooth except where two peaks tie or the top singular value at the peak is multiple,
    and the optimum is often there: the search is `minimize_abscissa`'s (BFGS, then gradient
    sampling), on the norm proven by `hinf_norm` at each point. Its gradient is exact up to
    differences of `build`: at the peak frequency :math:`\omega^*`,

    .. math:: \frac{\partial \|G\|_\infty}{\partial p_j}
              = \operatorname{Re}\Bigl(u^H \frac{\partial G(i\omega^*)}{\partial p_j} v\Bigr)

    with :math:`u, v` the top singular vectors (the peak's own shift does not count:
    :math:`\sigma_{\max}` is stationary there). Unstable points have an infinite norm: the search
    stays in the stable set.

    The search starts from `p0` when its loop is stable, else from the least-abscissa point that
    `minimize_abscissa` reaches from `p0` (a ValueError when that is not stable); the other starts
    are drawn around it (normal, standard deviation ``0.5 max(1, abs(p))``, seeded), each pulled
    halfway back to it until its loop is stable (at most eight times; a start still unstable then
    is dropped).

    Parameters
    ----------
    build : callable
        ``build(p)`` returns ``(sys, B, C)`` or ``(sys, B, C, D)``, sys a ``pyvantor.lagsys``
        and B, C, D real matrices as `hinf_norm` takes them (or ``(sys, plant)`` with a
        python-control ``StateSpace`` whose B, C and D are taken); p is a float when `p0` is a
        number, else a 1-D array. The number of terms, the order and the shapes must not depend on p.
    p0 : float or array_like of float
        The first start.
    bounds, starts, seed, max_iter, gtol, xtol, ftol, callback : optional
        As for `minimize_abscissa`.
    rtol : float, optional
        The relative tolerance to which each norm is proven, in (0, 0.1]. Default 1e-8.

    Returns
    -------
    scipy.optimize.OptimizeResult
        ``x`` (the parameters; a float for a number `p0`), ``fun`` (the H-infinity norm),
        ``jac`` (its gradient at x, NaN where it is not differentiable), ``nit``, ``nfev``
        (norms computed), ``success`` (the best start ended eps-stationary and the loop is proven
        stable), ``message``, ``frequency`` (of the peak; inf when the norm is the limit ``||D||``),
        ``upper`` (a proven bound on the norm), ``certified`` (``upper <= (1 + rtol) fun``: fun is the
        norm to rtol), ``stable`` (a certified count finds no root with ``Re(lambda) >= 0``),
        ``start`` (where the search started: `p0`, or the stabilized point), ``starts`` (the norm
        each start reached) and ``time`` (seconds).

    Raises
    ------
    TypeError, ValueError
        Invalid arguments; `build` fails or returns no loop at `p0`; no stable loop is found from `p0`.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> def loop(k):  # x' = -x - k x(t - 1) + w, z = [x; 0.5 k x]: tracking against effort
    ...     sys = pyvantor.lagsys([-np.eye(1), -k * np.eye(1)], [0.0, 1.0])
    ...     return sys, [[1.0]], [[1.0], [0.5 * k]]
    >>> res = vantor.minimize_hinf(loop, 0.0, bounds=[(0.0, 1.0)], starts=1)
    >>> res.certified and res.stable, round(res.fun, 6) < round(vantor.hinf_norm(*loop(0.0)).norm, 6)
    (True, True)
    """
    started = time.perf_counter()
    params, scalar = _check_parameters(p0)
    gtol, xtol, ftol = _check_search(build, starts, seed, max_iter, gtol, xtol, ftol)
    tolerance = _check_budget(rtol, _HINF_EVALUATIONS)
    transform = _Transform(bounds, params.size)
    transform.to_u(params)  # p0 inside the bounds
    objective = _Hinf(build, scalar, transform, _DIVERGED * max(1.0, float(np.abs(params).max())),
                      tolerance, _HINF_EVALUATIONS)
    sys0 = objective.system(params)  # errors at the start are the caller's to see
    if not is_stable(sys0):
        found = minimize_abscissa(_LoopSystem(build), float(params[0]) if scalar else params,
                                  bounds=bounds, starts=1, seed=seed, max_iter=max_iter)
        if not found.stable:
            raise ValueError(f"the loop at p0 is unstable and minimize_abscissa found no stable one "
                             f"from it (least abscissa {found.fun:.6g})")
        params = np.atleast_1d(np.asarray(found.x, dtype=np.float64))
    objective.limit = _DIVERGED * max(1.0, float(np.abs(params).max()))
    u0 = transform.to_u(params)
    objective.exact(transform.to_p(u0)[0])
    rng = np.random.default_rng(seed)
    points = [params]
    for _ in range(starts - 1):
        point = transform.clip(params + 0.5 * np.maximum(1.0, np.abs(params)) * rng.normal(size=params.size))
        for _ in range(8):
            if math.isfinite(objective(transform.to_u(point))[0]):
                break
            point = transform.clip(0.5 * (point + params))
        points.append(point)
    best, reached, total_iterations = _search(objective, transform, points, max_iter, gtol, xtol, ftol,
                                              rng, objective.limit, callback, "the H-infinity norm")
    p, dp = transform.to_p(best.x)
    peak = objective.peaks.get(p.tobytes())
    if peak is None:  # the best point was evaluated through the transform's round trip only
        objective.exact(p)
        peak = objective.peaks[p.tobytes()]
    sys = objective.system(p)
    stable = is_stable(sys)
    certified = peak.upper <= (1.0 + tolerance) * peak.value * (1.0 + 1e-15)
    success = best.stationary and stable
    message = best.message.lstrip("; ")
    if best.stationary and not stable:
        message += "; not proven stable: the certified count finds a root with Re(lambda) >= 0"
    with np.errstate(invalid="ignore", divide="ignore"):
        jac = best.g / dp
    return _result(
        x=float(p[0]) if scalar else p, fun=best.f, jac=jac, nit=total_iterations,
        nfev=objective.evaluations, success=bool(success), status=0 if success else 1, message=message,
        frequency=peak.frequency, upper=peak.upper, certified=bool(certified), stable=bool(stable),
        start=float(params[0]) if scalar else params, starts=reached, time=time.perf_counter() - started,
        method="BFGS + gradient sampling")
