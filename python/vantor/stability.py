"""The rightmost root and the stability verdict, both decided from certified counts."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
from scipy.optimize import brentq

import pyvantor

from ._system import RESOLVED_REACH, SystemData, check_real, check_system
from .certify import count_right_of
from .spectrum import analyse


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
    (its roots are the eigenvalues of sum_k A_k, all found); +inf when no r brings B below it."""
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
    return float(brentq(excess, low, high, xtol=1e-12, rtol=1e-12))


def spectral_abscissa(sys: pyvantor.lagsys) -> SpectralAbscissa:
    """The rightmost characteristic root and its real part, with the bound chosen automatically.

    Starts from a bound just left of the rightmost eigenvalue of ``sum_k A_k`` (the roots' limit as
    every delay shrinks to zero) and lowers it, by steps that double, until the argument principle
    counts at least one root right of it (every system of order n >= 1 has roots). The roots right
    of that bound are then computed and checked against the count: the rightmost of them is
    returned only when they account for every root counted, or for every root right of a line
    1e-6 max(1, |alpha|) left of it. The bound is never lowered below the
    resolution floor, where ``sum_k ||A_k||_2 exp(-r h_k) * max(1, tau)`` reaches 90, the most the
    capped discretization degree resolves.

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
        No root lies right of the resolution floor (the floor is named in the message), no bound
        has one (the undelayed terms' norms alone exceed the reach), or the roots right of the
        bound could not all be found and the rightmost one found cannot be certified.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.spectral_abscissa(sys)
    >>> round(res.abscissa, 12)
    -0.318131505205
    """
    data = check_system(sys)
    floor = resolution_floor(data)
    if floor == math.inf:
        raise RuntimeError(
            "no bound r brings every root right of r within the reach of the capped "
            "discretization degree: the undelayed terms alone give sum_k ||A_k|| * max(1, tau) "
            f">= {RESOLVED_REACH:g}; use vantor.certify at a bound of your choice")
    delay_free = float(np.linalg.eigvals(data.matrices.sum(axis=0)).real.max())
    r = delay_free - 0.5 * max(1.0, abs(delay_free))
    if math.isfinite(floor):
        r = max(r, floor)
    step = max(1.0, 0.25 * abs(r))
    while True:
        count, left = count_right_of(data, r)
        if count > 0:
            break
        if r <= floor:
            raise RuntimeError(
                f"no root lies right of r = {floor:.6g}, the lowest bound at which every root right "
                f"of r is within the reach of the capped discretization degree "
                f"(sum_k ||A_k|| exp(-r h_k) * max(1, tau) = {RESOLVED_REACH:g}); the rightmost root "
                f"lies further left, where it cannot be computed reliably")
        r = max(r - step, floor)
        step *= 2.0
    found = analyse(sys, data, left)
    total = int(found.multiplicity.sum())
    if total != count and total > 0:
        # Roots are missing somewhere right of the bound; the rightmost one found is still the
        # rightmost root if the roots right of a line just left of it are all found.
        alpha = float(found.roots.real.max())
        line = alpha - 1e-6 * max(1.0, abs(alpha))
        right = found.roots.real > line
        near_count, left = count_right_of(data, line)
        if near_count == int(found.multiplicity[right].sum()):
            count, total = near_count, near_count
    if total != count or total == 0:
        raise RuntimeError(
            f"{count} roots lie right of r = {left:.6g} but {total} were found; the rightmost root "
            f"cannot be certified (see vantor.certify(sys, {left:.6g}))")
    root = complex(found.roots[0])
    return SpectralAbscissa(root.real, root, int(found.multiplicity[0]), left)


def is_stable(sys: pyvantor.lagsys, margin: float = 0.0) -> bool:
    """True when every characteristic root has ``Re(lambda) < -margin``.

    Decided from the argument-principle count of the roots right of ``-margin`` (`count_roots`),
    not from a computed list, so roots beyond the discretization's reach are not overlooked. A root
    on the line ``Re(lambda) = -margin`` (or within 1e-4 max(1, |margin|) of it) counts as right of
    it: a marginally stable system is not stable.

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
    data = check_system(sys)
    margin = check_real(margin, "margin")
    return count_right_of(data, -margin)[0] == 0
