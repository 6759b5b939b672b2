"""Delay margins, stability switches, abscissa and H-infinity minimization: accuracy against closed
forms and cost, beside the sampled answer a sweep gives (bisection on the certified stability
verdict).

Run from the repository root:
    python3 benchmarks/bench_design.py [--runs 3]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402
from bench_roots import median_time  # noqa: E402


def scaled(sys, s):
    return pyvantor.lagsys([sys.A(k) for k in range(sys.mA)], [s * h for h in np.asarray(sys.hA())])


def bisected_margin(sys, high, tol=1e-6):
    """The first delay factor at which is_stable fails, sampled on 50 points then bisected: what a
    sweep gives (it misses a first crossing between samples that is followed by a return)."""
    grid = np.linspace(0.0, high, 51)
    for lo, hi in zip(grid[:-1], grid[1:]):
        if not vantor.is_stable(scaled(sys, hi)):
            while hi - lo > tol:
                mid = 0.5 * (lo + hi)
                lo, hi = (mid, hi) if vantor.is_stable(scaled(sys, mid)) else (lo, mid)
            return 0.5 * (lo + hi)
    return math.inf


def cases():
    second = pyvantor.lagsys([np.array([[0.0, 1.0], [-2.0, -0.1]]), np.array([[0.0, 0.0], [0.2, 0.0]])],
                             [0.0, 1.0])
    yield "x' = -x - 2x(t-s)", pyvantor.lagsys([-np.eye(1), -2.0 * np.eye(1)], [0.0, 1.0]), \
        2 * math.pi / (3 * math.sqrt(3))
    yield "x'' + .1x' + 2x = .2x(t-s)", second, None
    rng = np.random.default_rng(7)
    for n in (5, 10, 20):
        Q = rng.normal(size=(n, n)) + 3 * np.eye(n)
        a = rng.uniform(-2.0, -0.5, n)
        b = -np.abs(a) - rng.uniform(0.2, 1.0, n)
        sys = pyvantor.lagsys([Q @ np.diag(a) @ np.linalg.inv(Q), Q @ np.diag(b) @ np.linalg.inv(Q)],
                              [0.0, 1.0])
        w = np.sqrt(b * b - a * a)
        exact = float(np.min(np.arctan2(-w / b, -a / b) % (2 * math.pi) / w))
        yield f"{n}x{n} similar to scalar", sys, exact


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"delay margins (medians of {args.runs} runs; 'sampled': 50 samples of is_stable then "
          f"bisection to 1e-6)")
    print(f"{'system':>28} {'margin':>18} {'error':>8} {'method':>14} {'seconds':>8} "
          f"{'sampled':>10} {'seconds':>8} {'ratio':>6}")
    for name, sys, exact in cases():
        res = vantor.delay_margin(sys)
        t = median_time(lambda: vantor.delay_margin(sys), args.runs)
        start = time.perf_counter()
        sampled = bisected_margin(sys, 3.0 * res.factor)
        t_sampled = time.perf_counter() - start
        error = f"{abs(res.factor - exact) / exact:8.1e}" if exact else "       -"
        print(f"{name:>28} {res.factor:18.15f} {error} {res.method:>14} {t:8.4f} {sampled:10.6f} "
              f"{t_sampled:8.3f} {t_sampled / t:6.0f}")

    second = pyvantor.lagsys([np.array([[0.0, 1.0], [-2.0, -0.1]]), np.array([[0.0, 0.0], [0.2, 0.0]])],
                             [0.0, 1.0])
    t = median_time(lambda: vantor.stability_intervals(second, up_to=20.0), args.runs)
    res = vantor.stability_intervals(second, up_to=20.0)
    print(f"stability switches of x'' + 0.1x' + 2x = 0.2x(t - s), s <= 20: {len(res.crossings)} "
          f"crossings, {len(res.stable)} stable intervals, {t:.3f} s")

    build = lambda k: pyvantor.lagsys([np.zeros((1, 1)), -k * np.ones((1, 1))], [0.0, 1.0])  # noqa: E731
    start = time.perf_counter()
    res = vantor.minimize_abscissa(build, 0.1, starts=1)
    print(f"minimize_abscissa of x' = -k x(t - 1) from k = 0.1: |k - 1/e| = {abs(res.x - 1 / math.e):.1e}, "
          f"|abscissa + 1| = {abs(res.fun + 1):.1e}, {int(res.multiplicity.sum())} roots at it (multiplicity), "
          f"{res.nfev} evaluations, {time.perf_counter() - start:.2f} s")
    start = time.perf_counter()
    res = vantor.minimize_abscissa(build, 0.1)
    print(f"the same with the default three starts: |k - 1/e| = {abs(res.x - 1 / math.e):.1e}, "
          f"{res.nfev} evaluations, {time.perf_counter() - start:.2f} s")
    start = time.perf_counter()
    res = vantor.stabilize(([[1.0]], [[1.0]], [[1.0]]), delay=0.2, K0=[[0.1]], starts=1)
    print(f"stabilize x' = x + u, u = -K y(t - 0.2): |K - e^-0.8/0.2| = "
          f"{abs(res.K[0, 0] - math.exp(-0.8) / 0.2):.1e}, |abscissa + 4| = {abs(res.fun + 4):.1e}, "
          f"{time.perf_counter() - start:.2f} s")
    hinf_design()


def hinf_design():
    """minimize_hinf of the double integrator under delayed state feedback, from K = 0 (unstable)."""
    A, B = np.array([[0.0, 1.0], [0.0, 0.0]]), np.array([[0.0], [1.0]])
    C = np.array([[1.0, 0.0]])

    def build(p):
        return vantor.feedback_system(A, B, np.eye(2), p.reshape(1, 2), 0.2), B, C

    for starts in (1, 3):
        start = time.perf_counter()
        res = vantor.minimize_hinf(build, [0.0, 0.0], starts=starts)
        print(f"minimize_hinf, double integrator, u = -K x(t - 0.2), {starts} start(s): K = "
              f"[{res.x[0]:.6f}, {res.x[1]:.6f}], norm {res.fun:.10f} (proven to "
              f"{res.upper / res.fun - 1:.1e}), peak at {res.frequency:.4g}, {res.nfev} norms, "
              f"{time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    report.run(main)
