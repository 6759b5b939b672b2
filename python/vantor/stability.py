"""The rightmost root and the stability verdict, both decided from certified counts."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
from scipy.optimize import brentq
import pyvantor

from ._system import (RESOLVED_REACH, SystemData, as_lagsys, check_real, check_system, is_sparse_system,
                      normalized)
from .certify import count_right_of
from .region import RootsInBox, solve_right_of


# The search for a bound with roots right of it starts this far (at least, in the system's unit)
# left of the delay-free abscissa, and steps left by at least this much, doubling.
_GAP_FLOOR = 1.0 / 16.0
_STEP_FLOOR = 0.25
_STEP_SHARE = 0.5


class SpectralAbscissa(NamedTuple):
    """The rightmost characteristic root."""

    abscissa: float
    """Its real part: the spectral abscissa."""
    root: complex
    """The root (of a conjugate pair, the member with negative imaginary part)."""
    multiplicity: int
    """Its multiplicity."""
    r: float
    """The bound at which the roots right of it were counted and all found."""


def resolution_floor(data: SystemData) -> float:
    """The lowest bound r at which every root right of r lies within the discretization's reach:
    B(r) * max(1, tau) <= 90 with B(r) = sum_k ||A_k||_2 exp(-r h_k). -inf for a delay-free system
    (its roots are the eigenvalues of sum_k A_k, all found) or delays too small to matter; +inf
    when no r brings B below it."""
    delayed = (data.delays > 0.0) & (data.norms > 0.0)
    if not np.any(delayed):
        return -math.inf
    limit = RESOLVED_REACH / max(1.0, data.tau)
    if float(np.sum(data.norms[~delayed])) >= limit:
        return math.inf

    def excess(r: float) -> float:
        return data.modulus_bound(r) - limit

    high = 1.0
    while excess(high) > 0.0:
        high *= 2.0
    low = -1.0
    while excess(low) < 0.0:
        low *= 2.0
        if low < -1e300:
            return -math.inf  # exp(-r h) stays 1: the delays are too small to matter
    return float(brentq(excess, low, high, xtol=1e-12, rtol=1e-12))


def _bound_level(data: SystemData, value: float) -> float:
    """The bound r at which B(r) = sum_k ||A_k||_2 exp(-r h_k) equals value: B decreases in r, so
    B(r) <= value right of it. -inf when B never reaches value (no delayed term)."""
    if data.modulus_bound(-700.0 / max(data.tau, 1e-300)) <= value or data.tau == 0.0:
        return -math.inf

    def excess(r: float) -> float:
        return math.log(data.modulus_bound(r)) - math.log(value)

    high = 1.0
    while excess(high) > 0.0:
        high *= 2.0
        if high > 1e300:
            return math.inf
    low = -1.0
    while excess(low) < 0.0:
        low *= 2.0
    return float(brentq(excess, low, high, xtol=1e-9, rtol=1e-12))


def spectral_abscissa(sys: pyvantor.lagsys) -> SpectralAbscissa:
    """The rightmost characteristic root and its real part, with the bound chosen automatically.

    Starts from a bound just left of the rightmost eigenvalue of ``sum_k A_k`` (the roots' limit as
    every delay shrinks to zero), or from the lowest bound at which the discretization resolves
    every root right of it when that is higher (the count costs less there), and lowers it, by
    steps that double, until the argument principle counts at least one root right of it (every
    system of order n >= 1 has roots). Every root right
    of that bound is then found and proven by `all_roots`, past the discretization's reach and
    through clusters, and the rightmost one is returned.

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system.

    Returns
    -------
    SpectralAbscissa
        ``abscissa`` (the real part), ``root``, ``multiplicity`` and the bound ``r`` used.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys`.
    RuntimeError
        No root was found before the bound on the roots' moduli overflowed, or the roots right of
        the bound could not all be resolved (`vantor.IncompleteRoots`, which names the cell).

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.spectral_abscissa(sys)
    >>> round(res.abscissa, 12)
    -0.318131505205
    """
    if is_sparse_system(sys):
        from .large import rightmost_roots

        rightmost = rightmost_roots(sys, 1)
        first = complex(rightmost.roots[0])
        return SpectralAbscissa(first.real, first, int(rightmost.multiplicity[0]), rightmost.r)
    data = normalized(check_system(as_lagsys(sys)))
    found = rightmost_in_unit(data)
    root = complex(found.roots[0]) * data.unit
    return SpectralAbscissa(root.real, root, int(found.multiplicity[0]), found.box[0] * data.unit)


def rightmost_in_unit(data: SystemData) -> RootsInBox:
    """Every root right of a bound low enough that at least one root lies right of it (in the
    unit of `data`), rightmost first."""
    delay_free = float(np.linalg.eigvals(data.matrices.sum(axis=0)).real.max())
    width = max(1.0, data.tau)
    # The count's contour grows with the bound B(r) on the roots' moduli, exponentially in r for
    # long delays: start no lower than where B(r) max(1, tau) = 1000 (the discretization resolves
    # every root right of where it is 90, so start no lower than that either), and let each step
    # at most quadruple B. Lengths are in the unit (the spectral radius, to a factor of two).
    r = delay_free - 0.5 * max(_GAP_FLOOR, abs(delay_free))
    r = max(r, _bound_level(data, max(1000.0 / width, 2.0 * data.modulus_bound(math.inf))))
    floor = resolution_floor(data)
    if math.isfinite(floor):
        r = max(r, floor)
    step = max(_STEP_FLOOR, _STEP_SHARE * abs(r))
    while True:
        count, left = count_right_of(data, r)
        if count > 0:
            break
        lowest = _bound_level(data, 4.0 * data.modulus_bound(r))
        r = max(r - step, lowest)
        step *= 2.0
        if not math.isfinite(data.modulus_bound(r)):
            raise RuntimeError(
                f"no root lies right of r = {r:.6g}, and the bound on the roots' moduli overflows "
                f"further left")
    return solve_right_of(data, left, count)


def is_stable(sys: pyvantor.lagsys, margin: float = 0.0) -> bool:
    r"""True when every characteristic root has :math:`\operatorname{Re}\lambda < -\mathrm{margin}`.

    Decided from the argument-principle count of the roots right of ``-margin`` (`count_roots`),
    not from a computed list, so roots beyond the discretization's reach are not overlooked. A root
    on the line ``Re(lambda) = -margin``, or within rounding of it, counts as right of it: a
    marginally stable system is not stable. A root further left than rounding counts as left of
    it, however close.

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system.
    margin : float, optional
        The required decay rate. Default 0 (asymptotic stability).

    Returns
    -------
    bool

    Raises
    ------
    TypeError, ValueError, RuntimeError
        As for `count_roots`.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> vantor.is_stable(sys), vantor.is_stable(sys, margin=0.5)
    (True, False)
    """
    margin = check_real(margin, "margin")
    if is_sparse_system(sys):
        from .large import count_large, in_unit, large_system

        system, unit = in_unit(large_system(sys))
        return count_large(system, -margin / unit)[0] == 0
    data = normalized(check_system(sys))
    return count_right_of(data, -margin / data.unit)[0] == 0
