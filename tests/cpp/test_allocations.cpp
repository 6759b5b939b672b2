// Heap allocations of the hot loops: Eigen and operator new both end in malloc, which this
// executable interposes (not under AddressSanitizer, which owns malloc).
#include <atomic>
#include <cstdlib>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "lagsys.hpp"

static std::atomic<long> allocations{0};

#if !defined(__SANITIZE_ADDRESS__)
#define LAGSYS_COUNT_ALLOCATIONS 1
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* malloc(std::size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
#endif

namespace {

template <typename F>
long count_allocations(F&& f) {
    const long before = allocations.load();
    f();
    return allocations.load() - before;
}

}  // namespace

TEST(Allocations, DegreeEstimateAllocatesNothingPerSample) {
#ifndef LAGSYS_COUNT_ALLOCATIONS
    GTEST_SKIP() << "malloc belongs to the sanitizer";
#endif
    // 11 samples per pass with two terms, 220 with three: the same number of allocations.
    const lagsys::lagsys two(test::random_matrices(2, 4, 3), {0.0, 0.7});
    const lagsys::lagsys three(test::random_matrices(3, 4, 3), {0.0, 0.7, 0.3});
    const long a = count_allocations([&] { (void)lagsys::compute_N_rhp(two, -1.0, 20); });
    const long b = count_allocations([&] { (void)lagsys::compute_N_rhp(three, -1.0, 20); });
    EXPECT_LE(b - a, 2) << a << " vs " << b;
    // 400 samples per pass with five terms.
    const lagsys::lagsys five(test::random_matrices(5, 4, 3), {0.0, 0.7, 0.3, 0.2, 0.9});
    EXPECT_LE(count_allocations([&] { (void)lagsys::compute_N_rhp(five, -1.0, 20); }), a + 2);
}
