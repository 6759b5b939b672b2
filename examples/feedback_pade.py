"""Exact roots of a delayed loop against Padé approximations
=========================================================

A plant under delayed proportional feedback: the exact closed-loop roots against the poles that
Padé approximations of the delay give, saved as a PNG.

    plant P(s) = 2 / ((s + 1)(s + 2)(s + 0.5)),  u(t) = -K y(t - h),  K = 1.2, h = 0.8

The exact roots come from vantor.feedback_system (the retarded loop x' = A x - B K C x(t - h));
python-control's closed loops use Padé approximations of e^{-sh} of orders 1, 3 and 5. Printed:
the distance of each Padé loop's nearest pole to each of the exact rightmost roots.

Usage: python3 examples/feedback_pade.py [OUTPUT.png]
"""

import sys

import control  # type: ignore[import-untyped]
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import vantor  # noqa: E402

PLANT = control.tf([2.0], np.polymul(np.polymul([1.0, 1.0], [1.0, 2.0]), [1.0, 0.5]))
GAIN, DELAY = 1.2, 0.8
BOUND = -12.0
ORDERS = (1, 3, 5)


def exact_roots() -> np.ndarray:
    """The distinct closed-loop roots right of BOUND (upper half-plane and real ones)."""
    loop = vantor.feedback_system(control.ss(PLANT), K=GAIN, delay=DELAY)
    roots = vantor.distinct_roots(loop, BOUND).roots
    return roots[roots.imag >= 0]


def pade_poles(order: int) -> np.ndarray:
    num, den = control.pade(DELAY, order)
    loop = control.feedback(GAIN * PLANT * control.tf(num, den), 1)
    poles = np.asarray(loop.poles(), dtype=complex)
    return poles[poles.imag >= -1e-12]


def main(output: str) -> None:
    exact = exact_roots()
    stable = vantor.is_stable(vantor.feedback_system(control.ss(PLANT), K=GAIN, delay=DELAY))
    fig, ax = plt.subplots(figsize=(7, 6))
    ax.axvline(0.0, color="0.6", lw=0.8)
    ax.plot(exact.real, exact.imag, "o", ms=9, mfc="none", mec="k", mew=1.5,
            label="exact roots (vantor)")
    markers = {1: "s", 3: "^", 5: "x"}
    shown = exact[:3]
    print(f"closed loop K = {GAIN}, h = {DELAY}: {'stable' if stable else 'unstable'}; "
          f"exact rightmost roots " + ", ".join(f"{z:.6f}" for z in shown))
    for order in ORDERS:
        poles = pade_poles(order)
        ax.plot(poles.real, poles.imag, markers[order], ms=7, label=f"Padé order {order}")
        errors = [float(np.abs(poles - z).min()) for z in shown]
        print(f"Padé order {order}: errors " + ", ".join(f"{e:.2e}" for e in errors))
    ax.set_xlim(BOUND, 0.5)
    ax.set_ylim(-0.5, max(12.0, float(exact.imag.max()) + 1.0))
    ax.set_xlabel("Re λ")
    ax.set_ylabel("Im λ")
    ax.set_title(f"P(s) = 2/((s+1)(s+2)(s+0.5)), u = −{GAIN}·y(t−{DELAY})")
    ax.legend(loc="lower left")
    ax.grid(alpha=0.3)
    fig.savefig(output, dpi=120, bbox_inches="tight")
    print(f"saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "feedback_pade.png")
