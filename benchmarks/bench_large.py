"""Rightmost roots of large systems (vantor.rightmost_roots): the targets, with ratios in one run.

- n = 10,000 sparse (diffusion plus a delayed reaction term): the 10 rightmost roots, certified,
  time, peak memory and distance to the closed form (Lambert W on every mode);
- n = 1,000 dense (similar, by an orthogonal Q, to 1,000 scalar equations x' = a_j x + b_j x(t - 1),
  a_j 0.05 apart): 6 rightmost roots
  without and with the certificate;
- n = 1,000 dense and non-normal with a delayed feedback of rank 2: 6 rightmost roots without and
  with the certificate;
- the benchmark suite's rows with 20 <= n <= 100: rightmost_roots(sys, 6) with and without the
  certificate against one pyvantor.roots call at the suite's bound;
- modes clustered within a spread (n = 2,000: a 10 x 10 symmetric block with eigenvalues
  spread/10 apart beside diffusion, -I at delay 1): the 10 rightmost roots, certified;
- a sparse matrix without a band (n = 2,000, a triangular pattern under a random symmetric
  permutation): the 6 rightmost roots with and without the certificate;
- the certificate's count for n = 10,000 on a Dask LocalCluster of 2 workers against serial.

Run from the repository root:
    python3 benchmarks/bench_large.py [--runs 3] [--skip-dask] [--dense-certificate]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import resource  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402
from scipy.special import lambertw  # noqa: E402
from scipy.stats import ortho_group  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402
from vantor.large import count_large, large_system  # noqa: E402
from bench_roots import ROOT, build_stage_benchmark, median_time, read_system, run_stages  # noqa: E402


def closed_form(a, b, tau, branches=6):
    with np.errstate(over="ignore", invalid="ignore"):
        z = np.concatenate([a + lambertw(b * tau * np.exp(-a * tau), k) / tau
                            for k in range(-branches, branches + 1)])
    z = z[np.isfinite(z)]
    return z[np.lexsort((z.imag, -np.round(z.real, 9)))]


def distance(found, exact):
    return max(float(np.min(np.abs(exact - z))) / max(1.0, abs(z)) for z in found)


def diffusion_system(n, coefficient=0.05, reaction=0.5, delayed=-1.0, tau=1.0):
    scale = coefficient * (n + 1) ** 2 / np.pi ** 2
    L = sp.diags([np.full(n - 1, scale), np.full(n, -2.0 * scale), np.full(n - 1, scale)], [-1, 0, 1])
    mu = -4.0 * scale * np.sin(np.arange(1, n + 1) * np.pi / (2 * (n + 1))) ** 2
    sys = vantor.DelaySystem([L + reaction * sp.identity(n), delayed * sp.identity(n)], [0.0, tau])
    return sys, closed_form(mu + reaction, delayed, tau)


def sparse_target(runs):
    sys, exact = diffusion_system(10_000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    res = vantor.rightmost_roots(sys, 10)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = median_time(lambda: vantor.rightmost_roots(sys, 10), runs)
    t_plain = median_time(lambda: vantor.rightmost_roots(sys, 10, certify=False), runs)
    print(f"n = 10,000 sparse, 10 rightmost: certified {res.certified} (count {res.count} right of "
          f"{res.r:.6f}), {t:.2f} s ({t_plain:.2f} s without the certificate, share "
          f"{1 - t_plain / t:.0%}), peak RSS {peak / 1024:.0f} MB (before {before / 1024:.0f} MB), "
          f"max distance to the closed form {distance(res.roots, exact):.1e}")
    return sys, res


def dense_target(runs, certified):
    n = 1000
    rng = np.random.default_rng(1)
    Q = ortho_group.rvs(n, random_state=rng)
    a = -0.5 - 0.05 * np.arange(n)          # modes 0.05 apart
    b = rng.uniform(-1.0, -0.5, n)
    sys = pyvantor.lagsys([Q @ np.diag(a) @ Q.T, Q @ np.diag(b) @ Q.T], [0.0, 1.0])
    exact = np.concatenate([closed_form(np.array([ai]), bi, 1.0, 3) for ai, bi in zip(a, b)])
    exact = exact[np.lexsort((exact.imag, -np.round(exact.real, 9)))]
    t_plain = median_time(lambda: vantor.rightmost_roots(sys, 6, certify=False), runs)
    plain = vantor.rightmost_roots(sys, 6, certify=False)
    print(f"n = 1,000 dense, 6 rightmost: {t_plain:.2f} s without the certificate, max distance to "
          f"the closed form {distance(plain.roots, exact):.1e}")
    if certified:
        start = time.perf_counter()
        res = vantor.rightmost_roots(sys, 6)
        t = time.perf_counter() - start
        print(f"  certified ({res.certified}, count {res.count}) in {t:.2f} s; certificate share "
              f"{1 - t_plain / t:.0%}")


def clustered_system(n, spread, k=10):
    m = n - k
    scale = 0.05 * (m + 1) ** 2 / np.pi ** 2
    L = sp.diags([np.full(m - 1, scale), np.full(m, -2.0 * scale), np.full(m - 1, scale)], [-1, 0, 1])
    Q = ortho_group.rvs(k, random_state=np.random.default_rng(0))
    block = Q @ np.diag(0.3 + spread * np.arange(k) / k) @ Q.T
    A0 = sp.block_diag([sp.csr_matrix(block), L]).tocsc()
    return vantor.DelaySystem([A0, -1.0 * sp.identity(n, format="csc")], [0.0, 1.0])


def permuted_triangular_system(n, seed=0):
    rng = np.random.default_rng(seed)
    T = sp.tril(sp.random(n, n, density=3.0 / n, random_state=rng), -1) + sp.diags(-np.linspace(0.1, 20.0, n))
    P = sp.identity(n, format="csr")[rng.permutation(n)]
    return vantor.DelaySystem([(P @ T @ P.T).tocsc(), -0.5 * sp.identity(n, format="csc")], [0.0, 1.0])


def structure_rows(runs):
    for spread in (1e-4, 1e-6):
        sys = clustered_system(2000, spread)
        res = vantor.rightmost_roots(sys, 10)
        t = median_time(lambda: vantor.rightmost_roots(sys, 10), runs)
        print(f"n = 2,000, 10 modes within {spread:g}, 10 rightmost: certified {res.certified} "
              f"(count {res.count}, multiplicities {res.multiplicity.tolist()}) in {t:.2f} s")
    sys = permuted_triangular_system(2000)
    t_plain = median_time(lambda: vantor.rightmost_roots(sys, 6, certify=False), runs)
    res = vantor.rightmost_roots(sys, 6)
    t = median_time(lambda: vantor.rightmost_roots(sys, 6), runs)
    print(f"n = 2,000 permuted triangular (no band), 6 rightmost: {t_plain:.2f} s without the "
          f"certificate, {t:.2f} s certified ({res.certified}, count {res.count}): ratio {t / t_plain:.2f}")


def low_rank_target(n=1000, seed=2):
    """Dense and non-normal: A_0 = -I - 2 D + N/sqrt(n) (D diagonal, N Gaussian) beside a delayed
    feedback b k^T + c l^T of rank 2."""
    rng = np.random.default_rng(seed)
    A0 = -np.eye(n) - 2.0 * np.diag(rng.uniform(0.0, 1.0, n)) + rng.normal(size=(n, n)) / np.sqrt(n)
    A1 = -0.8 * (np.outer(rng.normal(size=n), rng.normal(size=n)) + np.outer(rng.normal(size=n), rng.normal(size=n))) / n
    sys = pyvantor.lagsys([A0, A1], [0.0, 1.0])
    start = time.perf_counter()
    plain = vantor.rightmost_roots(sys, 6, certify=False)
    t_plain = time.perf_counter() - start
    start = time.perf_counter()
    res = vantor.rightmost_roots(sys, 6)
    t = time.perf_counter() - start
    print(f"n = {n:,} dense non-normal, delayed term of rank 2, 6 rightmost: {t_plain:.2f} s without the "
          f"certificate, {t:.2f} s certified ({res.certified}, count {res.count}); same roots "
          f"{np.allclose(np.sort_complex(plain.roots), np.sort_complex(res.roots), rtol=1e-10)}")


def suite_rows(runs):
    data_dir, rows = run_stages(build_stage_benchmark(ROOT / "build" / "bench", False), 1)
    print("benchmark suite, 20 <= n <= 100: seconds (medians of", runs, "runs)")
    print(f"{'system':>8} {'n':>3} {'m':>2} {'roots(r)':>9} {'rr(6,no cert)':>13} {'ratio':>6} "
          f"{'rr(6)':>8} {'ratio':>6} {'agree':>6}")
    for i, row in enumerate(rows):
        if not 20 <= int(row["n"]) <= 100:
            continue
        system = read_system(data_dir / f"system_{i}.bin")
        r = float(row["r"])
        t_roots = median_time(lambda: pyvantor.roots(system, r), runs)
        t_plain = median_time(lambda: vantor.rightmost_roots(system, 6, certify=False), runs)
        t_cert = median_time(lambda: vantor.rightmost_roots(system, 6), runs)
        res = vantor.rightmost_roots(system, 6)
        dense = vantor.all_roots(system, res.r)
        agree = res.count == int(dense.multiplicity.sum()) and distance(res.roots, dense.roots) < 1e-9
        print(f"{row['name']:>8} {row['n']:>3} {row['m']:>2} {t_roots:9.4f} {t_plain:13.4f} "
              f"{t_roots / t_plain:6.1f} {t_cert:8.4f} {t_roots / t_cert:6.2f} {str(agree):>6}")


def dask_count(sys, line, runs):
    import dask
    from distributed import Client, LocalCluster

    system = large_system(sys)
    serial = count_large(system, line)
    t_serial = median_time(lambda: count_large(system, line), runs)
    with dask.config.set(vantor.dask_worker_config()):
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                               dashboard_address=None)
    client = Client(cluster)
    try:
        clustered = count_large(system, line, client)
        t_dask = median_time(lambda: count_large(system, line, client), runs)
    finally:
        client.close()
        cluster.close()
    print(f"count for n = 10,000 right of {line:.6f}: serial {serial[0]} in {t_serial:.2f} s, "
          f"Dask (2 workers) {clustered[0]} in {t_dask:.2f} s: identical {serial == clustered}, "
          f"throughput x{t_serial / t_dask:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--dense-certificate", action="store_true",
                        help="also certify the n = 1,000 dense system")
    args = parser.parse_args()
    sys, res = sparse_target(args.runs)
    structure_rows(args.runs)
    suite_rows(args.runs)
    dense_target(1, args.dense_certificate)
    low_rank_target()
    if not args.skip_dask:
        dask_count(sys, res.r, args.runs)
        dask_count(sys, -3.0, 1)   # a longer count: 118 roots right of -3


if __name__ == "__main__":
    report.run(main)
