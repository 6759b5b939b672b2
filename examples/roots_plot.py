"""The spectrum of a system with two delays
========================================

The spectrum of a 2x2 system with two delays: every characteristic root right of a bound,
drawn in the complex plane and saved as a PNG.

    x'(t) = A0 x(t) + A1 x(t - 1) + A2 x(t - 2.5)

Usage: python3 examples/roots_plot.py [OUTPUT.png]
"""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import pyvantor  # noqa: E402

A0 = np.array([[-1.0, 0.5], [0.3, -1.5]])
A1 = np.array([[-0.4, 0.8], [-0.6, 0.2]])
A2 = np.array([[0.1, -0.3], [0.5, -0.4]])
DELAYS = [0.0, 1.0, 2.5]
BOUND = -1.5


def spectrum() -> np.ndarray:
    """The distinct characteristic roots with real part >= BOUND."""
    system = pyvantor.lagsys([A0, A1, A2], DELAYS)
    found = np.array(pyvantor.roots(system, BOUND), dtype=complex)
    # The list may hold a root twice (two candidates converging to it): keep one of each.
    return np.unique(np.round(found, 10))


def main(output: str) -> None:
    roots = spectrum()
    fig, ax = plt.subplots(figsize=(6, 6))
    ax.axvline(0.0, color="0.6", lw=0.8)
    ax.axvline(BOUND, color="tab:red", lw=0.8, ls="--", label=f"bound Re λ = {BOUND}")
    ax.plot(roots.real, roots.imag, "o", color="tab:blue", label=f"{len(roots)} characteristic roots")
    ax.set_xlabel("Re λ")
    ax.set_ylabel("Im λ")
    ax.set_title("x' = A0 x(t) + A1 x(t−1) + A2 x(t−2.5)")
    ax.legend(loc="upper right")
    ax.grid(alpha=0.3)
    fig.savefig(output, dpi=120, bbox_inches="tight")
    rightmost = roots.real.max()
    print(f"{len(roots)} roots right of {BOUND}; rightmost real part {rightmost:+.6f}; saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "roots_plot.png")
