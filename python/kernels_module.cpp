// The private extension module vantor._kernels: the library's batched kernels for the package's
// analyses (vantor's counts and Newton iterations call them; they are not a public interface).
#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/tuple.h>

#include "kernels.hpp"

namespace nb = nanobind;

namespace {

template <typename T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> owned_array(std::size_t size) {
    T* data = new T[size > 0 ? size : 1];
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(data, {size}, owner);
}

using Matrices = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using Vector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Points = nb::ndarray<const std::complex<double>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

auto log_derivatives(Matrices matrices, Vector delays, Points lam) {
    const std::size_t m = matrices.shape(0), n = matrices.shape(1);
    if (matrices.shape(2) != n) {
        throw std::invalid_argument("matrices must have shape (m, n, n), got (" + std::to_string(m) +
                                    ", " + std::to_string(n) + ", " + std::to_string(matrices.shape(2)) + ")");
    }
    if (delays.shape(0) != m) {
        throw std::invalid_argument("delays must have one entry per matrix: " + std::to_string(m) +
                                    " matrices, " + std::to_string(delays.shape(0)) + " delays");
    }
    const std::size_t count = lam.shape(0);
    auto phase = owned_array<double>(count);
    auto trace = owned_array<std::complex<double>>(count);
    auto status = owned_array<std::uint8_t>(count);
    const lagsys::kernels::SystemView view{matrices.data(), delays.data(), m, n};
    {
        nb::gil_scoped_release release;
        lagsys::kernels::log_derivatives(view, lam.data(), count, phase.data(), trace.data(),
                                         status.data());
    }
    return nb::make_tuple(phase, trace, status);
}

double modulus_bound(Matrices matrices, Vector norms, Vector delays, double r) {
    const std::size_t m = matrices.shape(0), n = matrices.shape(1);
    if (matrices.shape(2) != n || norms.shape(0) != m || delays.shape(0) != m) {
        throw std::invalid_argument("modulus_bound: matrices must have shape (m, n, n), norms and "
                                    "delays shape (m,)");
    }
    const lagsys::kernels::SystemView view{matrices.data(), delays.data(), m, n};
    nb::gil_scoped_release release;
    return lagsys::kernels::modulus_bound(view, norms.data(), r);
}

using ComplexMatrix = nb::ndarray<const std::complex<double>, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using ComplexVector = nb::ndarray<const std::complex<double>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

auto low_rank_log_derivatives(ComplexMatrix T, ComplexMatrix U, ComplexMatrix V, Vector delays, Points lam) {
    const std::size_t n = T.shape(0), r = U.shape(1);
    if (T.shape(1) != n || U.shape(0) != n || V.shape(0) != n || V.shape(1) != r || delays.shape(0) != r) {
        throw std::invalid_argument("low_rank_log_derivatives: T must have shape (n, n), U and V (n, r), "
                                    "delays (r,)");
    }
    const std::size_t count = lam.shape(0);
    auto phase = owned_array<double>(count);
    auto trace = owned_array<std::complex<double>>(count);
    auto status = owned_array<std::uint8_t>(count);
    const lagsys::kernels::LowRankView view{T.data(), U.data(), V.data(), delays.data(), n, r};
    {
        nb::gil_scoped_release release;
        lagsys::kernels::low_rank_log_derivatives(view, lam.data(), count, phase.data(), trace.data(),
                                                  status.data());
    }
    return nb::make_tuple(phase, trace, status);
}

template <typename T>
nb::ndarray<nb::numpy, T, nb::ndim<2>> owned_matrix(const std::vector<T>& values, std::size_t rows,
                                                    std::size_t cols) {
    T* data = new T[rows * cols > 0 ? rows * cols : 1];
    std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rows * cols), data);
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<2>>(data, {rows, cols}, owner);
}

auto compact_arnoldi(Matrices matrices, ComplexMatrix rows, ComplexMatrix R, ComplexVector r,
                     std::complex<double> sigma, Vector start, std::size_t steps) {
    const std::size_t m = matrices.shape(0), n = matrices.shape(1), N = R.shape(0);
    if (matrices.shape(2) != n || R.shape(1) != N || r.shape(0) != N || rows.shape(0) != m ||
        rows.shape(1) != N + 1 || start.shape(0) != n) {
        throw std::invalid_argument("compact_arnoldi: matrices must have shape (m, n, n), rows (m, N + 1), "
                                    "R (N, N), r (N,) and start (n,)");
    }
    if (steps == 0 || steps > 100000) {
        throw std::invalid_argument("compact_arnoldi: steps must be in [1, 100000], got " + std::to_string(steps));
    }
    const lagsys::kernels::SystemView view{matrices.data(), nullptr, m, n};
    const lagsys::kernels::CollocationView collocation{rows.data(), R.data(), r.data(), N};
    lagsys::kernels::CompactArnoldi result;
    {
        nb::gil_scoped_release release;
        result = lagsys::kernels::compact_arnoldi(view, collocation, sigma, start.data(), steps);
    }
    if (result.singular) {
        return nb::make_tuple(owned_matrix<std::complex<double>>({}, 0, 0), owned_matrix<std::complex<double>>({}, 0, 0),
                              owned_matrix<std::complex<double>>({}, 0, 0), true);
    }
    return nb::make_tuple(owned_matrix(result.H, steps + 1, steps),
                          owned_matrix(result.first, result.done, result.p),
                          owned_matrix(result.U, n, result.p), false);
}

int permutation_parity(nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> perm) {
    return lagsys::kernels::permutation_parity(perm.data(), perm.shape(0));
}

}  // namespace

NB_MODULE(_kernels, m) {
    m.doc() = "Batched numerical kernels of vantor's analyses (private).";
    m.def("log_derivatives", &log_derivatives, nb::arg("matrices"), nb::arg("delays"), nb::arg("lam"),
          "At each point lam[i]: arg det Delta(lam[i]), the logarithmic derivative trace(Delta^-1 "
          "Delta') and a status (0 regular, 1 exactly singular, 2 non-finite Delta), for matrices of "
          "shape (m, n, n) and delays of shape (m,), without the GIL.");
    m.def("modulus_bound", &modulus_bound, nb::arg("matrices"), nb::arg("norms"), nb::arg("delays"),
          nb::arg("r"),
          "min(sum_k norms_k exp(-r h_k), rho(sum_k |A_k| exp(-r h_k))): a bound on the moduli of "
          "the roots right of r.");
    m.def("low_rank_log_derivatives", &low_rank_log_derivatives, nb::arg("T"), nb::arg("U"), nb::arg("V"),
          nb::arg("delays"), nb::arg("lam"),
          "log_derivatives of lambda I - T - U diag(exp(-lambda delays)) V^H (T upper triangular, U "
          "and V of shape (n, r)) in O(n^2 r) per point; status 3 where lambda is a diagonal entry of T.");
    m.def("compact_arnoldi", &compact_arnoldi, nb::arg("matrices"), nb::arg("rows"), nb::arg("R"),
          nb::arg("r"), nb::arg("sigma"), nb::arg("start"), nb::arg("steps"),
          "Arnoldi on the shifted and inverted Chebyshev collocation of a dense system in compact "
          "form, without the GIL: (H of shape (steps + 1, steps), the first coefficients (done, p), "
          "U of shape (n, p), singular); the steps taken are the rows of the second. singular is "
          "True (and the arrays empty) when sum_k c_k A_k - sigma I is exactly singular.");
    m.def("permutation_parity", &permutation_parity, nb::arg("perm"),
          "The parity (0 even, 1 odd) of a permutation of 0..n-1 given as int64 entries; "
          "ValueError when perm is not one.");
}
