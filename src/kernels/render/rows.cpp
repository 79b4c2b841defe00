// The runs of a row of grid pixels that one primitive surely holds or
// surely misses.  Along a row the footprint centres step by one column of
// the map, so the squared distance to a disc's centre is a quadratic in the
// column, and so is the squared distance to an ellipse's centre in the
// ellipse's own frame (where it is the unit disc); the side value of a
// polygon's edge is linear in it.  Solved with a margin of a column and a
// relative margin far above the margins of `classify`, they give the columns
// whose pixels `classify` would surely call In (or Out) on their own boxes;
// only the columns between are left for the pixel-by-pixel walk.  So the
// runs decide nothing a pixel would not decide alone, and the image keeps its
// bits whatever blocks led to it.
#include <algorithm>
#include <cmath>
#include <limits>

#include "render.hpp"

namespace trovel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Relative to the size of every coordinate the tests meet: far above
// classify's own margin (1e-12) and the rounding of the solutions, far below
// a pixel.
constexpr double kRunMargin = 1e-9;

// Real columns [lo, hi]; empty unless lo <= hi.
struct Span {
    double lo, hi;
};

Span intersect(const Span& a, const Span& b) { return {std::max(a.lo, b.lo), std::min(a.hi, b.hi)}; }

// The whole columns of [lo, hi], `grow` more on each side (fewer when
// negative), within [k0, k1).
Columns columns_of(const Span& s, int grow, std::int64_t k0, std::int64_t k1) {
    if (!(s.lo <= s.hi)) return {k0, k0};
    const double a = std::clamp(std::ceil(s.lo) - grow, double(k0), double(k1));
    const double b = std::clamp(std::floor(s.hi) + 1.0 + grow, double(k0), double(k1));
    const auto start = static_cast<std::int64_t>(a);
    return {start, std::max(start, static_cast<std::int64_t>(b))};
}

// Columns k with a + b k > bound (above) or < bound (below); all or none when b is 0.
Span above(double a, double b, double bound) {
    if (b == 0.0) return a > bound ? Span{-kInf, kInf} : Span{kInf, -kInf};
    const double t = (bound - a) / b;
    return b > 0.0 ? Span{t, kInf} : Span{-kInf, t};
}

// Columns k with |w + k u|^2 < t, u = (ux, uy).
Span within(double wx, double wy, double ux, double uy, double t) {
    const double uu = ux * ux + uy * uy, uw = ux * wx + uy * wy;
    const double disc = uw * uw - uu * (wx * wx + wy * wy - t);
    if (!(disc >= 0.0) || !(t > 0.0)) return {kInf, -kInf};
    const double root = std::sqrt(disc);
    return {(-uw - root) / uu, (-uw + root) / uu};
}

// A bound on every coordinate of the row's tests (with `extra`, the
// primitive's own), for the relative margin.
double row_scale(const GridMap& m, std::int64_t i, std::int64_t k0, std::int64_t k1, double extra) {
    const double k = double(std::max(std::llabs(k0), std::llabs(k1)));
    return std::fabs(m.x0) + std::fabs(m.y0) + extra + (std::fabs(m.m00) + std::fabs(m.m10)) * k +
           (std::fabs(m.m01) + std::fabs(m.m11)) * std::fabs(double(i));
}

// A disc: the pixel box lies within rho of its centre, so it is inside
// where the centre is nearer than r - rho, outside where farther than r + rho.
bool disc_runs(const Primitive& p, const GridMap& m, double rho, std::int64_t i, std::int64_t k0,
               std::int64_t k1, RowRuns& runs) {
    const double cx = p.v[0], cy = p.v[1], r = p.v[2];
    const double margin =
        kRunMargin * row_scale(m, i, k0, k1, std::fabs(cx) + std::fabs(cy) + r + rho);
    const double uu = m.m00 * m.m00 + m.m10 * m.m10;
    if (!std::isfinite(margin * margin) || !(uu > 1e-6 * margin * margin)) return false;
    const double wx = (m.m01 * double(i) + m.x0) - cx, wy = (m.m11 * double(i) + m.y0) - cy;
    const double inner = r - rho - margin, outer = r + rho + margin;
    runs.in = columns_of(within(wx, wy, m.m00, m.m10, inner > 0.0 ? inner * inner : -1.0), -1,
                         k0, k1);
    runs.maybe = columns_of(within(wx, wy, m.m00, m.m10, outer * outer), 1, k0, k1);
    return true;
}

// An ellipse, in its frame u = A^-1 (P - c): the centres step by A^-1 times
// the map's first column, and the pixel box lies within rho of its centre,
// rho its farthest corner's distance, so it is inside where the centre is
// nearer than 1 - rho to the origin, outside where farther than 1 + rho.
bool ellipse_runs(const Primitive& p, const GridMap& m, double bx, double by, std::int64_t i,
                  std::int64_t k0, std::int64_t k1, RowRuns& runs) {
    const EllipseMap& e = p.ellipse;
    double g1x, g1y, g2x, g2y, ux, uy, wx, wy;
    e.to_unit(bx, 0.0, g1x, g1y);
    e.to_unit(0.0, by, g2x, g2y);
    e.to_unit(m.m00, m.m10, ux, uy);
    e.to_unit((m.m01 * double(i) + m.x0) - p.v[0], (m.m11 * double(i) + m.y0) - p.v[1], wx, wy);
    const double rho = std::max(std::sqrt((g1x + g2x) * (g1x + g2x) + (g1y + g2y) * (g1y + g2y)),
                                std::sqrt((g1x - g2x) * (g1x - g2x) + (g1y - g2y) * (g1y - g2y)));
    const double extent = std::fabs(p.v[0]) + std::fabs(p.v[1]) + bx + by;
    const double margin = kRunMargin * (e.inv_norm * row_scale(m, i, k0, k1, extent) + 1.0);
    const double uu = ux * ux + uy * uy;
    if (!std::isfinite(margin * margin) || !std::isfinite(wx * wx + wy * wy) ||
        !(uu > 1e-6 * margin * margin))
        return false;
    const double inner = 1.0 - rho - margin, outer = 1.0 + rho + margin;
    runs.in = columns_of(within(wx, wy, ux, uy, inner > 0.0 ? inner * inner : -1.0), -1, k0, k1);
    runs.maybe = columns_of(within(wx, wy, ux, uy, outer * outer), 1, k0, k1);
    return true;
}

// A convex polygon: the intersection of its edges' left sides.  The box is
// inside where every side value exceeds the box's reach across that edge,
// outside where one falls below minus that reach.
bool convex_runs(const Primitive& p, const GridMap& m, double rx, double ry, std::int64_t i,
                 std::int64_t k0, std::int64_t k1, RowRuns& runs) {
    const double extent = std::fabs(p.xmin) + std::fabs(p.xmax) + std::fabs(p.ymin) +
                          std::fabs(p.ymax) + rx + ry;
    const double margin = kRunMargin * row_scale(m, i, k0, k1, extent);
    if (!std::isfinite(margin)) return false;
    const double sx = m.m01 * double(i) + m.x0, sy = m.m11 * double(i) + m.y0;
    Span in{-kInf, kInf}, maybe{-kInf, kInf};
    for (std::int32_t k = 0; k < p.n; ++k) {
        const std::int32_t j = previous_vertex(k, p.n);
        const double ux = p.x(k) - p.x(j), uy = p.y(k) - p.y(j);
        const double a = ux * (sy - p.y(j)) - uy * (sx - p.x(j));   // side at column 0
        const double b = ux * m.m10 - uy * m.m00;                   // its step per column
        const double reach = (std::fabs(uy) * rx + std::fabs(ux) * ry) * (1.0 + kRunMargin) +
                             margin * (std::fabs(ux) + std::fabs(uy));
        if (!std::isfinite(reach) || !std::isfinite(a) || !std::isfinite(b)) return false;
        in = intersect(in, above(a, b, reach));
        maybe = intersect(maybe, above(a, b, -reach));
    }
    runs.in = columns_of(in, -1, k0, k1);
    runs.maybe = columns_of(maybe, 1, k0, k1);
    return true;
}

}  // namespace

bool row_runs(const Primitive& p, const GridMap& m, double bx, double by, std::int64_t i,
              std::int64_t k0, std::int64_t k1, RowRuns& runs) {
    if (p.kind == PrimKind::Disc) return disc_runs(p, m, std::sqrt(bx * bx + by * by), i, k0, k1, runs);
    if (p.kind == PrimKind::Ellipse) return ellipse_runs(p, m, bx, by, i, k0, k1, runs);
    if (p.convex && !p.bands) return convex_runs(p, m, bx, by, i, k0, k1, runs);
    return false;
}

}  // namespace trovel
