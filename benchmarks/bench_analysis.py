"""Cost of vantor's certified analyses against one pyvantor.roots call, on the benchmark suite.

Columns: `roots(r)` one roots call at the suite's bound r; `certify` vantor.certify at the same r
and its ratio to that call; `count` vantor.count_roots alone; `sp.absc.` vantor.spectral_abscissa
(which chooses its own bound) and its ratio to one roots call at the well-chosen bound
alpha - 0.5 max(1, |alpha|) just left of the rightmost root alpha (`roots(a)`); `complete` whether
the certificate found the list complete. Times are medians in seconds.

Run from the repository root (the tables of the documentation: add --output FILE):
    python3 benchmarks/bench_analysis.py [--runs 5] [--max-order 20]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402
from bench_roots import ROOT, build_stage_benchmark, median_time, read_system, run_stages  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--max-order", type=int, default=20)
    args = parser.parse_args()

    data_dir, rows = run_stages(build_stage_benchmark(ROOT / "build" / "bench", False), 1)
    columns = [("system", 8), ("n", 3), ("m", 2), ("count", 5), ("complete", 8), ("roots(r)", 9),
               ("certify", 8), ("ratio", 6), ("count()", 8), ("roots(a)", 9), ("sp.absc.", 9),
               ("ratio", 6)]
    print("times in seconds, medians of", args.runs, "runs")
    print(" ".join(f"{name:>{w}}" for name, w in columns))
    totals = [0.0, 0.0, 0.0, 0.0]
    for i, row in enumerate(rows):
        if int(row["n"]) > args.max_order:
            continue
        system = read_system(data_dir / f"system_{i}.bin")
        r = float(row["r"])
        cert = vantor.certify(system, r)
        alpha = vantor.spectral_abscissa(system).abscissa
        r_user = alpha - 0.5 * max(1.0, abs(alpha))
        t_roots = median_time(lambda: pyvantor.roots(system, r), args.runs)
        t_cert = median_time(lambda: vantor.certify(system, r), args.runs)
        t_count = median_time(lambda: vantor.count_roots(system, r), args.runs)
        t_roots_a = median_time(lambda: pyvantor.roots(system, r_user), args.runs)
        t_sa = median_time(lambda: vantor.spectral_abscissa(system), args.runs)
        for k, t in enumerate((t_roots, t_cert, t_roots_a, t_sa)):
            totals[k] += t
        values = [row["name"], row["n"], row["m"], cert.count, str(cert.complete),
                  f"{t_roots:.4f}", f"{t_cert:.4f}", f"{t_cert / t_roots:.2f}", f"{t_count:.4f}",
                  f"{t_roots_a:.4f}", f"{t_sa:.4f}", f"{t_sa / t_roots_a:.2f}"]
        print(" ".join(f"{v:>{w}}" for v, (_, w) in zip(values, columns)))
    print(f"total: certify / roots(r) = {totals[1] / totals[0]:.2f}, "
          f"spectral_abscissa / roots(a) = {totals[3] / totals[2]:.2f}")


if __name__ == "__main__":
    report.run(main)
