"""Cost of vantor.all_roots as the number of roots grows: a 3 x 3 system with one long delay,
the bound r lowered step by step. Prints the count, the time, and the time per N log N relative
to the first row (flat when the cost grows as N log N).

Run from the repository root:
    python3 benchmarks/bench_growth.py [--largest 4000]
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


def system():
    A0 = np.array([[-1.0, 0.5, 0.0], [0.2, -2.0, 0.3], [0.0, 0.4, -1.5]])
    A1 = np.array([[-0.6, 0.1, 0.0], [0.0, -0.5, 0.2], [0.1, 0.0, -0.7]])
    return pyvantor.lagsys([A0, A1], [0.0, 48.9])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--largest", type=int, default=6000)
    args = parser.parse_args()
    sys = system()
    print(f"{'r':>8} {'roots':>6} {'seconds':>8} {'per N log N':>12}")
    first = None
    for r in (-0.03, -0.04, -0.05, -0.06, -0.07, -0.08, -0.09, -0.10, -0.11, -0.12):
        start = time.perf_counter()
        res = vantor.all_roots(sys, r, max_count=100_000)
        seconds = time.perf_counter() - start
        count = int(np.sum(res.multiplicity))
        unit = seconds / (count * math.log(count))
        first = first or unit
        print(f"{r:>8.3f} {count:>6d} {seconds:>8.2f} {unit / first:>12.2f}")
        if count >= args.largest:
            break


if __name__ == "__main__":
    report.run(main)
