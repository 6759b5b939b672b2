// Seeded random delay systems shared by the benchmarks.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "lagsys.hpp"

namespace bench {

// m terms of order n: entries N(0, 36/n) (spectra of modulus about six), h_0 = 0 and the other
// delays uniform in (0, 1].
inline lagsys::lagsys random_system(int n, int m, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> entry(0.0, 6.0 / std::sqrt(static_cast<double>(n)));
    std::uniform_real_distribution<double> delay(0.05, 1.0);
    std::vector<Eigen::MatrixXd> A;
    std::vector<double> h;
    for (int k = 0; k < m; ++k) {
        Eigen::MatrixXd Ak(n, n);
        for (Eigen::Index j = 0; j < n; ++j) {
            for (Eigen::Index i = 0; i < n; ++i) Ak(i, j) = entry(gen);
        }
        A.push_back(std::move(Ak));
        h.push_back(k == 0 ? 0.0 : delay(gen));
    }
    return lagsys::lagsys(std::move(A), std::move(h));
}

}  // namespace bench
