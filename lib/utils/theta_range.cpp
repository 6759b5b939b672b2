#include "utils/theta_range.hpp"

namespace lagsys::utils {

ThetaRange::iterator::iterator(std::size_t L, std::size_t N_theta, bool end)
    : indices_(L, 0), N_theta_(N_theta), end_(end) {}

ThetaRange::iterator& ThetaRange::iterator::operator++() {
    if (end_) return *this;
    const std::size_t L = indices_.size();
    if (L == 0) {
        end_ = true;
        return *this;
    }
    const std::size_t first_max = N_theta_ / 2;
    const std::size_t other_max = N_theta_ - 1;
    ++indices_[0];
    if (L == 1) {
        if (indices_[0] > first_max) end_ = true;
        return *this;
    }
    for (std::size_t i = 0; i + 1 < L; ++i) {
        const std::size_t limit = (i == 0) ? first_max : other_max;
        if (indices_[i] <= limit) break;
        indices_[i] = 0;
        ++indices_[i + 1];
    }
    if (indices_[L - 1] > other_max) end_ = true;
    return *this;
}

}  // namespace lagsys::utils
