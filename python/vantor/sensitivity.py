"""Null vectors, condition numbers and parameter derivatives of simple characteristic roots.

At a simple root lambda of Delta(lambda; p) = lambda I - sum_k A_k(p) exp(-lambda h_k(p)), with
Delta v = 0 and w* Delta = 0, differentiating Delta(lambda(p); p) v(p) = 0 and multiplying by w* gives

    d lambda / d p = - w* (dDelta/dp) v / (w* Delta'(lambda) v),

the denominator being nonzero exactly when the root is simple. With relative perturbations of the
matrices, ||dA_k|| <= eps ||A_k||, the root moves by at most eps * kappa to first order, where

    kappa = sum_k ||A_k||_2 |exp(-lambda h_k)| * ||v|| ||w|| / |w* Delta'(lambda) v|.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

import pyvantor

from ._newton import refine, scale
from ._system import (ComplexArray, FloatArray, SystemData, char_derivatives, char_matrices, check_system,
                      normalized)

# A given root is accepted when Delta's smallest singular value is at most this, relative to the
# size of Delta's terms, and Newton's method moves it at most this far (relative) to polish it.
_ROOT_RESIDUAL = 1e-6
# The second smallest singular value below this (relative) means a null space of dimension >= 2.
_SEMISIMPLE = 1e-9
# Differences for dDelta/dp: the first step relative to max(1, |p|), at most this many tenfold
# reductions, and the agreement of two successive estimates that ends them.
_FIRST_STEP = 1e-6
_EPS = float(np.finfo(np.float64).eps)
_STEP_REDUCTIONS = 6
_STEP_AGREEMENT = 1e-9
# A root at which w* Delta' v is at most this (relative) is multiple (a defective one when Delta has a
# one-dimensional null space): its condition number would exceed 1e7.
_DEFECTIVE = 1e-7

ParameterBuild = Callable[..., pyvantor.lagsys]


@dataclass(frozen=True)
class Eigenvectors:
    """Null vectors and condition numbers of simple roots (the outcome of `eigenvectors`).

    Attributes
    ----------
    roots : ndarray of complex, shape (k,)
        The roots, polished by Newton's method on det Delta.
    right, left : ndarray of complex, shape (n, k)
        Column j: unit vectors v, w with ``Delta(roots[j]) v = 0`` and ``w* Delta(roots[j]) = 0``;
        v's entry of largest modulus is real and positive, and ``w* Delta'(roots[j]) v`` is real and
        positive.
    condition : ndarray of float, shape (k,)
        ``sum_k ||A_k|| |exp(-lambda h_k)| / |w* Delta'(lambda) v|``: relative changes eps of the
        matrices move the root by at most about ``eps * condition``.
    """

    roots: ComplexArray
    right: ComplexArray
    left: ComplexArray
    condition: FloatArray


def _term_size(data: SystemData, z: ComplexArray) -> FloatArray:
    with np.errstate(over="ignore"):
        weights = np.abs(np.exp(-np.outer(z, data.delays)))
    return np.asarray(weights @ data.norms, dtype=np.float64)


def null_vectors(D: ComplexArray) -> tuple[ComplexArray, ComplexArray, FloatArray]:
    """For each matrix of D (k, n, n): the right and left singular vectors of its smallest singular
    value, as rows (k, n), and its singular values (k, n), largest first."""
    U, S, Vh = np.linalg.svd(D)
    return Vh[:, -1, :].conj(), U[:, :, -1], S


def _check_roots(data: SystemData, roots: ArrayLike, name: str) -> ComplexArray:
    """Polished simple roots; ValueError naming `name` for a value that is no root or not simple."""
    try:
        z = np.atleast_1d(np.asarray(roots, dtype=np.complex128))
    except (TypeError, ValueError) as err:
        raise TypeError(f"{name} must be complex numbers, got {roots!r}") from err
    if z.ndim != 1:
        raise ValueError(f"{name} must be a number or a 1-D array, got shape {z.shape}")
    if not np.all(np.isfinite(z)):
        raise ValueError(f"{name} has a non-finite entry")
    # Polished and tested in the system's normalized time unit, so that the tolerances relative to
    # max(1, abs(z)) mean the same in every unit.
    unit_data = normalized(data)
    unit = unit_data.unit
    zu = z / unit
    polished = refine(unit_data, zu).roots
    moved = ~np.isfinite(polished) | (np.abs(polished - zu) > _ROOT_RESIDUAL * scale(zu))
    zu = np.where(moved, zu, polished)
    z = zu * unit
    v, w, S = null_vectors(char_matrices(unit_data, zu))
    size = np.abs(zu) + _term_size(unit_data, zu)
    # w* Delta' v vanishes at a multiple root; the size of Delta' is 1 + sum_k h_k ||A_k|| |exp(-z h_k)|.
    slope = np.abs(np.einsum("ki,kij,kj->k", w.conj(), char_derivatives(unit_data, zu), v))
    with np.errstate(over="ignore"):
        slope_size = 1.0 + np.abs(np.exp(-np.outer(zu, unit_data.delays))) @ (
            unit_data.delays * unit_data.norms)
    for i in range(z.size):
        if not S[i, -1] <= _ROOT_RESIDUAL * size[i]:
            raise ValueError(
                f"{name}[{i}] = {complex(z[i])!r} is not a characteristic root: the smallest singular "
                f"value of Delta there is {S[i, -1]:.3g}, relative {S[i, -1] / size[i]:.3g}")
        if data.n > 1 and S[i, -2] <= _SEMISIMPLE * size[i]:
            raise ValueError(
                f"{name}[{i}] = {complex(z[i])!r} is a multiple root (Delta has a null space of "
                f"dimension >= 2 there); its null vectors and derivatives are not unique")
        if not slope[i] > _DEFECTIVE * slope_size[i]:
            raise ValueError(
                f"{name}[{i}] = {complex(z[i])!r} is a multiple root (w* Delta'(lambda) v = "
                f"{slope[i]:.3g} vanishes there); its derivatives with respect to parameters are "
                f"not defined")
    return z


def simple_root_vectors(data: SystemData, z: ComplexArray
                        ) -> tuple[ComplexArray, ComplexArray, ComplexArray]:
    """Normalized right and left null vectors (rows) of Delta at the roots z, and w* Delta' v."""
    v, w, _ = null_vectors(char_matrices(data, z))
    Dp = char_derivatives(data, z)
    rows = np.arange(z.size)
    largest = v[rows, np.argmax(np.abs(v), axis=1)]
    v = v * (np.abs(largest) / largest)[:, None]
    denominator = np.einsum("ki,kij,kj->k", w.conj(), Dp, v)
    phase = np.where(denominator != 0, denominator / np.abs(denominator), 1.0)
    # w -> w * phase makes w* Delta' v real and positive.
    w = w * phase[:, None]
    return v, w, np.abs(denominator).astype(np.complex128)


def eigenvectors(sys: pyvantor.lagsys, roots: ArrayLike) -> Eigenvectors:
    """Right and left null vectors of Delta(lambda) at simple roots, and their condition numbers.

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system.
    roots : complex or array_like of complex
        Simple characteristic roots (from `distinct_roots`, `all_roots`, ...). Each is polished by
        Newton's method on det Delta first (it may move by up to 1e-6 relative).

    Returns
    -------
    Eigenvectors
        ``roots`` (polished), ``right`` and ``left`` (unit null vectors as columns) and
        ``condition``.

    Raises
    ------
    TypeError, ValueError
        Invalid `sys`; `roots` not numbers, not finite, not characteristic roots (Delta's smallest
        singular value above 1e-6 of the size of its terms) or multiple with a null space of
        dimension two or more.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> sys = pyvantor.lagsys([np.diag([-1.0, -2.0]), np.diag([0.5, 0.0])], [0.0, 1.0])
    >>> ev = vantor.eigenvectors(sys, [-2.0])
    >>> np.round(np.abs(ev.right[:, 0]), 12), round(float(ev.condition[0]), 6)
    (array([0., 1.]), 5.694528)
    """
    data = check_system(sys)
    z = _check_roots(data, roots, "roots")
    v, w, denominator = simple_root_vectors(data, z)
    with np.errstate(divide="ignore"):
        condition = _term_size(data, z) / denominator.real
    return Eigenvectors(z, v.T.copy(), w.T.copy(), np.asarray(condition, dtype=np.float64))


def _check_parameters(p: object) -> tuple[NDArray[np.float64], bool]:
    """The parameters as a float vector, and whether they were given as one number."""
    if isinstance(p, (bool, np.bool_)):
        raise TypeError(f"p must be real numbers, got {p!r}")
    try:
        array = np.asarray(p, dtype=np.float64)
    except (TypeError, ValueError) as err:
        raise TypeError(f"p must be real numbers, got {p!r}") from err
    if np.iscomplexobj(np.asarray(p)):
        raise TypeError(f"p must be real numbers, got {p!r}")
    if array.ndim > 1 or array.size == 0:
        raise ValueError(f"p must be a number or a non-empty 1-D array, got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        raise ValueError(f"p has a non-finite entry: {p!r}")
    return np.atleast_1d(array).copy(), array.ndim == 0


def call_build(build: ParameterBuild, p: NDArray[np.float64], scalar: bool, norms: bool = True
               ) -> SystemData:
    """build(p) checked: a pyvantor.lagsys; p passed as a float when it was given as one number.
    norms=False: without the spectral norms (see check_system)."""
    if not callable(build):
        raise TypeError(f"build must be callable, got {type(build).__name__}")
    sys = build(float(p[0]) if scalar else p.copy())
    if not isinstance(sys, pyvantor.lagsys):
        raise TypeError(f"build must return a pyvantor.lagsys, got {type(sys).__name__}")
    return check_system(sys, "build(p)", norms)


def _same_shape(a: SystemData, b: SystemData) -> None:
    if a.matrices.shape != b.matrices.shape:
        raise ValueError(
            f"build(p) must keep the number of terms and the order as p changes: "
            f"{a.matrices.shape[0]} terms of order {a.n} at p, "
            f"{b.matrices.shape[0]} of order {b.n} nearby")


def parameter_derivative(build: ParameterBuild, p: NDArray[np.float64], scalar: bool,
                         data: SystemData, z: complex) -> ComplexArray:
    """d lambda / dp_j at the simple root z of build(p), with dDelta/dp_j at lambda = z from central
    differences of build (exact for matrices and delays affine in p up to the exponential's
    curvature, which the central difference makes second order)."""
    lam = np.array([z], dtype=np.complex128)
    v, w, denominator = simple_root_vectors(data, lam)
    gradient = np.empty(p.size, dtype=np.complex128)

    def delta(q: NDArray[np.float64]) -> ComplexArray:
        other = call_build(build, q, scalar, norms=False)
        _same_shape(data, other)
        matrix: ComplexArray = char_matrices(other, lam)[0]
        return matrix

    for j in range(p.size):
        dD = _difference(delta, p, j, char_matrices(data, lam)[0])
        gradient[j] = -(w[0].conj() @ dD @ v[0]) / denominator[0]
    return gradient


def _difference(delta: Callable[[NDArray[np.float64]], ComplexArray], p: NDArray[np.float64], j: int,
                at_p: ComplexArray) -> ComplexArray:
    """dDelta/dp_j by differences whose step shrinks tenfold (from 1e-6 max(1, |p_j|)) until two
    successive estimates agree to 1e-9 (relative): the scale on which build varies is unknown, and
    a step relative to |p_j| alone is far too long for, say, cos(p) at p = 1e6. Central differences;
    one-sided ones of second order (-3 f(p) + 4 f(p + h) - f(p + 2h)) / 2h where build refuses p - h
    (a delay that would turn negative)."""
    scale_p = max(1.0, abs(float(p[j])))
    one_sided = False
    best: ComplexArray | None = None
    best_gap = np.inf
    previous: ComplexArray | None = None
    for k in range(_STEP_REDUCTIONS):
        step = _FIRST_STEP * scale_p * 0.1 ** k
        up, down, up2 = p.copy(), p.copy(), p.copy()
        up[j] += step
        down[j] -= step
        up2[j] += 2.0 * step
        estimate: ComplexArray
        if not one_sided:
            try:
                at_down = delta(down)
            except ValueError:
                if k:
                    raise
                one_sided = True
        if one_sided:
            h = up[j] - p[j]
            estimate = (-3.0 * at_p + 4.0 * delta(up) - delta(up2)) / (2.0 * h)
        else:
            estimate = (delta(up) - at_down) / (up[j] - down[j])
        if previous is not None:
            gap = float(np.abs(estimate - previous).max())
            # Rounding in Delta(p +- step) alone makes estimates differ by about this much.
            noise = 64.0 * _EPS * float(np.abs(at_p).max()) / step
            if gap < best_gap:
                best, best_gap = estimate, gap
            if gap <= max(_STEP_AGREEMENT * float(np.abs(estimate).max()), noise):
                return estimate
        previous = estimate
    assert best is not None
    return best


def root_derivative(build: ParameterBuild, p: Union[float, ArrayLike],
                    root: complex) -> Union[complex, ComplexArray]:
    """The derivative of a simple characteristic root with respect to parameters.

    ``d lambda / dp = -w* (dDelta/dp) v / (w* Delta'(lambda) v)`` with v, w the null vectors of
    Delta(lambda) (`eigenvectors`); dDelta/dp at the root is the central difference of
    ``build`` at ``p +- h`` with h shrinking tenfold from ``1e-6 max(1, |p_j|)`` until two
    estimates agree to 1e-9 (one-sided where ``build`` refuses ``p - h``, such as a delay ``p``
    at p = 0).

    Parameters
    ----------
    build : callable
        ``build(p)`` returns the ``pyvantor.lagsys`` at parameters p (a float when `p` is a number,
        else a 1-D array); the number of terms and the order must not depend on p.
    p : float or array_like of float
        The parameters.
    root : complex
        A simple root of ``build(p)`` (polished first; it may move by up to 1e-6 relative).

    Returns
    -------
    complex or ndarray of complex
        ``d lambda / dp`` (a number for a number `p`, else one entry per parameter). The real part
        is the rate at which the root moves right.

    Raises
    ------
    TypeError
        `build` not callable or not returning a ``pyvantor.lagsys``; `p` not real numbers.
    ValueError
        `p` empty, not 1-D or not finite; `root` not a simple root; `build` changes the shape.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> build = lambda k: pyvantor.lagsys([np.zeros((1, 1)), -k * np.ones((1, 1))], [0.0, 1.0])
    >>> lam = complex(vantor.distinct_roots(build(0.2), -1.0).roots[0])
    >>> d = vantor.root_derivative(build, 0.2, lam)
    >>> exact = -np.exp(-lam) / (1 + lam)        # from lambda = -k exp(-lambda)
    >>> bool(abs(d - exact) < 1e-9)
    True
    """
    params, scalar = _check_parameters(p)
    data = call_build(build, params, scalar)
    z = _check_roots(data, [root], "root")
    gradient = parameter_derivative(build, params, scalar, data, complex(z[0]))
    return complex(gradient[0]) if scalar else gradient
