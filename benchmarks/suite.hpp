// Seeded random delay systems shared by the benchmarks.
#pragma once

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "lagsys.hpp"

namespace bench {

// m terms of order n: entries N(0, sigma^2), h_0 = 0 and the other delays uniform in (0.05, 1].
inline lagsys::lagsys scaled_random_system(int n, int m, double sigma, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> entry(0.0, sigma);
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

// m terms of order n: entries N(0, 36/n) (spectra of modulus about six).
inline lagsys::lagsys random_system(int n, int m, unsigned seed) {
    return scaled_random_system(n, m, 6.0 / std::sqrt(static_cast<double>(n)), seed);
}

struct Entry {
    std::string name;
    lagsys::lagsys sys;
    double r;
};

// The benchmark suite: the scalar example, seeded systems of order n = 1 ... 20 with m = 2 ... 5
// terms, and two larger orders, where the refinement of the n (N + 1) candidates weighs most (the
// last has no root right of its bound). All but the last use r = -1.
inline std::vector<Entry> suite() {
    std::vector<Entry> entries;
    entries.push_back({"scalar", lagsys::lagsys({Eigen::MatrixXd::Zero(1, 1), -Eigen::MatrixXd::Ones(1, 1)}, {0.0, 1.0}), -1.0});
    for (int n : {1, 2, 5, 10, 20}) {
        for (int m : {2, 3, 4, 5}) {
            std::string name = "n";
            name += std::to_string(n);
            name += "_m";
            name += std::to_string(m);
            entries.push_back({std::move(name), random_system(n, m, 1000u * n + m), -1.0});
        }
    }
    entries.push_back({"n50_m2", random_system(50, 2, 1000u * 50 + 2), -1.0});
    entries.push_back({"n100_m2", scaled_random_system(100, 2, 1e-3, 0), 0.5});
    return entries;
}

}  // namespace bench
