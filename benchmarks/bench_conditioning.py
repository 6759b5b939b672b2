"""Delay margins of systems similar to decoupled scalar equations x' = a_j x + b_j x(t - s)
through a matrix Q of condition number kappa: the margin, against the closed form, must not
depend on kappa. Prints, for each kappa, the cases, the wrong answers (relative error above
1e-6 max(1, kappa / 1e4), or a finite margin reported infinite), the refusals, the largest
relative error and the time.

Run from the repository root:
    python3 benchmarks/bench_conditioning.py [--per-kappa 12]
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


def exact_margin(a, b):
    """The first delay at which x' = a x + b x(t - s) (a + b < 0) has a root on the axis."""
    if abs(b) <= abs(a):
        return math.inf
    w = math.sqrt(b * b - a * a)
    return (math.atan2(-w / b, -a / b) % (2.0 * math.pi)) / w


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--per-kappa", type=int, default=12)
    args = parser.parse_args()
    rng = np.random.default_rng(11)
    print(f"{'kappa':>7} {'cases':>5} {'wrong':>5} {'raised':>6} {'max rel err':>11} {'seconds':>8}")
    for kappa in (1.0, 1e2, 1e4, 1e5, 1e6):
        wrong = raised = 0
        worst = 0.0
        start = time.perf_counter()
        for _ in range(args.per_kappa):
            n = int(rng.integers(2, 5))
            b = -rng.uniform(0.2, 3.0, n)
            a = rng.uniform(-3.0, 1.0, n)
            a = np.where(a + b < -0.05, a, -np.abs(b) + 0.5 * rng.uniform(-1.0, 1.0, n))
            a = np.where(a + b < -0.05, a, -np.abs(b))
            U, _ = np.linalg.qr(rng.normal(size=(n, n)))
            V, _ = np.linalg.qr(rng.normal(size=(n, n)))
            Q = U @ np.diag(np.geomspace(1.0, kappa, n)) @ V
            Qi = np.linalg.inv(Q)
            sys = pyvantor.lagsys([Q @ np.diag(a) @ Qi, Q @ np.diag(b) @ Qi], [0.0, 1.0])
            exact = min(exact_margin(x, y) for x, y in zip(a, b))
            try:
                found = vantor.delay_margin(sys).factor
            except (RuntimeError, ValueError):
                raised += 1
                continue
            if math.isinf(exact) or math.isinf(found):
                wrong += math.isinf(exact) != math.isinf(found)
                continue
            error = abs(found - exact) / exact
            worst = max(worst, error)
            wrong += error > 1e-6 * max(1.0, kappa / 1e4)
        print(f"{kappa:>7.0e} {args.per_kappa:>5} {wrong:>5} {raised:>6} {worst:>11.1e} "
              f"{time.perf_counter() - start:>8.1f}")


if __name__ == "__main__":
    report.run(main)
