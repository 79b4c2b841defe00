// The pixel sets as the Python layer hands them to the drivers, and a
// window of a lazy grid materialised as per-pixel arrays.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/bindings.hpp"
#include "kernels/pairs.hpp"
#include "kernels/threads.hpp"

namespace trovel {
namespace {

// The window's pixels as eight arrays, by the drivers' own centre formula.
void materialize(const GridWindow& w, py::array px, py::array py_, py::array qx, py::array qy,
                 py::array j00, py::array j01, py::array j10, py::array j11) {
    const auto n = static_cast<py::ssize_t>(w.rows() * w.cols());
    if (w.r1 < w.r0 || w.c1 < w.c0) throw std::invalid_argument("empty or reversed range");
    double* a[8];
    py::array* arrays[8] = {&px, &py_, &qx, &qy, &j00, &j01, &j10, &j11};
    for (int f = 0; f < 8; ++f) a[f] = checked_out(*arrays[f], 1, &n);
    const GridMap& m = w.map;
    py::gil_scoped_release unlocked;
    std::int64_t at = 0;
    for (std::int64_t i = w.r0; i < w.r1; ++i) {
        for (std::int64_t k = w.c0; k < w.c1; ++k, ++at) {
            const Point q = grid_centre(m, double(k), double(i));
            a[0][at] = double(k);
            a[1][at] = double(i);
            a[2][at] = q.x;
            a[3][at] = q.y;
        }
    }
    std::fill(a[4], a[4] + n, m.m00);
    std::fill(a[5], a[5] + n, m.m01);
    std::fill(a[6], a[6] + n, m.m10);
    std::fill(a[7], a[7] + n, m.m11);
}

// Twice the signed area of the triangle (a, b, c).
inline double turn(double ax, double ay, double bx, double by, double cx, double cy) {
    return (bx - ax) * (cy - by) - (by - ay) * (cx - bx);
}

// Whether the quadrilateral through the corners in order is simple, with a
// non-zero area, and that area's sign.  A quadrilateral whose opposite sides
// cross turns left at two corners and right at two; a simple one turns
// against its orientation at one corner at most.  A corner where it runs
// straight on is fine, one where it turns back (or repeats a corner) is not.
bool simple_quad(const double* x, const double* y, int& sign) {
    const double area = twice_quad_area(x, y);
    if (!(area != 0.0) || !std::isfinite(area)) return false;
    sign = area > 0.0 ? 1 : -1;
    int against = 0;
    for (int i = 0; i < 4; ++i) {
        const int h = (i + 3) & 3, k = (i + 1) & 3;
        const double t = turn(x[h], y[h], x[i], y[i], x[k], y[k]);
        if (t == 0.0) {
            const double on = (x[i] - x[h]) * (x[k] - x[i]) + (y[i] - y[h]) * (y[k] - y[i]);
            if (!(on > 0.0)) return false;
        }
        against += t * sign < 0.0;
    }
    return against <= 1;
}

// Pixel (i, k) of the grid checked alone: 0 when it is simple and oriented
// as `first` (which it sets, from the first pixel checked), else the kind of
// fault (1 not simple, 2 oriented against).
int pixel_fault(const CornerGrid& g, std::int64_t i, std::int64_t k, int& first) {
    double qx[4], qy[4];
    g.quad(i, k, qx, qy);
    // each quad about its first corner, so that the products are of its size
    for (int j = 3; j >= 0; --j) {
        qx[j] -= qx[0];
        qy[j] -= qy[0];
    }
    int sign = 0;
    const bool simple = simple_quad(qx, qy, sign);
    if (simple && first == 0) first = sign;
    if (!simple) return 1;
    return sign != first ? 2 : 0;
}

inline Pair pair_turn(Pair ax, Pair ay, Pair bx, Pair by, Pair cx, Pair cy) {
    return (bx - ax) * (cy - by) - (by - ay) * (cx - bx);
}

// Pixels (i, k) and (i, k + 1) side by side, lane by lane the arithmetic
// of simple_quad about each one's first corner (pairs.hpp: each lane has
// the scalar bits).  True when both are strictly convex, turning the way of
// `first`, so sound; false leaves them to pixel_fault, which also finds any
// corner where a quad runs straight on or turns back.
bool pair_sound(const CornerGrid& g, std::int64_t i, std::int64_t k, int first) {
    const std::int64_t a = g.at(i, k), b = a + g.stride;
    const Pair x0 = load_pair(g.x + a), y0 = load_pair(g.y + a);
    const Pair x1 = load_pair(g.x + a + 1) - x0, y1 = load_pair(g.y + a + 1) - y0;
    const Pair x2 = load_pair(g.x + b + 1) - x0, y2 = load_pair(g.y + b + 1) - y0;
    const Pair x3 = load_pair(g.x + b) - x0, y3 = load_pair(g.y + b) - y0;
    const Pair zero = {0.0, 0.0};
    // the shoelace sum about the first corner: its two terms that are not 0
    const Pair area = (x1 * y2 - y1 * x2) + (x2 * y3 - y2 * x3);
    const Pair want = first > 0 ? area : -area;
    const Pair huge = {INFINITY, INFINITY};
    const Pair turns[4] = {pair_turn(x3, y3, zero, zero, x1, y1),
                           pair_turn(zero, zero, x1, y1, x2, y2),
                           pair_turn(x1, y1, x2, y2, x3, y3),
                           pair_turn(x2, y2, x3, y3, zero, zero)};
    PairBits ok = (want > zero) & (want < huge);
    for (const Pair t : turns) ok &= (first > 0 ? t : -t) > zero;
    return ok[0] && ok[1];
}

// The first pixel of row i whose footprint is not a simple quadrilateral
// (kind 1) or is oriented against `first` (kind 2; `first` is set by the
// first pixel checked): its column, or -1 when there is none.  Pairs of
// strictly convex pixels (all of a mild map) pass two at a time.
std::int64_t first_fault_in_row(const CornerGrid& g, std::int64_t i, int& first, int& kind) {
    for (std::int64_t k = 0; k < g.cols; ++k) {
        if (first != 0 && k + 1 < g.cols && pair_sound(g, i, k, first)) {
            ++k;
            continue;
        }
        kind = pixel_fault(g, i, k, first);
        if (kind != 0) return k;
    }
    return -1;
}

// The first pixel of the corner grid, row-major, whose footprint is not a
// simple quadrilateral (kind 1) or is oriented against pixel 0's (kind 2):
// (index, kind), or (-1, 0) when the grid is a sound map; and pixel 0's
// orientation (1 counter-clockwise, -1 mirrored, 0 for no pixels).
py::tuple corner_fault(const CornerArrays& c) {
    const CornerGrid g = c.grid();
    std::int64_t bad = -1;
    int kind = 0, first = 0;
    {
        py::gil_scoped_release unlocked;
        for (std::int64_t i = 0; i < g.rows && bad < 0; ++i) {
            const std::int64_t k = first_fault_in_row(g, i, first, kind);
            if (k >= 0) bad = i * g.cols + k;
        }
    }
    return py::make_tuple(bad, kind, first);
}

// Rows of corners a piece of sound_corner_copies copies and checks.
constexpr std::int64_t kCornerRows = 64;

// Private copies of the corner arrays, checked on the way while each row is
// in cache: every value finite (all_finite) and the map sound
// (corner_fault).  None when a check fails: the checked layer then finds
// the first fault itself and words it.  One pass instead of a copy and two
// readings of it.
//
// Pieces of kCornerRows corner rows go to the threads.  A piece checks the
// pixel rows between its own corner rows; the rows of pixels astride two
// pieces are checked once all are copied.  The orientation every pixel
// must share is pixel 0's, read first from the caller's arrays, so that no
// piece waits for another's.  Whether the map is sound does not depend on
// the order the pixels are checked in, so neither does the result.
py::object sound_corner_copies(const CornerArrays& c, int threads) {
    const py::ssize_t rows = c.x.shape(0), cols = c.x.shape(1);
    ExactReals cx({rows, cols}), cy({rows, cols});
    const CornerGrid g{cx.data(), cy.data(), rows - 1, cols - 1, cols};
    double* const to[2] = {cx.mutable_data(), cy.mutable_data()};
    const double* const from[2] = {c.x.data(), c.y.data()};
    const std::size_t n = static_cast<std::size_t>(cols);
    const std::int64_t pieces = (rows + kCornerRows - 1) / kCornerRows;
    std::atomic<bool> sound{true};
    {
        py::gil_scoped_release unlocked;
        int first = 0, kind = 0;
        if (g.rows > 0 && g.cols > 0 && pixel_fault(c.grid(), 0, 0, first) != 0)
            sound = false;
        auto copy_and_check = [&](std::int64_t p) {
            const std::int64_t r0 = p * kCornerRows;
            const std::int64_t r1 = std::min<std::int64_t>(rows, r0 + kCornerRows);
            int fault = 0, sign = first;
            for (std::int64_t i = r0; i < r1 && sound.load(std::memory_order_relaxed); ++i) {
                bool ok = true;
                for (int a = 0; a < 2; ++a) {
                    std::memcpy(to[a] + i * cols, from[a] + i * cols, n * sizeof(double));
                    ok = ok && finite_values(to[a] + i * cols, n);
                }
                if (ok && i > r0) ok = first_fault_in_row(g, i - 1, sign, fault) < 0;
                if (!ok) sound = false;
            }
        };
        if (sound) for_each_piece(threads, pieces, copy_and_check);
        for (std::int64_t p = 1; p < pieces && sound; ++p)
            if (first_fault_in_row(g, p * kCornerRows - 1, first, kind) >= 0) sound = false;
    }
    if (!sound) return py::none();
    return py::make_tuple(cx, cy);
}

// Each quadrilateral's area, by the shoelace formula about its first
// corner.  Pieces of kCornerRows pixel rows go to the threads; every area
// is computed by itself, the same for any count.
ExactReals corner_areas(const CornerArrays& c, int threads) {
    const CornerGrid g = c.grid();
    ExactReals out({g.rows, g.cols});
    double* const to = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        for_each_piece(threads, (g.rows + kCornerRows - 1) / kCornerRows, [&](std::int64_t p) {
            const std::int64_t i1 = std::min(g.rows, (p + 1) * kCornerRows);
            double qx[4], qy[4];
            for (std::int64_t i = p * kCornerRows; i < i1; ++i)
                for (std::int64_t k = 0; k < g.cols; ++k) {
                    g.quad(i, k, qx, qy);
                    to[i * g.cols + k] = 0.5 * std::fabs(twice_quad_area(qx, qy));
                }
        });
    }
    return out;
}

// Pixels per piece of sound_footprint_columns.
constexpr std::int64_t kFootprintPiece = 1 << 14;

// The eight columns of per-pixel footprints (positions x, y; centres x, y;
// Jacobians j00, j01, j10, j11) split from the interleaved arrays the
// caller gives, n pixels: positions and centres (n, 2), Jacobians (n, 4),
// or one (4) for every pixel.  Checked on the way, in pieces on `threads`
// threads: every value finite and every Jacobian's determinant, as
// j00 j11 - j01 j10, finite and not 0.  None when a check fails: the
// checked layer then finds the fault itself and words it.
py::object sound_footprint_columns(const ExactReals& positions, const ExactReals& centres,
                                   const ExactReals& jacobians, int threads) {
    const std::int64_t n = positions.size() / 2;
    const bool one_jacobian = jacobians.size() == 4 && n != 1;
    if (positions.size() != 2 * n || centres.size() != 2 * n ||
        (!one_jacobian && jacobians.size() != 4 * n))
        throw std::invalid_argument("positions, centres and jacobians must hold 2, 2 and 4 "
                                    "values a pixel");
    std::vector<ExactReals> columns;
    double* to[8];
    for (int c = 0; c < 8; ++c) {
        columns.emplace_back(py::ssize_t(n));
        to[c] = columns.back().mutable_data();
    }
    const double* pos = positions.data();
    const double* cen = centres.data();
    const double* jac = jacobians.data();
    std::atomic<bool> sound{true};
    {
        py::gil_scoped_release unlocked;
        // Each entry meets its partner in one product: an infinite or NaN
        // entry makes that product, and so the determinant, not finite.
        const auto sound_jacobian = [](const double* j) {
            const double det = j[0] * j[3] - j[1] * j[2];
            return std::isfinite(det) && det != 0.0;
        };
        if (one_jacobian && !sound_jacobian(jac)) sound = false;
        const auto split = [&](std::int64_t p) {
            const std::int64_t i0 = p * kFootprintPiece, i1 = std::min(n, i0 + kFootprintPiece);
            bool ok = finite_values(pos + 2 * i0, static_cast<std::size_t>(2 * (i1 - i0))) &&
                      finite_values(cen + 2 * i0, static_cast<std::size_t>(2 * (i1 - i0)));
            for (std::int64_t i = i0; i < i1; ++i) {
                to[0][i] = pos[2 * i];
                to[1][i] = pos[2 * i + 1];
                to[2][i] = cen[2 * i];
                to[3][i] = cen[2 * i + 1];
            }
            if (one_jacobian) {
                for (int c = 0; c < 4; ++c) std::fill(to[4 + c] + i0, to[4 + c] + i1, jac[c]);
            } else {
                for (std::int64_t i = i0; i < i1; ++i) {
                    const double* j = jac + 4 * i;
                    ok = ok && sound_jacobian(j);
                    for (int c = 0; c < 4; ++c) to[4 + c][i] = j[c];
                }
            }
            if (!ok) sound = false;
        };
        if (sound) for_each_piece(threads, (n + kFootprintPiece - 1) / kFootprintPiece, split);
    }
    if (!sound) return py::none();
    py::list out;
    for (auto& c : columns) out.append(c);
    return out;
}

}  // namespace

void bind_pixels(py::module_& m) {
    py::class_<GridWindow>(m, "GridWindow",
                           "Rows [r0, r1) by columns [c0, c1) of a lazy grid under its map.")
        .def(py::init([](double x0, double y0, double m00, double m01, double m10, double m11,
                         std::int64_t r0, std::int64_t r1, std::int64_t c0, std::int64_t c1) {
                 return GridWindow{{x0, y0, m00, m01, m10, m11}, r0, r1, c0, c1};
             }),
             py::arg("x0"), py::arg("y0"), py::arg("m00"), py::arg("m01"), py::arg("m10"),
             py::arg("m11"), py::arg("r0"), py::arg("r1"), py::arg("c0"), py::arg("c1"));
    py::class_<FootprintArrays>(m, "FootprintArrays",
                                "Per-pixel grid positions, footprint centres and Jacobians.")
        .def(py::init<ExactReals, ExactReals, ExactReals, ExactReals, ExactReals, ExactReals,
                      ExactReals, ExactReals, bool>(),
             py::arg("px").noconvert(), py::arg("py").noconvert(), py::arg("qx").noconvert(),
             py::arg("qy").noconvert(), py::arg("j00").noconvert(), py::arg("j01").noconvert(),
             py::arg("j10").noconvert(), py::arg("j11").noconvert(),
             py::arg("keep_bounds") = false);
    py::class_<CornerArrays>(m, "CornerArrays",
                             "The corners of quadrilateral footprints, (ny + 1, nx + 1) each.")
        .def(py::init<ExactReals, ExactReals>(), py::arg("x").noconvert(),
             py::arg("y").noconvert());
    m.def("corner_fault", &corner_fault, py::arg("corners"));
    m.def("sound_corner_copies", &sound_corner_copies, py::arg("corners"), py::arg("threads"));
    m.def("corner_areas", &corner_areas, py::arg("corners"), py::arg("threads"));
    m.def("sound_footprint_columns", &sound_footprint_columns, py::arg("positions").noconvert(),
          py::arg("centres").noconvert(), py::arg("jacobians").noconvert(), py::arg("threads"));
    m.def("materialize", &materialize, py::arg("pixels"), py::arg("px"), py::arg("py"),
          py::arg("qx"), py::arg("qy"), py::arg("j00"), py::arg("j01"), py::arg("j10"),
          py::arg("j11"));
}

}  // namespace trovel
