// Prints the roots of the benchmark suite's systems, one per line as "name index re im" with
// 17 significant digits: the reference the refinement must keep (tests/data/suite_roots.txt).
// Usage: dump_suite_roots [MAX_ORDER]   (systems of order above MAX_ORDER are left out; default 50)
#include <cstdio>
#include <cstdlib>

#include "lagsys.hpp"
#include "suite.hpp"

int main(int argc, char** argv) {
    const long max_order = argc > 1 ? std::atol(argv[1]) : 50;
    for (const bench::Entry& e : bench::suite()) {
        if (e.sys.n() > max_order) continue;
        const auto roots = lagsys::roots(e.sys, e.r);
        std::printf("%s count %zu\n", e.name.c_str(), roots.size());
        for (std::size_t i = 0; i < roots.size(); ++i) {
            std::printf("%s %zu %.17g %.17g\n", e.name.c_str(), i, roots[i].real(), roots[i].imag());
        }
    }
    return 0;
}
