// The binding table of trovel._kernels is split by capability: each file
// registers its own callables.  Arrays arrive checked by the Python layer;
// what a driver indexes by is checked again here (cheaply), so that no
// argument can make it read or write out of bounds.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>

namespace trovel {

namespace py = pybind11;

// Float64 arrays as drivers read them: C-contiguous, converted if need be
// (the Python layer hands over float64 already, so nothing is copied).
using RealArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
// The same, never converted: a copy would hide a caller's wrong dtype.
using ExactReals = py::array_t<double, py::array::c_style>;

// The data of `out`, a writable C-contiguous float64 array of `ndim`
// dimensions and the given shape.
inline double* checked_out(const py::array& out, py::ssize_t ndim, const py::ssize_t* shape) {
    if (!py::isinstance<py::array_t<double>>(out) || out.ndim() != ndim ||
        !(out.flags() & py::array::c_style) || !out.writeable())
        throw std::invalid_argument("out must be a writable C-contiguous float64 array");
    for (py::ssize_t d = 0; d < ndim; ++d)
        if (out.shape(d) != shape[d]) throw std::invalid_argument("out has the wrong shape");
    return static_cast<double*>(const_cast<void*>(out.data()));
}

void bind_checks(py::module_& m);    // checks.cpp: the checked layer's helpers, the mask
void bind_render(py::module_& m);    // render/binding.cpp: the exact renderer
void bind_coverage(py::module_& m);  // coverage.cpp: edge, circle and strut coverage
void bind_deposit(py::module_& m);   // deposit.cpp: triangles onto an image in its own frame

}  // namespace trovel
