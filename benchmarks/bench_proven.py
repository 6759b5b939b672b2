"""The proven answers against one unproven pyvantor.roots call, on the benchmark suite's systems
of order n >= 10 with roots right of their bound: vantor.all_roots(sys, r) and the certified
vantor.rightmost_roots(sys, 6), each as a ratio to pyvantor.roots(sys, r) (medians, one run);
then stabilize of a delayed double integrator (a 1 x 2 output-feedback gain) and of two coupled
ones (a 2 x 2 gain, full and diagonal).

Run from the repository root:
    python3 benchmarks/bench_proven.py [--runs 3]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402
from bench_roots import ROOT, build_stage_benchmark, median_time, read_system, run_stages  # noqa: E402


def suite_ratios(runs):
    data_dir, rows = run_stages(build_stage_benchmark(ROOT / "build" / "bench", False), 1)
    print(f"suite systems with n >= 10: seconds (medians of {runs} runs) and ratios to roots(r)")
    print(f"{'system':>8} {'roots(r)':>9} {'all_roots':>9} {'ratio':>6} {'rr(6)':>8} {'ratio':>6}")
    totals = np.zeros(3)
    for i, row in enumerate(rows):
        if int(row["n"]) < 10 or int(row["roots"]) == 0:
            continue
        system, r = read_system(data_dir / f"system_{i}.bin"), float(row["r"])
        times = np.array([median_time(lambda: pyvantor.roots(system, r), runs),
                          median_time(lambda: vantor.all_roots(system, r), runs),
                          median_time(lambda: vantor.rightmost_roots(system, 6), runs)])
        totals += times
        print(f"{row['name']:>8} {times[0]:9.4f} {times[1]:9.4f} {times[1] / times[0]:6.2f} "
              f"{times[2]:8.4f} {times[2] / times[0]:6.2f}")
    print(f"{'sum':>8} {totals[0]:9.4f} {totals[1]:9.4f} {totals[1] / totals[0]:6.2f} "
          f"{totals[2]:8.4f} {totals[2] / totals[0]:6.2f}")


def double_integrator():
    A = np.array([[0.0, 1.0], [0.0, 0.0]])
    start = time.perf_counter()
    res = vantor.stabilize((A, np.array([[0.0], [1.0]]), np.eye(2)), delay=0.5, K0=np.array([[0.5, 0.5]]))
    print(f"stabilize x'' = u(t - 0.5), u = -K x, K0 = [0.5, 0.5]: K = {np.round(res.x, 6)}, "
          f"abscissa {res.fun:.6f}, {res.nfev} evaluations, {time.perf_counter() - start:.1f} s")


def two_by_two():
    """Two coupled double integrators, both states measured, both accelerations actuated: a
    2 x 2 gain on the delayed outputs y1 = x1 + x2, y2 = x3 + x4 (full, then diagonal)."""
    A = np.zeros((4, 4))
    A[0, 1] = A[2, 3] = 1.0
    A[1, 2] = A[3, 0] = 0.2
    B = np.zeros((4, 2))
    B[1, 0] = B[3, 1] = 1.0
    C = np.array([[1.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 1.0]])
    for structure in ("full", "diagonal"):
        start = time.perf_counter()
        res = vantor.stabilize((A, B, C), delay=0.3, structure=structure, K0=0.5 * np.eye(2))
        print(f"stabilize two coupled double integrators, {structure} 2 x 2 gain, delay 0.3: "
              f"abscissa {res.fun:.6f}, stable {res.stable}, {res.nfev} evaluations, "
              f"{time.perf_counter() - start:.1f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    suite_ratios(args.runs)
    double_integrator()
    two_by_two()


if __name__ == "__main__":
    report.run(main)
