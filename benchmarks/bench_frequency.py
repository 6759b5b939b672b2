"""The H-infinity norm (vantor.hinf_norm, proven to rtol) on random stable systems of order 2-50
with 2 inputs, 2 outputs and 1-3 delays: time, evaluations of G(i omega), the proven gap
(upper - norm) / norm, and the largest value of a 20,001-point frequency grid for comparison;
then the complex stability radius (vantor.stability_radius) of the same systems, and their
pseudospectral abscissa (vantor.pseudospectral_abscissa) at eps = radius / 2 and 2 radius, whose
sign the radius predicts (negative, then positive).

Run from the repository root:
    python3 benchmarks/bench_frequency.py [--runs 3]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402

import numpy as np  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402
from bench_roots import median_time  # noqa: E402


def stable_system(n, delays, seed):
    rng = np.random.default_rng(seed)
    while True:
        A = [rng.normal(size=(n, n)) / np.sqrt(n) - 1.5 * np.eye(n)]
        A += [0.6 * rng.normal(size=(n, n)) / np.sqrt(n) for _ in delays]
        sys = pyvantor.lagsys(A, [0.0] + list(delays))
        if vantor.spectral_abscissa(sys).abscissa < -0.05:
            return sys, rng.normal(size=(n, 2)), rng.normal(size=(2, n))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"hinf_norm, rtol 1e-8 (seconds: medians of {args.runs} runs)")
    print(f"{'n':>3} {'delays':>6} {'norm':>12} {'frequency':>10} {'gap':>8} {'evals':>7} {'seconds':>8} "
          f"{'grid max':>12}")
    systems = [(n, delays, *stable_system(n, delays, seed=n))
               for n in (2, 5, 10, 20, 50) for delays in ((1.0,), (0.3, 1.1, 2.0))]
    for n, delays, sys, B, C in systems:
        res = vantor.hinf_norm(sys, B, C)
        t = median_time(lambda: vantor.hinf_norm(sys, B, C), args.runs)
        grid = np.linalg.norm(np.moveaxis(vantor.frequency_response(
            sys, B, C, omega=np.linspace(0.0, 20.0, 20_001)), -1, 0), ord=2, axis=(1, 2)).max()
        print(f"{n:>3} {len(delays):>6} {res.norm:12.8g} {res.frequency:10.5g} "
              f"{(res.upper - res.norm) / res.norm:8.1e} {res.evaluations:>7} {t:8.3f} {grid:12.8g}")
    print(f"\nstability_radius, unit weights, rtol 1e-8 (seconds: medians of {args.runs} runs)")
    print(f"{'n':>3} {'delays':>6} {'radius':>12} {'frequency':>10} {'gap':>8} {'evals':>7} {'seconds':>8}")
    for n, delays, sys, _, _ in systems:
        res = vantor.stability_radius(sys)
        t = median_time(lambda: vantor.stability_radius(sys), args.runs)
        print(f"{n:>3} {len(delays):>6} {res.radius:12.8g} {res.frequency:10.5g} "
              f"{(res.radius - res.lower) / res.radius:8.1e} {res.evaluations:>7} {t:8.3f}")
    print(f"\npseudospectral_abscissa at eps = radius / 2 and 2 radius (seconds: medians of {args.runs} runs)")
    print(f"{'n':>3} {'delays':>6} {'abscissa(r/2)':>14} {'seconds':>8} {'abscissa(2r)':>13} {'seconds':>8}")
    for n, delays, sys, _, _ in systems:
        radius = vantor.stability_radius(sys).radius
        row = []
        for eps in (0.5 * radius, 2.0 * radius):
            row.append(vantor.pseudospectral_abscissa(sys, eps).abscissa)
            row.append(median_time(lambda: vantor.pseudospectral_abscissa(sys, eps), args.runs))
        print(f"{n:>3} {len(delays):>6} {row[0]:14.6g} {row[1]:8.3f} {row[2]:13.6g} {row[3]:8.3f}")


if __name__ == "__main__":
    report.run(main)
