"""Stability chart of x'(t) = a x(t) + b x(t - 1)
==============================================

Stability chart of x'(t) = a x(t) + b x(t - 1): the spectral abscissa (the real part of the
rightmost characteristic root) over a grid of (a, b), with the exact boundary of the stability
region drawn over it.

The boundary: the line b = -a for a <= 1 (a real root crossing 0) and the curve
a = w cot w, b = -w / sin w for w in (0, pi) (a conjugate pair crossing the imaginary axis).
The grid is computed by vantor.sweep on a process pool, one worker per core.

Usage: python3 examples/stability_chart.py [OUTPUT.png] [POINTS_PER_AXIS]
"""

import sys
from concurrent.futures import ProcessPoolExecutor
from typing import Optional

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import pyvantor  # noqa: E402
import vantor  # noqa: E402
import vantor.plot  # noqa: E402

A_RANGE = (-3.0, 2.0)
B_RANGE = (-3.0, 3.0)
# Spectral abscissas below this are shown as this value.
FLOOR = -2.0


def build(a: float, b: float) -> pyvantor.lagsys:
    """x' = a x + b x(t - 1)."""
    return pyvantor.lagsys([np.full((1, 1), a), np.full((1, 1), b)], [0.0, 1.0])


def boundary(points: int = 400) -> tuple[np.ndarray, np.ndarray]:
    """The exact boundary of the stability region, as one polyline (a, b)."""
    w = np.linspace(1e-6, np.pi - 1e-3, points)
    curve_a, curve_b = w / np.tan(w), -w / np.sin(w)
    line_a = np.linspace(1.0, A_RANGE[0], points)
    return np.concatenate([curve_a[::-1], line_a]), np.concatenate([curve_b[::-1], -line_a])


def chart(points: int, progress: Optional[bool] = None) -> vantor.SweepResult:
    axes = {"a": np.linspace(*A_RANGE, points), "b": np.linspace(*B_RANGE, points)}
    with ProcessPoolExecutor() as pool:
        return vantor.sweep(build, axes, executor=pool, progress=progress)


def main(output: str, points: int) -> None:
    result = chart(points)
    fig, ax = plt.subplots(figsize=(7, 6))
    vantor.plot.chart(result, ax=ax, overlay=[(*boundary(), "exact boundary")], floor=FLOOR)
    ax.set_title("spectral abscissa of λ = a + b·exp(−λ)")
    fig.savefig(output, dpi=120, bbox_inches="tight")
    stable = np.count_nonzero(result.values < 0)
    print(f"{points}x{points} grid: {stable} stable points of {result.values.size}, "
          f"{len(result.failures)} failed; saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "stability_chart.png",
         int(sys.argv[2]) if len(sys.argv) > 2 else 81)
