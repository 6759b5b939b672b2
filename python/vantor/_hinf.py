"""The peak of sigma_max(G(i omega)) over omega >= 0, proven by branch and bound on Lipschitz bounds.

G(i omega) = C R(omega) B + D with R(omega) = Delta(i omega)^-1, Delta(i omega) = i omega I -
sum_k A_k exp(-i omega h_k). For real matrices G(-i omega) is the conjugate of G(i omega), so
omega >= 0 suffices.

Bound on an interval. dDelta/domega = i (I + sum_k h_k A_k exp(-i omega h_k)), so
||Delta(omega) - Delta(c)|| <= L |omega - c| with L = 1 + sum_k h_k ||A_k||. With E = Delta(omega) -
Delta(c), R(omega) = R(c) (I + E R(c))^-1, hence for ||R(c)|| L w < 1 and |omega - c| <= w

    ||G(omega) - G(c)|| = ||C R(omega) E R(c) B|| <= ||C R(c)|| ||R(c) B|| L w / (1 - ||R(c)|| L w),

and by Weyl's inequality sigma_max(G(omega)) is at most sigma_max(G(c)) plus that. Near a peak,
where that first-order bound needs very short intervals, a second-order one: with
G'(c) = -C R(c) Delta'(c) R(c) B, ||Delta''|| <= M = sum_k h_k^2 ||A_k|| and t = omega - c,

    G(omega) = G(c) + t G'(c) - C R(c) E2 R(c) B + C R(c) E R(c) E R(omega) B,   ||E2|| <= M t^2 / 2,

so sigma_max(G(omega)) <= max(||G(c) - w G'(c)||, ||G(c) + w G'(c)||) (a norm of an affine function
of t is convex: largest at an end) + ||C R(c)|| ||R(c) B|| w^2 (M / 2 + ||R(c)|| L^2 / (1 - ||R(c)|| L w)).

Tail. sigma_min(Delta(i omega)) >= omega - S with S = sum_k ||A_k||, so for omega > S
sigma_max(G) <= ||D|| + ||C|| ||B|| / (omega - S): below gamma > ||D|| beyond
Omega = S + ||C|| ||B|| / (gamma - ||D||).

Search. Intervals of [0, Omega] whose bound exceeds gamma = (1 + rtol) * best (best the largest
sigma_max seen, or ||D||, the limit at infinity) are split, the others dropped, until none is left:
then no omega has sigma_max(G) > gamma. The centres' values feed best as they come. Every
quantity is computed in floating point; the bounds carry a relative margin of 1e-12 against its
rounding.

Peak. The best centre is within rtol of the peak in value but only about sqrt(rtol) in frequency
(sigma_max is flat there). Where the top singular value is simple, d sigma_max / d omega =
Re(u^H G'(omega) v) (u, v its singular vectors), so the frequency is refined to a zero of that
derivative by Brent's method on a bracket around the centre; the value can only rise, and stays
below the proven bound.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from scipy.optimize import brentq

from ._system import ComplexArray, FloatArray, SystemData, char_derivatives, char_matrices

# Entries of the batched characteristic matrices per chunk.
_CHUNK_ENTRIES = 1 << 21
# Relative margin on every computed bound against rounding.
_ROUNDING = 1e-12
# Each surviving interval is split into at most this many pieces per round.
_MAX_SPLIT = 64


class BudgetExceeded(RuntimeError):
    """The search needed more evaluations than allowed."""


@dataclass
class Peak:
    """The largest sigma_max found and the bound proven: no frequency exceeds `upper`."""

    value: float
    frequency: float          # inf when the peak is the limit at infinity, ||D||
    upper: float
    evaluations: int


def _axis(omega: FloatArray) -> ComplexArray:
    return np.asarray(1j * omega, dtype=np.complex128)


def responses(data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, omega: FloatArray
              ) -> ComplexArray:
    """G(i omega) for each omega, shaped (len(omega), outputs, inputs); NaN where Delta(i omega)
    is singular (a root on the imaginary axis)."""
    out = np.empty((omega.size, C.shape[0], B.shape[1]), dtype=np.complex128)
    chunk = max(1, _CHUNK_ENTRIES // (data.n * data.n))
    for start in range(0, omega.size, chunk):
        part = slice(start, start + chunk)
        Delta = char_matrices(data, _axis(omega[part]))
        try:
            X = np.linalg.solve(Delta, np.broadcast_to(B, (Delta.shape[0],) + B.shape))
            out[part] = C @ X + D
        except np.linalg.LinAlgError:
            for i, M in enumerate(Delta):
                try:
                    out[start + i] = C @ np.linalg.solve(M, B) + D
                except np.linalg.LinAlgError:
                    out[start + i] = np.nan
    return out


def _transfer_slopes(data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, Delta: ComplexArray,
                     omega: FloatArray) -> tuple[ComplexArray, ComplexArray, ComplexArray, ComplexArray]:
    """G, C R, R B and G' = dG/domega = -C R (dDelta/domega) R B at each omega, from the regular
    characteristic matrices Delta(i omega) stacked along the first axis."""
    RB = np.linalg.solve(Delta, np.broadcast_to(B, (Delta.shape[0],) + B.shape))
    CR = np.conj(np.linalg.solve(np.conj(np.swapaxes(Delta, 1, 2)),
                                 np.broadcast_to(C.T, (Delta.shape[0],) + C.T.shape)))
    CR = np.swapaxes(CR, 1, 2)
    G = C @ RB + D
    G_prime = -(CR @ (1j * char_derivatives(data, _axis(omega))) @ RB)
    return (np.asarray(G, dtype=np.complex128), np.asarray(CR, dtype=np.complex128),
            np.asarray(RB, dtype=np.complex128), np.asarray(G_prime, dtype=np.complex128))


def _evaluate(data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, omega: FloatArray,
              half: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray, FloatArray]:
    """At each omega: sigma_max(G), ||C R|| ||R B||, ||R||, ||G'|| and max over the ends of
    ||G +- half G'|| (inf where Delta is singular)."""
    out = [np.full(omega.size, np.inf) for _ in range(5)]
    n = data.n
    chunk = max(1, _CHUNK_ENTRIES // (n * n))
    for start in range(0, omega.size, chunk):
        part = slice(start, start + chunk)
        Delta = char_matrices(data, _axis(omega[part]))
        smallest = np.linalg.svd(Delta, compute_uv=False)[:, -1]
        regular = smallest > 0.0
        if not np.any(regular):
            continue
        index = np.arange(start, min(start + chunk, omega.size))[regular]
        G, CR, RB, G_prime = _transfer_slopes(data, B, C, D, Delta[regular], omega[index])
        w = half[index][:, None, None]
        out[0][index] = np.linalg.norm(G, ord=2, axis=(1, 2))
        out[1][index] = np.linalg.norm(CR, ord=2, axis=(1, 2)) * np.linalg.norm(RB, ord=2, axis=(1, 2))
        out[2][index] = 1.0 / smallest[regular]
        out[3][index] = np.linalg.norm(G_prime, ord=2, axis=(1, 2))
        out[4][index] = np.maximum(np.linalg.norm(G - w * G_prime, ord=2, axis=(1, 2)),
                                   np.linalg.norm(G + w * G_prime, ord=2, axis=(1, 2)))
    return out[0], out[1], out[2], out[3], out[4]


def hinf_peak(data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, rtol: float,
              seeds: FloatArray, max_evaluations: int) -> Peak:
    """The largest sigma_max(G(i omega)) over omega >= 0, to the relative tolerance rtol, proven
    as the module's docstring says; `seeds` are frequencies worth evaluating first (the imaginary
    parts of the rightmost roots). BudgetExceeded after max_evaluations."""
    S = float(np.sum(data.norms))
    L = 1.0 + float(np.sum(data.delays * data.norms))
    M2 = float(np.sum(data.delays ** 2 * data.norms))
    scale = float(np.linalg.norm(C, 2) * np.linalg.norm(B, 2))
    d_norm = float(np.linalg.norm(D, 2)) if D.size else 0.0
    # A first look: a grid to well past the rates and the seeds.
    reach = 4.0 * (S + 1.0) + (float(np.max(np.abs(seeds))) if seeds.size else 0.0)
    if data.tau > 0.0:
        reach = max(reach, 20.0 * math.pi / data.tau)
    first = np.unique(np.concatenate([np.linspace(0.0, reach, 401), np.abs(seeds)])).astype(np.float64)
    values = _evaluate(data, B, C, D, first, np.zeros(first.size, dtype=np.float64))[0]
    evaluations = first.size
    if not np.all(np.isfinite(values)):
        raise ZeroDivisionError("Delta(i omega) is singular on the imaginary axis")
    best_at = int(np.argmax(values))
    best, best_frequency = float(values[best_at]), float(first[best_at])
    if d_norm >= best:
        best, best_frequency = d_norm, math.inf
    gamma = (1.0 + rtol) * best
    if scale == 0.0:
        return Peak(best, best_frequency, gamma, evaluations)
    if gamma <= d_norm:   # best is ||D|| = 0 with rtol: the response vanishes
        gamma = d_norm + rtol * max(best, 1e-300)
    omega_max = S + scale / (gamma - d_norm) * (1.0 + _ROUNDING)
    # Intervals [c - w, c + w] covering [0, omega_max].
    count = max(1, min(4000, int(math.ceil(omega_max / max(reach, 1e-300) * 400))))
    width = omega_max / count
    centres: FloatArray = np.asarray((np.arange(count) + 0.5) * width, dtype=np.float64)
    half: FloatArray = np.full(count, 0.5 * width)
    while centres.size:
        evaluations += centres.size
        if evaluations > max_evaluations:
            raise BudgetExceeded(
                f"the bound needed more than {max_evaluations} evaluations of G(i omega)")
        values, product, resolvent, slope, ends = _evaluate(data, B, C, D, centres, half)
        if not np.all(np.isfinite(values)):
            raise ZeroDivisionError("Delta(i omega) is singular on the imaginary axis")
        top = int(np.argmax(values))
        if values[top] > best:
            best, best_frequency = float(values[top]), float(centres[top])
            gamma = (1.0 + rtol) * best
        lw = resolvent * L * half
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            first_order = np.where(lw < 1.0, values + product * L * half / (1.0 - lw), np.inf)
            curvature = product * (0.5 * M2 + resolvent * L * L / (1.0 - lw))
            second_order = np.where(lw < 1.0, ends + curvature * half * half, np.inf)
        bound = np.minimum(first_order, second_order) * (1.0 + _ROUNDING)
        open_ = bound > gamma
        if not np.any(open_):
            break
        # Split each open interval into pieces short enough for its centre's bounds to close,
        # were the centre's values the same (at least two, at most _MAX_SPLIT).
        c, w = centres[open_], half[open_]
        gap = np.maximum(gamma - values[open_], 0.0)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            linear = gap / (L * (product[open_] + gap * resolvent[open_]))
            quadratic_term = product[open_] * (0.5 * M2 + 2.0 * resolvent[open_] * L * L)
            quadratic = 2.0 * gap / (slope[open_] + np.sqrt(slope[open_] ** 2 + 4.0 * quadratic_term * gap))
            needed = np.fmax(linear, quadratic)
            pieces = np.where(needed > 0.0, np.ceil(w / needed), _MAX_SPLIT)
        pieces = np.nan_to_num(pieces, nan=_MAX_SPLIT, posinf=_MAX_SPLIT)
        pieces = np.clip(pieces, 2, _MAX_SPLIT).astype(np.intp)
        new_half = w / pieces
        index = np.repeat(np.arange(c.size), pieces)
        offsets = np.arange(index.size) - np.repeat(np.cumsum(pieces) - pieces, pieces)
        centres = np.asarray(c[index] - w[index] + (2.0 * offsets + 1.0) * new_half[index], dtype=np.float64)
        half = np.asarray(new_half[index], dtype=np.float64)
    best_frequency, refined, used = refine_peak(data, B, C, D, best_frequency,
                                                1e-6 * max(best_frequency, width))
    return Peak(max(best, refined), best_frequency, max(gamma, refined), evaluations + used)


def peak_slope(data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, omega: float
               ) -> tuple[float, float, float]:
    """sigma_max(G(i omega)), its derivative in omega (NaN where the top singular value is
    multiple) and the gap to the second singular value."""
    at = np.array([omega], dtype=np.float64)
    G, _, _, G_prime = _transfer_slopes(data, B, C, D, char_matrices(data, _axis(at)), at)
    U, s, Vh = np.linalg.svd(G[0])
    gap = float(s[0] - s[1]) if s.size > 1 else math.inf
    if not gap > 1e-8 * float(s[0]):
        return float(s[0]), math.nan, gap
    return float(s[0]), float((U[:, 0].conj() @ G_prime[0] @ Vh[0].conj()).real), gap


def refine_peak(data: SystemData, B: FloatArray, C: FloatArray, D: FloatArray, omega: float,
                step: float) -> tuple[float, float, int]:
    """The local maximum of sigma_max(G(i omega)) next to omega (omega >= 0; returned unchanged
    when infinite, zero or where the derivative is undefined), its value and the evaluations."""
    if not (math.isfinite(omega) and omega > 0.0 and step > 0.0):
        value = peak_slope(data, B, C, D, omega)[0] if math.isfinite(omega) else -math.inf
        return omega, value, int(math.isfinite(omega))
    used = 0

    def slope(w: float) -> float:
        nonlocal used
        used += 1
        return peak_slope(data, B, C, D, w)[1]

    value, at, _ = peak_slope(data, B, C, D, omega)
    used += 1
    if not math.isfinite(at) or at == 0.0:
        return omega, value, used
    # Step outward in the ascent direction until the derivative changes sign (or 0 is reached).
    direction = 1.0 if at > 0.0 else -1.0
    near, far = omega, omega
    width = step
    for _ in range(40):
        far = max(0.0, near + direction * width)
        s_far = slope(far)
        if not math.isfinite(s_far):
            return omega, value, used
        if s_far * at <= 0.0 or far == 0.0:
            break
        near, width = far, 2.0 * width
    else:
        return omega, value, used
    if far == 0.0 and slope(0.0) * at > 0.0:
        candidate = 0.0
    else:
        lo, hi = min(near, far), max(near, far)
        try:
            candidate = float(brentq(slope, lo, hi, xtol=4e-16 * max(1.0, hi), maxiter=100))
        except (ValueError, RuntimeError):
            return omega, value, used
    refined = peak_slope(data, B, C, D, candidate)[0]
    used += 1
    return (candidate, refined, used) if refined > value else (omega, value, used)
