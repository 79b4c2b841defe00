// Coverage of pixel sets by an edge line, a circle and a strut: the drivers
// of trovel.edge_coverage, circle_coverage and strut_coverage.
//
// Per-pixel footprints go, in pieces, through the very kernels of _trovel's
// callables.  A window of a lazy grid is evaluated row by row: along a row
// the footprint centres step by one column of the map, so the squared
// distance to a point is a quadratic in the column and a side value is
// linear in it.  The quick tests of the per-pixel routines settle a pixel
// from such values alone; solved for whole runs of columns, with a margin of
// columns and a relative margin far beyond any rounding, they give the runs
// where those routines would surely give 1 or 0.  Those runs are filled; every
// other pixel is evaluated by the per-pixel routine itself.  So every value
// has the bits of the pixel evaluated on its own, whatever the window, the
// thread count or the rows' order.  Where the numbers are too extreme for
// the margins to be sure, a row is evaluated pixel by pixel.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/bindings.hpp"
#include "kernels/pixels.hpp"
#include "kernels/threads.hpp"
#include "trovel/coverage.hpp"
#include "trovel/streaming.hpp"

namespace trovel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The margins of the runs: relative to the size of every coordinate the
// tests meet, far above the rounding of a few products and sums (~1e-15),
// far below a pixel.
constexpr double kRelativeMargin = 1e-9;
// A map this far from a similarity (the footprint radius squared against
// the area) makes a column's step tiny against the footprint: such a grid is
// evaluated pixel by pixel.
constexpr double kMostAnisotropy = 1e4;

// ---- runs of columns -------------------------------------------------------

// Columns [start, stop) of a row.
struct Run {
    std::int64_t start = 0, stop = 0;

    bool empty() const { return stop <= start; }
};

// The whole columns k with lo <= k <= hi, `grow` more on each side (fewer
// when negative), within [c0, c1); empty unless lo <= hi.
Run columns_of(double lo, double hi, int grow, std::int64_t c0, std::int64_t c1) {
    if (!(lo <= hi)) return {c0, c0};
    const double a = std::clamp(std::ceil(lo) - grow, double(c0), double(c1));
    const double b = std::clamp(std::floor(hi) + 1.0 + grow, double(c0), double(c1));
    const auto start = static_cast<std::int64_t>(a);
    return {start, std::max(start, static_cast<std::int64_t>(b))};
}

Run clipped(const Run& r, const Run& to) {
    const std::int64_t a = std::max(r.start, to.start);
    return {a, std::max(std::min(r.stop, to.stop), a)};
}

// Real columns k with below <= a + b k <= above: [lo, hi], everything or
// nothing when b is 0.
struct Span {
    double lo, hi;
};

Span linear_span(double a, double b, double below, double above) {
    if (b == 0.0) return below <= a && a <= above ? Span{-kInf, kInf} : Span{kInf, -kInf};
    const double lo = (below - a) / b, hi = (above - a) / b;
    return b > 0.0 ? Span{lo, hi} : Span{hi, lo};
}

// The centre of column 0 of row i, as a point from which the row's centres
// step by (m00, m10): only the runs use it, never a pixel's value.
Point row_start(const GridMap& m, double i) { return {m.m01 * i + m.x0, m.m11 * i + m.y0}; }

// A bound on every coordinate the tests of a window meet (with `extra`, the
// shape's own), for the relative margin.
double window_scale(const GridWindow& w, double extra) {
    const GridMap& m = w.map;
    const double k = double(std::max(std::llabs(w.c0), std::llabs(w.c1)));
    const double i = double(std::max(std::llabs(w.r0), std::llabs(w.r1)));
    return std::fabs(m.x0) + std::fabs(m.y0) + extra + (std::fabs(m.m00) + std::fabs(m.m10)) * k +
           (std::fabs(m.m01) + std::fabs(m.m11)) * i;
}

            bool near_similarity(const GridMap& m, double rho) {
    return rho * rho <= kMostAnisotropy * std::fabs(m.m00 * m.m11 - m.m01 * m.m10);
}

// The columns of a row whose centres lie within a distance of a point:
// |w + k u|^2 <= t with w the row start less the point and u = (m00, m10).
struct DiscColumns {
    double ux, uy, uu, slack;
    bool sure;   // whether the slack is sure to exceed every rounding

    DiscColumns(const GridWindow& w, const Point& c, double reach) {
        ux = w.map.m00;
        uy = w.map.m10;
        uu = ux * ux + uy * uy;
        const double scale = window_scale(w, std::fabs(c.x) + std::fabs(c.y) + reach);
        slack = kRelativeMargin * scale * scale;
        sure = std::isfinite(slack) && uu > 1e-6 * slack;
    }

    Span within(double wx, double wy, double t) const {
        const double uw = ux * wx + uy * wy;
        const double disc = uw * uw - uu * (wx * wx + wy * wy - t);
        if (disc < 0.0) return {kInf, -kInf};
        const double root = std::sqrt(disc);
        return {(-uw - root) / uu, (-uw + root) / uu};
    }
};

// A side value along a row, a + b k, and how near to 0 a column may still
// meet the edge.
struct SideAlongRow {
    double b, reach;
    EdgeLine line;

    double at(const Point& start) const { return side_value(line, start); }
};

// ---- what a row holds ------------------------------------------------------

// A row's plan: everything `fill`, then the `ones` runs 1, then the
// `measured` runs evaluated pixel by pixel, each step over the one before
// (runs may overlap, and may be empty).
struct RowPlan {
    static constexpr int kMost = 4;
    double fill = 0.0;
    Run ones[kMost];
    Run measured[kMost];
    int n_ones = 0, n_measured = 0;

    void one(const Run& r) { ones[n_ones++] = r; }
    void measure(const Run& r) { measured[n_measured++] = r; }
    void measure_all(const GridWindow& w) { measure({w.c0, w.c1}); }
};

// Circle: 1 where the centre passes the per-pixel "inside" test, 0 beyond
// the "outside" one, the rim between them measured.
struct CircleOnGrid {
    Circle circle;
    Jacobian J;
    double rho;
    DiscColumns disc;
    double inner, outer;   // the squared distances of the surely-in and maybe-in runs

    CircleOnGrid(const Circle& c, const GridWindow& w)
        : circle(c),
          J{w.map.m00, w.map.m01, w.map.m10, w.map.m11},
          rho(footprint_radius(J)),
          disc(w, c.centre, c.radius + rho),
          inner((c.radius - rho) * (c.radius - rho) - disc.slack),
          outer((c.radius + rho) * (c.radius + rho) + disc.slack) {}

    void plan(const GridWindow& w, std::int64_t i, RowPlan& p) const {
        if (!disc.sure) return p.measure_all(w);
        const Point s = row_start(w.map, double(i));
        const double wx = s.x - circle.centre.x, wy = s.y - circle.centre.y;
        const Span in = disc.within(wx, wy, inner), out = disc.within(wx, wy, outer);
        const Run sure_in = columns_of(in.lo, in.hi, -1, w.c0, w.c1);
        const Run maybe_in = columns_of(out.lo, out.hi, 2, w.c0, w.c1);
        if (sure_in.empty()) return p.measure(maybe_in);
        p.one(sure_in);
        p.measure({maybe_in.start, sure_in.start});
        p.measure({sure_in.stop, maybe_in.stop});
    }

    double value(std::size_t, const PixelPlace& pixel) const {
        return enclosed_circle_with_radius(rho, circle, pixel, J);
    }
};

// One edge line: 1 and 0 on either side of the columns whose footprints may
// reach it, those measured.  A footprint lies within rho sqrt(2)/2 of its
// centre.
struct EdgeOnGrid {
    EdgeLine line;
    EdgeFrame frame;
    bool sure;
    SideAlongRow side;

    EdgeOnGrid(const EdgeLine& l, const GridWindow& w)
        : line(l), frame(edge_frame(l.direction, {w.map.m00, w.map.m01, w.map.m10, w.map.m11})) {
        const GridMap& m = w.map;
        const double rho = footprint_radius({m.m00, m.m01, m.m10, m.m11});
        const double reach = rho * std::sqrt(0.5) +
                             kRelativeMargin * window_scale(w, std::fabs(l.point.x) +
                                                                   std::fabs(l.point.y) + rho);
        // The side value of the unit direction is the distance from the line.
        const double length = std::hypot(l.direction.dx, l.direction.dy);
        const EdgeLine unit{l.point, {l.direction.dx / length, l.direction.dy / length}};
        side = {unit.direction.dx * m.m10 - unit.direction.dy * m.m00, reach, unit};
        sure = near_similarity(m, rho) && std::isfinite(reach) && std::isfinite(side.b);
    }

    void plan(const GridWindow& w, std::int64_t i, RowPlan& p) const {
        if (!sure) return p.measure_all(w);
        const double a = side.at(row_start(w.map, double(i)));
        const Span s = linear_span(a, side.b, -side.reach, side.reach);
        const Run near = columns_of(s.lo, s.hi, 2, w.c0, w.c1);
        // The far columns' sides, read at the window's ends, where they are
        // surely far; a row that no column reaches lies on one side.
        if (a + side.b * double(w.c0) < 0.0) p.one({w.c0, near.start});
        if (a + side.b * double(w.c1 - 1) < 0.0) p.one({near.stop, w.c1});
        p.measure(near);
    }

    double value(std::size_t, const PixelPlace& pixel) const {
        return pixel_frac_in_frame(frame, line.point, pixel);
    }
};

// Strut: 0 outside its disc, 1 where both side values are clearly of
// opposite signs, and the rest (the ends of the disc, where a centre may
// fall either side of its rim, and the columns near each edge line)
// measured.  The per-pixel quick tests compare each side value with twice
// the footprint radius.
struct StrutOnGrid {
    Strut strut;
    Jacobian J;
    double rho, half;
    DiscColumns disc;
    SideAlongRow sides[2];
    bool sure;

    StrutOnGrid(const Strut& s, const GridWindow& w)
        : strut(s),
          J{w.map.m00, w.map.m01, w.map.m10, w.map.m11},
          rho(footprint_radius(J)),
          half(0.5 * s.length),
          disc(w, s.centre,
               half + std::fabs(s.edge1.point.x) + std::fabs(s.edge1.point.y) +
                   std::fabs(s.edge2.point.x) + std::fabs(s.edge2.point.y) + rho) {
        const GridMap& m = w.map;
        const double scale = std::sqrt(disc.slack / kRelativeMargin);
        sure = disc.sure && near_similarity(m, rho);
        const EdgeLine* lines[2] = {&s.edge1, &s.edge2};
        for (int e = 0; e < 2; ++e) {
            const Direction& d = lines[e]->direction;
            const double reach = (2.0 + kRelativeMargin) * rho +
                                 kRelativeMargin * scale * std::hypot(d.dx, d.dy);
            sides[e] = {d.dx * m.m10 - d.dy * m.m00, reach, *lines[e]};
            sure = sure && std::isfinite(reach) && std::isfinite(sides[e].b);
        }
    }

    void plan(const GridWindow& w, std::int64_t i, RowPlan& p) const {
        if (!sure) return p.measure_all(w);
        const Point s = row_start(w.map, double(i));
        const double wx = s.x - strut.centre.x, wy = s.y - strut.centre.y;
        const Span in = disc.within(wx, wy, half * half - disc.slack);
        const Span out = disc.within(wx, wy, half * half + disc.slack);
        const Run sure_in = columns_of(in.lo, in.hi, -1, w.c0, w.c1);
        const Run maybe_in = columns_of(out.lo, out.hi, 1, w.c0, w.c1);
        if (sure_in.empty()) {
            p.measure(maybe_in);
        } else {
            p.measure({maybe_in.start, sure_in.start});
            p.measure({sure_in.stop, maybe_in.stop});
        }
        const double a1 = sides[0].at(s), a2 = sides[1].at(s);
        const double r1 = sides[0].reach, r2 = sides[1].reach;
        for (int e = 0; e < 2; ++e) {
            const Span near = linear_span(e ? a2 : a1, sides[e].b, -sides[e].reach, sides[e].reach);
            p.measure(clipped(columns_of(near.lo, near.hi, 1, w.c0, w.c1), maybe_in));
        }
        // Inside the disc, side values clearly of opposite signs.
        const Span both[2][2] = {{linear_span(a1, sides[0].b, -kInf, -r1),
                                  linear_span(a2, sides[1].b, r2, kInf)},
                                 {linear_span(a1, sides[0].b, r1, kInf),
                                  linear_span(a2, sides[1].b, -kInf, -r2)}};
        for (const auto& pair : both) {
            const Run r = columns_of(std::max(pair[0].lo, pair[1].lo),
                                     std::min(pair[0].hi, pair[1].hi), 0, w.c0, w.c1);
            p.one(clipped(r, sure_in));
        }
    }

    double value(std::size_t, const PixelPlace& pixel) const {
        if (StrutDisc(strut).outside(pixel.centre.x, pixel.centre.y)) return 0.0;
        return enclosed_strut_with_radius(strut, rho, pixel, J);
    }
};

// An edge line per pixel of the window: no runs, every pixel measured.
struct EdgesOnGrid {
    EdgeLineArrays lines;
    Jacobian J;

    void plan(const GridWindow& w, std::int64_t, RowPlan& p) const { p.measure_all(w); }

    double value(std::size_t index, const PixelPlace& pixel) const {
        const EdgeFrame frame = edge_frame({lines.dx[index], lines.dy[index]}, J);
        return pixel_frac_in_frame(frame, {lines.x[index], lines.y[index]}, pixel);
    }
};

// ---- writing the rows ------------------------------------------------------

// Rows per piece of work handed to a thread: about this many pixels (1 MiB
// of output).  Two threads streaming pieces of a quarter of that into the
// same output wrote at two thirds of the speed (measured on 4096^2).
constexpr std::int64_t kPiecePixels = 1 << 17;

// Whether a row's plan measures columns [a, b) (the stretch between two of
// its cuts), and what it holds there if not: the measured runs over the
// runs of ones over the fill.
bool plan_measures(const RowPlan& p, std::int64_t a, std::int64_t b, double& constant) {
    const auto holds = [&](const Run& r) { return r.start <= a && b <= r.stop; };
    for (int r = 0; r < p.n_measured; ++r)
        if (holds(p.measured[r])) return true;
    constant = p.fill;
    for (int r = 0; r < p.n_ones; ++r)
        if (holds(p.ones[r])) constant = 1.0;
    return false;
}

// The columns of [c0, c1) where a row's plan may change, in order: its
// ends and every run's.
int plan_cuts(const RowPlan& p, std::int64_t c0, std::int64_t c1, std::int64_t* cuts) {
    int n = 0;
    cuts[n++] = c0;
    cuts[n++] = c1;
    const auto add = [&](const Run& r) {
        if (r.empty()) return;
        for (const std::int64_t c : {r.start, r.stop})
            if (c > c0 && c < c1) cuts[n++] = c;
    };
    for (int r = 0; r < p.n_ones; ++r) add(p.ones[r]);
    for (int r = 0; r < p.n_measured; ++r) add(p.measured[r]);
    std::sort(cuts, cuts + n);
    return static_cast<int>(std::unique(cuts, cuts + n) - cuts);
}

// Evaluates `shape` over the window into `out`, row by row, left to right:
// the constant stretches of a row's plan written as runs, its measured
// pixels evaluated into a buffer of the row and copied, so that each output
// element is stored once and the settled parts of the row at the speed of a
// plain fill.
template <class OnGrid>
void cover_window(const OnGrid& shape, const GridWindow& w, double* out, int threads,
                  bool fresh) {
    const std::int64_t width = w.cols(), rows = w.rows();
    if (width <= 0 || rows <= 0) return;
    const bool stream = prepare_to_stream(out, width * rows, fresh);
    const std::int64_t per_piece = std::max<std::int64_t>(1, kPiecePixels / width);
    const std::int64_t pieces = (rows + per_piece - 1) / per_piece;
    for_each_piece(threads, pieces, [&](std::int64_t piece) {
        thread_local std::vector<double> row;
        row.resize(static_cast<std::size_t>(width));
        const std::int64_t i0 = w.r0 + piece * per_piece, i1 = std::min(w.r1, i0 + per_piece);
        std::int64_t cuts[2 + 4 * RowPlan::kMost];
        for (std::int64_t i = i0; i < i1; ++i) {
            RowPlan plan;
            shape.plan(w, i, plan);
            RowWriter writer(out + (i - w.r0) * width, stream);
            const int n = plan_cuts(plan, w.c0, w.c1, cuts);
            const double di = double(i);
            for (int c = 0; c + 1 < n; ++c) {
                const std::int64_t a = cuts[c], b = cuts[c + 1];
                double v, next;
                if (!plan_measures(plan, a, b, v)) {
                    // neighbouring stretches of one constant, written as one
                    while (c + 2 < n && !plan_measures(plan, cuts[c + 1], cuts[c + 2], next) &&
                           next == v)
                        ++c;
                    writer.fill(v, cuts[c + 1] - a);
                    continue;
                }
                for (std::int64_t k = a; k < b; ++k) {
                    const double dk = double(k);
                    const PixelPlace pixel{{dk, di}, grid_centre(w.map, dk, di)};
                    const auto at = static_cast<std::size_t>((i - w.r0) * width + (k - w.c0));
                    row[k - w.c0] = shape.value(at, pixel);
                }
                writer.copy(row.data() + (a - w.c0), b - a);
            }
        }
        end_streaming(stream);
    });
}

// ---- per-pixel footprints -------------------------------------------------

// Pixels [start, start + n) of `p`.
PixelArrays part_of(const PixelArrays& p, std::size_t start, std::size_t n) {
    return {p.px + start,  p.py + start,  p.qx + start,  p.qy + start, p.j00 + start,
            p.j01 + start, p.j10 + start, p.j11 + start, n};
}

// Runs kernel(part, out + start) over pieces of the pixels: each value
// depends only on its own pixel, so any split gives the same bits.
template <class Kernel>
void cover_arrays(const PixelArrays& p, double* out, int threads, Kernel kernel) {
    const auto per_piece = static_cast<std::size_t>(kPiecePixels);
    const std::int64_t pieces = static_cast<std::int64_t>((p.n + per_piece - 1) / per_piece);
    for_each_piece(threads, pieces, [&](std::int64_t piece) {
        const std::size_t start = static_cast<std::size_t>(piece) * per_piece;
        kernel(part_of(p, start, std::min(per_piece, p.n - start)), start, out + start);
    });
}

// ---- the callables ---------------------------------------------------------

void circle_on_window(const GridWindow& w, double cx, double cy, double r, py::array out,
                      int threads, bool fresh) {
    double* dst = window_out(w, out);
    py::gil_scoped_release unlocked;
    cover_window(CircleOnGrid({{cx, cy}, r}, w), w, dst, threads, fresh);
}

void circle_on_arrays(const FootprintArrays& p, double cx, double cy, double r, py::array out,
                      int threads, bool /*fresh: pieces too small to stream*/) {
    double* dst = arrays_out(p, out);
    const Circle c{{cx, cy}, r};
    py::gil_scoped_release unlocked;
    cover_arrays(p.view(), dst, threads, [&](const PixelArrays& part, std::size_t, double* o) {
        enclosed_circle(part, c, o);
    });
}

Strut strut_of(double x1, double y1, double dx1, double dy1, double x2, double y2, double dx2,
               double dy2, double cx, double cy, double length) {
    return {{{x1, y1}, {dx1, dy1}}, {{x2, y2}, {dx2, dy2}}, {cx, cy}, length};
}

void strut_on_window(const GridWindow& w, double x1, double y1, double dx1, double dy1,
                     double x2, double y2, double dx2, double dy2, double cx, double cy,
                     double length, py::array out, int threads, bool fresh) {
    double* dst = window_out(w, out);
    const Strut s = strut_of(x1, y1, dx1, dy1, x2, y2, dx2, dy2, cx, cy, length);
    py::gil_scoped_release unlocked;
    cover_window(StrutOnGrid(s, w), w, dst, threads, fresh);
}

void strut_on_arrays(const FootprintArrays& p, double x1, double y1, double dx1, double dy1,
                     double x2, double y2, double dx2, double dy2, double cx, double cy,
                     double length, py::array out, int threads,
                     bool /*fresh: pieces too small to stream*/) {
    double* dst = arrays_out(p, out);
    const Strut s = strut_of(x1, y1, dx1, dy1, x2, y2, dx2, dy2, cx, cy, length);
    py::gil_scoped_release unlocked;
    cover_arrays(p.view(), dst, threads, [&](const PixelArrays& part, std::size_t, double* o) {
        enclosed_strut(part, s, o);
    });
}

void edge_on_window(const GridWindow& w, double x, double y, double dx, double dy,
                    py::array out, int threads, bool fresh) {
    double* dst = window_out(w, out);
    py::gil_scoped_release unlocked;
    cover_window(EdgeOnGrid({{x, y}, {dx, dy}}, w), w, dst, threads, fresh);
}

void edge_on_arrays(const FootprintArrays& p, double x, double y, double dx, double dy,
                    py::array out, int threads, bool /*fresh: pieces too small to stream*/) {
    double* dst = arrays_out(p, out);
    const EdgeLine line{{x, y}, {dx, dy}};
    py::gil_scoped_release unlocked;
    cover_arrays(p.view(), dst, threads, [&](const PixelArrays& part, std::size_t, double* o) {
        pixel_frac(line, part, o);
    });
}

// One edge line per pixel: four arrays of the pixel count.
EdgeLineArrays lines_of(const ExactReals& x, const ExactReals& y, const ExactReals& dx,
                        const ExactReals& dy, py::ssize_t n) {
    for (const ExactReals* a : {&x, &y, &dx, &dy})
        if (a->size() != n) throw std::invalid_argument("one edge line per pixel");
    return {x.data(), y.data(), dx.data(), dy.data()};
}

void edges_on_window(const GridWindow& w, const ExactReals& x, const ExactReals& y,
                     const ExactReals& dx, const ExactReals& dy, py::array out, int threads,
                     bool fresh) {
    double* dst = window_out(w, out);
    const EdgeLineArrays lines = lines_of(x, y, dx, dy, w.rows() * w.cols());
    py::gil_scoped_release unlocked;
    cover_window(EdgesOnGrid{lines, {w.map.m00, w.map.m01, w.map.m10, w.map.m11}}, w, dst,
                 threads, fresh);
}

void edges_on_arrays(const FootprintArrays& p, const ExactReals& x, const ExactReals& y,
                     const ExactReals& dx, const ExactReals& dy, py::array out, int threads,
                     bool /*fresh: pieces too small to stream*/) {
    double* dst = arrays_out(p, out);
    const EdgeLineArrays lines = lines_of(x, y, dx, dy, static_cast<py::ssize_t>(p.size()));
    py::gil_scoped_release unlocked;
    cover_arrays(p.view(), dst, threads, [&](const PixelArrays& part, std::size_t at, double* o) {
        pixel_frac(EdgeLineArrays{lines.x + at, lines.y + at, lines.dx + at, lines.dy + at}, part,
                   o);
    });
}

}  // namespace

void bind_coverage(py::module_& m) {
    const auto threads = py::arg("threads");
    const auto fresh = py::arg("fresh") = false;   // out is a new array, never written
    m.def("circle_coverage", &circle_on_window, py::arg("pixels"), py::arg("cx"), py::arg("cy"),
          py::arg("radius"), py::arg("out"), threads, fresh);
    m.def("circle_coverage", &circle_on_arrays, py::arg("pixels"), py::arg("cx"), py::arg("cy"),
          py::arg("radius"), py::arg("out"), threads, fresh);
    m.def("strut_coverage", &strut_on_window, py::arg("pixels"), py::arg("x1"), py::arg("y1"),
          py::arg("dx1"), py::arg("dy1"), py::arg("x2"), py::arg("y2"), py::arg("dx2"),
          py::arg("dy2"), py::arg("cx"), py::arg("cy"), py::arg("length"), py::arg("out"),
          threads, fresh);
    m.def("strut_coverage", &strut_on_arrays, py::arg("pixels"), py::arg("x1"), py::arg("y1"),
          py::arg("dx1"), py::arg("dy1"), py::arg("x2"), py::arg("y2"), py::arg("dx2"),
          py::arg("dy2"), py::arg("cx"), py::arg("cy"), py::arg("length"), py::arg("out"),
          threads, fresh);
    m.def("edge_coverage", &edge_on_window, py::arg("pixels"), py::arg("x"), py::arg("y"),
          py::arg("dx"), py::arg("dy"), py::arg("out"), threads, fresh);
    m.def("edge_coverage", &edge_on_arrays, py::arg("pixels"), py::arg("x"), py::arg("y"),
          py::arg("dx"), py::arg("dy"), py::arg("out"), threads, fresh);
    m.def("edges_coverage", &edges_on_window, py::arg("pixels"), py::arg("x").noconvert(),
          py::arg("y").noconvert(), py::arg("dx").noconvert(), py::arg("dy").noconvert(),
          py::arg("out"), threads, fresh);
    m.def("edges_coverage", &edges_on_arrays, py::arg("pixels"), py::arg("x").noconvert(),
          py::arg("y").noconvert(), py::arg("dx").noconvert(), py::arg("dy").noconvert(),
          py::arg("out"), threads, fresh);
}

}  // namespace trovel
