"""Roots on the imaginary axis as a group S of delays is scaled by a factor s >= 0.

The system at factor s has Delta(lambda; s) = lambda I - sum_{k not in S} A_k exp(-lambda h_k)
- sum_{k in S} A_k exp(-lambda s h_k). A root i omega on the axis has |omega| <= Omega = sum_k ||A_k||_2
for every s (|exp(-i omega h)| = 1), and real systems have their roots in conjugate pairs, so only
omega > 0 is sought (omega = 0 is a root det(sum_k A_k) = 0 that does not depend on s).

One scaled delay value h and delay-free other terms (the exact case). With A = the unscaled sum,
B = the scaled sum and z = exp(-i omega s h), i omega is an eigenvalue of M(z) = A + B z; on |z| = 1,
conj(M(z)) = A + B / z has the eigenvalue -i omega, so the Kronecker sum M(z) (x) I + I (x) M(1/z) is
singular. Times z:

    det[z^2 (B (x) I) + z (A (x) I + I (x) A) + I (x) B] = 0,

a quadratic eigenproblem of order n^2, solved through its companion pencil of order 2 n^2. Its
eigenvalues on the unit circle are the only candidates; the eigenvalues of M(z) on the axis give
omega, the phase of z gives the crossing factors s_m = (phi + 2 pi m) / (omega h), m = 0, 1, ...,
with phi = -arg z in [0, 2 pi). Every candidate is refined by Newton's method on the two real
equations Re, Im det Delta(i omega; s) = 0 in (omega, s).

Otherwise, one scan over a parameter that moves the roots continuously:
- one scaled delay value and delayed unscaled terms: for omega in [0, Omega], the generalized
  eigenvalues z_j(omega) of the pencil (i omega I - sum_{k not in S} A_k exp(-i omega h_k), B); a
  crossing is an omega where one passes through |z| = 1, found where the number inside the unit
  circle changes; the factors are then periodic in s as above;
- several scaled delay values and delay-free unscaled terms: with theta = omega s, i omega is an
  eigenvalue of E(theta) = A + sum_{k in S} A_k exp(-i theta h_k), theta in [0, Omega s_max]; a
  crossing is a theta where an eigenvalue passes through the axis at i omega, omega > 0, found where
  the number in the right half-plane changes; s = theta / omega.
A scan samples its parameter at steps that move each exponential by at most 0.02 rad and bisects
every change of its count; two crossings in opposite directions between two samples cancel in the
count and are not seen, which is why the callers confirm every crossing and every interval between
crossings with the certified root count.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
import scipy.linalg
import scipy.optimize
from numpy.typing import NDArray

from ._system import ComplexArray, FloatArray, SystemData, char_derivatives, char_matrices
from .sensitivity import simple_root_vectors

BoolArray = NDArray[np.bool_]

# The unimodular eigenvalues of the companion pencil are accurate to about sqrt(eps) where two of
# them meet on the circle, and to eps times the square of the eigenvector condition of a model
# ill-conditioned by a similarity: candidates within this of |z| = 1 are refined by Newton's
# method (which keeps only true crossings), the rest dropped.
_UNIMODULAR = 1e-2
# The delayed sum's largest condition number for which the Kronecker pencil is solved as a standard
# eigenproblem (its eigenvalues then lose at most this factor more accuracy than the pencil's).
_STANDARD_FORM_CONDITION = 1e3
# An eigenvalue of M(z) within this (relative) of the axis is a candidate for i omega.
_ON_AXIS = 1e-2
# Largest order 2 n^2 of the companion pencil solved densely; larger systems are scanned.
_PENCIL_MAX = 1200
# A scan moves each exponential by at most this many radians between samples.
_SCAN_PHASE = 0.02
_SCAN_MIN_SAMPLES = 400
_SCAN_MAX_SAMPLES = 200_000
# A local minimum of a scan's distance to a change at most this large is searched for a hidden pair
# of changes.
_DIP = 0.05
_NEWTON_STEPS = 40
_EPS = float(np.finfo(np.float64).eps)


@dataclass(frozen=True)
class Scaling:
    """A system whose delays h_k, k in `scaled`, become s * h_k."""

    data: SystemData
    scaled: BoolArray

    def at(self, s: float) -> SystemData:
        delays = np.where(self.scaled, s * self.data.delays, self.data.delays)
        return SystemData(self.data.matrices, delays, self.data.norms)

    @property
    def frequency_bound(self) -> float:
        return float(self.data.norms.sum())


def _derivatives(scaling: Scaling, omega: float, s: float
                 ) -> tuple[ComplexArray, ComplexArray, ComplexArray]:
    """Delta, dDelta/domega and dDelta/ds at lambda = i omega, factor s."""
    data = scaling.at(s)
    lam = np.array([1j * omega])
    D = char_matrices(data, lam)[0]
    d_omega = 1j * char_derivatives(data, lam)[0]
    weights = np.where(scaling.scaled, 1j * omega * scaling.data.delays
                       * np.exp(-1j * omega * data.delays), 0.0)
    d_s = np.tensordot(weights, data.matrices, axes=1)
    return D, d_omega, d_s


def refine_crossing(scaling: Scaling, omega: float, s: float) -> Optional[tuple[float, float]]:
    """Newton's method for a root i omega of Delta(.; s), as two real equations in (omega, s).

    With (sigma, u, v) the smallest singular triplet of Delta, u* Delta v = sigma, and the step
    solves u* (Delta_omega d_omega + Delta_s d_s) v = -sigma (real and imaginary parts): the
    singular vectors keep the step well defined where det Delta underflows or is exactly zero in
    floating point (a model ill-conditioned by a similarity). Accepted when the steps shrink to
    1e-9 (relative) or sigma reaches rounding level of Delta's terms; None otherwise."""
    last = math.inf
    accepted = False
    for _ in range(_NEWTON_STEPS):
        D, d_omega, d_s = _derivatives(scaling, omega, s)
        if not (np.all(np.isfinite(D)) and np.all(np.isfinite(d_s))):
            return None
        U, S, Vh = np.linalg.svd(D)
        u, v, sigma = U[:, -1], Vh[-1].conj(), float(S[-1])
        size = float(S[0]) + abs(omega)
        in_noise = sigma <= 64.0 * _EPS * size
        if sigma == 0.0:
            accepted = True
            break
        a, b = complex(u.conj() @ d_omega @ v), complex(u.conj() @ d_s @ v)
        J = np.array([[a.real, b.real], [a.imag, b.imag]])
        try:
            step = np.linalg.solve(J, np.array([-sigma, 0.0]))
        except np.linalg.LinAlgError:
            accepted = in_noise
            break
        if not np.all(np.isfinite(step)):
            accepted = in_noise
            break
        change = abs(step[0]) / max(1.0, abs(omega)) + abs(step[1]) / max(1.0, abs(s))
        if change >= last:
            # The steps stopped shrinking: converged when they were tiny or Delta is singular to
            # rounding here (an ill-conditioned model reaches no smaller steps).
            accepted = last <= 1e-9 or in_noise
            break
        omega, s = omega + float(step[0]), s + float(step[1])
        last = change
        if change <= 1e-15:
            accepted = True
            break
    if not (accepted and math.isfinite(omega) and math.isfinite(s)):
        return None
    return omega, s


def rate(scaling: Scaling, omega: float, s: float) -> float:
    """Re(d lambda / ds) of the root i omega at factor s: positive when it moves right."""
    data = scaling.at(s)
    lam = np.array([1j * omega])
    v, w, denominator = simple_root_vectors(data, lam)
    _, _, d_s = _derivatives(scaling, omega, s)
    return float((-(w[0].conj() @ d_s @ v[0]) / denominator[0]).real)


def _changes(count: Callable[[float], int], lo: float, hi: float, c_lo: int, c_hi: int,
             depth: int = 0) -> list[float]:
    """The points between lo and hi where count changes (count(lo) = c_lo != c_hi = count(hi)), by
    bisection into both halves, so that two changes in one sampling step are both found."""
    # Newton's method refines every change found, so bisection stops well before rounding.
    if hi - lo <= 1e-9 * max(1.0, abs(hi)) or depth >= 200:
        return [0.5 * (lo + hi)]
    mid = 0.5 * (lo + hi)
    c_mid = count(mid)
    found = []
    if c_mid != c_lo:
        found += _changes(count, lo, mid, c_lo, c_mid, depth + 1)
    if c_mid != c_hi:
        found += _changes(count, mid, hi, c_mid, c_hi, depth + 1)
    return found


def _scan(count: Callable[[float], int], distance: Callable[[float], float], upper: float,
          step: float,
          sampled: Optional[Callable[[FloatArray], tuple[NDArray[np.int64], FloatArray]]] = None
          ) -> list[float]:
    """Points in (0, upper] where count changes, from samples `step` apart and bisection.

    distance(x) is the signed distance of the eigenvalue nearest to changing the count (|z| - 1,
    or a real part). Two changes within one step cancel in the count: a root pair that crosses
    and returns, or a near-tangent touch. At every local minimum of |distance| among the samples
    the signed distance is minimized (bounded Brent) over the two neighbouring steps; where it
    changes sign, the changes on both sides are bisected. `sampled(grid)`, when given, returns
    count and distance at every sample at once."""
    samples = int(min(_SCAN_MAX_SAMPLES, max(_SCAN_MIN_SAMPLES, math.ceil(upper / step))))
    grid = np.linspace(0.0, upper, samples + 1)
    if sampled is not None:
        counted, gaps = sampled(grid)
        values = [int(c) for c in counted]
    else:
        values = [count(float(x)) for x in grid]
        gaps = np.array([distance(float(x)) for x in grid])
    changes = []
    for i in range(samples):
        if values[i] != values[i + 1]:
            changes += _changes(count, float(grid[i]), float(grid[i + 1]), values[i], values[i + 1])
    size = np.abs(gaps)
    for i in range(1, samples):
        if not (size[i] <= size[i - 1] and size[i] <= size[i + 1] and size[i] <= _DIP
                and values[i - 1] == values[i] == values[i + 1]):
            continue
        sign = 1.0 if gaps[i] >= 0.0 else -1.0
        lo, hi = float(grid[i - 1]), float(grid[i + 1])
        found = scipy.optimize.minimize_scalar(lambda x: sign * distance(x), bounds=(lo, hi),
                                               method="bounded",
                                               options={"xatol": 1e-14 * max(1.0, hi)})
        x = float(found.x)
        c = count(x)
        if c != values[i]:
            changes += _changes(count, lo, x, values[i - 1], c)
            changes += _changes(count, x, hi, c, values[i + 1])
    return sorted(changes)


def _periodic_factors(scaling: Scaling, h: float, bases: list[tuple[float, float]], up_to: float
                      ) -> list[tuple[float, float]]:
    """(s, omega) for s = s_0 + 2 pi m / (omega h) <= up_to, from refined bases (omega, s_0)."""
    found: list[tuple[float, float]] = []
    for omega, s0 in bases:
        period = 2.0 * math.pi / (omega * h)
        s0 = s0 % period
        if s0 > period * (1.0 - 1e-12):
            s0 = 0.0
        m = 0
        while s0 + m * period <= up_to:
            found.append((s0 + m * period, omega))
            m += 1
    return found


def _unique_bases(bases: list[tuple[float, float]], h: float) -> list[tuple[float, float]]:
    """Bases with the same omega and the same phase omega s h (mod 2 pi) are one."""
    unique: list[tuple[float, float]] = []
    for omega, s in sorted(bases):
        phase = (omega * s * h) % (2.0 * math.pi)
        same = False
        for other_omega, other_s in unique:
            other_phase = (other_omega * other_s * h) % (2.0 * math.pi)
            gap = abs(phase - other_phase)
            # Two estimates of one crossing (from the pencil and from the scan) differ by the
            # model's conditioning: distinct crossings at frequencies this close would need
            # the same phase too.
            if (abs(omega - other_omega) <= 1e-6 * max(1.0, omega)
                    and min(gap, 2.0 * math.pi - gap) <= 1e-5):
                same = True
                break
        if not same:
            unique.append((omega, s))
    return unique


def _exact_bases(scaling: Scaling, h: float) -> list[tuple[float, float]]:
    data = scaling.data
    n = data.n
    A = data.matrices[~scaling.scaled].sum(axis=0)
    B = data.matrices[scaling.scaled].sum(axis=0)
    eye = np.eye(n)
    size = n * n
    if np.linalg.cond(B) <= _STANDARD_FORM_CONDITION:
        # C2 = B (x) I is invertible and well conditioned: the pencil's eigenvalues are those of
        # the companion matrix of z^2 I + z C2^-1 C1 + C2^-1 C0, with C2^-1 = B^-1 (x) I, one
        # standard eigenproblem (several times cheaper than the generalized one).
        B_inv = np.linalg.inv(B)
        companion = np.block([[np.zeros((size, size)), np.eye(size)],
                              [-np.kron(B_inv, B), -(np.kron(B_inv @ A, eye) + np.kron(B_inv, A))]])
        z = np.asarray(scipy.linalg.eigvals(companion, overwrite_a=True, check_finite=False),
                       dtype=np.complex128)
    else:
        C2 = np.kron(B, eye)
        C1 = np.kron(A, eye) + np.kron(eye, A)
        C0 = np.kron(eye, B)
        left = np.block([[np.zeros((size, size)), np.eye(size)], [-C0, -C1]])
        right = np.block([[np.eye(size), np.zeros((size, size))], [np.zeros((size, size)), C2]])
        z = _finite_eigenvalues(left, right)
    z = z[np.abs(np.abs(z) - 1.0) <= _UNIMODULAR]
    bases: list[tuple[float, float]] = []
    scale = max(1.0, scaling.frequency_bound)
    for zj in z:
        zj = zj / abs(zj)
        mu = np.linalg.eigvals(A + B * zj)
        # Of the eigenvalues near the axis, those far closer to it than the others: a crossing's
        # eigenvalue of A + B z is on the axis up to rounding, the rest of them are not.
        real = np.abs(mu.real)
        near = (real <= _ON_AXIS * scale) & (mu.imag > 1e-12 * scale)
        if not np.any(near):
            continue
        near &= real <= 100.0 * float(real[near].min()) + 1e-12 * scale
        for value in mu[near]:
            _add_base(bases, scaling, float(value.imag), complex(zj), h)
    return bases


def _finite_eigenvalues(left: NDArray[np.number[Any]], right: NDArray[np.number[Any]]) -> ComplexArray:
    """The finite generalized eigenvalues of the pencil (left, right)."""
    alpha, beta = scipy.linalg.eig(left, right, right=False, homogeneous_eigvals=True)
    finite = np.abs(beta) > 1e-13 * np.abs(alpha)
    return np.asarray(alpha[finite] / beta[finite], dtype=np.complex128)


def _add_base(bases: list[tuple[float, float]], scaling: Scaling, omega: float, z: complex,
              h: float) -> None:
    """The crossing at frequency omega where exp(-i omega s h) = z, refined, appended to bases."""
    phi = (-math.atan2(z.imag, z.real)) % (2.0 * math.pi)
    refined = refine_crossing(scaling, omega, phi / (omega * h))
    if refined is not None and refined[0] > 0.0:
        bases.append(refined)


def _omega_scan_bases(scaling: Scaling, h: float) -> list[tuple[float, float]]:
    """Crossings from a scan of the frequencies up to the bound Omega."""
    data = scaling.data
    unscaled = data.matrices[~scaling.scaled]
    unscaled_delays = data.delays[~scaling.scaled]
    B = data.matrices[scaling.scaled].sum(axis=0)
    n = data.n

    def eigenvalues(omega: float) -> ComplexArray:
        P = 1j * omega * np.eye(n) - np.tensordot(np.exp(-1j * omega * unscaled_delays), unscaled, axes=1)
        return _finite_eigenvalues(P, B)

    def inside(omega: float) -> int:
        return int(np.count_nonzero(np.abs(eigenvalues(omega)) < 1.0))

    def distance(omega: float) -> float:
        gap = np.abs(eigenvalues(omega)) - 1.0
        return float(gap[np.argmin(np.abs(gap))]) if gap.size else math.inf

    def sampled(omegas: FloatArray) -> tuple[NDArray[np.int64], FloatArray]:
        # One generalized eigenproblem per sample gives both the count and the distance.
        counts = np.empty(omegas.size, dtype=np.int64)
        nearest = np.empty(omegas.size)
        for j, omega in enumerate(omegas):
            gap = np.abs(eigenvalues(float(omega))) - 1.0
            counts[j] = np.count_nonzero(gap < 0.0)
            nearest[j] = gap[np.argmin(np.abs(gap))] if gap.size else math.inf
        return counts, nearest

    upper = scaling.frequency_bound * (1.0 + 1e-9)
    step = _SCAN_PHASE / max(1.0, float(unscaled_delays.max(initial=0.0)))
    bases: list[tuple[float, float]] = []
    for omega in _scan(inside, distance, upper, step, sampled):
        z = eigenvalues(omega)
        if z.size == 0 or omega <= 0.0:
            continue
        _add_base(bases, scaling, omega, complex(z[np.argmin(np.abs(np.abs(z) - 1.0))]), h)
    return bases


def _right_of_axis(A: NDArray[np.float64], scaled: NDArray[np.float64], delays: FloatArray
                   ) -> tuple[Callable[[float], ComplexArray], Callable[[float], int],
                              Callable[[float], float],
                              Callable[[FloatArray], tuple[NDArray[np.int64], FloatArray]]]:
    """For M(theta) = A + sum_k B_k exp(-i theta h_k): its eigenvalues, how many lie right of the
    axis, the real part nearest the axis, and both at many theta at once (one stacked call)."""
    def eigenvalues(theta: float) -> ComplexArray:
        E = A + np.tensordot(np.exp(-1j * theta * delays), scaled, axes=1)
        return np.asarray(np.linalg.eigvals(E), dtype=np.complex128)

    def right(theta: float) -> int:
        return int(np.count_nonzero(eigenvalues(theta).real > 0.0))

    def distance(theta: float) -> float:
        real = eigenvalues(theta).real
        return float(real[np.argmin(np.abs(real))])

    def sampled(thetas: FloatArray) -> tuple[NDArray[np.int64], FloatArray]:
        counts = np.empty(thetas.size, dtype=np.int64)
        nearest = np.empty(thetas.size)
        chunk = max(1, 2_000_000 // A.size)  # a bounded stack of matrices at a time
        for start in range(0, thetas.size, chunk):
            part = thetas[start:start + chunk]
            E = A[None] + np.tensordot(np.exp(-1j * np.outer(part, delays)), scaled, axes=1)
            real = np.linalg.eigvals(E).real
            counts[start:start + part.size] = np.count_nonzero(real > 0.0, axis=1)
            nearest[start:start + part.size] = real[np.arange(part.size),
                                                    np.argmin(np.abs(real), axis=1)]
        return counts, nearest

    return eigenvalues, right, distance, sampled


def _phase_bases(scaling: Scaling, h: float) -> list[tuple[float, float]]:
    """Crossings of one scaled delay value from a scan of the phase theta = omega s h over one
    period: i omega is a root at factor s exactly when it is an eigenvalue of A + B exp(-i theta).
    The matrix is formed without inverting anything, so its eigenvalues keep the accuracy an
    ill-conditioned model allows (the Kronecker pencil squares the condition)."""
    data = scaling.data
    A = data.matrices[~scaling.scaled].sum(axis=0)
    B = data.matrices[scaling.scaled].sum(axis=0)
    eigenvalues, right, distance, sampled = _right_of_axis(A, B[None], np.ones(1))
    bases: list[tuple[float, float]] = []
    for theta in _scan(right, distance, 2.0 * math.pi * (1.0 + 1e-9), _SCAN_PHASE, sampled):
        mu = eigenvalues(theta)
        value = mu[np.argmin(np.abs(mu.real))]
        if value.imag <= 0.0:
            continue  # the conjugate crossing, found at 2 pi - theta
        _add_base(bases, scaling, float(value.imag), complex(np.exp(-1j * theta)), h)
    return bases


def _theta_scan(scaling: Scaling, up_to: float) -> list[tuple[float, float]]:
    data = scaling.data
    A = data.matrices[~scaling.scaled].sum(axis=0)
    scaled = data.matrices[scaling.scaled]
    delays = data.delays[scaling.scaled]

    eigenvalues, right, distance, sampled = _right_of_axis(A, scaled, delays)
    upper = scaling.frequency_bound * up_to * (1.0 + 1e-9)
    found = []
    for theta in _scan(right, distance, upper, _SCAN_PHASE / float(delays.max()), sampled):
        mu = eigenvalues(theta)
        value = mu[np.argmin(np.abs(mu.real))]
        if value.imag <= 0.0:
            continue  # a crossing at negative s
        omega = float(value.imag)
        refined = refine_crossing(scaling, omega, theta / omega)
        if refined is not None and refined[0] > 0.0 and 0.0 <= refined[1] <= up_to:
            found.append((refined[1], refined[0]))
    return found


def _bases(scaling: Scaling, h: float, how: str) -> list[tuple[float, float]]:
    """The refined crossings (omega, s) of one scaled delay value. The exact case also scans the
    phase over one period: the Kronecker pencil squares the condition of a model ill-conditioned
    by a similarity and can lose its unimodular eigenvalues, while the scan's n x n matrices keep
    them; the two sets are joined."""
    if how != "exact":
        return _omega_scan_bases(scaling, h)
    return _exact_bases(scaling, h) + _phase_bases(scaling, h)


def method(scaling: Scaling) -> str:
    """"exact", "frequency scan" or "phase scan", by the structure of the scaled system."""
    scaled_values = np.unique(scaling.data.delays[scaling.scaled])
    unscaled_delayed = bool(np.any((scaling.data.delays > 0.0) & ~scaling.scaled
                                   & (scaling.data.norms > 0.0)))
    if scaled_values.size == 1:
        if not unscaled_delayed and 2 * scaling.data.n ** 2 <= _PENCIL_MAX:
            return "exact"
        return "frequency scan"
    if not unscaled_delayed:
        return "phase scan"
    raise NotImplementedError(
        "scaling several different delays while other terms keep positive delays is not "
        "supported: scale all delayed terms together, or delays of one value")


def crossings(scaling: Scaling, up_to: float, max_crossings: Optional[int] = None
              ) -> tuple[list[tuple[float, float]], str, bool]:
    """Every (s, omega), omega > 0, 0 <= s <= up_to, where i omega is a root at factor s, sorted
    by s, the method that found them, and whether no root reaches the axis at any factor (known
    only for a single scaled delay value, whose crossings repeat periodically)."""
    how = method(scaling)
    never = False
    if how == "phase scan":
        found = _theta_scan(scaling, up_to)
    else:
        h = float(scaling.data.delays[scaling.scaled][0])
        bases = _bases(scaling, h, how)
        never = not bases
        bases = _unique_bases(bases, h)
        expected = sum(int(min(up_to, 1e300) * omega * h / (2.0 * math.pi)) + 1 for omega, _ in bases)
        if max_crossings is not None and expected > max_crossings:
            raise ValueError(
                f"about {expected} crossings lie below up_to = {up_to!r}, more than max_crossings "
                f"= {max_crossings}; lower up_to or raise max_crossings")
        found = _periodic_factors(scaling, h, bases, up_to)
    found.sort()
    unique: list[tuple[float, float]] = []
    for s, omega in found:
        if unique and abs(s - unique[-1][0]) <= 1e-9 * max(1.0, s) and \
                abs(omega - unique[-1][1]) <= 1e-8 * max(1.0, omega):
            continue
        unique.append((s, omega))
    return unique, how, never


def first_crossing(scaling: Scaling) -> Optional[tuple[float, float]]:
    """The smallest crossing factor (s, omega) of the exact and frequency-scan cases, None when no
    root ever reaches the axis."""
    h = float(scaling.data.delays[scaling.scaled][0])
    how = method(scaling)
    bases = _bases(scaling, h, how)
    found = _periodic_factors(scaling, h, _unique_bases(bases, h), math.inf if not bases else
                              max(2.0 * math.pi / (omega * h) for omega, _ in bases))
    return min(found) if found else None
