"""Pictures of spectra, stability charts, root loci, stability switches, frequency responses and
pseudospectra (needs matplotlib, the ``[examples]`` extra)."""

from __future__ import annotations

from typing import Any, Iterable, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike

from .margin import StabilityIntervals, system_at, stability_intervals as _stability_intervals
from .spectrum import DistinctRoots
from .stability import spectral_abscissa
from .sweep import SweepResult


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as err:
        raise ImportError("vantor.plot needs matplotlib: pip install 'pyvantor[examples]'") from err
    return plt


def _axes(ax: Any) -> Any:
    return _pyplot().subplots(figsize=(7, 6))[1] if ax is None else ax


def spectrum(roots: Union[ArrayLike, DistinctRoots, Any], r: Optional[float] = None, *,
             ax: Any = None, label: str = "roots") -> Any:
    """The roots in the complex plane, with the bound ``Re(lambda) = r`` and the imaginary axis.

    Parameters
    ----------
    roots : array_like of complex, or a result with ``roots`` and ``multiplicity``
        The roots; a result (`DistinctRoots`, `RootsInBox`, `RightmostRoots`, `Certificate`) also
        marks multiple roots with their multiplicity.
    r : float, optional
        The bound the roots were computed with (drawn as a dashed line).
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.
    label : str, optional
        The legend entry of the roots.

    Returns
    -------
    matplotlib Axes
    """
    ax = _axes(ax)
    multiplicity = None
    if isinstance(roots, DistinctRoots) or (hasattr(roots, "roots") and hasattr(roots, "multiplicity")):
        values = np.asarray(roots.roots, dtype=np.complex128).ravel()
        multiplicity = np.asarray(roots.multiplicity)
    else:
        values = np.asarray(roots, dtype=np.complex128).ravel()
    ax.axvline(0.0, color="0.6", lw=0.8)
    if r is not None:
        ax.axvline(r, color="tab:red", lw=0.8, ls="--", label=f"bound Re λ = {r:g}")
    ax.plot(values.real, values.imag, "o", color="tab:blue", label=f"{values.size} {label}")
    if multiplicity is not None:
        for z, k in zip(values, multiplicity):
            if k > 1:
                ax.annotate(f"×{k}", (z.real, z.imag), textcoords="offset points", xytext=(5, 5))
    ax.set_xlabel("Re λ")
    ax.set_ylabel("Im λ")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper right")
    return ax


_LABELS = {"abscissa": "spectral abscissa (max Re λ)", "count": "roots right of r"}


def chart(result: SweepResult, *, ax: Any = None,
          overlay: Iterable[tuple[ArrayLike, ArrayLike, str]] = (),
          floor: Optional[float] = None) -> Any:
    """A map of a two-parameter sweep's quantity with its stability boundary.

    The first axis runs along x, the second along y. "abscissa" is coloured red where positive
    (unstable) and blue where negative, with its zero contour; "count" with the contour between 0
    and 1 unstable roots. Failed points are left blank.

    Parameters
    ----------
    result : SweepResult
        A sweep over two axes, of quantity "abscissa" or "count".
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.
    overlay : iterable of (x, y, label), optional
        Curves drawn over the map (an exact boundary, say).
    floor : float, optional
        For "abscissa": values below it are shown as it (keeps the colours for the region of
        interest).

    Returns
    -------
    matplotlib Axes
    """
    if len(result.axes) != 2 or result.quantity not in _LABELS:
        raise ValueError("chart needs a sweep over two axes of quantity 'abscissa' or 'count', got "
                         f"{len(result.axes)} axes of {result.quantity!r}")
    plt = _pyplot()
    from matplotlib.colors import TwoSlopeNorm

    ax = _axes(ax)
    (xname, x), (yname, y) = result.axes.items()
    values = np.asarray(result.values, dtype=np.float64).T
    if floor is not None:
        values = np.maximum(values, floor)
    finite = values[np.isfinite(values)]
    level = 0.0 if result.quantity == "abscissa" else 0.5
    if result.quantity == "abscissa":
        low = float(min(finite.min(), -1e-9)) if finite.size else -1.0
        high = float(max(finite.max(), 1e-9)) if finite.size else 1.0
        norm: Any = TwoSlopeNorm(vcenter=0.0, vmin=low, vmax=high)
        cmap = "RdBu_r"
    else:
        norm, cmap = None, "Reds"
    image = ax.pcolormesh(x, y, np.ma.masked_invalid(values), cmap=cmap, norm=norm, shading="auto")
    if finite.size and finite.min() < level < finite.max():
        ax.contour(x, y, values, levels=[level], colors="k", linewidths=0.9)
    for cx, cy, label in overlay:
        ax.plot(cx, cy, color="gold", lw=2, ls="--", label=label)
    if overlay:
        ax.legend(loc="lower left")
    ax.set_xlim(x.min(), x.max())
    ax.set_ylim(y.min(), y.max())
    ax.set_xlabel(xname)
    ax.set_ylabel(yname)
    plt.colorbar(image, ax=ax, label=_LABELS[result.quantity])
    return ax


def locus(result: SweepResult, *, ax: Any = None, cmap: str = "viridis") -> Any:
    """Root trajectories of a one-parameter sweep of roots (`vantor.locus`), coloured by the
    parameter.

    Parameters
    ----------
    result : SweepResult
        Quantity "roots" over one axis.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.
    cmap : str, optional
        The colour map of the parameter.

    Returns
    -------
    matplotlib Axes
    """
    if len(result.axes) != 1 or result.quantity != "roots":
        raise ValueError("locus needs a sweep of quantity 'roots' over one axis, got "
                         f"{len(result.axes)} axes of {result.quantity!r}")
    plt = _pyplot()
    ax = _axes(ax)
    (name, values), = result.axes.items()
    points = [(z, v) for roots, v in zip(result.values, values) if isinstance(roots, np.ndarray)
              for z in roots]
    z = np.array([p[0] for p in points], dtype=np.complex128)
    p = np.array([p[1] for p in points], dtype=np.float64)
    ax.axvline(0.0, color="0.6", lw=0.8)
    if result.r is not None:
        ax.axvline(result.r, color="tab:red", lw=0.8, ls="--")
    image = ax.scatter(z.real, z.imag, c=p, cmap=cmap, s=8, vmin=values.min(), vmax=values.max())
    ax.set_xlabel("Re λ")
    ax.set_ylabel("Im λ")
    ax.grid(alpha=0.3)
    plt.colorbar(image, ax=ax, label=name)
    return ax


def stability_intervals(sys: Any, which: Optional[Sequence[int]] = None, *, up_to: float = 10.0,
                        result: Optional[StabilityIntervals] = None, points: int = 200,
                        ax: Any = None) -> Any:
    """The spectral abscissa against the factor of the scaled delays, with the crossings marked
    and the stable intervals shaded.

    Parameters
    ----------
    sys : pyvantor.lagsys
        The system (its delays at factor 1).
    which : sequence of int, optional
        The scaled terms, as for `vantor.stability_intervals`.
    up_to : float, optional
        The largest factor. Default 10.
    result : StabilityIntervals, optional
        The outcome of `vantor.stability_intervals` for the same arguments (computed when omitted).
    points : int, optional
        Factors at which the abscissa is computed (>= 2). Default 200.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib Axes
    """
    if isinstance(points, (bool, np.bool_)) or not isinstance(points, (int, np.integer)) or points < 2:
        raise ValueError(f"points must be an integer >= 2, got {points!r}")
    if result is None:
        result = _stability_intervals(sys, which, up_to=up_to)
    ax = _axes(ax)
    factors = np.linspace(0.0, result.up_to, points)
    abscissae = [spectral_abscissa(system_at(sys, which, float(s))).abscissa for s in factors]
    for start, end in result.stable:
        ax.axvspan(start, min(end, result.up_to), color="tab:green", alpha=0.12, lw=0)
    ax.axhline(0.0, color="0.6", lw=0.8)
    ax.plot(factors, abscissae, color="tab:blue", lw=1.5, label="spectral abscissa")
    for direction, marker, label in ((1, "^", "crossing to the right"), (-1, "v", "crossing to the left")):
        chosen = [c.factor for c in result.crossings if c.direction == direction]
        if chosen:
            ax.plot(chosen, np.zeros(len(chosen)), marker, color="tab:red" if direction > 0
                    else "tab:green", ls="none", label=label)
    ax.set_xlabel("delay factor s")
    ax.set_ylabel("max Re λ")
    ax.set_xlim(0.0, result.up_to)
    ax.grid(alpha=0.3)
    ax.legend(loc="best")
    return ax


def singular_values(sys: Any, B: Any, C: Optional[ArrayLike] = None, D: Optional[ArrayLike] = None, *,
                    omega: Optional[ArrayLike] = None, hinf: Any = None, ax: Any = None) -> Any:
    """The singular values of the exact frequency response G(i omega) against omega (log-log): the
    sigma plot of a MIMO system, the Bode magnitude of a SISO one.

    Parameters
    ----------
    sys, B, C, D
        As for `vantor.frequency_response`.
    omega : array_like of float, optional
        Positive frequencies. Default: 2,000 points logarithmically spaced over 1e-2 .. 1e2.
    hinf : HinfNorm, optional
        The result of `vantor.hinf_norm` for the same system: its peak is marked.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib Axes
    """
    from .frequency import frequency_response

    w = np.logspace(-2.0, 2.0, 2000) if omega is None else np.asarray(omega, dtype=np.float64)
    if w.ndim != 1 or w.size == 0 or np.any(w <= 0.0):
        raise ValueError("omega must be a non-empty 1-D array of positive frequencies")
    G = np.moveaxis(frequency_response(sys, B, C, D, omega=w), -1, 0)
    sigma = np.linalg.svd(G, compute_uv=False)
    ax = _axes(ax)
    for j in range(sigma.shape[1]):
        ax.loglog(w, sigma[:, j], lw=1.5, label=f"σ{j + 1}" if sigma.shape[1] > 1 else "|G(iω)|")
    if hinf is not None and np.isfinite(hinf.frequency) and hinf.frequency > 0.0:
        ax.plot([hinf.frequency], [hinf.norm], "o", color="tab:red", label=f"‖G‖∞ = {hinf.norm:.6g}")
    elif hinf is not None:
        ax.axhline(hinf.norm, color="tab:red", lw=0.8, ls="--", label=f"‖G‖∞ = {hinf.norm:.6g}")
    ax.set_xlabel("ω")
    ax.set_ylabel("singular values of G(iω)")
    ax.grid(alpha=0.3, which="both")
    ax.legend(loc="best")
    return ax


def pseudospectra(sys: Any, levels: ArrayLike, box: Sequence[float], *, weights: Optional[ArrayLike] = None,
                  points: int = 200, ax: Any = None) -> Any:
    """Contours of the epsilon-pseudospectra on a box, with the roots on top.

    Draws ``sigma_min(Delta(lambda)) / (sum_k w_k abs(exp(-lambda h_k)))`` on a grid: its level eps is the
    boundary of the epsilon-pseudospectrum (see `vantor.pseudospectral_abscissa`).

    Parameters
    ----------
    sys : pyvantor.lagsys or vantor.DelaySystem (dense)
        The system.
    levels : array_like of float
        The values of eps (> 0).
    box : (x0, x1, y0, y1)
        The rectangle of the complex plane.
    weights : array_like of float, optional
        As for `vantor.pseudospectral_abscissa`.
    points : int, optional
        Grid points along each side (>= 10). Default 200.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib Axes
    """
    from ._system import char_matrices, check_system
    from .frequency import _check_weights
    from .region import roots_in_box

    data = check_system(sys)
    w = _check_weights(weights, data.matrices.shape[0])
    eps = np.sort(np.asarray(levels, dtype=np.float64).ravel())
    if eps.size == 0 or not np.all(np.isfinite(eps)) or np.any(eps <= 0.0):
        raise ValueError("levels must be finite values > 0")
    x0, x1, y0, y1 = (float(v) for v in box)
    if not (x0 < x1 and y0 < y1):
        raise ValueError(f"box must be (x0, x1, y0, y1) with x0 < x1 and y0 < y1, got {tuple(box)}")
    if isinstance(points, (bool, np.bool_)) or not isinstance(points, (int, np.integer)) or points < 10:
        raise ValueError(f"points must be an integer >= 10, got {points!r}")
    x, y = np.meshgrid(np.linspace(x0, x1, points), np.linspace(y0, y1, points))
    lam = (x + 1j * y).ravel()
    smallest = np.empty(lam.size)
    chunk = max(1, (1 << 20) // (data.n * data.n))
    for start in range(0, lam.size, chunk):
        part = slice(start, start + chunk)
        smallest[part] = np.linalg.svd(char_matrices(data, lam[part]), compute_uv=False)[:, -1]
    scale = np.exp(-np.outer(x.ravel(), data.delays)) @ w
    ax = _axes(ax)
    contours = ax.contour(x, y, (smallest / scale).reshape(x.shape), levels=eps, cmap="viridis")
    ax.clabel(contours, fmt="%.3g", fontsize=8)
    roots = roots_in_box(sys, (x0, x1, y0, y1)).roots
    ax.plot(roots.real, roots.imag, "k.", ms=6, label=f"{roots.size} roots")
    ax.axvline(0.0, color="0.6", lw=0.8)
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    ax.set_xlabel("Re λ")
    ax.set_ylabel("Im λ")
    ax.set_title("ε-pseudospectra")
    ax.legend(loc="best")
    return ax
