// The checked layer's helpers, and the polygon mask reached with arrays.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#if defined(__SSE2__) && !defined(TROVEL_PORTABLE)
#include <emmintrin.h>
#endif

#include "kernels/bindings.hpp"
#include "trovel/trovel.hpp"

namespace trovel {
namespace {

// The checked layer's helpers.  Each does what one numpy expression would,
// without the few microseconds of set-up that numpy spends on every
// expression (a ctypes object for an address, temporaries for a test),
// which dominate calls on small grids.

// The address of a C-contiguous array's data.  A buffer request without
// strides fails for any other layout, so no address of a strided view is
// ever handed out.
std::uintptr_t data_address(py::handle array) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    const auto at = reinterpret_cast<std::uintptr_t>(view.buf);
    PyBuffer_Release(&view);
    return at;
}

bool all_finite(const ExactReals& a) {
    return finite_values(a.data(), static_cast<std::size_t>(a.size()));
}

// Whether each element is at least the one before it (so no NaN, unless
// alone).  Every pair is compared, without an early way out.
bool ascending(const ExactReals& a) {
    const double* v = a.data();
    const py::ssize_t n = a.size();
    py::ssize_t i = 1;
    int falls = 0;
#if defined(__SSE2__) && !defined(TROVEL_PORTABLE)
    __m128d fell = _mm_setzero_pd();
    for (; i + 2 <= n; i += 2)
        fell = _mm_or_pd(fell, _mm_cmpnge_pd(_mm_loadu_pd(v + i), _mm_loadu_pd(v + i - 1)));
    falls = _mm_movemask_pd(fell);
#endif
    for (; i < n; ++i) falls |= v[i] >= v[i - 1] ? 0 : 1;
    return falls == 0;
}

// The even-odd mask of a polygon at the points of a grid: the raw module's
// kernel, called with the arrays themselves.  From Python that call costs a
// ctypes object per address and a copy per coordinate column, several times
// the kernel's own time on a small grid; here the kernel reads the (x, y)
// pairs in place.  The lock stays held, so no other thread changes an input
// while the kernel reads it.
void polygon_mask(const ExactReals& polygon, const ExactReals& grid_x, const ExactReals& grid_y,
                  py::array mask) {
    if (polygon.ndim() != 2 || polygon.shape(1) != 2)
        throw std::invalid_argument("polygon must have shape (n, 2)");
    if (grid_x.ndim() != 1 || grid_y.ndim() != 1)
        throw std::invalid_argument("grid_x and grid_y must be 1-d");
    const py::ssize_t nx = grid_x.size(), ny = grid_y.size();
    if (!py::isinstance<py::array_t<bool>>(mask) || mask.ndim() != 2 || mask.shape(0) != ny ||
        mask.shape(1) != nx || !(mask.flags() & py::array::c_style) || !mask.writeable())
        throw std::invalid_argument("mask must be a writable C-contiguous bool array of shape "
                                    "(len(grid_y), len(grid_x))");
    const double* xy = polygon.data();
    const auto count = [](py::ssize_t k) { return static_cast<std::uint64_t>(k); };
    poly_grid_contains({xy, xy + 1, count(polygon.shape(0)), 2}, {grid_x.data(), count(nx)},
                               {grid_y.data(), count(ny)},
                               static_cast<std::uint8_t*>(mask.mutable_data()));
}

}  // namespace

void bind_checks(py::module_& m) {
    m.def("polygon_mask", &polygon_mask, py::arg("polygon").noconvert(),
          py::arg("grid_x").noconvert(), py::arg("grid_y").noconvert(), py::arg("mask"));
    m.def("data_address", &data_address, py::arg("array"));
    m.def("all_finite", &all_finite, py::arg("array").noconvert());
    m.def("ascending", &ascending, py::arg("array").noconvert());
}

}  // namespace trovel
