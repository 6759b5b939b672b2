"""Control design with delays
==========================

An exact delay margin, stability switches and an optimized gain.

1. The loop of the plant P(s) = 2 / ((s + 1)(s + 2)(s + 0.5)) under u(t) = -1.2 y(t - h): its
   delay margin (`vantor.delay_margin`), beside the classical frequency-response answer
   h = (pi + arg P(i w_c)) / w_c with abs(1.2 P(i w_c)) = 1.
2. x'' + 0.1 x' + 2 x = 0.2 x(t - h): stable, unstable, stable again, ... as h grows
   (`vantor.stability_intervals`), drawn with `vantor.plot.stability_intervals`.
3. A two-input two-output plant with an unstable mode: the static gain K of u(t) = -K y(t - 0.3)
   that minimizes the loop's spectral abscissa (`vantor.stabilize`).

Usage: python3 examples/delay_design.py [OUTPUT.png]
"""

import sys
import time

import control  # type: ignore[import-untyped]
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.optimize import brentq  # noqa: E402

import pyvantor  # noqa: E402
import vantor  # noqa: E402
import vantor.plot  # noqa: E402

NUM = [2.0]
DEN = np.polymul(np.polymul([1.0, 1.0], [1.0, 2.0]), [1.0, 0.5])


def frequency_response_margin(gain: float) -> float:
    def response(w: float) -> complex:
        return complex(np.polyval(NUM, 1j * w) / np.polyval(DEN, 1j * w))

    wc = brentq(lambda w: gain * abs(response(w)) - 1.0, 1e-9, 1e3)
    return float((np.pi + np.angle(response(wc)) % (-2 * np.pi)) / wc)


def main() -> None:
    output = sys.argv[1] if len(sys.argv) > 1 else "delay_design.png"

    plant = control.ss(control.tf(NUM, DEN))
    loop = vantor.feedback_system(plant, K=1.2, delay=1.0)
    start = time.perf_counter()
    margin = vantor.delay_margin(loop)
    elapsed = time.perf_counter() - start
    print(f"delay margin at K = 1.2: h = {margin.factor:.12f} (frequency {margin.frequency:.12f}, "
          f"{margin.method}, {elapsed * 1e3:.1f} ms)")
    print(f"frequency response:       h = {frequency_response_margin(1.2):.12f}")

    a, b, c = 0.1, 2.0, 0.2
    oscillator = pyvantor.lagsys([np.array([[0.0, 1.0], [-b, -a]]), np.array([[0.0, 0.0], [c, 0.0]])],
                                 [0.0, 1.0])
    start = time.perf_counter()
    switches = vantor.stability_intervals(oscillator, up_to=20.0)
    elapsed = time.perf_counter() - start
    print(f"x'' + {a} x' + {b} x = {c} x(t - h): {len(switches.crossings)} crossings for h <= 20 "
          f"({elapsed * 1e3:.0f} ms), stable for h in")
    for low, high in switches.stable:
        print(f"  [{low:.6f}, {high:.6f})")

    A = np.array([[0.4, 1.0, 0.0], [-1.0, 0.1, 0.5], [0.0, 0.3, -1.5]])
    B = np.array([[1.0, 0.0], [0.0, 1.0], [0.5, 0.0]])
    C = np.array([[1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])
    start = time.perf_counter()
    design = vantor.stabilize((A, B, C), delay=0.3, starts=2)
    elapsed = time.perf_counter() - start
    with np.printoptions(precision=6, suppress=True):
        print(f"open-loop abscissa {np.linalg.eigvals(A).real.max():.6f}; optimized gain K =\n{design.K}")
    print(f"spectral abscissa of the loop {design.fun:.9f} (certified: {design.certified}), "
          f"{design.nfev} evaluations in {elapsed:.1f} s")

    fig, ax = plt.subplots(figsize=(8, 5))
    vantor.plot.stability_intervals(oscillator, up_to=20.0, result=switches, points=300, ax=ax)
    ax.set_title("x'' + 0.1 x' + 2 x = 0.2 x(t - h): stability switches (green: stable)")
    fig.savefig(output, dpi=110, bbox_inches="tight")
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
