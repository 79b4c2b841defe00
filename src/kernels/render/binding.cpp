// The exact renderer's callables: a shape's flat description (a table of
// primitives and a postfix program over them) rendered onto a window of a
// lazy grid or onto per-pixel footprints, with the lock released.
#include <cstdint>
#include <string>

#include "kernels/bindings.hpp"
#include "render.hpp"

namespace trovel {
namespace {

using namespace trovel_render;
using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

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

void grid(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
          const RealArray& coords, const IntArray& program, double x0, double y0, double m00,
          double m01, double m10, double m11, int64_t r0, int64_t r1, int64_t c0, int64_t c1,
          py::array out, int threads) {
    Shape shape = read_shape(kinds, starts, counts, coords, program);
    index_edges(shape);  // shape stays where it is from here on: the bands are pointed to
    if (r1 < r0 || c1 < c0) throw std::invalid_argument("empty or reversed range");
    const py::ssize_t dims[2] = {static_cast<py::ssize_t>(r1 - r0), static_cast<py::ssize_t>(c1 - c0)};
    double* dst = checked_out(out, 2, dims);
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
    double* dst = checked_out(out, 1, &n);
    py::gil_scoped_release unlocked;
    render_footprints(shape, qx.data(), qy.data(), j00.data(), j01.data(), j10.data(),
                      j11.data(), n, dst, threads);
}
}  // namespace

void bind_render(py::module_& m) {
    m.def("grid", &grid, py::arg("kinds"), py::arg("starts"), py::arg("counts"),
          py::arg("coords"), py::arg("program"), py::arg("x0"), py::arg("y0"), py::arg("m00"),
          py::arg("m01"), py::arg("m10"), py::arg("m11"), py::arg("r0"), py::arg("r1"),
          py::arg("c0"), py::arg("c1"), py::arg("out"), py::arg("threads"));
    m.def("footprints", &footprints, py::arg("kinds"), py::arg("starts"), py::arg("counts"),
          py::arg("coords"), py::arg("program"), py::arg("qx"), py::arg("qy"), py::arg("j00"),
          py::arg("j01"), py::arg("j10"), py::arg("j11"), py::arg("out"), py::arg("threads"));
}

}  // namespace trovel
