"""Delay margins and stability switches: where roots cross the imaginary axis as delays grow."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np
from numpy.typing import NDArray

import pyvantor

from ._crossing import Scaling, crossings, first_crossing, method, rate
from ._system import check_real, check_system
from .certify import count_right_of

# The factor is moved this far (relative, at most a quarter of the gap to the next crossing) to
# count the roots just before and just after a crossing.
_CONFIRM_STEP = 1e-6
DEFAULT_UP_TO = 10.0


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
    data = check_system(sys)
    m = data.delays.size
    if which is None:
        scaled = data.delays > 0.0
        if not np.any(scaled):
            raise ValueError("sys has no positive delay to scale")
        return Scaling(data, scaled)
    if isinstance(which, (int, np.integer)):
        which = [int(which)]
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
    return pyvantor.lagsys(list(scaling.data.matrices), _scaled_delays(scaling, s).tolist())


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
        factor, omega = first.factor, first.frequency
    else:
        found = first_crossing(scaling)
        if found is None:
            return DelayMargin(math.inf, _scaled_delays(scaling, math.inf), math.nan,
                               complex(math.nan, math.nan), how)
        factor, omega = found
        _confirm(scaling, [factor], [[(factor, omega)]], 0, math.inf)
    return DelayMargin(factor, _scaled_delays(scaling, factor), omega, complex(0.0, omega), how)


def _phase_scan_reach(scaling: Scaling) -> float:
    # Scan far enough that every exponential turns a hundred times at the bound on the frequency.
    h = float(scaling.data.delays[scaling.scaled].min())
    return 200.0 * math.pi / (max(scaling.frequency_bound, 1e-300) * h)


def _scaled_delays(scaling: Scaling, s: float) -> NDArray[np.float64]:
    with np.errstate(invalid="ignore"):
        return np.where(scaling.scaled, s * scaling.data.delays, scaling.data.delays)


def _confirm(scaling: Scaling, factors: list[float], groups: list[list[tuple[float, float]]],
             before_first: int, up_to: float) -> tuple[list[int], list[int]]:
    """Counts just before and after each distinct crossing factor; RuntimeError when the counts
    change by other than twice the crossings' directions, or between crossings."""
    before, after = [], []
    for i, s in enumerate(factors):
        gaps = [abs(s - factors[j]) for j in (i - 1, i + 1) if 0 <= j < len(factors)]
        gaps.append(s if s > 0.0 else math.inf)
        delta = min([_CONFIRM_STEP * max(1.0, s)] + [0.25 * g for g in gaps])
        before.append(_count(scaling, s - delta) if s > 0.0 else before_first)
        after.append(_count(scaling, s + delta))
        expected = before[-1] + 2 * sum(_direction(scaling, omega, c) for c, omega in groups[i])
        if (after[-1] != expected and len(groups[i]) > 1) or abs(after[-1] - before[-1]) > 2 * len(groups[i]):
            raise RuntimeError(
                f"the root counts {before[-1]} before and {after[-1]} after the crossings at factor "
                f"{s!r} do not match their directions")
        previous = before_first if i == 0 else after[i - 1]
        if before[-1] != previous:
            raise RuntimeError(
                f"the root count changes from {previous} to {before[-1]} between crossings (before "
                f"factor {s!r}) without a crossing found there")
    return before, after


def _direction(scaling: Scaling, omega: float, s: float) -> int:
    value = rate(scaling, omega, s)
    return 1 if value > 0.0 else -1 if value < 0.0 else 0


def stability_intervals(sys: pyvantor.lagsys, which: Optional[Sequence[int]] = None, *,
                        up_to: float = DEFAULT_UP_TO) -> StabilityIntervals:
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
        The largest factor (> 0). Default 10.

    Returns
    -------
    StabilityIntervals
        ``crossings`` (factor, frequency, direction), ``stable`` intervals, ``counts``, ``up_to``
        and ``method``.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys`, `which` or `up_to`.
    NotImplementedError
        Several different delays scaled while unscaled terms have positive delays.
    RuntimeError
        The counts do not confirm the crossings (a crossing missed by a scan).

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
    found, how = crossings(scaling, limit)
    factors: list[float] = []
    groups: list[list[tuple[float, float]]] = []
    for s, omega in found:
        if factors and s - factors[-1] <= 1e-9 * max(1.0, s):
            groups[-1].append((s, omega))
        else:
            factors.append(s)
            groups.append([(s, omega)])
    start = _count(scaling, 0.0)
    before, after = _confirm(scaling, factors, groups, start, limit)
    result: list[Crossing] = []
    for i, group in enumerate(groups):
        for s, omega in group:
            direction = (after[i] - before[i]) // 2 if len(group) == 1 else _direction(scaling, omega, s)
            result.append(Crossing(s, omega, int(direction)))
    counts = [start] + after if not factors or factors[0] > 0.0 else after
    edges = [0.0] + factors + [limit]
    if factors and factors[0] == 0.0:
        edges = factors + [limit]
    stable: list[tuple[float, float]] = []
    for i, count in enumerate(counts):
        if count == 0:
            end = edges[i + 1]
            if not found and how != "phase scan":
                end = math.inf
            if stable and stable[-1][1] == edges[i]:
                stable[-1] = (stable[-1][0], end)
            else:
                stable.append((edges[i], end))
    return StabilityIntervals(result, stable, counts, limit, how)
