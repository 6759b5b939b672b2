"""Stability chart of x'(t) = a x(t) + b x(t - 1): the real part of the rightmost characteristic
root over a grid of (a, b), with the exact boundary of the stability region drawn over it.

The boundary: the line b = -a for a <= 1 (a real root crossing 0) and the curve
a = w cot w, b = -w / sin w for w in (0, pi) (a conjugate pair crossing the imaginary axis).
Each roots call holds the interpreter lock, so the grid is computed with a process pool.

Usage: python3 examples/stability_chart.py [OUTPUT.png] [POINTS_PER_AXIS]
"""

import sys
from concurrent.futures import ProcessPoolExecutor

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import pyvantor  # noqa: E402

A_RANGE = (-3.0, 2.0)
B_RANGE = (-3.0, 3.0)
# Rightmost real parts below this are shown as this value.
FLOOR = -2.0


def rightmost_real_part(ab: tuple[float, float]) -> float:
    """Real part of the rightmost root of x' = a x + b x(t - 1), or FLOOR if none lies right of it."""
    a, b = ab
    system = pyvantor.lagsys([np.full((1, 1), a), np.full((1, 1), b)], [0.0, 1.0])
    found = pyvantor.roots(system, FLOOR)
    return max((z.real for z in found), default=FLOOR)


def boundary(points: int = 400) -> tuple[np.ndarray, np.ndarray]:
    """The exact boundary of the stability region, as one polyline (a, b)."""
    w = np.linspace(1e-6, np.pi - 1e-3, points)
    curve_a, curve_b = w / np.tan(w), -w / np.sin(w)
    line_a = np.linspace(1.0, A_RANGE[0], points)
    return np.concatenate([curve_a[::-1], line_a]), np.concatenate([curve_b[::-1], -line_a])


def chart(points: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    a = np.linspace(*A_RANGE, points)
    b = np.linspace(*B_RANGE, points)
    grid = [(float(x), float(y)) for y in b for x in a]
    with ProcessPoolExecutor() as pool:
        values = list(pool.map(rightmost_real_part, grid, chunksize=32))
    return a, b, np.array(values).reshape(points, points)


def main(output: str, points: int) -> None:
    a, b, rightmost = chart(points)
    fig, ax = plt.subplots(figsize=(7, 6))
    limit = np.abs(rightmost).max()
    image = ax.pcolormesh(a, b, rightmost, cmap="RdBu_r", vmin=-limit, vmax=limit, shading="auto")
    ax.contour(a, b, rightmost, levels=[0.0], colors="k", linewidths=0.8)
    ba, bb = boundary()
    ax.plot(ba, bb, color="gold", lw=2, ls="--", label="exact boundary")
    ax.set_xlim(*A_RANGE)
    ax.set_ylim(*B_RANGE)
    ax.set_xlabel("a")
    ax.set_ylabel("b")
    ax.set_title("Re of the rightmost root of λ = a + b·exp(−λ)")
    fig.colorbar(image, ax=ax, label="max Re λ")
    ax.legend(loc="lower left")
    fig.savefig(output, dpi=120, bbox_inches="tight")
    stable = np.count_nonzero(rightmost < 0)
    print(f"{points}x{points} grid: {stable} stable points of {rightmost.size}; saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "stability_chart.png",
         int(sys.argv[2]) if len(sys.argv) > 2 else 81)
