// The checked layer's helpers, and the polygon mask reached with arrays.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <vector>
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

// ---- simple polygons --------------------------------------------------------

struct Vertex {
    double x, y;
};

// The sign of the turn a -> b -> c: -1, 0 or 1.
int orientation(Vertex a, Vertex b, Vertex c) {
    const double t = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    return (t > 0.0) - (t < 0.0);
}

// Whether c, on the line of a-b, lies within the segment's box.
bool within_box(Vertex a, Vertex b, Vertex c) {
    return std::min(a.x, b.x) <= c.x && c.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= c.y &&
           c.y <= std::max(a.y, b.y);
}

// Whether the closed segments p-q and r-s share a point.
bool segments_meet(Vertex p, Vertex q, Vertex r, Vertex s) {
    const int o1 = orientation(p, q, r), o2 = orientation(p, q, s);
    const int o3 = orientation(r, s, p), o4 = orientation(r, s, q);
    if (o1 * o2 < 0 && o3 * o4 < 0) return true;
    return (o1 == 0 && within_box(p, q, r)) || (o2 == 0 && within_box(p, q, s)) ||
           (o3 == 0 && within_box(r, s, p)) || (o4 == 0 && within_box(r, s, q));
}

// The first fault of the closed polygon through `vertices` ((n, 2), n >= 3)
// as a simple polygon: (0, -1, -1) for none; (1, i, i + 1) when vertex i
// repeats at once; (2, i, j) for the first pair of edges, i < j in the order
// (i, then j), that meet although they are not neighbours (edge i runs from
// vertex i to vertex i + 1); (3, k, -1) when the boundary turns straight
// back at vertex k.  Only edges whose boxes overlap can meet: the edges are
// sorted by their boxes' left sides, so that the edges an edge's box may
// overlap in x follow it in a run.  The checked layer hands it vertices of
// its own (scaled copies), which no other thread holds, so the sweep runs
// without the lock.
py::tuple polygon_fault(const ExactReals& vertices) {
    if (vertices.ndim() != 2 || vertices.shape(1) != 2 || vertices.shape(0) < 3)
        throw std::invalid_argument("vertices must have shape (n, 2), n >= 3");
    const std::int64_t n = vertices.shape(0);
    const double* xy = vertices.data();
    const auto at = [&](std::int64_t i) { return Vertex{xy[2 * (i % n)], xy[2 * (i % n) + 1]}; };
    for (std::int64_t i = 0; i < n; ++i) {
        const Vertex a = at(i), b = at(i + 1);
        if (a.x == b.x && a.y == b.y) return py::make_tuple(1, i, (i + 1) % n);
    }
    std::int64_t first_i = -1, first_j = -1;
    {
        py::gil_scoped_release unlocked;
        std::vector<Vertex> lo(static_cast<std::size_t>(n)), hi(lo.size());
        for (std::int64_t i = 0; i < n; ++i) {
            const Vertex a = at(i), b = at(i + 1);
            lo[i] = {std::min(a.x, b.x), std::min(a.y, b.y)};
            hi[i] = {std::max(a.x, b.x), std::max(a.y, b.y)};
        }
        std::vector<std::int64_t> order(lo.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::int64_t a, std::int64_t b) { return lo[a].x < lo[b].x; });
        for (std::int64_t p = 0; p < n; ++p) {
            const std::int64_t e = order[p];
            for (std::int64_t q = p + 1; q < n && lo[order[q]].x <= hi[e].x; ++q) {
                const std::int64_t i = std::min(e, order[q]), j = std::max(e, order[q]);
                if (j - i < 2 || (i == 0 && j == n - 1)) continue;   // neighbours
                if (lo[i].y > hi[j].y || lo[j].y > hi[i].y) continue;
                if (first_i >= 0 && (i > first_i || (i == first_i && j > first_j))) continue;
                if (segments_meet(at(i), at(i + 1), at(j), at(j + 1))) first_i = i, first_j = j;
            }
        }
    }
    if (first_i >= 0) return py::make_tuple(2, first_i, first_j);
    for (std::int64_t i = 0; i < n; ++i) {
        const Vertex a = at(i), b = at(i + 1), c = at(i + 2);
        const double d1x = b.x - a.x, d1y = b.y - a.y, d2x = c.x - b.x, d2y = c.y - b.y;
        if (d1x * d2y - d1y * d2x == 0.0 && d1x * d2x + d1y * d2y < 0.0)
            return py::make_tuple(3, (i + 1) % n, -1);
    }
    return py::make_tuple(0, -1, -1);
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
    m.def("polygon_fault", &polygon_fault, py::arg("vertices").noconvert());
}

}  // namespace trovel
