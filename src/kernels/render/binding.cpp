// The exact renderer's callables: a shape's flat description (a table of
// primitives and a postfix program over them) rendered onto a window of a
// lazy grid or onto per-pixel footprints, with the lock released.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "description.hpp"

namespace trovel {
namespace {

// Primitive i of the table, checked: a known kind, its coordinates within
// `coords`, a positive radius; with its bounding box.
Primitive read_primitive(py::ssize_t i, std::int32_t kind, std::int32_t start,
                         std::int32_t count, const RealArray& coords) {
    const bool disc = kind == static_cast<std::int32_t>(PrimKind::Disc);
    const bool polygon = kind == static_cast<std::int32_t>(PrimKind::Polygon);
    const std::int64_t need = disc ? 3 : 2 * static_cast<std::int64_t>(count);
    if ((!disc && !polygon) || (polygon && count < 3) || start < 0 ||
        start + need > coords.size())
        throw std::invalid_argument("primitive " + std::to_string(i) + " is malformed");
    Primitive p{disc ? PrimKind::Disc : PrimKind::Polygon, coords.data() + start, count,
                0.0, 0.0, 0.0, 0.0};
    if (disc) {
        if (!(p.v[2] > 0.0)) throw std::invalid_argument("a disc's radius must be positive");
        p.xmin = p.v[0] - p.v[2];
        p.xmax = p.v[0] + p.v[2];
        p.ymin = p.v[1] - p.v[2];
        p.ymax = p.v[1] + p.v[2];
        return p;
    }
    p.xmin = p.xmax = p.x(0);
    p.ymin = p.ymax = p.y(0);
    p.convex = true;
    for (std::int32_t j = 0; j < p.n; ++j) {
        p.xmin = std::min(p.xmin, p.x(j));
        p.xmax = std::max(p.xmax, p.x(j));
        p.ymin = std::min(p.ymin, p.y(j));
        p.ymax = std::max(p.ymax, p.y(j));
        // counter-clockwise and simple: convex when no vertex turns right
        const std::int32_t i = previous_vertex(j, p.n), k = j + 1 == p.n ? 0 : j + 1;
        const double turn = (p.x(j) - p.x(i)) * (p.y(k) - p.y(j)) -
                            (p.y(j) - p.y(i)) * (p.x(k) - p.x(j));
        p.convex = p.convex && turn >= 0.0;
    }
    return p;
}

// The postfix program, checked to name only primitives of the table and
// to leave exactly one value.
std::vector<std::int32_t> read_program(const IntArray& program, py::ssize_t primitives) {
    std::vector<std::int32_t> codes;
    std::int64_t depth = 0;
    for (py::ssize_t i = 0; i < program.size(); ++i) {
        const std::int32_t code = program.data()[i];
        if (code >= primitives || code < kComplement)
            throw std::invalid_argument("program code out of range");
        depth += code >= 0 ? 1 : (code == kComplement ? 0 : -1);
        if (depth < 1) throw std::invalid_argument("program pops an empty stack");
        codes.push_back(code);
    }
    if (depth != 1) throw std::invalid_argument("program must leave exactly one value");
    return codes;
}

}  // namespace

Shape read_shape(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
                 const RealArray& coords, const IntArray& program) {
    const py::ssize_t np = kinds.size();
    if (starts.size() != np || counts.size() != np)
        throw std::invalid_argument("kinds, starts and counts must have one entry per primitive");
    Shape shape;
    for (py::ssize_t i = 0; i < np; ++i)
        shape.prims.push_back(read_primitive(i, kinds.data()[i], starts.data()[i],
                                             counts.data()[i], coords));
    shape.program = read_program(program, np);
    return shape;
}

ShapeDescription::ShapeDescription(const IntArray& kinds, const IntArray& starts,
                                   const IntArray& counts, const RealArray& coords_,
                                   const IntArray& program)
    : coords(coords_), shape(read_shape(kinds, starts, counts, coords, program)) {
    index_edges(shape);
    box = {shape.prims[0].xmin, shape.prims[0].ymin, shape.prims[0].xmax, shape.prims[0].ymax};
    for (const Primitive& p : shape.prims) {
        box.xmin = std::min(box.xmin, p.xmin);
        box.ymin = std::min(box.ymin, p.ymin);
        box.xmax = std::max(box.xmax, p.xmax);
        box.ymax = std::max(box.ymax, p.ymax);
    }
}

double ShapeDescription::area() const {
    // a margin of a few percent keeps every boundary clear of the footprint's
    const double w = (box.xmax - box.xmin) * 1.0625 + 1e-300;
    const double h = (box.ymax - box.ymin) * 1.0625 + 1e-300;
    const Footprint f{0.5 * (box.xmin + box.xmax), 0.5 * (box.ymin + box.ymax), w, 0.0, 0.0, h};
    return exact_fraction(workspace_for(shape), shape, shape.program, f, frame_of(f)) * (w * h);
}

namespace {

void render_on_window(const ShapeDescription& d, const GridWindow& w, py::array out,
                      int threads) {
    double* dst = window_out(w, out);
    py::gil_scoped_release unlocked;
    render_grid(d.shape, w, dst, threads);
}

void render_on_arrays(const ShapeDescription& d, const FootprintArrays& p, py::array out,
                      int threads) {
    double* dst = arrays_out(p, out);
    py::gil_scoped_release unlocked;
    render_footprints(d.shape, p.qx.data(), p.qy.data(), p.j00.data(), p.j01.data(),
                      p.j10.data(), p.j11.data(), static_cast<int64_t>(p.size()), dst, threads);
}

// The exact area of the shape, with the lock released.
double shape_area(const ShapeDescription& d) {
    py::gil_scoped_release unlocked;
    return d.area();
}

}  // namespace

void bind_render(py::module_& m) {
    py::class_<ShapeDescription>(m, "ShapeDescription",
                                 "A shape's primitives and program, read and indexed once.")
        .def(py::init<const IntArray&, const IntArray&, const IntArray&, const RealArray&,
                      const IntArray&>(),
             py::arg("kinds"), py::arg("starts"), py::arg("counts"), py::arg("coords"),
             py::arg("program"));
    m.def("shape_area", &shape_area, py::arg("shape"));
    m.def("shape_box", [](const ShapeDescription& d) {
        return py::make_tuple(d.box.xmin, d.box.ymin, d.box.xmax, d.box.ymax);
    }, py::arg("shape"));
    m.def("render", &render_on_window, py::arg("shape"), py::arg("pixels"), py::arg("out"),
          py::arg("threads"));
    m.def("render", &render_on_arrays, py::arg("shape"), py::arg("pixels"), py::arg("out"),
          py::arg("threads"));
}

}  // namespace trovel
