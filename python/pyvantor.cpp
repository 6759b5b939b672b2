// The extension module pyvantor: the class lagsys and the function roots.
#include <algorithm>
#include <complex>
#include <vector>

#include <nanobind/eigen/dense.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/vector.h>

#include "lagsys.hpp"

namespace nb = nanobind;

namespace {

// The delays as a writable view of the stored vector, one per matrix. A system built with fewer
// delays than matrices shows only the delays it has, so the view never reaches past them.
nb::ndarray<nb::numpy, double> delays_view(const lagsys::lagsys& sys) {
    const std::size_t length = std::min(sys.mA(), sys.hA().size());
    // The view is writable by design; the stored vector itself is never resized.
    auto* data = const_cast<double*>(sys.hA().data());
    return nb::ndarray<nb::numpy, double>(data, {length}, nb::handle());
}

}  // namespace

NB_MODULE(pyvantor, m) {
    m.doc() = "vantor python bindings";

    nb::class_<lagsys::lagsys>(m, "lagsys")
        .def(nb::init<std::vector<Eigen::MatrixXd>, std::vector<double>>(), "hA")
        .def_prop_ro("mA", &lagsys::lagsys::mA)
        .def_prop_ro("n", &lagsys::lagsys::n)
        .def("A", &lagsys::lagsys::A, nb::rv_policy::reference_internal)
        .def("hA", &delays_view, nb::rv_policy::reference_internal);

    // The computation runs without the GIL (threads and thread pools run in parallel) on a copy
    // taken while holding it: no other thread can change the system under it (its delays are a
    // writable view).
    m.def("roots", [](const lagsys::lagsys& sys, double r) {
        const lagsys::lagsys snapshot = sys;
        nb::gil_scoped_release release;
        return lagsys::roots(snapshot, r);
    });
}
