"""Every characteristic root in a region, found and proven complete by the argument principle."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional, Sequence

import numpy as np
from numpy.typing import NDArray

import pyvantor

from ._executor import check_executor
from ._krylov import collocation_eigenvalues
from ._newton import refine
from ._proximity import linked_labels
from ._resolve import Rect, Resolver, UnresolvedCell, _inside
from ._system import (RESOLVED_REACH, ComplexArray, SystemData, as_lagsys, check_real, check_system,
                      is_sparse_system, normalized)
from ._winding import ContourHitsZero, TooManySamples, zeros_in_box, zeros_in_rects
from .certify import EDGE_SHIFTS, bound_for_count, count_right_of, estimated_count
from .spectrum import _conjugate_symmetric as conjugate_symmetric, _polish as polish

# all_roots refuses more roots than this by default.
MAX_COUNT = 5000
# The largest order of the collocation whose eigenvalues seed the search (a dense eigenproblem).
_SEED_ORDER = 1100
# Degrees of the seeding collocation per unit of the box's extent times tau: the first usually
# finds every root (the modulus bound that sets the box is loose), the second resolves the whole
# box to about 1e-3.
_SEED_DEGREE_FACTORS = (0.2, 0.6)
# Below the first of those degrees the seeding starts at this degree and raises it by this factor
# while Newton's method finds fewer distinct roots than the box holds: the roots usually lie far
# inside the box (a quarter of its extent on the benchmark systems), where a low degree resolves
# them at a fraction of the cost (order n (N + 1): the eigenproblem costs N^3).
_SEED_FIRST_DEGREE = 8
_SEED_DEGREE_GROWTH = 1.5


class IncompleteRoots(RuntimeError):
    """Raised when a cell's roots could not all be found.

    Attributes
    ----------
    roots, multiplicity : ndarray
        The roots proven so far and their multiplicities.
    count : int
        The number of roots in the region, by the argument principle.
    cell : tuple of float
        The cell ``(re_min, re_max, im_min, im_max)`` that was not resolved.
    cell_count : int
        The number of roots counted in that cell.
    """

    def __init__(self, err: UnresolvedCell) -> None:
        super().__init__(str(err))
        self.roots = err.roots
        self.multiplicity = err.multiplicity
        self.count = err.count
        self.cell = err.cell
        self.cell_count = err.cell_count


@dataclass(frozen=True)
class RootsInBox:
    """The outcome of `roots_in_box` and `all_roots`.

    Attributes
    ----------
    roots : ndarray of complex
        The distinct roots, rightmost first (of equal real parts, negative imaginary part first).
    multiplicity : ndarray of int
        The multiplicity of each root (its algebraic multiplicity as a zero of det Delta).
    count : int
        The number of roots in the region by the argument principle, with multiplicity; always
        ``multiplicity.sum()``: a result is returned only when complete.
    box : tuple of float
        The rectangle ``(re_min, re_max, im_min, im_max)`` that was counted: the one asked for, or
        moved outward by at most 1e-4 of its scale when a root lay on its boundary.
    complete : bool
        True: the roots found account for the count (an incomplete answer raises instead).
    cells : int
        Circles the contour-integral eigensolver ran on (0 when the seeds sufficed).
    """

    roots: ComplexArray
    multiplicity: NDArray[np.int64]
    count: int
    box: Rect
    complete: bool = True
    cells: int = field(default=0, compare=False)


def _check_box(box: object) -> Rect:
    try:
        values = [float(v) for v in box]  # type: ignore[attr-defined]
    except TypeError:
        raise TypeError(f"box must be a sequence of four real numbers, got {box!r}") from None
    except ValueError as err:
        raise ValueError(f"box must hold four real numbers: {err}") from None
    if len(values) != 4:
        raise ValueError(f"box must be (re_min, re_max, im_min, im_max), got {len(values)} numbers")
    if not all(math.isfinite(v) for v in values):
        raise ValueError(f"box must be finite, got {tuple(values)}")
    x0, x1, y0, y1 = values
    if not (x0 < x1 and y0 < y1):
        raise ValueError(f"box must have re_min < re_max and im_min < im_max, got {tuple(values)}")
    return x0, x1, y0, y1


def _count_box(data: SystemData, box: Rect) -> tuple[int, Rect]:
    """The count of the box, moved outward past a root on its boundary as count_roots does."""
    size = max(1.0, *(abs(v) for v in box))
    for shift in EDGE_SHIFTS:
        d = shift * size
        moved = (box[0] - d, box[1] + d, box[2] - d, box[3] + d)
        counts, hit = zeros_in_rects(data, np.array([moved]))
        if not hit[0]:
            return int(counts[0]), moved
    raise RuntimeError(f"det Delta vanishes on every boundary tried around the box {box}, or is "
                       f"evaluated in rounding noise there")


def _seeds(data: SystemData, box: Rect, count: int) -> ComplexArray:
    """Approximations of the roots in the box: the eigenvalues there of a Chebyshev collocation
    centred at the box's left side (or 0), at a low degree first and higher ones (`_seed_degrees`)
    while Newton's method takes them to fewer distinct roots in the box than its count; those beyond its
    reach are left to the resolver. When even the first degree exceeds the order _SEED_ORDER,
    pyvantor.roots where it finds every root, else nothing."""
    n, tau = data.n, data.tau
    highest = _SEED_ORDER // n - 1
    if highest < _SEED_FIRST_DEGREE:
        if not (data.reach(box[0]) <= RESOLVED_REACH and math.isfinite(data.modulus_bound(box[0]))):
            return np.empty(0, dtype=np.complex128)
        return np.asarray(pyvantor.roots(data.to_lagsys(), box[0]), dtype=np.complex128)
    x0, x1, y0, y1 = box
    margin = 0.05 * max(x1 - x0, y1 - y0)
    centre = max(min(x0, 0.0), -256.0 / tau) if tau > 0.0 else 0.0
    # The farthest point of the box from the centre, in units of 1 / tau.
    reach = abs(complex(max(abs(x0 - centre), abs(x1 - centre)), max(abs(y0), abs(y1)))) * tau
    values = np.empty(0, dtype=np.complex128)
    # A rung that finds a fraction of the roots sends the next to about the degree that finds them
    # all: a chain's roots climb the axis about linearly with the degree that resolves them.
    wanted = 0.0
    degrees = _seed_degrees(reach, highest)
    for index, degree in enumerate(degrees):
        if degree < wanted and index + 1 < len(degrees):
            continue
        values = collocation_eigenvalues(data.matrices, data.delays, degree, centre)
        values = values[(values.real >= x0 - margin) & (values.real <= x1 + margin)
                        & (values.imag >= y0 - margin) & (values.imag <= y1 + margin)]
        if degree == highest or tau == 0.0:
            break
        # Enough when Newton's method takes them to as many distinct roots in the box as it holds.
        found = refine(data, values)
        z = found.roots[found.converged & _inside(found.roots, box)]
        distinct = np.unique(linked_labels(z, 1e-8 * np.maximum(1.0, np.abs(z)))).size
        if distinct >= count:
            return np.asarray(z, dtype=np.complex128)
        wanted = degree * count / max(distinct, 1)
    return values


def _seed_degrees(reach: float, highest: int) -> list[int]:
    """The increasing degrees `_seeds` tries for a box of extent `reach` (times tau): from
    _SEED_FIRST_DEGREE up by _SEED_DEGREE_GROWTH, then the _SEED_DEGREE_FACTORS, at most `highest`."""
    targets = [int(min(highest, math.ceil(factor * reach) + 10)) for factor in _SEED_DEGREE_FACTORS]
    degrees: list[int] = []
    degree = _SEED_FIRST_DEGREE
    while degree < targets[0]:
        degrees.append(degree)
        degree = math.ceil(_SEED_DEGREE_GROWTH * degree)
    for target in targets:
        if not degrees or target > degrees[-1]:
            degrees.append(target)
    return degrees


def _solve(data: SystemData, box: Rect, count: int, executor: Optional[Any],
           seeds: Optional[ComplexArray] = None) -> RootsInBox:
    """The roots in the counted box, in the unit of `data`."""
    resolver = Resolver(data, executor)
    if count > 0:
        start = _seeds(data, box, count) if seeds is None else seeds
        resolver.seed(start)
        try:
            z, m = resolver.resolve(box, count)
        except UnresolvedCell:
            # Again with every multiplicity counted on its circle, none taken from Newton's
            # convergence alone (slower, and more robust where simple roots crowd).
            resolver = Resolver(data, executor, trust_newton=False)
            resolver.seed(start)
            try:
                z, m = resolver.resolve(box, count)
            except UnresolvedCell as err:
                raise IncompleteRoots(err) from None
    else:
        z, m = np.empty(0, dtype=np.complex128), np.empty(0, dtype=np.int64)
    simple = m == 1
    z[simple] = polish(data, z[simple])
    z = conjugate_symmetric(z, m)
    order = np.lexsort((z.imag, -z.real))
    return RootsInBox(z[order], m[order], count, box, True, resolver.cells_solved)


def roots_in_box(sys: pyvantor.lagsys, box: Sequence[float], *, executor: Optional[Any] = None
                 ) -> RootsInBox:
    """Every characteristic root inside a closed rectangle, with multiplicities, proven complete.

    The roots in ``box = (re_min, re_max, im_min, im_max)`` are counted by the argument principle.
    The eigenvalues of a Chebyshev collocation of the system seed the search; the rest are found by a
    contour-integral eigensolver (block Hankel moments of Delta(z)^{-1} on a circle around each
    cell) whose eigenvalues are refined by Newton's method on det Delta. A cell is done when the
    multiplicities of the roots found in it add up to its count; otherwise it is cut in two and
    each half counted, until it is. A root reached by a quadratically converging Newton iteration
    is simple; any other multiplicity is the count of a small circle around the root, accepted only
    when the eigensolver finds no other root in that circle. Simple roots are polished to a few
    units of rounding, a double root comes back to about 1e-8 (relative), and a real system's roots
    are exactly conjugate-symmetric.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem
        The system. A sparse DelaySystem is solved by `rightmost_roots` (with ``r``).
    box : sequence of 4 floats
        ``(re_min, re_max, im_min, im_max)``. A root on its boundary, or within rounding of it,
        is inside: the boundary is moved outward past it, as `count_roots` does.
    executor : concurrent.futures.Executor or dask.distributed.Client, optional
        Where the eigensolver's node solves run when there are many (the same executors as
        `sweep`); by default in this process.

    Returns
    -------
    RootsInBox
        ``roots``, ``multiplicity``, ``count``, the ``box`` counted, ``complete`` (True).

    Raises
    ------
    TypeError, ValueError
        Invalid `sys`, or a `box` that is not four finite numbers with re_min < re_max and
        im_min < im_max.
    IncompleteRoots
        (a RuntimeError) a cell whose roots could not be resolved; it names the cell and its count
        and carries the roots proven so far.
    RuntimeError
        det Delta vanishes, or is lost in rounding noise, on every boundary tried.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    >>> res = vantor.roots_in_box(sys, (-3.0, 1.0, 0.0, 10.0))
    >>> res.roots
    array([-0.31813151+1.3372357j , -2.06227773+7.58863118j])
    >>> res.count, res.complete
    (2, True)
    """
    check_executor(executor)
    rect = _check_box(box)
    if is_sparse_system(sys):
        # The certified roots right of the box's left side, those inside it.
        from .large import rightmost_roots

        found = rightmost_roots(sys, r=rect[0], executor=executor)
        z = found.roots
        inside = (z.real <= rect[1]) & (z.imag >= rect[2]) & (z.imag <= rect[3])
        return RootsInBox(z[inside], found.multiplicity[inside], int(found.multiplicity[inside].sum()),
                          (found.r, rect[1], rect[2], rect[3]), True, 0)
    data = normalized(check_system(as_lagsys(sys)))
    count, counted = _count_box(data, _scaled(rect, 1.0 / data.unit))
    return in_unit(_solve(data, counted, count, executor), data.unit)


def _scaled(box: Rect, factor: float) -> Rect:
    return (box[0] * factor, box[1] * factor, box[2] * factor, box[3] * factor)


def in_unit(found: RootsInBox, unit: float) -> RootsInBox:
    """A result computed in a system's normalized time unit, in the user's unit."""
    return RootsInBox(found.roots * unit, found.multiplicity, found.count, _scaled(found.box, unit),
                      found.complete, found.cells)


def all_roots(sys: pyvantor.lagsys, r: float, *, max_count: int = MAX_COUNT,
              executor: Optional[Any] = None) -> RootsInBox:
    r"""Every root with :math:`\operatorname{Re}\lambda \ge r`, with multiplicities, proven complete.

    The roots right of :math:`r` lie in the box :math:`[r, R] \times [-R, R]` that `count_roots`
    counts (:math:`R = 1.05 B + 1`, :math:`B` the bound on their moduli); `roots_in_box` finds
    them all, past the discretization's reach and through clusters. The count comes first: more
    roots than `max_count` raise at once, before any solve.

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem
        The system. A sparse DelaySystem is solved by `rightmost_roots` (with ``r``).
    r : float
        The bound. A root on the line ``Re(lambda) = r``, or within rounding of it, is included,
        as in `count_roots`.
    max_count : int, optional
        The most roots to compute. Default 5000.
    executor : concurrent.futures.Executor or dask.distributed.Client, optional
        As for `roots_in_box`.

    Returns
    -------
    RootsInBox
        As for `roots_in_box`; ``box`` is the counted box.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys`, `r` or `max_count`; ValueError also when more than `max_count` roots lie
        right of r (the message gives the count, or a proven lower bound of it when they are far
        too many to count, and the r at which about half of `max_count` lie right of it), or when
        r is so low that the bound overflows.
    IncompleteRoots, RuntimeError
        As for `roots_in_box`.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([-0.5 * np.ones((1, 1)), -4.0 * np.ones((1, 1))], [0.0, 3.0])
    >>> res = vantor.all_roots(sys, -1.0)      # past the discretization's reach
    >>> res.count, int(res.multiplicity.sum()), res.complete
    (78, 78, True)
    """
    bound = check_real(r, "r")
    check_executor(executor)
    if is_sparse_system(sys):
        from .large import rightmost_roots

        found = rightmost_roots(sys, r=bound, executor=executor)
        return RootsInBox(found.roots, found.multiplicity, found.count,
                          (found.r, math.inf, -math.inf, math.inf), True, 0)
    data = normalized(check_system(as_lagsys(sys)))
    if isinstance(max_count, (bool, np.bool_)) or not isinstance(max_count, (int, np.integer)):
        raise TypeError(f"max_count must be an integer, got {max_count!r}")
    if max_count < 0:
        raise ValueError(f"max_count must be >= 0, got {max_count}")
    _refuse_early(data, bound / data.unit, max_count)
    count, left = count_right_of(data, bound / data.unit)
    if count > max_count:
        raise ValueError(f"{count} roots lie right of r = {bound!r}, more than max_count = "
                         f"{max_count}; raise r to about "
                         f"{bound_for_count(data, 0.5 * max_count) * data.unit:.6g} or max_count")
    reach = 1.05 * data.modulus_bound(left) + 1.0
    if left > data.modulus_bound(left):
        reach = max(reach, left + 1.0)
    return in_unit(_solve(data, (left, reach, -reach, reach), count, executor), data.unit)


def _refuse_early(data: SystemData, r: float, max_count: int) -> None:
    """ValueError before the full count when the roots right of r are far more than max_count:
    a proven lower bound from the count of a band |Im(lambda)| <= y that should hold about twice
    max_count of them (the full contour could need millions of samples)."""
    estimate = estimated_count(data, r)
    if estimate <= 4.0 * max_count + 100.0:
        return
    bound = data.modulus_bound(r)
    reach = 1.05 * bound + 1.0
    y = reach * min(1.0, 2.0 * (max_count + 1) / estimate)
    try:
        lower = zeros_in_box(data, r, reach, y)
    except (ContourHitsZero, TooManySamples):
        return
    if lower > max_count:
        raise ValueError(
            f"at least {lower} roots lie right of r = {r * data.unit!r} (counted with "
            f"abs(Im(lambda)) <= {y * data.unit:.6g}; about {estimate:.3g} in all), more than "
            f"max_count = {max_count}; raise r to about "
            f"{bound_for_count(data, 0.5 * max_count) * data.unit:.6g} or max_count")


def solve_right_of(data: SystemData, left: float, count: int,
                   seeds: Optional[ComplexArray] = None) -> RootsInBox:
    """all_roots on an already counted bound (for the analyses), in the unit of `data`."""
    reach = 1.05 * data.modulus_bound(left) + 1.0
    return _solve(data, (left, reach, -reach, reach), count, None, seeds)

