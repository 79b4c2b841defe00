// The exact renderer's callables: a shape's flat description (a table of
// primitives and a postfix program over them) rendered onto a window of a
// lazy grid or onto per-pixel footprints, with the lock released.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "description.hpp"

namespace trovel {
namespace {

// The elements of a C-contiguous array, copied out byte for byte: an array
// made by unpickling (a task's description sent to a worker) can be a view
// at any byte offset, which typed loads may not read.
template <class T, int Flags>
std::vector<T> elements_of(const py::array_t<T, Flags>& a) {
    std::vector<T> v(static_cast<std::size_t>(a.size()));
    if (!v.empty())
        std::memcpy(v.data(), static_cast<const py::array&>(a).data(), v.size() * sizeof(T));
    return v;
}

// A disc's bounding box; false when its radius is not positive.
bool read_disc(Primitive& p) {
    if (!(p.v[2] > 0.0)) return false;
    p.xmin = p.v[0] - p.v[2];
    p.xmax = p.v[0] + p.v[2];
    p.ymin = p.v[1] - p.v[2];
    p.ymax = p.v[1] + p.v[2];
    return true;
}

// An ellipse's map A, turned to det A > 0 by negating its second column
// (u -> (u0, -u1) maps the unit disc onto itself), its inverse, and its
// bounding box: row r of A gives the half-extent |(a_r0, a_r1)| along axis
// r.  The inverse is formed from A scaled by a power of two to entries near
// 1, so that det A neither overflows nor underflows; false when A is
// singular or its inverse is not finite.
bool read_ellipse(Primitive& p) {
    EllipseMap& e = p.ellipse;
    e.a00 = p.v[2];
    e.a01 = p.v[3];
    e.a10 = p.v[4];
    e.a11 = p.v[5];
    for (int j = 0; j < 6; ++j)
        if (!std::isfinite(p.v[j])) return false;
    const double big = std::max({std::fabs(e.a00), std::fabs(e.a01), std::fabs(e.a10),
                                 std::fabs(e.a11)});
    if (!(big > 0.0)) return false;
    const int k = std::ilogb(big);
    const double s00 = std::ldexp(e.a00, -k), s10 = std::ldexp(e.a10, -k);
    double s01 = std::ldexp(e.a01, -k), s11 = std::ldexp(e.a11, -k);
    double det = s00 * s11 - s01 * s10;
    if (det < 0.0) {
        e.a01 = -e.a01;
        e.a11 = -e.a11;
        s01 = -s01;
        s11 = -s11;
        det = -det;
    }
    if (!(det > 0.0)) return false;
    // A = 2^k S, so A^-1 = (adj(S) / det S) 2^-k
    e.i00 = std::ldexp(s11 / det, -k);
    e.i01 = std::ldexp(-s01 / det, -k);
    e.i10 = std::ldexp(-s10 / det, -k);
    e.i11 = std::ldexp(s00 / det, -k);
    e.inv_norm = std::hypot(std::hypot(e.i00, e.i01), std::hypot(e.i10, e.i11));
    if (!std::isfinite(e.inv_norm) || !(e.inv_norm > 0.0)) return false;
    const double ex = std::hypot(e.a00, e.a01), ey = std::hypot(e.a10, e.a11);
    p.xmin = p.v[0] - ex;
    p.xmax = p.v[0] + ex;
    p.ymin = p.v[1] - ey;
    p.ymax = p.v[1] + ey;
    return std::isfinite(p.xmin) && std::isfinite(p.xmax) && std::isfinite(p.ymin) &&
           std::isfinite(p.ymax);
}

// A polygon's bounding box and whether it is convex.
void read_polygon(Primitive& p) {
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
}

// Primitive i of the table, checked: a known kind, its coordinates within
// `coords`, a positive radius, a non-singular ellipse; with its bounding box.
Primitive read_primitive(py::ssize_t i, std::int32_t kind, std::int32_t start,
                         std::int32_t count, const std::vector<double>& coords) {
    const bool disc = kind == static_cast<std::int32_t>(PrimKind::Disc);
    const bool ellipse = kind == static_cast<std::int32_t>(PrimKind::Ellipse);
    const bool polygon = kind == static_cast<std::int32_t>(PrimKind::Polygon);
    const std::int64_t need = disc ? 3 : ellipse ? 6 : 2 * static_cast<std::int64_t>(count);
    if ((!disc && !polygon && !ellipse) || (polygon && count < 3) || start < 0 ||
        start + need > static_cast<std::int64_t>(coords.size()))
        throw std::invalid_argument("primitive " + std::to_string(i) + " is malformed");
    Primitive p{static_cast<PrimKind>(kind), coords.data() + start, count, 0.0, 0.0, 0.0, 0.0,
                nullptr, false, EllipseMap{}};
    if (disc && !read_disc(p)) throw std::invalid_argument("a disc's radius must be positive");
    if (ellipse && !read_ellipse(p))
        throw std::invalid_argument("an ellipse's map must be finite and non-singular");
    if (polygon) read_polygon(p);
    return p;
}

// The postfix program, checked to name only primitives of the table and
// to leave exactly one value.
std::vector<std::int32_t> read_program(const IntArray& program, py::ssize_t primitives) {
    std::vector<std::int32_t> codes = elements_of(program);
    std::int64_t depth = 0;
    for (const std::int32_t code : codes) {
        if (code >= primitives || code < kLowestCode)
            throw std::invalid_argument("program code out of range");
        depth += code >= 0 ? 1 : (code == kComplement ? 0 : -1);
        if (depth < 1) throw std::invalid_argument("program pops an empty stack");
    }
    if (depth != 1) throw std::invalid_argument("program must leave exactly one value");
    return codes;
}

}  // namespace

Shape read_shape(const IntArray& kinds_, const IntArray& starts_, const IntArray& counts_,
                 const std::vector<double>& coords, const IntArray& program) {
    const std::vector<std::int32_t> kinds = elements_of(kinds_), starts = elements_of(starts_),
                                    counts = elements_of(counts_);
    const py::ssize_t np = kinds_.size();
    if (starts_.size() != np || counts_.size() != np)
        throw std::invalid_argument("kinds, starts and counts must have one entry per primitive");
    Shape shape;
    for (py::ssize_t i = 0; i < np; ++i)
        shape.prims.push_back(read_primitive(i, kinds[i], starts[i], counts[i], coords));
    shape.program = read_program(program, np);
    return shape;
}

ShapeDescription::ShapeDescription(const IntArray& kinds, const IntArray& starts,
                                   const IntArray& counts, const RealArray& coords_,
                                   const IntArray& program)
    : coords(elements_of(coords_)), shape(read_shape(kinds, starts, counts, coords, program)) {
    index_edges(shape);
    shape.pieces = signed_pieces(shape);
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
                      int threads, bool fresh) {
    double* dst = window_out(w, out);
    py::gil_scoped_release unlocked;
    render_grid(d.shape, w, dst, threads, fresh);
}

// (fresh or not: footprints and corners are written without streaming)
void render_on_arrays(const ShapeDescription& d, const FootprintArrays& p, py::array out,
                      int threads, bool) {
    double* dst = arrays_out(p, out);
    py::gil_scoped_release unlocked;
    render_footprints(d.shape, p.qx.data(), p.qy.data(), p.j00.data(), p.j01.data(),
                      p.j10.data(), p.j11.data(), static_cast<int64_t>(p.size()), dst, threads,
                      p.kept_bounds());
}

void render_on_corners(const ShapeDescription& d, const CornerArrays& p, py::array out,
                       int threads, bool) {
    double* dst = corners_out(p, out);
    py::gil_scoped_release unlocked;
    render_quads(d.shape, p.grid(), dst, threads);
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
          py::arg("threads"), py::arg("fresh") = false);
    m.def("render", &render_on_arrays, py::arg("shape"), py::arg("pixels"), py::arg("out"),
          py::arg("threads"), py::arg("fresh") = false);
    m.def("render", &render_on_corners, py::arg("shape"), py::arg("pixels"), py::arg("out"),
          py::arg("threads"), py::arg("fresh") = false);
}

}  // namespace trovel
