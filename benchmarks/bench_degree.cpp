// Time of the discretization-degree estimate on seeded random systems.
// Run: build/bench/benchmarks/bench_degree (built with -DPYVANTOR_BUILD_BENCHMARKS=ON).
#include <benchmark/benchmark.h>

#include "lagsys.hpp"
#include "suite.hpp"

namespace {

constexpr std::size_t resolution = 20;

double samples_per_pass(int m) {
    if (m > 4) return 20 * resolution;  // the single-angle grid
    double S = resolution / 2 + 1;
    for (int i = 2; i < m; ++i) S *= resolution;
    return S;
}

void BM_compute_N_rhp(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const int m = static_cast<int>(state.range(1));
    const lagsys::lagsys sys = bench::random_system(n, m, 1000u * n + m);
    std::size_t N = 0;
    for (auto _ : state) {
        N = lagsys::compute_N_rhp(sys, -1.0, resolution);
        benchmark::DoNotOptimize(N);
    }
    state.counters["samples_per_pass"] = samples_per_pass(m);
    state.counters["N"] = static_cast<double>(N);
    // Seconds per eigenvalue problem (two passes of the grid).
    state.counters["per_sample"] = benchmark::Counter(
        2.0 * samples_per_pass(m), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_compute_N_rhp)
    ->ArgsProduct({{1, 5, 20}, {2, 3, 4, 5}})
    ->ArgNames({"n", "m"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
