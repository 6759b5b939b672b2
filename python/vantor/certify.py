"""Certified counts of the roots right of a bound, and a completeness certificate for the list."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
from scipy.optimize import brentq
from numpy.typing import NDArray

import pyvantor

from ._winding import ContourHitsZero, TooManySamples, zeros_in_box
from ._system import (ComplexArray, SystemData, as_lagsys, check_real, check_system, is_sparse_system,
                      normalized)
from .spectrum import analyse

# A root on or within rounding of the line Re(lambda) = r moves that edge left by these amounts,
# relative to max(1, abs(r)), tried in turn: such a root is counted as right of r.
EDGE_SHIFTS = (0.0, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4)


def count_roots(sys: pyvantor.lagsys, r: float) -> int:
    r"""The number of roots with :math:`\operatorname{Re}\lambda > r`, counted with multiplicity.

    The count is the winding number of :math:`\det\Delta(\lambda)` along the boundary of the box
    :math:`[r, R] \times [-R, R]` with :math:`R = 1.05 B + 1` and
    :math:`B = \sum_k \|A_k\|_2 e^{-r h_k}`. The box holds every root right of :math:`r`: for such a
    root with eigenvector :math:`v`, :math:`\lambda v = \sum_k A_k e^{-\lambda h_k} v`, so

    .. math:: |\lambda| \le \sum_k \|A_k\|_2\, e^{-\operatorname{Re}(\lambda) h_k} \le B

    because every delay is non-negative; its right, top and bottom edges lie beyond
    :math:`|\lambda| = B`. The argument is followed in steps
    refined until none turns it by more than an eighth of a turn (checked at each step's midpoint).
    Only when a root lies on the left edge or so close that det Delta is in rounding noise there
    (the contour cannot be followed), that edge is moved left by ``1e-8 max(1, abs(r))`` (then
    1e-7, ..., up to 1e-4 of it, in the system's own unit of time) until it can: such a root is
    counted as right of the line ``Re(lambda) = r``. A root further from the line than rounding is
    counted on the side where it lies.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem
        The system. A sparse DelaySystem is solved by `rightmost_roots` (with ``r``).
    r : float
        The bound.

    Returns
    -------
    int
        The number of roots right of `r`.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys` or `r` (as for `distinct_roots`); ValueError also when `r` is so low that the
        bound B overflows.
        ValueError also when far too many roots lie right of `r` to count (more than two million
        contour samples): the message estimates their number and suggests an r.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> vantor.count_roots(sys, -1.0), vantor.count_roots(sys, -3.0)
    (2, 6)
    """
    if is_sparse_system(sys):
        from .large import count_large, in_unit, large_system

        system, unit = in_unit(large_system(sys))
        return count_large(system, check_real(r, "r") / unit)[0]
    data = normalized(check_system(sys))
    return count_right_of(data, check_real(r, "r") / data.unit)[0]


def count_right_of(data: SystemData, r: float) -> tuple[int, float]:
    """The count and the left edge it was taken on (r, or r moved left past a root on the line),
    in the unit of `data`."""
    scale = max(1.0, abs(r))
    for shift in EDGE_SHIFTS:
        left = r - shift * scale
        bound = data.modulus_bound(left)
        if not math.isfinite(bound):
            raise ValueError(
                f"r = {r * data.unit!r} is so low that the bound on the roots' moduli overflows; "
                f"raise r")
        if left > bound:
            return 0, left
        reach = 1.05 * bound + 1.0
        try:
            return zeros_in_box(data, left, reach, reach), left
        except ContourHitsZero:
            continue
        except TooManySamples:
            raise ValueError(
                f"about {estimated_count(data, r):.3g} roots lie right of r = {r * data.unit!r}, too "
                f"many to count; raise r to about {bound_for_count(data, 1000) * data.unit:.6g} "
                f"(about 1000 roots)") from None
    raise RuntimeError(f"det Delta vanishes on every contour tried near Re(lambda) = {r!r}")


def estimated_count(data: SystemData, r: float) -> float:
    """About how many roots lie right of r: the box of half-height B(r) holds about n B(r) tau / pi
    of them (each chain of roots of a delayed term has one per 2 pi / tau of height), plus n. An
    estimate to decide what is affordable, never a count."""
    return data.n * (data.modulus_bound(r) * data.tau / math.pi + 1.0)


def bound_for_count(data: SystemData, count: float) -> float:
    """The r at which `estimated_count` is about `count` (r itself where no delay matters)."""
    target = math.pi * (count / data.n - 1.0) / max(data.tau, 1e-300)
    if data.tau == 0.0 or target <= 0.0:
        return math.inf

    def excess(x: float) -> float:
        return math.log(max(data.modulus_bound(x), 1e-300)) - math.log(target)

    high = 1.0
    while excess(high) > 0.0:
        high = 2.0 * high + 1.0
        if high > 1e300:
            return math.inf
    low = -1.0
    while excess(low) < 0.0:
        low = 2.0 * low - 1.0
        if low < -1e300:
            return -math.inf
    return float(brentq(excess, low, high, xtol=1e-9, rtol=1e-12))


@dataclass(frozen=True)
class Certificate:
    """The outcome of `certify`.

    Attributes
    ----------
    r : float
        The bound the count and the list were taken at (the requested one, or moved left by at most
        1e-4 max(1, abs(r)) when a root lay on the line ``Re(lambda) = r``).
    count : int
        Roots with ``Re(lambda) > r`` by the argument principle, with multiplicity.
    roots, multiplicity : ndarray
        The distinct roots found (rightmost first) and their multiplicities.
    complete : bool
        True when the roots found account for the count exactly and every listed value is a root.
    missing : int
        Roots counted but not found (beyond the discretization's reach).
    missing_modulus : tuple of float or None
        ``(low, high)``: the missing roots have ``low < |lambda| <= high``; None when none is missing.
        Raise `r` to bring them within reach, or check the system's scaling.
    surplus : int
        Values returned by ``pyvantor.roots`` that are no roots (no zero of det Delta near them).
    surplus_values : ndarray
        Those values.
    """

    r: float
    count: int
    roots: ComplexArray
    multiplicity: NDArray[np.int64]
    complete: bool
    missing: int
    missing_modulus: Optional[tuple[float, float]]
    surplus: int
    surplus_values: ComplexArray = field(repr=False)

    def __str__(self) -> str:
        found = int(self.multiplicity.sum())
        text = f"{self.count} roots right of {self.r:g}, {found} found"
        if self.complete:
            return text + ": complete"
        parts = [text + ": NOT complete"]
        if self.missing:
            low, high = self.missing_modulus or (0.0, math.inf)
            parts.append(f"{self.missing} missing, with {low:.4g} < |lambda| <= {high:.4g}")
        if self.surplus:
            parts.append(f"{self.surplus} listed values are no roots")
        return "; ".join(parts)


def certify(sys: pyvantor.lagsys, r: float) -> Certificate:
    """Check the roots right of `r` against an independent count.

    Counts the roots with ``Re(lambda) > r`` by the argument principle (`count_roots`) and compares
    the count with the distinct roots that ``pyvantor.roots`` finds (`distinct_roots`, with the
    multiplicity of each). The list is complete when the two agree and every listed value is a
    root. Roots beyond the reach of the capped discretization degree are counted but not found:
    the certificate says how many and the modulus range where they lie. Values where Delta is nearly
    singular without being singular (strongly non-normal systems with long delays) are reported as
    surplus, never as roots.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem
        The system. A sparse DelaySystem is solved by `rightmost_roots` (with ``r``).
    r : float
        The bound.

    Returns
    -------
    Certificate
        ``count``, ``roots``, ``multiplicity``, ``complete``, ``missing``, ``missing_modulus``,
        ``surplus``, ``surplus_values`` and the bound ``r`` used.

    Raises
    ------
    TypeError, ValueError, RuntimeError
        As for `count_roots`.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> print(vantor.certify(sys, -1.0))
    2 roots right of -1, 2 found: complete
    """
    if is_sparse_system(sys):
        return _certify_sparse(sys, check_real(r, "r"))
    data = normalized(check_system(as_lagsys(sys)))
    unit = data.unit
    count, left = count_right_of(data, check_real(r, "r") / unit)
    found = analyse(data, left)
    total = int(found.multiplicity.sum())
    missing = max(0, count - total)
    surplus = found.spurious.size + max(0, total - count)
    modulus = None
    if missing:
        low, high = _missing_modulus(data, left, found.roots, total)
        modulus = (low * unit, high * unit)
    return Certificate(
        r=left * unit, count=count, roots=found.roots * unit, multiplicity=found.multiplicity,
        complete=missing == 0 and surplus == 0, missing=missing, missing_modulus=modulus,
        surplus=surplus, surplus_values=found.spurious * unit)


def _certify_sparse(sys: Any, r: float) -> Certificate:
    """certify for a sparse DelaySystem: the roots right of r proven by `rightmost_roots`, or, when
    they cannot all be found, those found beside the count and the modulus bound of the box that
    holds every root right of r."""
    from .large import box_right_of, count_large, in_unit, large_system, rightmost_roots

    empty = np.zeros(0, dtype=np.complex128)
    try:
        found = rightmost_roots(sys, r=r)
    except RuntimeError:
        found = rightmost_roots(sys, r=r, certify=False)
        system, unit = in_unit(large_system(sys))
        count, line = count_large(system, r / unit)
        total = int(found.multiplicity.sum())
        box = box_right_of(system, line)
        high = math.hypot(max(abs(box.x0), abs(box.x1)), box.y) * unit if box is not None else 0.0
        missing = max(0, count - total)
        return Certificate(r=line * unit, count=count, roots=found.roots, multiplicity=found.multiplicity,
                           complete=False, missing=missing,
                           missing_modulus=(0.0, high) if missing else None,
                           surplus=max(0, total - count), surplus_values=empty)
    return Certificate(r=found.r, count=found.count, roots=found.roots, multiplicity=found.multiplicity,
                       complete=True, missing=0, missing_modulus=None, surplus=0, surplus_values=empty)


def _missing_modulus(
        data: SystemData, left: float, found: ComplexArray, total: int) -> tuple[float, float]:
    """Where the missing roots lie: beyond the band |Im| <= y holding every root found when the band
    holds no more roots than were found, else anywhere right of `left` within the bound."""
    bound = data.modulus_bound(left)
    low = max(0.0, left)
    y = 1.001 * float(np.abs(found.imag).max()) + 1e-3 if found.size else 1e-3
    if y < bound:
        try:
            in_band = zeros_in_box(data, left, 1.05 * bound + 1.0, y)
            if in_band == total:
                low = max(low, y)
        except ContourHitsZero:
            pass
    return low, bound
