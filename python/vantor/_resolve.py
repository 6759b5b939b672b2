"""Every root in a rectangle, proven by counts: the engine behind `roots_in_box` and `all_roots`.

A rectangle's roots are counted by the argument principle. Roots come from seeds (values that
Newton's method on det Delta refines) and from the contour-integral eigensolver on the circle
around a cell; a cell is resolved when the multiplicities of the roots found in it add up to its
count. A root reached quadratically is simple. Any other is counted on a small circle sized to its
accuracy (so that det Delta is evaluated above its rounding noise); a count m >= 2 is a multiple
root only once the eigensolver on that circle finds no other root in it (two simple roots further
apart than the iteration's accuracy come back as two roots). A cell that is not resolved is cut
in two across its longer side, one half counted and the other given the difference, until its
roots are; a cell that shrinks to rounding level unresolved raises.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

from . import _beyn
from ._newton import Refined, refine, scale
from ._proximity import groups_of, linked_labels, nearest_in, nearest_other
from ._system import ComplexArray, FloatArray, SystemData
from ._winding import zeros_in_circles, zeros_in_rects

IntArray = NDArray[np.int64]
Rect = tuple[float, float, float, float]

# Cells holding more roots than this are cut before the eigensolver runs on them.
CELL_MAX = 8
# The circle around a cell, in half-diagonals: roots at its corners lie at |mu| = 0.8.
_CIRCLE = 1.25
# Fractions of the longer side tried for a cut; the next one when a root lies on the cut.
_CUTS = (0.5 + 1.0 / 64.0, 0.5 - 1.0 / 48.0, 0.5 + 1.0 / 24.0, 0.5 - 1.0 / 12.0, 0.5 + 1.0 / 7.0)
# A root estimate reached quadratically to within this (relative to max(1, |z|)) is accurate.
_ACCURATE = 1e-8
# A root reached quadratically to within this needs no circle to be simple: Newton's iterates
# towards a zero of multiplicity m stall about eps^(1/m) >= 1e-8 (relative) from it.
_SETTLED = 1e-12
# Newton's estimates of one root of multiplicity m scatter by about eps^(1/m) (relative): up to
# m = 4, within this.
_SPREAD = 1e-4
# An estimate whose error exceeds this (relative to max(1, |z|)) is far from converged.
_ROUGH = 1e-6
# A cell this small (relative to max(1, |centre|)) is not cut further.
_MIN_CELL = 1e-11
# Zeros closer than this (relative) are one cluster: a double root is only defined to about 1e-8,
# and a circle that separated them would lie in the rounding noise of det Delta.
_RESOLVED = 1e-7
# Samples a multiplicity circle may take before it counts as lost in rounding noise.
_CIRCLE_BUDGET = 4000
# Radius of a multiplicity circle, relative to max(1, |centre|).
_CIRCLE_REL = 1e-3
# Pool zeros left of Re(lambda) = -this / tau are dropped (exp(-lambda tau) near overflow there).
_OVERFLOW_EXPONENT = 600.0
# Relative floor of a multiplicity circle.
_CIRCLE_FLOOR = 1e-9


class UnresolvedCell(RuntimeError):
    """A cell whose roots could not be resolved: what was found, and where the rest lie."""

    def __init__(self, message: str, roots: ComplexArray, multiplicity: IntArray, count: int,
                 cell: Rect, cell_count: int) -> None:
        super().__init__(message)
        self.roots = roots
        self.multiplicity = multiplicity
        self.count = count
        self.cell = cell
        self.cell_count = cell_count


@dataclass
class _Pool:
    """Zeros of det Delta found so far: value, error estimate, reached quadratically."""

    z: ComplexArray = field(default_factory=lambda: np.empty(0, dtype=np.complex128))
    err: FloatArray = field(default_factory=lambda: np.empty(0))
    simple: NDArray[np.bool_] = field(default_factory=lambda: np.empty(0, dtype=bool))

    def add(self, found: Refined, keep: NDArray[np.bool_]) -> int:
        """Adds the converged points among `keep`; returns how many are new zeros."""
        new = 0
        for z, e, s in zip(found.roots[keep], found.error[keep], found.simple[keep]):
            if self.z.size:
                d = np.abs(self.z - z)
                near = d <= 4.0 * np.maximum(self.err, e) + 1e-14 * max(1.0, abs(z))
                if np.any(near):
                    i = int(np.argmin(np.where(near, d, np.inf)))
                    if (s and not self.simple[i]) or (s == self.simple[i] and e < self.err[i]):
                        self.z[i], self.err[i], self.simple[i] = z, e, s
                    continue
            self.z = np.append(self.z, z)
            self.err = np.append(self.err, e)
            self.simple = np.append(self.simple, s)
            new += 1
        return new

    def remove(self, idx: NDArray[np.intp]) -> None:
        keep = np.ones(self.z.size, dtype=bool)
        keep[idx] = False
        self.z, self.err, self.simple = self.z[keep], self.err[keep], self.simple[keep]

    def accurate(self) -> NDArray[np.bool_]:
        """Points reached quadratically to an error far below any distance between roots that
        double precision resolves."""
        return np.asarray(self.simple & (self.err <= _ACCURATE * scale(self.z)), dtype=bool)


def _merge(members: list[NDArray[np.intp]], pairs: list[tuple[int, int]]) -> list[NDArray[np.intp]]:
    """The groups with each pair (i, j) joined."""
    parent = list(range(len(members)))

    def root(i: int) -> int:
        while parent[i] != i:
            i = parent[i]
        return i

    for i, j in pairs:
        parent[root(i)] = root(j)
    joined: dict[int, list[NDArray[np.intp]]] = {}
    for i, idx in enumerate(members):
        joined.setdefault(root(i), []).append(idx)
    return [np.concatenate(parts) for parts in joined.values()]


def _inside(z: ComplexArray, rect: Rect) -> NDArray[np.bool_]:
    x0, x1, y0, y1 = rect
    return np.asarray((z.real >= x0) & (z.real <= x1) & (z.imag >= y0) & (z.imag <= y1))


def _groups(pool: _Pool) -> list[NDArray[np.intp]]:
    """Pool points that lie within their error estimates of each other, or closer than double
    precision resolves a double root (single linkage). A point not reached quadratically that lies
    within its error of one that was is left out: it is a rough estimate of that root (or of one
    beside it), and linking through its wide error would join distinct simple roots into a false
    cluster."""
    radius = 4.0 * pool.err + _RESOLVED * scale(pool.z)
    keep = np.ones(pool.z.size, dtype=bool)
    accurate = pool.accurate()
    rough = np.flatnonzero(~accurate)
    if rough.size and rough.size < pool.z.size:
        exact = np.flatnonzero(accurate)
        gap, nearest = nearest_in(pool.z[exact], pool.z[rough])
        keep[rough] = gap > np.maximum(radius[rough], radius[exact[nearest]])
    kept = np.flatnonzero(keep)
    return [kept[idx] for idx in groups_of(linked_labels(pool.z[kept], radius[kept]))]


@dataclass
class _Group:
    centre: complex
    error: float
    multiplicity: int = 0  # 0 while unknown
    proven: bool = False
    radius: float = 0.0


class Resolver:
    """Finds and proves the roots of det Delta in cells of a rectangle."""

    def __init__(self, data: SystemData, executor: Optional[Any] = None, seed: int = 0,
                 trust_newton: bool = True) -> None:
        self.data = data
        # Whether a lone quadratically converged point is simple without a circle's count.
        self.trust_newton = trust_newton
        self.executor = executor
        self.rng = np.random.default_rng(seed)
        self.pool = _Pool()
        # Circles (centre, radius, count) on which the eigensolver found no further root.
        self.probed: list[tuple[complex, float, int]] = []
        # Multiplicity circles counted so far: (the group's points, largest radius) -> (count, radius).
        self.circles: dict[tuple[tuple[complex, ...], float], tuple[int, float]] = {}
        # The mean of the estimates inside each probed circle, when they were as many as its count.
        self.probe_means: list[Optional[complex]] = []
        self.cells_solved = 0

    def seed(self, values: ComplexArray, tol: float = 1e-4, far: bool = True) -> ComplexArray:
        """Refines the values and adds the zeros they reach (with `far` False only those within
        tol max(1, |value|) of their value); returns the values that reach no zero that close
        (no roots)."""
        values = np.asarray(values, dtype=np.complex128)
        values = values[np.isfinite(values)]
        if values.size == 0:
            return values
        found = refine(self.data, values)
        moved = ~found.converged | (np.abs(found.roots - values) > tol * scale(values))
        self.pool.add(found, found.converged & (far | ~moved) & self._representable(found.roots))
        return values[moved]

    def _representable(self, z: ComplexArray) -> NDArray[np.bool_]:
        """Zeros far enough right that Delta is finite around them: exp(-lambda h) overflows left
        of Re(lambda) = -709 / tau, far left of any box that can be counted; a zero Newton's method
        reached there is of no box's concern."""
        tau = self.data.tau
        if tau == 0.0:
            return np.ones(z.shape, dtype=bool)
        return np.asarray(z.real > -_OVERFLOW_EXPONENT / tau, dtype=bool)

    # -- multiplicities ------------------------------------------------------------------------

    def _classify(self) -> list[_Group]:
        """The pool's groups, each counted on a circle around it: the count is its multiplicity,
        proven when it is 1 or when the eigensolver searched that circle and found nothing else.
        A lone point that Newton's method reached quadratically to 1e-12, with no other group within
        2e-3 of it (relative), is simple without one.

        A circle's radius is 1e-3 max(1, |centre|), at most 0.45 of the distance to the nearest
        other group and at least 30 times the group's error estimate. When det Delta is in rounding
        noise on it (the contour does not settle), the circle grows tenfold, or, when it cannot
        grow, the group merges with its nearest neighbour: points within each other's rounding
        noise are one multiple root (or a cluster) until a larger circle tells."""
        members = _groups(self.pool)
        for _ in range(64):
            groups = [self._group(idx) for idx in members]
            centres = np.array([g.centre for g in groups], dtype=np.complex128)
            gap, nearest = nearest_other(centres)
            caps = 0.45 * gap
            todo = []
            settled = self.pool.simple & (self.pool.err <= _SETTLED * scale(self.pool.z))
            for i, g in enumerate(groups):
                key = (tuple(self.pool.z[members[i]].tolist()), float(caps[i]))
                g.radius = float(caps[i])
                if key in self.circles:
                    g.multiplicity, g.radius = self.circles[key]
                elif (self.trust_newton and members[i].size == 1 and settled[members[i][0]]
                      and caps[i] > _CIRCLE_REL * max(1.0, abs(g.centre))):
                    # Newton's method converged quadratically to far below the rounding level
                    # of any multiple zero (about eps^(1/m) relative), and no other estimate lies
                    # near: a simple zero, no circle needed; it claims only the disc its error
                    # bounds (a neighbour a little further may not have been found yet). The
                    # cells' counts still prove that no root was missed.
                    g.multiplicity = 1
                    g.radius = max(30.0 * g.error, _CIRCLE_FLOOR * max(1.0, abs(g.centre)))
                    self.circles[key] = (1, g.radius)
                else:
                    todo.append((i, key))
            merge: list[tuple[int, int]] = []
            drop: list[NDArray[np.intp]] = []
            factors = [1.0] * len(todo)
            while todo:
                radii = []
                for (i, _), f in zip(todo, factors):
                    g = groups[i]
                    size = max(1.0, abs(g.centre))
                    wanted = max(_CIRCLE_REL * size * f, 30.0 * g.error, _CIRCLE_FLOOR * size)
                    radii.append(min(float(caps[i]), wanted))
                counts, hit = zeros_in_circles(self.data, centres[[i for i, _ in todo]],
                                               np.array(radii), budget=_CIRCLE_BUDGET)
                again, again_f = [], []
                for (i, key), f, rho, k, h in zip(todo, factors, radii, counts, hit):
                    if not h and k > 0:
                        groups[i].multiplicity, groups[i].radius = int(k), rho
                        self.circles[key] = (int(k), rho)
                    elif rho < caps[i] and f < 1e3:
                        again.append((i, key))
                        again_f.append(f * 10.0)
                    elif not h and k == 0 and bool(np.all(
                            self.pool.err[members[i]] > _ROUGH * scale(self.pool.z[members[i]]))):
                        # No root on the widest circle around estimates that Newton's method left
                        # far from converged: they estimate no root, and merged with a neighbour
                        # they would blur distinct roots into a false cluster.
                        drop.append(members[i])
                    elif nearest[i] >= 0 and gap[i] <= max(
                            30.0 * (groups[i].error + groups[int(nearest[i])].error),
                            _SPREAD * max(1.0, abs(groups[i].centre))):
                        # Within each other's errors, or as close as the estimates of one
                        # multiple root scatter: one root (or a cluster) until a larger circle
                        # tells. A group further from every other stays unclassified (its
                        # multiplicity unknown, its cell cut) rather than swallow a neighbour.
                        merge.append((i, int(nearest[i])))
                todo, factors = again, again_f
            if drop:
                self.pool.remove(np.concatenate(drop))
                members = _groups(self.pool)
                continue
            if not merge:
                break
            members = _merge(members, merge)
        for g in groups:
            g.proven = g.multiplicity == 1 or (g.multiplicity > 1 and any(
                abs(c - g.centre) <= 0.5 * rp and kp == g.multiplicity for c, rp, kp in self.probed))
            if g.proven and g.multiplicity > 1:
                g.centre = self._probed_centre(g)
        return groups

    def _group(self, idx: NDArray[np.intp]) -> _Group:
        z = self.pool.z[idx]
        simple = self.pool.simple[idx]
        if idx.size == 1 or np.any(simple) and np.ptp(z.real) + np.ptp(z.imag) == 0.0:
            i = int(idx[0])
            return _Group(complex(self.pool.z[i]), float(self.pool.err[i]))
        centre = complex(z.mean())
        return _Group(centre, float(self.pool.err[idx].max() + np.abs(z - centre).max()))

    def _probed_centre(self, g: _Group) -> complex:
        """The mean of the eigensolver's estimates on the circle that proved g: the mean of a
        cluster's eigenvalues is well conditioned even where each one is not."""
        for (c, rp, kp), mean in zip(self.probed, self.probe_means):
            if abs(c - g.centre) <= 0.5 * rp and kp == g.multiplicity and mean is not None:
                return complex(mean)
        return g.centre

    def settle(self, max_rounds: int = 8) -> tuple[ComplexArray, IntArray]:
        """The pool's distinct roots and multiplicities, without cells: every claim of a multiple
        root is probed by the eigensolver on its circle (which may find the roots it stood for).
        Groups whose multiplicity stays unproven are left out."""
        for _ in range(max_rounds):
            groups = self._classify()
            to_probe = [g for g in groups if g.multiplicity > 1 and not g.proven]
            if not to_probe:
                break
            self._probe(to_probe, self._solve_circles([(g.centre, g.radius, g.multiplicity)
                                                       for g in to_probe]))
        else:
            groups = self._classify()
        proven = [g for g in groups if g.proven]
        return (np.array([g.centre for g in proven], dtype=np.complex128),
                np.array([g.multiplicity for g in proven], dtype=np.int64))

    def _probe(self, groups: list[_Group], estimates: list[ComplexArray]) -> None:
        for g, mu in zip(groups, estimates):
            self.probed.append((g.centre, g.radius, g.multiplicity))
            inside = mu[np.abs(mu - g.centre) < g.radius]
            self.probe_means.append(complex(inside.mean()) if inside.size == g.multiplicity else None)

    # -- cells -----------------------------------------------------------------------------------

    def resolve(self, box: Rect, count: int, max_rounds: int = 400) -> tuple[ComplexArray, IntArray]:
        """The distinct roots in `box` (whose count is given) and their multiplicities."""
        # Leaf cells: (rect, count, whether the eigensolver has run on it).
        cells: list[tuple[Rect, int, bool]] = [(box, count, False)]
        for _ in range(max_rounds):
            groups = self._classify()
            centres = np.array([g.centre for g in groups], dtype=np.complex128)
            kept: list[tuple[Rect, int, bool]] = []
            to_solve: list[tuple[Rect, int]] = []
            to_cut: list[tuple[Rect, int]] = []
            to_probe: list[_Group] = []
            for rect, c, solved in cells:
                members = [g for g, inside in zip(groups, _inside(centres, rect)) if inside]
                total = sum(g.multiplicity for g in members)
                unproven = [g for g in members if not g.proven]
                if total == c and not unproven:
                    kept.append((rect, c, solved))
                    continue
                if total == c and all(g.multiplicity > 1 for g in unproven):
                    to_probe.extend(unproven)
                    kept.append((rect, c, solved))
                    continue
                x0, x1, y0, y1 = rect
                if max(x1 - x0, y1 - y0) <= _MIN_CELL * max(1.0, abs(complex(x0, y0))):
                    self._fail(groups, box, count, rect, c)
                if solved or c > CELL_MAX:
                    to_cut.append((rect, c))
                else:
                    to_solve.append((rect, c))
                    kept.append((rect, c, True))
            if not to_solve and not to_cut and not to_probe:
                keep = np.zeros(centres.size, dtype=bool)
                for rect, _, _ in cells:
                    keep |= _inside(centres, rect)
                m = np.array([g.multiplicity for g, k in zip(groups, keep) if k], dtype=np.int64)
                return centres[keep], m
            circles = [(complex(0.5 * (r[0] + r[1]), 0.5 * (r[2] + r[3])),
                        _CIRCLE * 0.5 * math.hypot(r[1] - r[0], r[3] - r[2]), c) for r, c in to_solve]
            circles += [(g.centre, g.radius, g.multiplicity) for g in to_probe]
            estimates = self._solve_circles(circles) if circles else []
            self._probe(to_probe, estimates[len(to_solve):])
            cells = kept + self._cut(to_cut, groups, box, count)
        raise RuntimeError(f"the roots in {box} were not resolved in {max_rounds} rounds")

    def _solve_circles(self, circles: list[tuple[complex, float, int]]) -> list[ComplexArray]:
        """Runs the eigensolver on each circle (centre, radius, expected count), adds the zeros
        its estimates refine to, and returns the estimates of each circle."""
        results = _beyn.circle_eigenvalues(
            self.data, np.array([c for c, _, _ in circles], dtype=np.complex128),
            np.array([rho for _, rho, _ in circles]), np.array([k for _, _, k in circles]),
            self.rng, self.executor)
        self.cells_solved += len(circles)
        estimates = [mu[np.abs(mu - c) <= 1.1 * rho] for (mu, _), (c, rho, _) in zip(results, circles)]
        points = np.concatenate(estimates) if estimates else np.empty(0, dtype=np.complex128)
        if points.size:
            found = refine(self.data, points)
            self.pool.add(found, found.converged & self._representable(found.roots))
        return estimates

    def _cut(self, cells: list[tuple[Rect, int]], groups: list[_Group], box: Rect, count: int
             ) -> list[tuple[Rect, int, bool]]:
        """Each cell cut across its longer side; the first half counted, the second given the rest."""
        out: list[tuple[Rect, int, bool]] = []
        pending = [(rect, c, 0) for rect, c in cells]
        while pending:
            halves = []
            for rect, c, attempt in pending:
                if attempt >= len(_CUTS):
                    self._fail(groups, box, count, rect, c)
                halves.append(_halves(rect, _CUTS[attempt]))
            counts, hit = zeros_in_rects(self.data, np.array([h[0] for h in halves]))
            again = []
            for (rect, c, attempt), (first, second), k, h in zip(pending, halves, counts, hit):
                if h or not 0 <= k <= c:
                    again.append((rect, c, attempt + 1))
                    continue
                out += [(first, int(k), False)] if k else []
                out += [(second, c - int(k), False)] if c - k else []
            pending = again
        return out

    def _fail(self, groups: list[_Group], box: Rect, count: int, rect: Rect, c: int) -> None:
        found = [g for g in groups if g.proven and _inside(np.array([g.centre]), box)[0]]
        raise UnresolvedCell(
            f"the roots in the cell [{rect[0]:.6g}, {rect[1]:.6g}] x [{rect[2]:.6g}, {rect[3]:.6g}] "
            f"could not be resolved: {c} counted there with the argument principle; "
            f"{sum(g.multiplicity for g in found)} of the {count} roots in the box were proven",
            np.array([g.centre for g in found], dtype=np.complex128),
            np.array([g.multiplicity for g in found], dtype=np.int64), count, rect, c)


def _halves(rect: Rect, fraction: float) -> tuple[Rect, Rect]:
    x0, x1, y0, y1 = rect
    if x1 - x0 >= y1 - y0:
        xm = x0 + fraction * (x1 - x0)
        return (x0, xm, y0, y1), (xm, x1, y0, y1)
    ym = y0 + fraction * (y1 - y0)
    return (x0, x1, y0, ym), (x0, x1, ym, y1)
