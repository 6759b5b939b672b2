"""Stability chart of a delayed feedback loop on a Dask cluster
============================================================

Stability chart of a delayed feedback loop over gain x delay, computed on a Dask cluster.

    plant P(s) = 2 / ((s + 1)(s + 2)(s + 0.5)),  u(t) = -K y(t - h)

The spectral abscissa of the closed loop at every (K, h), computed by vantor.sweep on Dask: a local
cluster of two worker processes by default, or a running cluster with --scheduler ADDRESS. Drawn
over it, the exact delay margin: for K > 1/2, abs(K P(iw)) = 1 at one frequency w_c, and the loop
loses stability at h = (pi + arg P(i w_c)) / w_c (for K <= 1/2 it is stable at every delay).

Usage: python3 examples/feedback_chart.py [OUTPUT.png] [POINTS_PER_AXIS] [--scheduler ADDRESS]
"""

import argparse

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
GAINS = (0.05, 3.0)
DELAYS = (0.0, 3.0)


class Loop:
    """The closed loop at (gain, delay): a picklable callable, sent to the workers with its
    matrices (python-control is needed only here, not on the workers)."""

    def __init__(self) -> None:
        plant = control.ss(control.tf(NUM, DEN))
        self.A, self.B, self.C = (np.asarray(m, dtype=float) for m in (plant.A, plant.B, plant.C))

    def __call__(self, gain: float, delay: float) -> pyvantor.lagsys:
        return vantor.feedback_system(self.A, self.B, self.C, gain, delay)


def plant_response(w: np.ndarray) -> np.ndarray:
    s = 1j * w
    return np.polyval(NUM, s) / np.polyval(DEN, s)


def delay_margin(gain: float) -> float:
    """The smallest delay at which the loop with this gain is unstable (inf when none is)."""
    if gain * abs(plant_response(np.array(0.0))) <= 1.0:
        return np.inf
    def excess(w: float) -> float:
        return float(gain * abs(plant_response(np.array(w)))) - 1.0

    wc = brentq(excess, 1e-9, 1e3)
    phase = np.angle(plant_response(np.array(wc))) % (-2 * np.pi)
    return float((np.pi + phase) / wc)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("output", nargs="?", default="feedback_chart.png")
    parser.add_argument("points", nargs="?", type=int, default=61)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786)")
    args = parser.parse_args()

    import dask
    from distributed import Client, LocalCluster

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        with dask.config.set(vantor.dask_worker_config()):
            cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                   dashboard_address=None)
        client = Client(cluster)
    try:
        axes = {"gain": np.linspace(*GAINS, args.points), "delay": np.linspace(*DELAYS, args.points)}
        result = vantor.sweep(Loop(), axes, executor=client)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    gains = np.linspace(0.501, GAINS[1], 300)
    margin = np.array([delay_margin(k) for k in gains])
    fig, ax = plt.subplots(figsize=(7, 6))
    vantor.plot.chart(result, ax=ax, overlay=[(gains, margin, "exact delay margin")], floor=-1.0)
    ax.set_title("spectral abscissa of P(s) = 2/((s+1)(s+2)(s+0.5)) under u = −K·y(t−h)")
    fig.savefig(args.output, dpi=120, bbox_inches="tight")
    stable = np.count_nonzero(result.values < 0)
    print(f"{args.points}x{args.points} grid on {'Dask at ' + args.scheduler if args.scheduler else 'a local Dask cluster'}: "
          f"{stable} stable points of {result.values.size}, {len(result.failures)} failed; "
          f"delay margin at K = 1.2: {delay_margin(1.2):.4f}; saved {args.output}")


if __name__ == "__main__":
    main()
