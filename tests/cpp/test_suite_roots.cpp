// The roots of the benchmark suite's seeded systems against the values stored in
// tests/data/suite_roots.txt (written by benchmarks/dump_suite_roots before the refinement was made
// faster): the same list in the same order, every root within 1e-13 relative.
// With PYVANTOR_QUICK_TESTS set (the valgrind run) only the systems of order up to 5 are checked.
#include <cmath>
#include <complex>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lagsys.hpp"
#include "suite.hpp"

namespace {

constexpr double relative_tol = 1e-13;

std::map<std::string, std::vector<std::complex<double>>> stored_roots() {
    std::ifstream in(PYVANTOR_SUITE_ROOTS);
    std::map<std::string, std::vector<std::complex<double>>> roots;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, second;
        fields >> name >> second;
        if (second == "count") {
            roots[name];  // a system without roots has this line only
            continue;
        }
        double re = 0.0, im = 0.0;
        fields >> re >> im;
        roots[name].emplace_back(re, im);
    }
    return roots;
}

}  // namespace

TEST(SuiteRoots, SameListSameOrderWithinRounding) {
    const auto stored = stored_roots();
    ASSERT_FALSE(stored.empty()) << "cannot read " << PYVANTOR_SUITE_ROOTS;
    const bool quick = std::getenv("PYVANTOR_QUICK_TESTS") != nullptr;
    std::size_t checked = 0;
    for (const bench::Entry& e : bench::suite()) {
        const auto it = stored.find(e.name);
        if (it == stored.end() || (quick && e.sys.n() > 5)) continue;
        const auto roots = lagsys::roots(e.sys, e.r);
        const auto& expected = it->second;
        ASSERT_EQ(roots.size(), expected.size()) << e.name;
        for (std::size_t i = 0; i < roots.size(); ++i) {
            EXPECT_LE(std::abs(roots[i] - expected[i]), relative_tol * std::max(1.0, std::abs(expected[i])))
                << e.name << " root " << i << ": " << roots[i] << " stored " << expected[i];
        }
        ++checked;
    }
    EXPECT_GE(checked, quick ? 10u : 22u);
}
