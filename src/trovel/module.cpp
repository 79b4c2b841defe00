// The binding table of _trovel, and the only code that knows its raw
// interface: integer addresses of caller storage, the pair (a, b) of an edge
// line read as the direction (dx, dy) = (b, a), and the argument order of
// each callable.  Each entry below turns its arguments into the typed views
// of trovel.hpp and calls the kernel.  No names, defaults or docstrings are
// given, so each callable shows pybind11's generated signature and accepts
// positional arguments only.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#include "trovel.hpp"

namespace {

// An unsigned 64-bit argument: the address of caller storage, or a count.
// A type of its own, so that its caster below applies to these arguments and
// to nothing else.
struct Word {
    std::uint64_t value;
};

const double* doubles(Word w) { return reinterpret_cast<const double*>(w.value); }
double* out_doubles(Word w) { return reinterpret_cast<double*>(w.value); }
void* bytes(Word w) { return reinterpret_cast<void*>(w.value); }

}  // namespace

// pybind11's standard caster for a 64-bit unsigned integer lets an object
// with __index__ (a numpy integer, say) past its first check but then reads
// it with PyLong_AsUnsignedLong, which does not call __index__; without
// conversion the load fails.  For pixel_frac, whose overloads are tried once
// without conversion before once with it, that sent fourteen numpy integers
// to the shared-edge form, reading four addresses as coordinates.  This
// caster takes the index first, so such objects load in the pass without
// conversion as plain ints do; the rest, the signature text included, is the
// standard caster's.
namespace pybind11 {
namespace detail {

template <>
struct type_caster<Word> {
    using standard = type_caster<std::uint64_t>;

public:
    PYBIND11_TYPE_CASTER(Word, standard::name);

    bool load(handle src, bool convert) {
        object index;
        if (!convert && !PyLong_Check(src.ptr()) && PyIndex_Check(src.ptr())) {
            index = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
            if (!index) {
                PyErr_Clear();
                return false;
            }
            src = index;
        }
        standard caster;
        if (!caster.load(src, convert)) return false;
        value = Word{static_cast<std::uint64_t>(caster)};
        return true;
    }

    static handle cast(Word w, return_value_policy, handle) {
        return PyLong_FromUnsignedLongLong(w.value);
    }
};

}  // namespace detail
}  // namespace pybind11

namespace {

using trovel::Circle;
using trovel::EdgeLine;
using trovel::PixelArrays;
using trovel::Strut;

// An edge line from its point and its pair (a, b), which runs along (b, a).
EdgeLine edge_line(double x, double y, double a, double b) { return {{x, y}, {b, a}}; }

PixelArrays pixel_arrays(Word px, Word py, Word qx, Word qy, Word j00, Word j01, Word j10,
                         Word j11, Word n) {
    return {doubles(px),  doubles(py),  doubles(qx),  doubles(qy), doubles(j00),
            doubles(j01), doubles(j10), doubles(j11), static_cast<std::size_t>(n.value)};
}

void pixel_frac_shared_edge(double x0, double y0, double a, double b, Word qx, Word qy, Word px,
                            Word py, Word j00, Word j01, Word j10, Word j11, Word out, Word n) {
    trovel::pixel_frac(edge_line(x0, y0, a, b),
                       pixel_arrays(px, py, qx, qy, j00, j01, j10, j11, n), out_doubles(out));
}

void pixel_frac_per_pixel_edge(Word x0, Word y0, Word a, Word b, Word qx, Word qy, Word px,
                               Word py, Word j00, Word j01, Word j10, Word j11, Word out,
                               Word n) {
    const trovel::EdgeLineArrays edges{doubles(x0), doubles(y0), doubles(b), doubles(a)};
    trovel::pixel_frac(edges, pixel_arrays(px, py, qx, qy, j00, j01, j10, j11, n),
                       out_doubles(out));
}

void enclosed_circle(Word px, Word py, Word qx, Word qy, double cx, double cy, double r, Word j00,
                     Word j01, Word j10, Word j11, Word out, Word n) {
    trovel::enclosed_circle(pixel_arrays(px, py, qx, qy, j00, j01, j10, j11, n),
                            Circle{{cx, cy}, r}, out_doubles(out));
}

void enclosed_strut(Word px, Word py, Word qx, Word qy, double length, double x1, double y1,
                    double a1, double b1, double x2, double y2, double a2, double b2, Word j00,
                    Word j01, Word j10, Word j11, Word out, Word n) {
    // Coverage centres the strut on the midpoint of its edge points.
    const trovel::Point mid{(x2 + x1) * 0.5, (y2 + y1) * 0.5};
    const Strut strut{edge_line(x1, y1, a1, b1), edge_line(x2, y2, a2, b2), mid, length};
    trovel::enclosed_strut(pixel_arrays(px, py, qx, qy, j00, j01, j10, j11, n), strut,
                           out_doubles(out));
}

int clip_triangles_to_circle(Word triangles, int count, double cx, double cy, double radius,
                             int keep_inside, double margin, Word out, Word dropped,
                             Word clipped) {
    return trovel::clip_triangles_to_circle({bytes(triangles), count}, Circle{{cx, cy}, radius},
                                            keep_inside != 0, margin,
                                            {bytes(out), bytes(dropped), bytes(clipped)});
}

int clip_triangles_to_strut(Word triangles, int count, double x1, double y1, double a1, double b1,
                            double x2, double y2, double a2, double b2, double cx, double cy,
                            double length, double margin, Word out, Word dropped, Word clipped) {
    const Strut strut{edge_line(x1, y1, a1, b1), edge_line(x2, y2, a2, b2), {cx, cy}, length};
    return trovel::clip_triangles_to_strut({bytes(triangles), count}, strut, margin,
                                           {bytes(out), bytes(dropped), bytes(clipped)});
}

void accumulate_triangles(Word triangles, Word values, Word divisors, Word image, int count,
                          int size) {
    trovel::accumulate_triangles({doubles(triangles), doubles(values), doubles(divisors), count},
                                 {out_doubles(image), size});
}

// The mask's entry keeps the standard caster for its plain 64-bit integers.
void poly_grid_contains(std::uint64_t poly_x, std::uint64_t poly_y, std::uint64_t vertex_count,
                        std::uint64_t grid_x, std::uint64_t grid_y, std::uint64_t mask,
                        std::uint64_t nx, std::uint64_t ny) {
    trovel::poly_grid_contains({doubles(Word{poly_x}), doubles(Word{poly_y}), vertex_count, 1},
                               {doubles(Word{grid_x}), nx}, {doubles(Word{grid_y}), ny},
                               static_cast<std::uint8_t*>(bytes(Word{mask})));
}

double clip_area(Word triangle, int column, int row) {
    return trovel::clip_area(bytes(triangle), column, row);
}

}  // namespace

PYBIND11_MODULE(_trovel, m) {
    m.def("poly_grid_contains", &poly_grid_contains);
    m.def("pixel_frac", &pixel_frac_shared_edge);
    m.def("pixel_frac", &pixel_frac_per_pixel_edge);
    m.def("enclosed_circle", &enclosed_circle);
    m.def("enclosed_strut", &enclosed_strut);
    m.def("clip_triangles_to_circle", &clip_triangles_to_circle);
    m.def("clip_triangles_to_strut", &clip_triangles_to_strut);
    m.def("accumulate_triangles", &accumulate_triangles);
    m.def("clip_area", &clip_area);
}
