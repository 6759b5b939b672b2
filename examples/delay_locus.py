"""Root locus of a delayed loop as its delay grows
===============================================

Root locus of a delayed feedback loop as its delay grows.

    plant P(s) = 2 / ((s + 1)(s + 2)(s + 0.5)),  u(t) = -1.2 y(t - h),  h from 0.02 to 2.5

The distinct closed-loop roots right of Re = -3 at each delay (vantor.locus on a process pool),
coloured by the delay: the rightmost pair crosses into the right half-plane at the delay margin
h = 1.5497, and new chains of roots come in from the left as h grows.

Usage: python3 examples/delay_locus.py [OUTPUT.png] [DELAYS]
"""

import sys
from concurrent.futures import ProcessPoolExecutor

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import pyvantor  # noqa: E402
import vantor  # noqa: E402
import vantor.plot  # noqa: E402

# The plant in controllable canonical form: x1' = x2, x2' = x3, x3' = -x1 - 3.5 x2 - 3.5 x3 + u,
# y = 2 x1, i.e. P(s) = 2 / (s^3 + 3.5 s^2 + 3.5 s + 1).
A = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0], [-1.0, -3.5, -3.5]])
B = np.array([[0.0], [0.0], [1.0]])
C = np.array([[2.0, 0.0, 0.0]])
GAIN = 1.2
BOUND = -3.0


def build(delay: float) -> pyvantor.lagsys:
    return vantor.feedback_system(A, B, C, GAIN, delay)


def main(output: str, count: int) -> None:
    delays = np.linspace(0.02, 2.5, count)
    with ProcessPoolExecutor() as pool:
        result = vantor.locus(build, delays, BOUND, name="delay", executor=pool)
    fig, ax = plt.subplots(figsize=(7, 6))
    vantor.plot.locus(result, ax=ax)
    ax.set_title(f"closed-loop roots right of {BOUND:g} as the delay grows (K = {GAIN})")
    fig.savefig(output, dpi=120, bbox_inches="tight")
    abscissa = np.array([roots.real.max() for roots in result.values])
    crossing = delays[np.argmax(abscissa > 0)] if np.any(abscissa > 0) else np.nan
    sizes = [roots.size for roots in result.values]
    print(f"{count} delays: {min(sizes)} to {max(sizes)} roots right of {BOUND:g}; first unstable "
          f"delay on the grid {crossing:.4f}; saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "delay_locus.png",
         int(sys.argv[2]) if len(sys.argv) > 2 else 200)
