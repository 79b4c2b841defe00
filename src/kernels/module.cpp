// trovel._kernels: the table of the project's own native callables: the
// exact renderer, the polygon mask reached without raw addresses, and small
// buffer helpers of the checked Python layer.  Arrays arrive already
// checked by the Python layer; what the kernels index by is checked again
// here (cheaply) so that no argument can make a kernel read or write out of
// bounds.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#if defined(__SSE2__) && !defined(TROVEL_PORTABLE)
#include <emmintrin.h>
#endif
#include <string>

#include "kernels/render/render.hpp"
#include "trovel/trovel.hpp"

namespace py = pybind11;
using namespace trovel_render;

namespace {

using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
using RealArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

Shape read_shape(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
                 const RealArray& coords, const IntArray& program) {
    const py::ssize_t np = kinds.size();
    if (starts.size() != np || counts.size() != np)
        throw std::invalid_argument("kinds, starts and counts must have one entry per primitive");
    const int32_t* k = kinds.data();
    const int32_t* s = starts.data();
    const int32_t* c = counts.data();
    const double* v = coords.data();
    Shape shape;
    for (py::ssize_t i = 0; i < np; ++i) {
        Primitive p{k[i], nullptr, c[i], 0, 0, 0, 0};
        const int64_t need = k[i] == kDisc ? 3 : 2 * static_cast<int64_t>(c[i]);
        if ((k[i] != kDisc && k[i] != kPolygon) || (k[i] == kPolygon && c[i] < 3) || s[i] < 0 ||
            s[i] + need > coords.size())
            throw std::invalid_argument("primitive " + std::to_string(i) + " is malformed");
        p.v = v + s[i];
        if (k[i] == kDisc) {
            if (!(p.v[2] > 0.0)) throw std::invalid_argument("a disc's radius must be positive");
            p.xmin = p.v[0] - p.v[2]; p.xmax = p.v[0] + p.v[2];
            p.ymin = p.v[1] - p.v[2]; p.ymax = p.v[1] + p.v[2];
        } else {
            p.xmin = p.xmax = p.v[0];
            p.ymin = p.ymax = p.v[1];
            for (int j = 1; j < p.n; ++j) {
                p.xmin = std::min(p.xmin, p.v[2 * j]); p.xmax = std::max(p.xmax, p.v[2 * j]);
                p.ymin = std::min(p.ymin, p.v[2 * j + 1]); p.ymax = std::max(p.ymax, p.v[2 * j + 1]);
            }
        }
        shape.prims.push_back(p);
    }
    int64_t depth = 0;
    for (py::ssize_t i = 0; i < program.size(); ++i) {
        const int32_t code = program.data()[i];
        if (code >= np || code < kComplement)
            throw std::invalid_argument("program code out of range");
        depth += code >= 0 ? 1 : (code == kComplement ? 0 : -1);
        if (depth < 1) throw std::invalid_argument("program pops an empty stack");
        shape.program.push_back(code);
    }
    if (depth != 1) throw std::invalid_argument("program must leave exactly one value");
    return shape;
}

void check_out(const py::array& out, py::ssize_t ndim, const py::ssize_t* shape) {
    if (!py::isinstance<py::array_t<double>>(out) || out.ndim() != ndim ||
        !(out.flags() & py::array::c_style) || !out.writeable())
        throw std::invalid_argument("out must be a writable C-contiguous float64 array");
    for (py::ssize_t d = 0; d < ndim; ++d)
        if (out.shape(d) != shape[d]) throw std::invalid_argument("out has the wrong shape");
}

void grid(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
          const RealArray& coords, const IntArray& program, double x0, double y0, double m00,
          double m01, double m10, double m11, int64_t r0, int64_t r1, int64_t c0, int64_t c1,
          py::array out, int threads) {
    Shape shape = read_shape(kinds, starts, counts, coords, program);
    index_edges(shape);  // shape stays where it is from here on: the bands are pointed to
    if (r1 < r0 || c1 < c0) throw std::invalid_argument("empty or reversed range");
    const py::ssize_t dims[2] = {static_cast<py::ssize_t>(r1 - r0), static_cast<py::ssize_t>(c1 - c0)};
    check_out(out, 2, dims);
    double* dst = static_cast<double*>(out.mutable_data());
    const GridMap map{x0, y0, m00, m01, m10, m11};
    py::gil_scoped_release unlocked;
    render_grid(shape, map, r0, r1, c0, c1, dst, threads);
}

void footprints(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
                const RealArray& coords, const IntArray& program, const RealArray& qx,
                const RealArray& qy, const RealArray& j00, const RealArray& j01,
                const RealArray& j10, const RealArray& j11, py::array out, int threads) {
    Shape shape = read_shape(kinds, starts, counts, coords, program);
    index_edges(shape);  // shape stays where it is from here on: the bands are pointed to
    const py::ssize_t n = qx.size();
    for (const RealArray* a : {&qy, &j00, &j01, &j10, &j11})
        if (a->size() != n) throw std::invalid_argument("footprint arrays differ in length");
    check_out(out, 1, &n);
    double* dst = static_cast<double*>(out.mutable_data());
    py::gil_scoped_release unlocked;
    render_footprints(shape, qx.data(), qy.data(), j00.data(), j01.data(), j10.data(),
                      j11.data(), n, dst, threads);
}

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

using ExactReals = py::array_t<double, py::array::c_style>;
constexpr std::uint64_t kExponentBits = 0x7ff0000000000000;
constexpr std::uint64_t kExponentOne = 0x0010000000000000;

// Whether no element is infinite or NaN.  Those are the values with every
// exponent bit set: adding one to the exponent field then carries into the
// sign bit.  Only integer operations, so the loop runs in vector registers.
bool all_finite(const ExactReals& a) {
    const double* v = a.data();
    const py::ssize_t n = a.size();
    std::uint64_t carries = 0;
    for (py::ssize_t i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, v + i, sizeof bits);
        carries |= (bits & kExponentBits) + kExponentOne;
    }
    return (carries >> 63) == 0;
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
    trovel::poly_grid_contains({xy, xy + 1, count(polygon.shape(0)), 2}, {grid_x.data(), count(nx)},
                               {grid_y.data(), count(ny)},
                               static_cast<std::uint8_t*>(mask.mutable_data()));
}

}  // namespace

PYBIND11_MODULE(_kernels, m) {
    m.doc() = "The project's own native kernels (private; use the trovel package).";
    m.def("grid", &grid, py::arg("kinds"), py::arg("starts"), py::arg("counts"),
          py::arg("coords"), py::arg("program"), py::arg("x0"), py::arg("y0"), py::arg("m00"),
          py::arg("m01"), py::arg("m10"), py::arg("m11"), py::arg("r0"), py::arg("r1"),
          py::arg("c0"), py::arg("c1"), py::arg("out"), py::arg("threads"));
    m.def("polygon_mask", &polygon_mask, py::arg("polygon").noconvert(),
          py::arg("grid_x").noconvert(), py::arg("grid_y").noconvert(), py::arg("mask"));
    m.def("data_address", &data_address, py::arg("array"));
    m.def("all_finite", &all_finite, py::arg("array").noconvert());
    m.def("ascending", &ascending, py::arg("array").noconvert());
    m.def("footprints", &footprints, py::arg("kinds"), py::arg("starts"), py::arg("counts"),
          py::arg("coords"), py::arg("program"), py::arg("qx"), py::arg("qy"), py::arg("j00"),
          py::arg("j01"), py::arg("j10"), py::arg("j11"), py::arg("out"), py::arg("threads"));
}
