// Discretization-degree estimate: eigenvalues of characteristic matrices sampled on a grid of
// phase angles, turned into degrees by two stored curves over the eigenvalue's argument.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

#include "detail.hpp"
#include "lagsys.hpp"
#include "utils/cubic_spline.hpp"
#include "utils/theta_range.hpp"

namespace lagsys {

namespace {

constexpr double two_pi = 6.283185307179586;
// The single-angle sample rounds every delay to a multiple of h_max / delay_steps.
constexpr std::size_t delay_steps = 20;

void require_resolution(std::size_t N_theta, const char* who) {
    if (N_theta == 0) {
        throw std::invalid_argument(std::string(who) +
                                    ": the angular resolution N_theta must be positive, got 0");
    }
}

// Fills M = e0 A_0 - r I.
void fill_first_term(Eigen::MatrixXcd& M, const Eigen::MatrixXd& A0, double e0, double r) {
    const Eigen::Index n = A0.rows();
    M.resize(n, n);
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = 0; i < n; ++i) {
            M(i, j) = std::complex<double>(i == j ? e0 * A0(i, j) - r : e0 * A0(i, j), 0.0);
        }
    }
}

// M += (A e) w, entry by entry.
void add_term(Eigen::MatrixXcd& M, const Eigen::MatrixXd& A, double e, std::complex<double> w) {
    const Eigen::Index n = M.rows();
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = 0; i < n; ++i) M(i, j) += (A(i, j) * e) * w;
    }
}

}  // namespace

void create_matrix(const lagsys& sys, Eigen::MatrixXcd& M, double r, double s,
                   const std::vector<std::size_t>& indices, std::size_t N_theta) {
    const double c = -(s + r);
    const double h0 = sys.hA().at(0);
    const Eigen::MatrixXd& A0 = sys.A(0);
    const std::size_t m = sys.mA();
    require_resolution(N_theta, "create_matrix");
    detail::require_square_terms(sys, "create_matrix");
    if (indices.size() + 1 < m) {
        throw std::invalid_argument("create_matrix: " + std::to_string(m) + " matrices need " +
                                    std::to_string(m - 1) + " angle indices, got " +
                                    std::to_string(indices.size()));
    }

    fill_first_term(M, A0, std::exp(c * h0), r);
    for (std::size_t k = 1; k < m; ++k) {
        const double theta = 2.0 * static_cast<double>(indices[k - 1]) * std::numbers::pi /
                             static_cast<double>(N_theta);
        const std::complex<double> w = std::exp(std::complex<double>(0.0, theta));
        const double e = std::exp(c * sys.hA().at(k));
        add_term(M, sys.A(k), e, w);
    }
}

void create_matrix(const lagsys& sys, Eigen::MatrixXcd& M, double r, double s, std::size_t j,
                   std::size_t N_theta) {
    const auto& h = sys.hA();
    double h_max = h.at(0);
    for (const double d : h) h_max = std::max(h_max, d);
    const double f = h_max / static_cast<double>(delay_steps);
    const double c = -(s + r);
    const Eigen::MatrixXd& A0 = sys.A(0);
    const std::size_t m = sys.mA();
    require_resolution(N_theta, "create_matrix");
    detail::require_square_terms(sys, "create_matrix");

    // Delay as a multiple of the step f; without a positive step every delay counts as 0.
    const auto steps = [f](double delay) { return f > 0.0 ? std::round(delay / f) : 0.0; };

    const double q0 = steps(h.at(0));
    fill_first_term(M, A0, std::exp(q0 * c * f), r);
    const double theta = (static_cast<double>(j) * two_pi) / static_cast<double>(N_theta);
    for (std::size_t k = 1; k < m; ++k) {
        const double q = steps(h.at(k));
        const std::complex<double> w = std::exp(std::complex<double>(0.0, theta * q));
        add_term(M, sys.A(k), std::exp(q * c * f), w);
    }
}

namespace {

// Knots phi_i = i pi/64, i = 0 ... 32: a degree N covers the eigenvalues of argument phi up to
// the modulus B(phi) + N A(phi).
constexpr std::array<double, 33> slope_table = {
    0.9124, 0.9123, 0.9136, 0.9165, 0.9195, 0.9234, 0.9285, 0.9345, 0.9416, 0.9501, 0.9592,
    0.9698, 0.9818, 0.9947, 1.009,  1.0249, 1.0427, 1.062,  1.0833, 1.1069, 1.1331, 1.1614,
    1.1936, 1.2289, 1.2685, 1.3132, 1.3642, 1.4231, 1.4913, 1.5731, 1.6783, 1.7867, 1.8183};
constexpr std::array<double, 33> offset_table = {
    -0.2462, -0.2266, -0.2053, -0.2302, -0.2326, -0.2335, -0.2362, -0.2421, -0.2463,
    -0.2604, -0.2656, -0.2749, -0.2919, -0.303,  -0.314,  -0.3265, -0.3491, -0.3664,
    -0.3892, -0.4204, -0.4548, -0.4855, -0.5339, -0.5872, -0.6491, -0.7354, -0.8478,
    -0.993,  -1.18,   -1.4448, -1.9414, -2.7149, -3.0292};
constexpr double knot_spacing = 0.04908738521234052;  // pi/64

// The smallest degree floor; the estimate never returns less.
constexpr std::size_t min_degree = 5;
// The strip width of pass 2 is this factor times sin(2 pi/N_theta) times the largest real part.
constexpr double strip_factor = 1.05;
// Share of the eigenvalues' movement over a whole grid step that the strip is widened by: half a
// step, and a fifth more for curvature and uneven speed along the step.
constexpr double half_step_share = 0.6;

// ceil(q) as a 32-bit integer; NaN and out-of-range values give the most negative one.
std::int32_t ceil_to_int32(double q) {
    const double c = std::ceil(q);
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    if (!(c >= lo && c <= hi)) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(c);
}

// Steps of the common angle in the single-angle grid. The term of the largest delay turns by
// delay_steps times the common angle, so a common step of 2 pi/(delay_steps N_theta) turns it by
// 2 pi/N_theta, the resolution every term gets on the multi-angle grid. (A common step of
// 2 pi/N_theta would turn it by whole turns only: that term would never change its phase.)
std::size_t single_angle_steps(std::size_t N_theta) {
    std::size_t steps = 0;
    if (__builtin_mul_overflow(N_theta, delay_steps, &steps)) {
        throw std::length_error("compute_N_rhp: the angle grid is too large to enumerate");
    }
    return steps;
}

// Number of grid samples per pass; throws std::length_error when n times it overflows.
std::size_t sample_count(bool single_angle, std::size_t m, std::size_t N_theta) {
    if (single_angle) return single_angle_steps(N_theta);
    if (m < 2) return 1;  // no delayed term: the empty tuple only
    std::size_t S = N_theta / 2 + 1;
    for (std::size_t i = 0; i + 2 < m; ++i) {
        if (__builtin_mul_overflow(S, N_theta, &S)) {
            throw std::length_error("compute_N_rhp: the angle grid is too large to enumerate");
        }
    }
    return S;
}

// Bound on how far an eigenvalue of a sample matrix moves when every phase angle moves by half a
// grid step, pi/N_theta: the sample matrix then changes by at most
// sum_{k>=1} e^{-r h_k} |A_k|_2 |e^{i pi/N_theta} - 1| in the spectral norm, and for a normal matrix
// no eigenvalue moves by more than that (Bauer-Fike). The single-angle grid turns each term by at
// most the same angle per half step.
double sample_spacing_margin(const lagsys& sys, double r, std::size_t N_theta) {
    const double chord = 2.0 * std::sin(std::numbers::pi / (2.0 * static_cast<double>(N_theta)));
    double margin = 0.0;
    for (std::size_t k = 0; k < sys.mA(); ++k) {
        const double h = sys.hA()[k];
        if (h == 0.0) continue;  // an undelayed term has no phase
        const double norm = detail::spectral_norm(sys.A(k));
        if (norm > 0.0) margin += std::exp(-r * h) * norm * chord;
    }
    return std::isnan(margin) ? 0.0 : margin;
}

// Largest distance from a point of one set to the nearest point of the other (Hausdorff distance),
// from squared distances: no hypot in the inner loop.
double hausdorff_distance(const std::complex<double>* a, const std::complex<double>* b, std::size_t n) {
    double d2 = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < n; ++i) {
            double nearest = std::numeric_limits<double>::infinity();
            for (std::size_t j = 0; j < n; ++j) nearest = std::min(nearest, std::norm(a[i] - b[j]));
            d2 = std::max(d2, nearest);
        }
        std::swap(a, b);
    }
    return std::sqrt(d2);
}

// For every sample of a grid with the given extents (index 0 fastest; indices of periodic
// dimensions wrap around), how far its n eigenvalues travel in one grid step: per dimension the
// larger Hausdorff distance to the eigenvalues of its two neighbours, summed over the dimensions
// (a point of the grid's cell is off the nearest sample in every dimension at once). E holds n
// eigenvalues per sample in grid order.
std::vector<double> neighbour_movement(const std::vector<std::complex<double>>& E, std::size_t n,
                                       const std::vector<std::size_t>& extents,
                                       const std::vector<bool>& periodic) {
    const std::size_t S = E.size() / n;
    std::vector<double> movement(S, 0.0);
    std::vector<double> along(S);
    std::size_t stride = 1;
    for (std::size_t dim = 0; dim < extents.size(); ++dim) {
        const std::size_t extent = extents[dim];
        std::fill(along.begin(), along.end(), 0.0);
        for (std::size_t s = 0; s < S; ++s) {
            const std::size_t c = (s / stride) % extent;
            std::size_t t = 0;
            if (c + 1 < extent) {
                t = s + stride;
            } else if (periodic[dim] && extent > 2) {
                t = s - c * stride;
            } else {
                continue;
            }
            const double d = hausdorff_distance(&E[s * n], &E[t * n], n);
            along[s] = std::max(along[s], d);
            along[t] = std::max(along[t], d);
        }
        for (std::size_t s = 0; s < S; ++s) movement[s] += along[s];
        stride *= extent;
    }
    return movement;
}

}  // namespace

template <bool single_angle>
std::size_t compute_N_rhp_impl(const lagsys& sys, double r, std::size_t N_theta) {
    require_resolution(N_theta, "compute_N_rhp");
    const std::size_t m = sys.mA();
    if (m == 0) {
        if constexpr (single_angle) {
            (void)sys.hA().at(0);
            (void)sys.A(0);
        } else {
            throw std::length_error("compute_N_rhp: the system has no matrices");
        }
    }
    detail::require_delay_per_matrix(sys);
    detail::require_square_terms(sys, "compute_N_rhp");
    const Eigen::Index n = sys.n();
    if (n == 0) return min_degree;

    const std::size_t S = sample_count(single_angle, m, N_theta);
    std::size_t E_size = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(n), S, &E_size)) {
        throw std::length_error("compute_N_rhp: the angle grid is too large to enumerate");
    }

    Eigen::MatrixXcd M(n, n);
    // Default-constructed: after a failed first sample it holds no stale eigenvalues.
    Eigen::ComplexEigenSolver<Eigen::MatrixXcd> solver;
    std::vector<std::complex<double>> E;
    E.reserve(E_size);

    // Calls sample(M) once per grid sample with M filled for the shift s.
    const auto for_each_sample = [&](double s, auto&& sample) {
        if constexpr (single_angle) {
            const std::size_t steps = single_angle_steps(N_theta);
            for (std::size_t j = 0; j < steps; ++j) {
                create_matrix(sys, M, r, s, j, steps);
                sample();
            }
        } else {
            for (const auto& indices : utils::ThetaRange(m - 1, N_theta)) {
                create_matrix(sys, M, r, s, indices, N_theta);
                sample();
            }
        }
    };

    // Pass 1: all eigenvalues, measured from the bound r.
    for_each_sample(0.0, [&] {
        solver.compute(M, false);
        const auto& mu = solver.eigenvalues();
        E.insert(E.end(), mu.data(), mu.data() + mu.size());
    });
    if (E.empty()) return min_degree;

    double rho = E.front().real();
    for (const auto& mu : E) rho = std::max(rho, mu.real());
    const double R = std::sin(two_pi / static_cast<double>(N_theta)) * strip_factor * rho;

    const utils::CubicSpline slope(0.0, knot_spacing, slope_table);
    const utils::CubicSpline offset(0.0, knot_spacing, offset_table);
    // The curves are calibrated for delays of order one; a Chebyshev grid on [-tau, 0] needs a
    // degree that grows with |mu| tau, so moduli are measured in units of 1/max(1, tau).
    const double scale = std::max(1.0, detail::max_delay(sys));
    const auto required_at = [&](std::complex<double> z) {
        const double phi = std::abs(std::atan2(z.imag(), z.real()));
        return ceil_to_int32((scale * std::abs(z) - offset(phi)) / slope(phi));
    };
    // mu is measured from r, but the discretization must resolve the root lambda = r + mu itself.
    // For r > 0 the root lies farther out and nearer the real axis than mu, and needs more: a long
    // delay then loses roots that |mu| alone would call easy.
    const auto required = [&](std::complex<double> mu) {
        const std::int32_t K = required_at(mu);
        return r > 0.0 ? std::max(K, required_at(mu + r)) : K;
    };

    // The strip 0 <= Re mu <= R is widened by the distance an eigenvalue can travel between a grid
    // point and the nearest sample: an eigenvalue curve that crosses the strip between two samples
    // then still has a sample in the widened band. Without it a curve that moves faster than R per
    // step can step over the strip, and the roots on it are lost. The distance is the bound from
    // the matrices' norms, or, where smaller, the distance the sample's eigenvalues were seen to
    // travel to its neighbours, scaled from a whole step to the half step that matters with some
    // room for curvature and uneven speed: the norm bound is far from sharp for larger n, and a
    // wider band costs degree for nothing.
    std::int32_t K1 = 0;
    if (R >= 0.0) {
        const double bound = sample_spacing_margin(sys, r, N_theta);
        const std::size_t n_eig = static_cast<std::size_t>(n);
        std::vector<double> movement;
        if (E.size() == n_eig * S) {
            std::vector<std::size_t> extents;
            std::vector<bool> periodic;
            if constexpr (single_angle) {
                extents = {S};
                periodic = {true};
            } else {
                extents.assign(m - 1, N_theta);
                periodic.assign(m - 1, true);
                if (m >= 2) {
                    extents[0] = N_theta / 2 + 1;
                    periodic[0] = false;  // 0 ... pi: the other half turn is its conjugate
                }
            }
            movement = neighbour_movement(E, n_eig, extents, periodic);
        }
        for (std::size_t i = 0; i < E.size(); ++i) {
            const double margin =
                movement.empty() ? bound : std::min(bound, half_step_share * movement[i / n_eig]);
            const double re = E[i].real();
            if (re >= -margin && re <= R + margin) K1 = std::max(K1, required(E[i]));
        }
    }

    // Pass 2: the same grid shifted by the strip width.
    std::int32_t K2 = 0;
    for_each_sample(R, [&] {
        solver.compute(M, false);
        for (const auto& mu : solver.eigenvalues()) {
            if (mu.real() >= R) K2 = std::max(K2, required(mu));
        }
    });

    return std::max(min_degree, static_cast<std::size_t>(std::max(K1, K2)));
}

template std::size_t compute_N_rhp_impl<false>(const lagsys&, double, std::size_t);
template std::size_t compute_N_rhp_impl<true>(const lagsys&, double, std::size_t);

namespace {

// The same system with a zero-delay term first: the first term of zero delay moves to the front,
// or a zero matrix at delay 0 is put there. Delays beyond the matrices are kept at the end.
lagsys with_undelayed_first_term(const lagsys& sys) {
    const std::size_t m = sys.mA();
    const auto& h = sys.hA();
    std::vector<Eigen::MatrixXd> A;
    std::vector<double> hA;
    A.reserve(m + 1);
    hA.reserve(h.size() + 1);
    std::size_t front = m;
    for (std::size_t k = 0; k < m; ++k) {
        if (h[k] == 0.0) {
            front = k;
            break;
        }
    }
    if (front == m) {
        A.push_back(Eigen::MatrixXd::Zero(sys.n(), sys.n()));
        hA.push_back(0.0);
    } else {
        A.push_back(sys.A(front));
        hA.push_back(h[front]);
    }
    for (std::size_t k = 0; k < m; ++k) {
        if (k == front) continue;
        A.push_back(sys.A(k));
        hA.push_back(h[k]);
    }
    hA.insert(hA.end(), h.begin() + static_cast<std::ptrdiff_t>(m), h.end());
    return lagsys(std::move(A), std::move(hA));
}

constexpr std::size_t max_multi_angle_terms = 4;

std::size_t dispatch(const lagsys& sys, double r, std::size_t N_theta) {
    return sys.mA() > max_multi_angle_terms ? compute_N_rhp_impl<true>(sys, r, N_theta)
                                            : compute_N_rhp_impl<false>(sys, r, N_theta);
}

}  // namespace

std::size_t compute_N_rhp(const lagsys& sys, double r, std::size_t N_theta) {
    require_resolution(N_theta, "compute_N_rhp");
    if (sys.mA() == 0) throw std::length_error("compute_N_rhp: the system has no matrices");
    detail::require_delay_per_matrix(sys);
    detail::require_square_terms(sys, "compute_N_rhp");
    // The sampled matrices give the first term no phase, which is right only for delay 0.
    if (sys.hA()[0] != 0.0) return dispatch(with_undelayed_first_term(sys), r, N_theta);
    return dispatch(sys, r, N_theta);
}

}  // namespace lagsys
