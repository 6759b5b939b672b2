#!/usr/bin/env bash
# Installs everything and runs every test: the C++ suite under CTest, the documentation's build,
# the Python suite (with the doctests and the site's check in a browser), the type check of the
# examples, then the C++ suite and the extension's Python suites under ASan + UBSan and the C++
# suite under valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# One optimised build makes the installed extension and the C++ tests: the library is compiled once.
CMAKE_BUILD_PARALLEL_LEVEL=2 python3 -m pip install -q ".[test]" \
  -C build-dir=build/cpp -C cmake.define.PYVANTOR_BUILD_TESTS=ON
ctest --test-dir build/cpp --output-on-failure
# The documentation site, warnings as errors, every gallery example run; the Python suite then
# checks it (doctests, and the pages rendered in headless Chromium).
time bash scripts/docs.sh
PYVANTOR_REQUIRE_DOCS=1 python3 -m pytest -q tests/python
# The installed type stubs, checked against the examples; the package vantor, strictly.
python3 -m mypy examples
python3 -m mypy --strict python/vantor
# Resident memory over many calls (printed for the log; it stays flat).
python3 benchmarks/stress_roots.py 1000

bash scripts/sanitize.sh
