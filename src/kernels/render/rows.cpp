// The runs of a row of grid pixels that one primitive surely holds or
// surely misses.  Along a row the footprint centres step by one column of
// the map, so the squared distance to a disc's centre is a quadratic in the
// column, and so is the squared distance to an ellipse's centre in the
// ellipse's own frame (where it is the unit disc); the side value of a
// polygon's edge is linear in the column, and in the row.  Solved with a
// relative margin far above the margins of `classify` (and, for the round
// ones, whose roots round less tamely, a column more), they give the
// columns whose pixels `classify` would surely call In (or Out) on their own
// boxes; only the columns between are left for the pixel-by-pixel walk.  So
// the runs decide nothing a pixel would not decide alone, and the image
// keeps its bits whatever blocks led to it.
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
    // Lengths in units of the outer radius, a power of two, so that the
    // squares below neither underflow nor overflow at extreme scales; the
    // columns solved for are the same, bit for bit, in any power-of-two unit.
    const double unit = std::ldexp(1.0, -std::ilogb(r + rho + margin));
    const double ux = m.m00 * unit, uy = m.m10 * unit, slack = margin * unit;
    const double uu = ux * ux + uy * uy;
    if (!std::isfinite(slack * slack) || !(uu > 1e-6 * slack * slack)) return false;
    const double wx = ((m.m01 * double(i) + m.x0) - cx) * unit;
    const double wy = ((m.m11 * double(i) + m.y0) - cy) * unit;
    if (!std::isfinite(uu * (wx * wx + wy * wy))) return false;
    const double inner = (r - rho - margin) * unit, outer = (r + rho + margin) * unit;
    runs.in = columns_of(within(wx, wy, ux, uy, inner > 0.0 ? inner * inner : -1.0), -1, k0, k1);
    runs.maybe = columns_of(within(wx, wy, ux, uy, outer * outer), 1, k0, k1);
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

// The range of the margins and edge lengths of the stepped runs: their
// products, against which every rounding is weighed, stay far from
// underflow (the runs of extreme scales are left to the walk).
constexpr double kLeast = 1e-130, kMost = 1e130;

// Columns k with a + b k above `bound`, b given with its inverse; all or
// none when b is 0.
Span above(double a, double b, double inv_b, double bound) {
    if (b == 0.0) return a > bound ? Span{-kInf, kInf} : Span{kInf, -kInf};
    const double t = (bound - a) * inv_b;
    return b > 0.0 ? Span{t, kInf} : Span{-kInf, t};
}

// A disc's or an ellipse's runs on row i.
bool round_runs(const Primitive& p, const GridMap& m, double bx, double by, std::int64_t i,
                std::int64_t k0, std::int64_t k1, RowRuns& runs) {
    if (p.kind == PrimKind::Disc) return disc_runs(p, m, std::sqrt(bx * bx + by * by), i, k0, k1, runs);
    return ellipse_runs(p, m, bx, by, i, k0, k1, runs);
}

}  // namespace

bool BlockRuns::prepare(const Primitive& prim, const GridMap& map, double bx, double by,
                        std::int64_t i0, std::int64_t i1, std::int64_t k0, std::int64_t k1) {
    p_ = &prim;
    m_ = map;
    bx_ = bx, by_ = by, i0_ = i0, k0_ = k0, k1_ = k1;
    edges_ = 0;
    if (prim.kind != PrimKind::Polygon) return true;   // round: solved row by row
    // (a polygon left unbanded for a degenerate height may have more edges
    // than the table holds)
    if (!prim.convex || prim.bands || prim.n > kBandedEdges) return false;
    const double extent = std::fabs(prim.xmin) + std::fabs(prim.xmax) + std::fabs(prim.ymin) +
                          std::fabs(prim.ymax) + bx + by;
    const std::int64_t far_row = std::max(std::llabs(i0), std::llabs(i1 - 1));
    const double margin = kRunMargin * row_scale(map, far_row, k0, k1, extent);
    if (!(margin > kLeast && margin < kMost)) return false;
    const double sx = map.m01 * double(i0) + map.x0, sy = map.m11 * double(i0) + map.y0;
    for (std::int32_t k = 0; k < prim.n; ++k) {
        const std::int32_t j = previous_vertex(k, prim.n);
        const double ux = prim.x(k) - prim.x(j), uy = prim.y(k) - prim.y(j);
        const double length = std::fabs(ux) + std::fabs(uy);
        if (!(length > kLeast && length < kMost)) return false;
        Edge& e = edge_[k];
        e.a0 = ux * (sy - prim.y(j)) - uy * (sx - prim.x(j));
        e.da = ux * map.m11 - uy * map.m01;
        e.b = ux * map.m10 - uy * map.m00;
        e.inv_b = 1.0 / e.b;
        e.reach = (std::fabs(uy) * bx + std::fabs(ux) * by) * (1.0 + kRunMargin) +
                  margin * (std::fabs(ux) + std::fabs(uy));
        const double last = e.a0 + double(i1 - 1 - i0) * e.da;
        if (!std::isfinite(e.reach) || !std::isfinite(last) || !std::isfinite(e.b)) return false;
    }
    // a row whose boxes lie wholly beside the polygon's misses it
    const double reach_x = bx * (1.0 + kRunMargin) + margin;
    const double reach_y = by * (1.0 + kRunMargin) + margin;
    xlo_ = prim.xmin - reach_x;
    xhi_ = prim.xmax + reach_x;
    ylo_ = prim.ymin - reach_y;
    yhi_ = prim.ymax + reach_y;
    edges_ = prim.n;
    return true;
}

bool BlockRuns::at(std::int64_t i, RowRuns& runs) const {
    if (p_->kind != PrimKind::Polygon) return round_runs(*p_, m_, bx_, by_, i, k0_, k1_, runs);
    const double x = m_.m01 * double(i) + m_.x0, y = m_.m11 * double(i) + m_.y0;
    const double xa = x + m_.m00 * double(k0_), xb = x + m_.m00 * double(k1_ - 1);
    const double ya = y + m_.m10 * double(k0_), yb = y + m_.m10 * double(k1_ - 1);
    if (std::max(xa, xb) < xlo_ || std::min(xa, xb) > xhi_ || std::max(ya, yb) < ylo_ ||
        std::min(ya, yb) > yhi_) {
        runs.in = runs.maybe = {k0_, k0_};
        return true;
    }
    const double step = double(i - i0_);
    Span in{-kInf, kInf}, maybe{-kInf, kInf};
    for (int k = 0; k < edges_; ++k) {
        const Edge& e = edge_[k];
        const double a = e.a0 + step * e.da;
        in = intersect(in, above(a, e.b, e.inv_b, e.reach));
        maybe = intersect(maybe, above(a, e.b, e.inv_b, -e.reach));
    }
    // the margins above are far wider than the rounding of any of these
    // steps, so the runs need no column more of slack
    runs.in = columns_of(in, 0, k0_, k1_);
    runs.maybe = columns_of(maybe, 0, k0_, k1_);
    return true;
}

}  // namespace trovel
