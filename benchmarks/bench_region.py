"""Cost and completeness of vantor.all_roots: against certify on the benchmark suite (where the
discretization finds every root), past the discretization's reach, on clusters and on a strongly
non-normal system.

Run from the repository root (the tables of the documentation: add --output FILE):
    python3 benchmarks/bench_region.py [--runs 3] [--max-order 20]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from scipy.special import lambertw  # noqa: E402
from scipy.stats import ortho_group  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402
from bench_roots import ROOT, build_stage_benchmark, median_time, read_system, run_stages  # noqa: E402


def lambert(a, b, h, r, branches=400):
    z = np.array([a + lambertw(b * h * np.exp(-a * h), k) / h for k in range(-branches, branches + 1)])
    return z[z.real >= r]


def scalar(a, b, h):
    return pyvantor.lagsys([np.full((1, 1), a), np.full((1, 1), b)], [0.0, h])


def suite_table(runs, max_order):
    data_dir, rows = run_stages(build_stage_benchmark(ROOT / "build" / "bench", False), 1)
    print("benchmark suite: all_roots against certify at the suite's bound (medians of", runs, "runs)")
    print(f"{'system':>8} {'n':>3} {'m':>2} {'count':>5} {'certify':>8} {'all_roots':>9} {'ratio':>6}")
    totals = [0.0, 0.0]
    for i, row in enumerate(rows):
        if int(row["n"]) > max_order:
            continue
        system = read_system(data_dir / f"system_{i}.bin")
        r = float(row["r"])
        res = vantor.all_roots(system, r)
        t_cert = median_time(lambda: vantor.certify(system, r), runs)
        t_all = median_time(lambda: vantor.all_roots(system, r), runs)
        totals[0] += t_cert
        totals[1] += t_all
        print(f"{row['name']:>8} {row['n']:>3} {row['m']:>2} {res.count:>5} {t_cert:8.4f} {t_all:9.4f} "
              f"{t_all / t_cert:6.2f}")
    print(f"total: all_roots / certify = {totals[1] / totals[0]:.2f}")


def targets():
    print()
    print(f"{'case':>34} {'count':>5} {'found':>5} {'roots()':>7} {'max err':>8} {'seconds':>8}")
    cases = [("x' = -0.5x - 4x(t-3), r = -1", -0.5, -4.0, 3.0, -1.0),
             ("x' = -60x(t-2), r = -0.5", 0.0, -60.0, 2.0, -0.5)]
    for name, a, b, h, r in cases:
        sys = scalar(a, b, h)
        start = time.perf_counter()
        res = vantor.all_roots(sys, r)
        elapsed = time.perf_counter() - start
        exact = lambert(a, b, h, r)
        err = max(np.min(np.abs(res.roots - z)) / max(1.0, abs(z)) for z in exact)
        print(f"{name:>34} {res.count:>5} {int(res.multiplicity.sum()):>5} "
              f"{len(pyvantor.roots(sys, r)):>7} {err:8.1e} {elapsed:8.3f}")
    # A 5x5 system similar to five scalar equations with a long delay: 200 roots or more.
    rng = np.random.default_rng(3)
    a = rng.uniform(-1.0, 0.0, 5)
    b = rng.uniform(-6.0, -3.0, 5)
    P = rng.standard_normal((5, 5)) + 3.0 * np.eye(5)
    sys = pyvantor.lagsys([P @ np.diag(a) @ np.linalg.inv(P), P @ np.diag(b) @ np.linalg.inv(P)],
                          [0.0, 3.0])
    r = -1.0
    start = time.perf_counter()
    res = vantor.all_roots(sys, r)
    elapsed = time.perf_counter() - start
    exact = np.concatenate([lambert(ai, bi, 3.0, r) for ai, bi in zip(a, b)])
    err = max(np.min(np.abs(res.roots - z)) / max(1.0, abs(z)) for z in exact)
    print(f"{'5x5 similar to 5 scalar, r = -1':>34} {res.count:>5} {int(res.multiplicity.sum()):>5} "
          f"{len(pyvantor.roots(sys, r)):>7} {err:8.1e} {elapsed:8.3f}")
    sys = pyvantor.lagsys([np.diag([-1.0, -2.0]), np.array([[0.0, 1.0], [0.0, 0.0]])], [0.0, 50.0])
    start = time.perf_counter()
    res = vantor.all_roots(sys, -2.5)
    elapsed = time.perf_counter() - start
    print(f"{'non-normal, delay 50, r = -2.5':>34} {res.count:>5} {int(res.multiplicity.sum()):>5} "
          f"{len(pyvantor.roots(sys, -2.5)):>7} {'exact' if list(res.roots) == [-1, -2] else 'WRONG':>8} "
          f"{elapsed:8.3f}")
    # The cluster family: Q [[a, 1, 0], [0, a, 0], [0, 0, a + d]] Q^T, b I at delay 1.
    Q = ortho_group.rvs(3, random_state=1)
    bad = missed_before = total = 0
    worst = 0.0
    start = time.perf_counter()
    for a in (-0.8, -0.3, 0.2):
        for b in (-2.0, -1.0, 1.5):
            for d in (1e-1, 3e-2, 1e-2, 3e-3, 1e-3):
                A0 = Q @ np.array([[a, 1.0, 0.0], [0.0, a, 0.0], [0.0, 0.0, a + d]]) @ Q.T
                sys = pyvantor.lagsys([A0, b * np.eye(3)], [0.0, 1.0])
                for r in (-1.0, -2.0, -3.0):
                    total += 1
                    res = vantor.all_roots(sys, r)
                    double, simple = lambert(a, b, 1.0, r), lambert(a + d, b, 1.0, r)
                    ok = res.multiplicity.sum() == 2 * double.size + simple.size == res.count
                    for z in simple:
                        worst = max(worst, np.min(np.abs(res.roots - z)) / max(1.0, abs(z)))
                    found = np.array(pyvantor.roots(sys, r))
                    missed_before += any(np.min(np.abs(found - z)) > 1e-6 * max(1.0, abs(z))
                                         for z in simple)
                    bad += not ok
    print(f"cluster family: {total} cases, {bad} incomplete, largest error of a simple root "
          f"{worst:.1e}, pyvantor.roots misses a simple root in {missed_before}; "
          f"{time.perf_counter() - start:.2f} s in all")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--max-order", type=int, default=20)
    args = parser.parse_args()
    suite_table(args.runs, args.max_order)
    targets()


if __name__ == "__main__":
    report.run(main)
