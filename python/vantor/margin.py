"""Delay margins and stability switches: where roots cross the imaginary axis as delays grow."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np
from numpy.typing import NDArray

import pyvantor

from ._crossing import Scaling, crossings, first_crossing, method, rate
from ._system import check_real, check_system, normalized
from ._winding import zeros_in_circles
from .certify import count_right_of

# The factor is moved this far (relative, at most a quarter of the gap to the next crossing) to
# count the roots just before and just after a crossing.
_CONFIRM_STEP = 1e-6
# Radius (relative to max(1, omega)) of the circle that counts the roots crossing together.
_MULTIPLICITY_RADIUS = 1e-4
DEFAULT_UP_TO = 10.0
# stability_intervals refuses more crossings than this by default (each is confirmed by counts).
MAX_CROSSINGS = 1000


@dataclass(frozen=True)
class DelayMargin:
    """The outcome of `delay_margin`.

    Attributes
    ----------
    factor : float
        The smallest s at which a root lies on the imaginary axis (inf: stable for every s).
    delays : ndarray of float
        Every delay of the system at that factor (the scaled ones times `factor`).
    frequency : float
        The crossing frequency omega > 0 (nan when `factor` is inf).
    root : complex
        The root ``1j * frequency``.
    method : str
        "exact" (the unimodular eigenvalues of a Kronecker pencil), "frequency scan" or
        "phase scan".
    """

    factor: float
    delays: NDArray[np.float64]
    frequency: float
    root: complex
    method: str


@dataclass(frozen=True)
class Crossing:
    """A root pair crossing the imaginary axis at ``+-1j * frequency`` when the factor is `factor`;
    `direction` is +1 when it moves right as the factor grows, -1 when it moves left."""

    factor: float
    frequency: float
    direction: int


@dataclass(frozen=True)
class StabilityIntervals:
    """The outcome of `stability_intervals`.

    Attributes
    ----------
    crossings : list of Crossing
        Every crossing with ``0 <= factor <= up_to``, by increasing factor.
    stable : list of (float, float)
        The intervals of the factor where every root has negative real part (open at crossings;
        ``up_to`` ends the last one, or inf when no root ever reaches the axis).
    counts : list of int
        The number of roots in the closed right half-plane on each interval between crossings
        (certified counts; ``counts[0]`` before the first crossing).
    up_to : float
        The largest factor considered.
    method : str
        As for `DelayMargin`.
    """

    crossings: list[Crossing]
    stable: list[tuple[float, float]]
    counts: list[int]
    up_to: float
    method: str


def _scaling(sys: pyvantor.lagsys, which: Optional[Sequence[int]]) -> Scaling:
    """The delays of `which` scaled, in the system's normalized unit of time (factors are the same
    in every unit; frequencies and delays are converted by the callers)."""
    data = normalized(check_system(sys))
    m = data.delays.size
    if which is None:
        scaled = data.delays > 0.0
        if not np.any(scaled):
            raise ValueError("sys has no positive delay to scale")
        return Scaling(data, scaled)
    if isinstance(which, (int, np.integer)) and not isinstance(which, (bool, np.bool_)):
        which = [int(which)]
    if isinstance(which, np.ndarray) and which.ndim == 0:
        which = [which.item()]
    try:
        which = list(which)
    except TypeError:
        raise TypeError(f"which must be a sequence of term indices, got {which!r}") from None
    if isinstance(which, (str, bytes)) or any(
            isinstance(k, (bool, np.bool_)) or not isinstance(k, (int, np.integer)) for k in which):
        raise TypeError(f"which must be a sequence of term indices, got {which!r}")
    try:
        indices = [int(k) for k in which]
    except TypeError as err:
        raise TypeError(f"which must be a sequence of term indices, got {which!r}") from err
    if not indices:
        raise ValueError("which must name at least one term")
    scaled = np.zeros(m, dtype=bool)
    for k in indices:
        if not -m <= k < m:
            raise ValueError(f"which has index {k}, but sys has {m} terms")
        if data.delays[k] <= 0.0:
            raise ValueError(f"which names term {k}, whose delay is {data.delays[k]!r}: only positive "
                             f"delays can be scaled")
        scaled[k] = True
    return Scaling(data, scaled)


def system_at(sys: pyvantor.lagsys, which: Optional[Sequence[int]], s: float) -> pyvantor.lagsys:
    """The system with the delays of `which` multiplied by s."""
    scaling = _scaling(sys, which)
    unit = scaling.data.unit
    return pyvantor.lagsys(list(scaling.data.matrices * unit), (_scaled_delays(scaling, s) / unit).tolist())


def _count(scaling: Scaling, s: float) -> int:
    """Certified number of roots with Re(lambda) >= 0 (within 1e-8) at factor s."""
    return count_right_of(scaling.at(s), 0.0)[0]


def delay_margin(sys: pyvantor.lagsys, which: Optional[Sequence[int]] = None) -> DelayMargin:
    """The smallest factor of the delays in `which` at which a root reaches the imaginary axis.

    The delays listed in `which` are multiplied by a factor s >= 0 together while the others stay;
    at s = 0 the system must be stable. For one scaled delay value with the other terms delay-free
    the crossing frequencies are the unimodular eigenvalues of a Kronecker pencil of order ``2 n^2``
    (exact up to rounding, then refined by Newton's method); with delayed unscaled terms the
    frequencies in ``[0, sum_k ||A_k||]`` are scanned. The crossing is confirmed by certified root
    counts just before and after it. For a single delay given as 1, the factor is the delay margin.

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system (its delays at factor 1).
    which : sequence of int, optional
        The indices of the terms whose delays are scaled. Default: every term with a positive delay.

    Returns
    -------
    DelayMargin
        ``factor``, ``delays``, ``frequency``, ``root`` and ``method``.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys` or `which` (an index out of range or a term without delay); the system is not
        stable at factor 0.
    NotImplementedError
        Several different delays scaled while unscaled terms have positive delays.
    RuntimeError
        The counts around the crossing do not confirm it.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([-np.ones((1, 1)), -2.0 * np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.delay_margin(sys)
    >>> round(res.factor, 12), round(res.frequency ** 2, 12)
    (1.209199576156, 3.0)
    """
    scaling = _scaling(sys, which)
    start = _count(scaling, 0.0)
    if start:
        raise ValueError(
            f"the system is not stable at factor 0 (the delays in which set to zero): {start} "
            f"roots have Re(lambda) >= 0")
    how = method(scaling)
    if how == "phase scan":
        reach = _phase_scan_reach(scaling)
        up_to = min(reach, 0.02 * reach)
        while True:
            intervals = stability_intervals(sys, which, up_to=up_to)
            if intervals.crossings or up_to >= reach:
                break
            up_to = min(reach, 4.0 * up_to)
        if not intervals.crossings:
            raise RuntimeError(
                f"no root reaches the axis up to factor {intervals.up_to:.6g}; several different "
                f"delays are scaled, so no finite search proves it never does: call "
                f"stability_intervals with a larger up_to")
        first = intervals.crossings[0]
        factor, omega = first.factor, first.frequency / scaling.data.unit
    else:
        found = first_crossing(scaling)
        if found is None:
            return DelayMargin(math.inf, _scaled_delays(scaling, math.inf) / scaling.data.unit, math.nan,
                               complex(math.nan, math.nan), how)
        factor, omega = found
        _confirm(scaling, [factor], [[(factor, omega)]], 0, math.inf)
    unit = scaling.data.unit
    return DelayMargin(factor, _scaled_delays(scaling, factor) / unit, omega * unit,
                       complex(0.0, omega * unit), how)


def _phase_scan_reach(scaling: Scaling) -> float:
    # Scan far enough that every exponential turns a hundred times at the bound on the frequency.
    h = float(scaling.data.delays[scaling.scaled].min())
    return 200.0 * math.pi / (max(scaling.frequency_bound, 1e-300) * h)


def _scaled_delays(scaling: Scaling, s: float) -> NDArray[np.float64]:
    with np.errstate(invalid="ignore"):
        return np.where(scaling.scaled, s * scaling.data.delays, scaling.data.delays)


def _count_beside(scaling: Scaling, s: float, delta: float, cap: float, side: int) -> int:
    """The certified count at factor s + side * delta, with delta grown tenfold (up to cap) until
    no root lies within rounding of the axis there and the count a decade further agrees: a count
    whose contour had to be moved past a root is not one from beside the crossing
    (ill-conditioned models blur det Delta near it)."""
    count, left = count_right_of(scaling.at(s + side * delta), 0.0)
    while 10.0 * delta <= cap:
        # Taken clear of the axis, and the same a decade further away: near an ill-conditioned
        # crossing det Delta can be in rounding noise without the contour noticing.
        further, further_left = count_right_of(scaling.at(s + side * 10.0 * delta), 0.0)
        if left == 0.0 and further == count:
            return count
        count, left, delta = further, further_left, 10.0 * delta
    return count


def _multiplicity(scaling: Scaling, omega: float, s: float) -> int:
    """How many roots lie at i omega at factor s (two modes may cross together): the count on a
    small circle around it; 1 when that circle is in rounding noise."""
    counts, hit = zeros_in_circles(scaling.at(s), np.array([1j * omega]),
                                   np.array([_MULTIPLICITY_RADIUS * max(1.0, omega)]), budget=4000)
    return int(counts[0]) if not hit[0] and counts[0] > 0 else 1


def _confirm(scaling: Scaling, factors: list[float], groups: list[list[tuple[float, float]]],
             before_first: int, up_to: float) -> tuple[list[int], list[int], list[list[int]]]:
    """Counts just before and after each distinct crossing factor, and the direction of each
    crossing; RuntimeError when the counts change by other than the crossings account for, or
    between crossings."""
    before, after, directions = [], [], []
    for i, s in enumerate(factors):
        gaps = [abs(s - factors[j]) for j in (i - 1, i + 1) if 0 <= j < len(factors)]
        gaps.append(s if s > 0.0 else math.inf)
        if math.isfinite(up_to):
            gaps.append(4.0 * max(up_to - s, 0.0))
        cap = min(0.25 * g for g in gaps)
        delta = min(_CONFIRM_STEP * max(1.0, s), cap)
        counted = _transversal(scaling, s, delta, groups[i], before_first)
        if counted is not None:
            # Simple crossings, each moving one way, and counts clear of the axis that change by
            # exactly what they account for.
            before.append(counted[0])
            after.append(counted[1])
            directions.append(counted[2])
            _check_between(before, after, before_first, s)
            continue
        before.append(_count_beside(scaling, s, delta, cap, -1) if s > 0.0 else before_first)
        after.append(_count_beside(scaling, s, delta, min(cap, 0.25 * max(1.0, s)), 1))
        change = after[-1] - before[-1]
        mults = [_multiplicity(scaling, omega, c) for c, omega in groups[i]]
        signed = [_direction(scaling, omega, c) if mu == 1 else 0
                  for (c, omega), mu in zip(groups[i], mults)]
        # A single crossing may also touch the axis and turn back (no change); a multiple one
        # moves its roots together.
        if len(groups[i]) == 1:
            ok = abs(change) <= 2 * mults[0] and change % 2 == 0
            signed = [int(np.sign(change))] if change else signed
        else:
            free = 2 * sum(mu for mu, d in zip(mults, signed) if d == 0)
            ok = abs(change - 2 * sum(mu * d for mu, d in zip(mults, signed))) <= free
        if not ok:
            raise RuntimeError(
                f"the root counts {before[-1]} before and {after[-1]} after the crossings at factor "
                f"{s!r} do not match their directions")
        directions.append(signed)
        _check_between(before, after, before_first, s)
    return before, after, directions


def _transversal(scaling: Scaling, s: float, delta: float, group: list[tuple[float, float]],
                 before_first: int) -> Optional[tuple[int, int, list[int]]]:
    """Counts before and after factor s and the crossings' directions when the counts, taken at
    s -+ delta with no root near the axis, change by exactly twice the sum of the directions (all
    nonzero); None otherwise (tangent, multiple or ill-conditioned crossings are confirmed by the
    careful path)."""
    signed = [_direction(scaling, omega, c) for c, omega in group]
    if 0 in signed:
        return None
    if s > 0.0:
        before, left = count_right_of(scaling.at(s - delta), 0.0)
        if left != 0.0:
            return None
    else:
        before = before_first
    after, left = count_right_of(scaling.at(s + delta), 0.0)
    if left != 0.0 or after - before != 2 * sum(signed):
        return None
    return before, after, signed


def _check_between(before: list[int], after: list[int], before_first: int, s: float) -> None:
    """RuntimeError when the count before the latest crossing differs from the count after the
    previous one."""
    previous = before_first if len(before) == 1 else after[-2]
    if before[-1] != previous:
        raise RuntimeError(
            f"the root count changes from {previous} to {before[-1]} between crossings (before "
            f"factor {s!r}) without a crossing found there")


def _direction(scaling: Scaling, omega: float, s: float) -> int:
    value = rate(scaling, omega, s)
    return 1 if value > 0.0 else -1 if value < 0.0 else 0


def stability_intervals(sys: pyvantor.lagsys, which: Optional[Sequence[int]] = None, *,
                        up_to: float = DEFAULT_UP_TO,
                        max_crossings: int = MAX_CROSSINGS) -> StabilityIntervals:
    """Every crossing of the imaginary axis, and the intervals of stability, as delays grow.

    The delays in `which` are multiplied by a factor s in ``[0, up_to]`` (the others stay). Each
    crossing is found as for `delay_margin`; its direction is the sign of ``Re(d lambda / ds)`` of
    the crossing root and is confirmed by the certified counts of the roots with
    ``Re(lambda) >= 0`` just before and just after it, which must also agree from one crossing to
    the next. A system can lose and regain stability several times (stability switches).

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system (its delays at factor 1).
    which : sequence of int, optional
        The indices of the terms whose delays are scaled. Default: every term with a positive delay.
    up_to : float, optional
        The largest factor (> 0). Default 10. No interval is claimed stable beyond it, unless no
        root reaches the axis at any factor (then the last interval ends at inf).
    max_crossings : int, optional
        The most crossings to confirm. Default 1000. With one scaled delay value the crossings
        repeat periodically and are counted before any is confirmed: more raise ValueError.

    Returns
    -------
    StabilityIntervals
        ``crossings`` (factor, frequency, direction), ``stable`` intervals, ``counts``, ``up_to``
        and ``method``.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys`, `which`, `up_to` or `max_crossings`; ValueError also when more than
        `max_crossings` crossings lie below `up_to` (the message gives their number).
    NotImplementedError
        Several different delays scaled while unscaled terms have positive delays.
    RuntimeError
        The counts do not confirm the crossings (a crossing missed by a scan), or the count at
        `up_to` differs from the one after the last crossing.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([-np.ones((1, 1)), -2.0 * np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.stability_intervals(sys, up_to=5.0)
    >>> [(round(c.factor, 6), c.direction) for c in res.crossings]
    [(1.2092, 1), (4.836798, 1)]
    >>> [(round(a, 6), round(b, 6)) for a, b in res.stable]
    [(0.0, 1.2092)]
    """
    scaling = _scaling(sys, which)
    limit = check_real(up_to, "up_to")
    if not limit > 0.0:
        raise ValueError(f"up_to must be > 0, got {limit!r}")
    if isinstance(max_crossings, (bool, np.bool_)) or not isinstance(max_crossings, (int, np.integer)):
        raise TypeError(f"max_crossings must be an integer, got {max_crossings!r}")
    if max_crossings < 0:
        raise ValueError(f"max_crossings must be >= 0, got {max_crossings}")
    found, how, never = crossings(scaling, limit, max_crossings)
    factors: list[float] = []
    groups: list[list[tuple[float, float]]] = []
    for s, omega in found:
        if factors and s - factors[-1] <= 1e-9 * max(1.0, s):
            groups[-1].append((s, omega))
        else:
            factors.append(s)
            groups.append([(s, omega)])
    start = _count(scaling, 0.0)
    before, after, directions = _confirm(scaling, factors, groups, start, limit)
    result: list[Crossing] = []
    for i, group in enumerate(groups):
        for (s, omega), direction in zip(group, directions[i]):
            result.append(Crossing(s, omega * scaling.data.unit, int(direction)))
    counts = [start] + after if not factors or factors[0] > 0.0 else after
    if not factors or factors[-1] < limit:
        end_count = _count(scaling, limit)
        if end_count != counts[-1]:
            raise RuntimeError(
                f"the root count at up_to = {limit!r} is {end_count}, but {counts[-1]} after the "
                f"last crossing found: a crossing was missed")
    edges = [0.0] + factors + [limit]
    if factors and factors[0] == 0.0:
        edges = factors + [limit]
    stable: list[tuple[float, float]] = []
    for i, count in enumerate(counts):
        if count == 0:
            end = edges[i + 1]
            if never:
                end = math.inf
            if stable and stable[-1][1] == edges[i]:
                stable[-1] = (stable[-1][0], end)
            else:
                stable.append((edges[i], end))
    return StabilityIntervals(result, stable, counts, limit, how)
