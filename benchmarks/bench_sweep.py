"""Throughput of vantor.sweep: a 41x41 stability chart of a 2x2 system with three delays.

Rows: a bare serial loop over pyvantor.roots (one call per point at r = -1, for scale), the same
calls on a pool of 2 threads (roots releases the interpreter lock); a bare
serial loop computing the same quantity as the sweep (vantor.spectral_abscissa per point); sweep
serial; sweep on a 2-process pool; sweep on a Dask LocalCluster of 2 single-threaded worker
processes (started with vantor.dask_worker_config(), and with vantor imported, before the clock
runs). Ratios are against the bare spectral-abscissa loop, all measured in one run; the two serial
loops are timed twice each, alternating, and keep the faster.

Run from the repository root (the tables of the documentation: add --output FILE):
    python3 benchmarks/bench_sweep.py [--points 41]
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import importlib  # noqa: E402
import time  # noqa: E402
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor  # noqa: E402

import numpy as np  # noqa: E402

import pyvantor  # noqa: E402
import report  # noqa: E402
import vantor  # noqa: E402


def build(gain, delay):
    """x' = A0 x + gain A1 x(t - delay/2) + A2 x(t - delay) + A3 x(t - 1.5)."""
    A0 = np.array([[-1.0, 0.4], [-0.3, -0.8]])
    A1 = np.array([[-0.5, 0.2], [0.1, -0.4]])
    A2 = np.array([[0.1, -0.3], [0.2, -0.2]])
    A3 = np.array([[0.05, 0.1], [-0.1, 0.05]])
    return pyvantor.lagsys([A0, gain * A1, A2, A3], [0.0, delay / 2, delay, 1.5])


def timed(f):
    start = time.perf_counter()
    value = f()
    return time.perf_counter() - start, value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=41)
    args = parser.parse_args()
    axes = {"gain": np.linspace(0.0, 4.0, args.points), "delay": np.linspace(0.1, 3.0, args.points)}
    points = [(g, d) for g in axes["gain"] for d in axes["delay"]]
    total = len(points)

    rows = []
    t, _ = timed(lambda: [pyvantor.roots(build(g, d), -1.0) for g, d in points])
    rows.append(("bare loop over roots(r = -1)", t))
    # roots runs without the interpreter lock: two threads share its calls.
    with ThreadPoolExecutor(2) as threads:
        t, _ = timed(lambda: list(threads.map(lambda p: pyvantor.roots(build(*p), -1.0), points)))
    rows.append(("roots(r = -1) on 2 threads", t))
    # The two serial runs alternate, twice each, and keep their faster time: the machine's speed
    # drifts by several per cent over a minute, as much as the difference sought.
    bare_times, serial_times = [], []
    for _ in range(2):
        t, bare = timed(lambda: [vantor.spectral_abscissa(build(g, d)).abscissa for g, d in points])
        bare_times.append(t)
        t, serial = timed(lambda: vantor.sweep(build, axes, progress=False))
        serial_times.append(t)
    t_bare = min(bare_times)
    rows.append(("bare loop over spectral_abscissa", t_bare))
    rows.append(("sweep, serial", min(serial_times)))
    assert np.array_equal(serial.values.ravel(), np.array(bare))
    with ProcessPoolExecutor(2) as pool:
        pool.submit(int).result()          # workers started
        t, pooled = timed(lambda: vantor.sweep(build, axes, executor=pool, progress=False))
    rows.append(("sweep, 2-process pool", t))
    import dask
    from distributed import Client, LocalCluster

    with dask.config.set(vantor.dask_worker_config()), LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        client.run(importlib.import_module, "vantor")     # workers warm, as the pool's are
        t, dasked = timed(lambda: vantor.sweep(build, axes, executor=client, progress=False))
    rows.append(("sweep, Dask LocalCluster, 2 workers", t))
    same = np.array_equal(pooled.values, serial.values) and np.array_equal(dasked.values, serial.values)

    print(f"{args.points}x{args.points} chart ({total} points) of a 2x2 system with three delays; "
          f"pool and Dask results identical to serial: {same}")
    print(f"{'run':<38} {'seconds':>8} {'points/s':>9} {'vs bare':>8}")
    for name, t in rows:
        print(f"{name:<38} {t:8.2f} {total / t:9.1f} {t_bare / t:8.2f}")


if __name__ == "__main__":
    report.run(main)
