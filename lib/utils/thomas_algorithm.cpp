#include "utils/thomas_algorithm.hpp"

#include <stdexcept>
#include <string>

namespace lagsys::utils {

void thomas_algorithm(const std::vector<double>& lower, std::vector<double>& diag,
                      const std::vector<double>& upper, std::vector<double>& rhs) {
    const std::size_t p = diag.size();
    if (p == 0) return;
    if (lower.size() + 1 < p || upper.size() + 1 < p || rhs.size() < p) {
        throw std::invalid_argument("thomas_algorithm: order " + std::to_string(p) + " needs " +
                                    std::to_string(p - 1) + " lower and upper entries and " +
                                    std::to_string(p) + " right-hand sides, got " +
                                    std::to_string(lower.size()) + ", " +
                                    std::to_string(upper.size()) + " and " +
                                    std::to_string(rhs.size()));
    }
    for (std::size_t i = 1; i < p; ++i) {
        const double w = lower[i - 1] / diag[i - 1];
        diag[i] -= upper[i - 1] * w;
        rhs[i] -= w * rhs[i - 1];
    }
    rhs[p - 1] = rhs[p - 1] / diag[p - 1];
    for (std::size_t i = p - 1; i-- > 0;) rhs[i] = (rhs[i] - upper[i] * rhs[i + 1]) / diag[i];
}

}  // namespace lagsys::utils
