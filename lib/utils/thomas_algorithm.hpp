#pragma once

#include <vector>

namespace lagsys::utils {

// Solves the tridiagonal system of order p = diag.size() without pivoting: lower[i] multiplies
// x_i in equation i+1, upper[i] multiplies x_{i+1} in equation i. diag is overwritten with the
// eliminated diagonal, rhs with the solution. Throws std::invalid_argument when lower or upper
// hold fewer than p - 1 entries or rhs fewer than p.
void thomas_algorithm(const std::vector<double>& lower, std::vector<double>& diag,
                      const std::vector<double>& upper, std::vector<double>& rhs);

}  // namespace lagsys::utils
