"""Pictures of spectra, stability charts, root loci and stability switches (needs matplotlib, the ``[examples]`` extra)."""

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
