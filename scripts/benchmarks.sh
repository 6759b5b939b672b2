#!/usr/bin/env bash
# Runs every benchmark and writes the tables the documentation includes to docs/benchmarks/.
# Needs the installed package (pip install ".[test]") and the C++ build's system packages
# (scripts/setup.sh); about a quarter of an hour on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p docs/benchmarks
python3 benchmarks/bench_roots.py --runs 5 --output docs/benchmarks/roots.txt
python3 benchmarks/bench_analysis.py --runs 3 --output docs/benchmarks/analysis.txt
python3 benchmarks/bench_region.py --runs 3 --output docs/benchmarks/region.txt
python3 benchmarks/bench_design.py --runs 3 --output docs/benchmarks/design.txt
python3 benchmarks/bench_large.py --runs 3 --output docs/benchmarks/large.txt
python3 benchmarks/bench_sweep.py --output docs/benchmarks/sweep.txt
