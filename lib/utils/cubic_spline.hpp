#pragma once

#include <span>
#include <vector>

namespace lagsys::utils {

// Natural cubic spline through K >= 3 values on the uniform knots x0 + i h. On interval i it is
// a_i + b_i t + c_i t^2 + d_i t^3, t the distance from knot i; points beyond the last knot continue
// the last interval's cubic, points before the first continue the first one.
class CubicSpline {
public:
    // Throws std::length_error for fewer than 3 knots.
    CubicSpline(double x0, double h, std::span<const double> y);

    // Fills a, b, c, d from the K knot values; they must already hold K - 1 entries each.
    // Throws std::length_error when K < 3, std::invalid_argument when K does not match.
    void compute_coefficients(const std::span<const double>& y);

    double operator()(double x) const;

    const std::vector<double>& a() const { return a_; }
    const std::vector<double>& b() const { return b_; }
    const std::vector<double>& c() const { return c_; }
    const std::vector<double>& d() const { return d_; }

private:
    double x0_;
    double h_;
    std::vector<double> a_, b_, c_, d_;
};

}  // namespace lagsys::utils
