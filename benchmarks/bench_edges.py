"""Large systems at the edges: a delay far longer than the rates' time scale, and the semisimple
double roots of a square grid. Each row is one vantor.rightmost_roots call: its outcome (roots
certified, or the error's type and text) and its time.

- 50 modes (the tridiagonal Laplacian minus I) with -0.5 I at delay tau, the 3 rightmost roots:
  every mode's roots lie about 2 pi / tau apart near Re = -log(2 |mu_j|) / tau;
- the 2-D Laplacian on an m x m grid (modes (i, j) and (j, i) coincide) with -0.5 I at delay 1,
  the 6 rightmost roots.

Run from the repository root:
    python3 benchmarks/bench_edges.py [--long 1e2,1e3,1e4,1e6] [--grids 30,50]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

import report  # noqa: E402
import vantor  # noqa: E402


def laplacian(m):
    return sp.diags([1.0, -2.0, 1.0], [-1, 0, 1], shape=(m, m))


def long_delay(tau, n=50):
    return vantor.DelaySystem([(laplacian(n) - sp.identity(n)).tocsr(), -0.5 * sp.identity(n, format="csr")],
                              [0.0, tau])


def grid(m):
    L = (sp.kron(laplacian(m), sp.identity(m)) + sp.kron(sp.identity(m), laplacian(m))) * (m + 1) ** 2 / np.pi ** 2
    return vantor.DelaySystem([L.tocsr(), -0.5 * sp.identity(m * m, format="csr")], [0.0, 1.0])


def row(name, system, k):
    start = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            found = vantor.rightmost_roots(system, k)
        outcome = (f"certified={found.certified}, {found.roots.size} roots, multiplicities "
                   f"{found.multiplicity.tolist()}, rightmost {found.roots[0]:.6g}")
    except (RuntimeError, ValueError) as err:
        outcome = f"{type(err).__name__}: {err}"
    print(f"{name:<28} {time.perf_counter() - start:8.2f} s  {outcome}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--long", default="1e2,1e3,1e4,1e6")
    parser.add_argument("--grids", default="30,50")
    args = parser.parse_args()
    for tau in (float(v) for v in args.long.split(",") if v):
        row(f"50 modes, delay {tau:g}, k=3", long_delay(tau), 3)
    for m in (int(v) for v in args.grids.split(",") if v):
        row(f"{m}x{m} grid, k=6", grid(m), 6)


if __name__ == "__main__":
    report.run(main)
