"""Frequency-domain analyses of delay systems with inputs and outputs: the exact frequency response
and the H-infinity norm, proven.

The system ``x'(t) = sum_k A_k x(t - h_k) + B u(t)``, ``y(t) = C x(t) + D u(t)`` has the transfer
matrix ``G(s) = C (s I - sum_k A_k exp(-s h_k))^-1 B + D``, evaluated here without any rational
approximation of the delays.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike

from ._hinf import BudgetExceeded, Peak, hinf_peak, responses
from ._system import ComplexArray, FloatArray, SystemData, char_matrices, check_real, check_system

__all__ = ["HinfNorm", "PseudospectralAbscissa", "StabilityRadius", "frequency_response", "hinf_norm",
           "pseudospectral_abscissa", "stability_radius"]


class HinfNorm(NamedTuple):
    """The H-infinity norm of a stable system: ``sup_omega sigma_max(G(i omega))``."""

    norm: float
    """The largest singular value found, at `frequency`: a lower bound, within rtol of the norm."""
    frequency: float
    """Where it is reached (rad per unit of time); inf when the norm is the limit ||D|| of
    G(i omega) as omega grows, approached but not attained."""
    upper: float
    """A proven upper bound: no frequency has sigma_max(G(i omega)) above it."""
    attained: bool
    """Whether the norm is reached at a finite frequency."""
    evaluations: int
    """Evaluations of G(i omega) the proof took."""


class StabilityRadius(NamedTuple):
    """The complex stability radius: the smallest eps such that some A_k + w_k Delta_k with
    ||Delta_k||_2 <= eps has a root on the imaginary axis."""

    radius: float
    """The radius reached by `perturbation`: an upper bound, within rtol of the radius."""
    lower: float
    """A proven lower bound: every perturbation with ||Delta_k|| < lower leaves the system stable."""
    frequency: float
    """The frequency omega of the root i omega that `perturbation` puts on the axis."""
    perturbation: list[ComplexArray]
    """Delta_k, one per term, each of norm `radius` (complex, rank one)."""
    evaluations: int
    """Evaluations of the resolvent the proof took."""


class PseudospectralAbscissa(NamedTuple):
    """The largest real part over the epsilon-pseudospectrum."""

    abscissa: float
    """The real part of `point`."""
    point: complex
    """A rightmost point of the pseudospectrum (on its boundary; of a conjugate pair, the member
    with non-negative imaginary part)."""
    eps: float
    """The perturbation size."""


def _check_weights(weights: Optional[ArrayLike], m: int) -> FloatArray:
    """One weight >= 0 per term, not all zero (default all 1), else TypeError / ValueError."""
    if weights is None:
        return np.ones(m)
    w = _real_array(weights, "weights", 1, "real weights")
    if w.shape != (m,):
        raise ValueError(f"weights must have one entry per term ({m}), got {w.size}")
    if np.any(w < 0.0) or not np.any(w > 0.0):
        raise ValueError(f"weights must be >= 0 and not all zero, got {w.tolist()}")
    return w


def _real_array(value: Any, name: str, ndim: int, what: str) -> FloatArray:
    """value as a finite float array of ndim dimensions, else TypeError / ValueError naming it."""
    try:
        array = np.array(value, dtype=np.float64, ndmin=ndim)
    except (TypeError, ValueError) as err:
        raise TypeError(f"{name} must be {what}, got {type(value).__name__}") from err
    if array.ndim != ndim:
        raise ValueError(f"{name} must be {ndim}-D, got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} has a non-finite entry")
    return array


def _check_budget(rtol: object, max_evaluations: object) -> float:
    """rtol in (0, 0.1] and a positive integer max_evaluations, else TypeError / ValueError."""
    tolerance = check_real(rtol, "rtol")
    if not 0.0 < tolerance <= 0.1:
        raise ValueError(f"rtol must be in (0, 0.1], got {tolerance!r}")
    if isinstance(max_evaluations, (bool, np.bool_)) or not isinstance(max_evaluations, (int, np.integer)):
        raise TypeError(f"max_evaluations must be an integer, got {max_evaluations!r}")
    if max_evaluations < 1:
        raise ValueError(f"max_evaluations must be >= 1, got {max_evaluations}")
    return tolerance


def _proven_peak(sys: Any, data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, tolerance: float,
                 max_evaluations: int, consequence: str) -> Peak:
    """The proven peak of sigma_max(G(i omega)) of a stable system; ValueError naming the rightmost
    root of an unstable one (with `consequence`), RuntimeError beyond the budget."""
    from .stability import spectral_abscissa

    rightmost = spectral_abscissa(sys)
    if rightmost.abscissa >= 0.0:
        raise ValueError(f"sys is not stable: its rightmost root {rightmost.root:.6g} has a real part "
                         f">= 0, {consequence}")
    # The rightmost root's frequency is where a peak often is: evaluated first.
    seeds = np.array([abs(rightmost.root.imag)])
    try:
        return hinf_peak(data, B, C, D, tolerance, seeds, int(max_evaluations))
    except BudgetExceeded as err:
        raise RuntimeError(f"{err}: give a larger rtol or max_evaluations") from None
    except ZeroDivisionError:
        raise ValueError("sys has a characteristic root on the imaginary axis") from None


def _io_matrices(data: SystemData, B: Any, C: Any, D: Any) -> tuple[FloatArray, FloatArray, FloatArray]:
    """B (n x m), C (p x n), D (p x m; zero when None) as finite float arrays, else errors naming
    them; B, C and D of a python-control StateSpace given as B (with C and D omitted)."""
    from .systems import _is_state_space

    n = data.n
    if _is_state_space(B):
        if C is not None or D is not None:
            raise TypeError("C and D come from the StateSpace given as B: omit them")
        if getattr(B, "dt", 0) not in (0, None):
            raise ValueError(f"B must be a continuous-time StateSpace, got dt = {B.dt!r}")
        B, C, D = B.B, B.C, B.D
    if C is None:
        raise TypeError("C is required unless B is a python-control StateSpace")
    Bm = _real_array(B, "B", 2, "a real matrix")
    Cm = _real_array(C, "C", 2, "a real matrix")
    if Bm.shape[0] != n or Bm.shape[1] == 0:
        raise ValueError(f"B must have shape ({n}, inputs) for a system of order {n}, got {Bm.shape}")
    if Cm.shape[1] != n or Cm.shape[0] == 0:
        raise ValueError(f"C must have shape (outputs, {n}) for a system of order {n}, got {Cm.shape}")
    if D is None:
        return Bm, Cm, np.zeros((Cm.shape[0], Bm.shape[1]))
    Dm = _real_array(D, "D", 2, "a real matrix")
    if Dm.shape != (Cm.shape[0], Bm.shape[1]):
        raise ValueError(f"D must have shape ({Cm.shape[0]}, {Bm.shape[1]}) (outputs, inputs), "
                         f"got {Dm.shape}")
    return Bm, Cm, Dm


def frequency_response(sys: Any, B: Any, C: Optional[ArrayLike] = None, D: Optional[ArrayLike] = None,
                       *, omega: ArrayLike) -> ComplexArray:
    r"""The exact frequency response :math:`G(i\omega)` of a delay system with inputs and outputs.

    .. math:: G(i\omega) = C \Bigl(i\omega I - \sum_k A_k e^{-i\omega h_k}\Bigr)^{-1} B + D

    at each frequency, from one LU factorization of the characteristic matrix per frequency: the
    delays enter exactly (no Pade approximation).

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem (dense)
        The system ``x' = sum_k A_k x(t - h_k) + B u``.
    B : array_like, shape (n, inputs), or control.StateSpace
        The input matrix; or a python-control ``StateSpace`` whose B, C and D are taken (its A is
        not used: the plant of `feedback_system`, whose loop `sys` is), with `C` and `D` omitted.
    C : array_like, shape (outputs, n)
        The output matrix.
    D : array_like, shape (outputs, inputs), optional
        The feedthrough. Default zero.
    omega : array_like of float
        The frequencies (rad per unit of time of the delays), any real values.

    Returns
    -------
    numpy.ndarray of complex, shape (outputs, inputs, len(omega))
        ``G(i omega)``, ordered as python-control orders a frequency response. NaN at a frequency
        where ``i omega`` is a characteristic root (G has a pole there).

    Raises
    ------
    TypeError, ValueError
        An invalid system, non-conforming or non-finite B, C, D, or non-finite frequencies.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.array([[-2.0]]), np.array([[1.0]])], [0.0, 1.0])
    >>> G = vantor.frequency_response(sys, [[1.0]], [[1.0]], omega=[0.0])
    >>> G.shape, round(float(G[0, 0, 0].real), 12)
    ((1, 1, 1), 1.0)
    """
    data = check_system(sys)
    Bm, Cm, Dm = _io_matrices(data, B, C, D)
    w = _real_array(omega, "omega", 1, "real frequencies")
    return np.ascontiguousarray(np.moveaxis(responses(data, Bm, Cm, Dm, w), 0, -1))


def hinf_norm(sys: Any, B: Any, C: Optional[ArrayLike] = None, D: Optional[ArrayLike] = None, *,
              rtol: float = 1e-8, max_evaluations: int = 2_000_000) -> HinfNorm:
    r"""The H-infinity norm of a stable delay system, proven to a relative tolerance.

    :math:`\|G\|_\infty = \sup_\omega \sigma_{\max}(G(i\omega))`. The lower bound is the largest
    :math:`\sigma_{\max}(G(i\omega))` evaluated, at a peak refined to a zero of
    :math:`d\sigma_{\max}/d\omega` (or :math:`\|D\|`, the limit at infinite frequency); an upper
    bound at most :math:`1 + \mathrm{rtol}` times it is proven by branch and bound on
    :math:`[0, \Omega]`: on an interval around a frequency :math:`c`, :math:`\sigma_{\max}(G)`
    exceeds its value at :math:`c` by at most a bound from
    :math:`\|R(c)\| = \|(icI - \sum_k A_k e^{-ich_k})^{-1}\|`, :math:`\|CR(c)\|`,
    :math:`\|R(c)B\|` and the derivatives of the characteristic matrix (first order, or second
    order from :math:`G'(c)` near a peak); beyond :math:`\Omega` the bound
    :math:`\|D\| + \|C\|\,\|B\| / (\omega - \sum_k \|A_k\|)` is below it. Every frequency is
    covered by an interval whose bound is at most :math:`1 + \mathrm{rtol}` times the lower
    bound. The bounds are evaluated in floating point with a relative margin of 1e-12.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem (dense)
        The system ``x' = sum_k A_k x(t - h_k) + B u``; it must be stable.
    B : array_like, shape (n, inputs), or control.StateSpace
        The input matrix; or a python-control ``StateSpace`` whose B, C and D are taken (its A is
        not used: the plant of `feedback_system`, whose loop `sys` is), with `C` and `D` omitted.
    C : array_like, shape (outputs, n)
        The output matrix.
    D : array_like, shape (outputs, inputs), optional
        The feedthrough. Default zero.
    rtol : float, optional
        The relative gap between the bounds, in (0, 0.1]. Default 1e-8.
    max_evaluations : int, optional
        Evaluations of G allowed to the proof. Default 2,000,000.

    Returns
    -------
    HinfNorm
        ``norm``, ``frequency``, ``upper``, ``attained``, ``evaluations``.

    Raises
    ------
    TypeError, ValueError
        Invalid arguments, or an unstable system (the message names its rightmost root).
    RuntimeError
        The proof needed more than `max_evaluations` evaluations (a norm approached only as the
        frequency grows, ``||D||`` with a tight rtol).

    Notes
    -----
    A constant delay at the input or the output multiplies G by ``exp(-i omega h)``, which leaves
    every singular value unchanged: give the system without it.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.array([[-2.0]]), np.array([[1.0]])], [0.0, 1.0])  # x' = -2x + x(t-1) + u
    >>> res = vantor.hinf_norm(sys, [[1.0]], [[1.0]])
    >>> round(res.norm, 9), res.frequency
    (1.0, 0.0)
    """
    data = check_system(sys)
    Bm, Cm, Dm = _io_matrices(data, B, C, D)
    tolerance = _check_budget(rtol, max_evaluations)
    peak = _proven_peak(sys, data, Bm, Cm, Dm, tolerance, max_evaluations,
                        "so G has no finite H-infinity norm")
    return HinfNorm(peak.value, peak.frequency, peak.upper, math.isfinite(peak.frequency), peak.evaluations)


def stability_radius(sys: Any, *, weights: Optional[ArrayLike] = None, rtol: float = 1e-8,
                     max_evaluations: int = 2_000_000) -> StabilityRadius:
    r"""The complex stability radius of a stable delay system, proven to a relative tolerance.

    The smallest :math:`\varepsilon` for which perturbations :math:`A_k \to A_k + w_k \Delta_k`
    with complex :math:`\|\Delta_k\|_2 \le \varepsilon` move a root onto the imaginary axis. At
    :math:`\lambda = i\omega` the perturbed characteristic matrix is
    :math:`\Delta(i\omega) - \sum_k w_k \Delta_k e^{-i\omega h_k}`, and
    :math:`|e^{-i\omega h_k}| = 1`, so

    .. math:: \varepsilon^* = \frac{1}{\sum_k w_k \cdot \sup_\omega \|\Delta(i\omega)^{-1}\|_2},

    the inverse of an H-infinity norm (:math:`B = C = I`), proven as `hinf_norm` proves it. At the
    frequency of the supremum, with :math:`\Delta(i\omega) v = s u` (:math:`s` the smallest
    singular value, :math:`u, v` unit), :math:`\Delta_k = \varepsilon\, u v^H e^{i\omega h_k}` puts
    a root at :math:`i\omega`: the radius is reached.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem (dense)
        A stable system.
    weights : array_like of float, optional
        w_k >= 0, one per term (not all zero). Default: every w_k = 1.
    rtol : float, optional
        The relative gap between ``lower`` and ``radius``, in (0, 0.1]. Default 1e-8.
    max_evaluations : int, optional
        Evaluations of the resolvent allowed to the proof. Default 2,000,000.

    Returns
    -------
    StabilityRadius
        ``radius``, ``lower``, ``frequency``, ``perturbation``, ``evaluations``.

    Raises
    ------
    TypeError, ValueError
        Invalid arguments, or an unstable system (the message names its rightmost root).
    RuntimeError
        The proof needed more than `max_evaluations` evaluations.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.array([[-2.0]]), np.array([[1.0]])], [0.0, 1.0])
    >>> res = vantor.stability_radius(sys)   # min |i w + 2 - exp(-i w)| = 1 at w = 0, over w_0 + w_1 = 2
    >>> round(res.radius, 9), res.frequency
    (0.5, 0.0)
    """
    data = check_system(sys)
    w = _check_weights(weights, data.matrices.shape[0])
    tolerance = _check_budget(rtol, max_evaluations)
    identity = np.eye(data.n)
    peak = _proven_peak(sys, data, identity, identity, np.zeros((data.n, data.n)), tolerance,
                        max_evaluations, "so its stability radius is 0")
    total = float(w.sum())
    omega = peak.frequency
    Delta = char_matrices(data, np.array([1j * omega], dtype=np.complex128))[0]
    U, s, Vh = np.linalg.svd(Delta)
    radius = float(s[-1]) / total
    u, v = U[:, -1], Vh[-1].conj()
    shared = radius * np.outer(u, v.conj())
    perturbation = [np.asarray(shared * np.exp(1j * omega * h), dtype=np.complex128) for h in data.delays]
    return StabilityRadius(radius, 1.0 / (total * peak.upper), omega, perturbation, peak.evaluations)


def pseudospectral_abscissa(sys: Any, eps: float, *, weights: Optional[ArrayLike] = None,
                            starts: int = 6) -> PseudospectralAbscissa:
    r"""The largest real part over the epsilon-pseudospectrum of a delay system.

    The :math:`\varepsilon`-pseudospectrum is the set of roots of all perturbed systems
    :math:`A_k \to A_k + w_k \Delta_k` with complex :math:`\|\Delta_k\|_2 \le \varepsilon`:

    .. math:: \Lambda_\varepsilon = \Bigl\{\lambda : \sigma_{\min}(\Delta(\lambda)) \le
              \varepsilon \sum_k w_k |e^{-\lambda h_k}|\Bigr\}.

    From each of the `starts` rightmost roots (certified by `rightmost_roots`), an ascent
    alternates a horizontal search for the boundary (a sign change of
    :math:`\sigma_{\min}(\Delta(\lambda)) - \varepsilon \sum_k w_k |e^{-\lambda h_k}|`, solved by
    Brent's method) with a vertical search for the height where the set reaches furthest right,
    until the boundary's tangent is vertical; the rightmost point reached is returned.

    The ascent is local: each start gives a locally rightmost point of its component. The
    result is a point of the pseudospectrum, so its real part is a lower bound of the
    pseudospectral abscissa, equal to it when the rightmost component holds one of the starting
    roots (for eps below the stability radius, every component holds a root). For the stability
    question, `stability_radius` gives the eps at which the abscissa reaches 0, proven.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem (dense)
        The system.
    eps : float
        The perturbation size, > 0.
    weights : array_like of float, optional
        w_k >= 0, one per term (not all zero). Default: every w_k = 1.
    starts : int, optional
        How many rightmost roots start an ascent (>= 1). Default 6.

    Returns
    -------
    PseudospectralAbscissa
        ``abscissa``, ``point``, ``eps``.

    Raises
    ------
    TypeError, ValueError
        Invalid arguments.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> A = np.diag([-1.0, -3.0])          # normal and delay-free: the abscissa moves by eps
    >>> res = vantor.pseudospectral_abscissa(pyvantor.lagsys([A], [0.0]), 0.25)
    >>> round(res.abscissa, 10)
    -0.75
    """
    from ._pseudospectra import rightmost_point
    from .large import rightmost_roots

    data = check_system(sys)
    size = check_real(eps, "eps")
    if not size > 0.0:
        raise ValueError(f"eps must be > 0, got {size!r}")
    w = _check_weights(weights, data.matrices.shape[0])
    if isinstance(starts, (bool, np.bool_)) or not isinstance(starts, (int, np.integer)):
        raise TypeError(f"starts must be an integer, got {starts!r}")
    if starts < 1:
        raise ValueError(f"starts must be >= 1, got {starts}")
    roots = rightmost_roots(sys, int(starts)).roots
    roots = np.unique(np.where(roots.imag < 0.0, roots.conj(), roots))
    scale = max(1.0, float(np.max(np.abs(roots))), float(np.sum(data.norms)))
    best: Optional[complex] = None
    for root in roots:
        point = rightmost_point(data, w, size, complex(root), scale)
        if best is None or point.real > best.real:
            best = point
    assert best is not None
    if best.imag < 0.0:
        best = best.conjugate()
    return PseudospectralAbscissa(best.real, best, size)
