"""Stress run: many pyvantor.roots calls on seeded random systems, with the process's resident
memory printed at intervals. It must stay flat.

Run from the repository root:  python3 benchmarks/stress_roots.py [CALLS]
"""

import resource
import sys
import time

import numpy as np

import pyvantor


def resident_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    rng = np.random.default_rng(2026)
    start = time.perf_counter()
    print(f"{'calls':>7} {'resident MiB':>13} {'peak MiB':>9} {'roots':>7} {'s':>7}")
    found = 0
    for i in range(1, calls + 1):
        n = int(rng.integers(1, 5))
        m = int(rng.integers(1, 6))
        A = [rng.uniform(-1.5, 1.5, (n, n)) for _ in range(m)]
        h = [0.0] + list(rng.uniform(0.0, 2.0, m - 1))
        system = pyvantor.lagsys(A, h)
        found += len(pyvantor.roots(system, float(rng.uniform(-1.0, 0.5))))
        system.A(0)[0, 0] += 0.1  # views and writes between calls
        if i % (calls // 10) == 0 or i == 1:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
            print(f"{i:>7} {resident_mib():>13.1f} {peak:>9.1f} {found:>7} {time.perf_counter() - start:>7.1f}")


if __name__ == "__main__":
    main()
