"""Benchmark of pyvantor.roots on a seeded suite of systems.

For each system it prints the median wall time of pyvantor.roots, the C++ stage split (degree
estimate, discretization, QZ, Newton refinement), the QZ with the solver's default arguments
(eigenvectors too, as before the eigenvalues-only change), and LAPACK's dense generalized
eigensolver (scipy.linalg.eigvals) on the same pencil as the floor of the QZ stage. With
--native it also builds the stage benchmark with PYVANTOR_NATIVE=ON and reports its times.

Run from the repository root (the tables of the documentation: add --output FILE):
    python3 benchmarks/bench_roots.py [--runs 5] [--native]
"""

import os

# The library is single-threaded: compare against single-threaded LAPACK.
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import csv
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def build_stage_benchmark(build_dir, native):
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         "-DPYVANTOR_BUILD_BENCHMARKS=ON", "-DPYVANTOR_BUILD_TESTS=OFF",
         f"-DPYVANTOR_NATIVE={'ON' if native else 'OFF'}"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", "bench_stages"],
                   check=True, stdout=subprocess.DEVNULL)
    return build_dir / "benchmarks" / "bench_stages"


def run_stages(exe, runs):
    tmp = tempfile.mkdtemp()
    subprocess.run([str(exe), tmp, str(runs)], check=True, stderr=subprocess.DEVNULL)
    return Path(tmp), list(csv.DictReader(open(Path(tmp) / "stages.csv")))


def read_system(path):
    raw = path.read_bytes()
    m, n = (int(v) for v in np.frombuffer(raw, dtype=np.int64, count=2))
    data = np.frombuffer(raw, dtype=np.float64, offset=16)
    delays = data[:m].tolist()
    mats = [data[m + k * n * n: m + (k + 1) * n * n].reshape((n, n), order="F").copy()
            for k in range(m)]
    return pyvantor.lagsys(mats, delays)


def read_pencil(path):
    raw = path.read_bytes()
    M = int(np.frombuffer(raw, dtype=np.int64, count=1)[0])
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
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--native", action="store_true")
    args = parser.parse_args()

    data_dir, rows = run_stages(build_stage_benchmark(ROOT / "build" / "bench", False), args.runs)
    native_rows = None
    if args.native:
        _, native_rows = run_stages(build_stage_benchmark(ROOT / "build" / "bench-native", True),
                                    args.runs)

    columns = [("system", 8), ("n", 3), ("m", 2), ("N", 4), ("M", 5), ("roots", 5),
               ("roots()", 8), ("degree", 8), ("discr", 7), ("QZ", 7), ("QZ+vec", 7),
               ("refine", 7), ("LAPACK", 7), ("QZ/LAP", 6), ("vec/LAP", 7), ("roots/LAP", 9),
               ("d+r %", 6)]
    if native_rows:
        columns += [("natQZ", 7), ("nat tot", 7)]
    print("times in seconds, medians of", args.runs, "runs")
    print(" ".join(f"{name:>{w}}" for name, w in columns))
    for i, row in enumerate(rows):
        system = read_system(data_dir / f"system_{i}.bin")
        r = float(row["r"])
        t_roots = median_time(lambda: pyvantor.roots(system, r), args.runs)
        Sigma, Pi = read_pencil(data_dir / f"pencil_{i}.bin")
        t_lapack = median_time(lambda: scipy.linalg.eigvals(Sigma, Pi), args.runs)
        qz, qz_vec = float(row["qz_s"]), float(row["qz_vectors_s"])
        disc, refine = float(row["discretization_s"]), float(row["refine_s"])
        total = float(row["total_s"])
        values = [row["name"], row["n"], row["m"], row["N"], row["M"],
                  len(pyvantor.roots(system, r)), f"{t_roots:.4f}", f"{float(row['degree_s']):.4f}",
                  f"{disc:.4f}", f"{qz:.4f}", f"{qz_vec:.4f}", f"{refine:.4f}", f"{t_lapack:.4f}",
                  f"{qz / t_lapack:.2f}", f"{qz_vec / t_lapack:.2f}", f"{t_roots / t_lapack:.1f}",
                  f"{100 * (disc + refine) / total:.1f}"]
        if native_rows:
            values += [f"{float(native_rows[i]['qz_s']):.4f}", f"{float(native_rows[i]['total_s']):.4f}"]
        print(" ".join(f"{v:>{w}}" for v, (_, w) in zip(values, columns)))


if __name__ == "__main__":
    report.run(main)
