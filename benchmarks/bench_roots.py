"""Benchmark of pyvantor.roots on the seeded suite, with the C++ stage split and LAPACK's dense
generalized eigensolver (scipy.linalg.eigvals) on the same pencil as the floor of the QZ stage.

Run from the repository root (see the README):  python3 benchmarks/bench_roots.py [RUNS]
"""

import csv
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy.linalg

import pyvantor

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


def build_stage_benchmark():
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
         "-DPYVANTOR_BUILD_BENCHMARKS=ON", "-DPYVANTOR_BUILD_TESTS=OFF"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j2", "--target", "bench_stages"],
                   check=True, stdout=subprocess.DEVNULL)
    return BUILD / "benchmarks" / "bench_stages"


def read_system(path):
    raw = path.read_bytes()
    m, n = np.frombuffer(raw, dtype=np.int64, count=2)
    data = np.frombuffer(raw, dtype=np.float64, offset=16)
    delays = data[:m].tolist()
    mats = [data[m + k * n * n: m + (k + 1) * n * n].reshape((n, n), order="F").copy() for k in range(m)]
    return pyvantor.lagsys(mats, delays)


def read_pencil(path):
    raw = path.read_bytes()
    (M,) = np.frombuffer(raw, dtype=np.int64, count=1)
    data = np.frombuffer(raw, dtype=np.float64, offset=8)
    return (data[: M * M].reshape((M, M), order="F").copy(),
            data[M * M:].reshape((M, M), order="F").copy())


def median_time(f, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    exe = build_stage_benchmark()
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([str(exe), tmp, str(runs)], check=True)
        rows = list(csv.DictReader(open(Path(tmp) / "stages.csv")))
        header = (f"{'system':8} {'n':>3} {'m':>2} {'N':>4} {'M':>5} {'roots':>5} {'roots() s':>10} "
                  f"{'degree':>8} {'discr':>8} {'QZ':>8} {'refine':>8} {'LAPACK':>8} {'QZ/LAPACK':>9} "
                  f"{'roots/LAPACK':>12}")
        print(header)
        print("-" * len(header))
        for i, row in enumerate(rows):
            system = read_system(Path(tmp) / f"system_{i}.bin")
            r = float(row["r"])
            t_roots = median_time(lambda: pyvantor.roots(system, r), runs)
            Sigma, Pi = read_pencil(Path(tmp) / f"pencil_{i}.bin")
            t_lapack = median_time(lambda: scipy.linalg.eigvals(Sigma, Pi), runs)
            qz = float(row["qz_s"])
            print(f"{row['name']:8} {row['n']:>3} {row['m']:>2} {row['N']:>4} {row['M']:>5} "
                  f"{len(pyvantor.roots(system, r)):>5} {t_roots:>10.4f} {float(row['degree_s']):>8.4f} "
                  f"{float(row['discretization_s']):>8.4f} {qz:>8.4f} {float(row['refine_s']):>8.4f} "
                  f"{t_lapack:>8.4f} {qz / t_lapack:>9.2f} {t_roots / t_lapack:>12.2f}")


if __name__ == "__main__":
    main()
