#pragma once

#include <cstddef>
#include <vector>

namespace lagsys::utils {

// The tuples of L angle indices walked like an odometer, index 0 fastest: index 0 runs over
// 0 ... floor(N_theta/2), the others over 0 ... N_theta - 1. L = 0 visits the empty tuple once;
// N_theta = 0 visits nothing.
class ThetaRange {
public:
    class iterator {
    public:
        iterator(std::size_t L, std::size_t N_theta, bool end);

        const std::vector<std::size_t>& operator*() const { return indices_; }
        iterator& operator++();
        bool operator==(const iterator& other) const {
            return end_ == other.end_ && (end_ || indices_ == other.indices_);
        }

    private:
        std::vector<std::size_t> indices_;
        std::size_t N_theta_;
        bool end_;
    };

    ThetaRange(std::size_t L, std::size_t N_theta) : L_(L), N_theta_(N_theta) {}

    iterator begin() const { return iterator(L_, N_theta_, N_theta_ == 0); }
    iterator end() const { return iterator(L_, N_theta_, true); }

private:
    std::size_t L_;
    std::size_t N_theta_;
};

}  // namespace lagsys::utils
