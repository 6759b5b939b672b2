#!/usr/bin/env bash
# The C++ tests and the Python tests under AddressSanitizer and UndefinedBehaviorSanitizer (any
# finding aborts), then the C++ tests under valgrind's memcheck. Called by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

# One build with ASan + UBSan makes the extension (installed into build/asan-site) and the C++ tests.
rm -rf build/asan-site
CMAKE_BUILD_PARALLEL_LEVEL=2 python3 -m pip install -q --no-deps --target build/asan-site \
  -C cmake.define.PYVANTOR_SANITIZE=ON -C cmake.define.PYVANTOR_BUILD_TESTS=ON \
  -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan .

echo "== C++ tests under ASan + UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure

echo "== Python tests that reach the extension, against one built with ASan + UBSan"
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The suites of the extension itself: its binding, roots, hostile input, properties and hard
# cases, and the package's compiled kernels. The package's other tests run pure Python over the
# same entry points and ran above.
compiled_tests=(tests/python/test_binding.py tests/python/test_roots.py tests/python/test_hostile.py
                tests/python/test_properties.py tests/python/test_completeness.py
                tests/python/test_kernels.py)
# The interpreter is not instrumented and keeps memory to its end: no leak detection for it.
# Huge requests (the hostile-input tests make some) fail with MemoryError instead of aborting.
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  PYTHONPATH=build/asan-site PYVANTOR_PROPERTY_EXAMPLES=8 \
  python3 -m pytest -q -p no:cacheprovider "${compiled_tests[@]}"

echo "== C++ tests under valgrind memcheck"
for t in build/cpp/tests/cpp/test_*; do
  [ -x "$t" ] || continue
  PYVANTOR_QUICK_TESTS=1 valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite "$t" --gtest_brief=1
done
