// Conservative classification of a primitive against an axis-aligned box of
// the plane (the bounding box of a footprint or of a block of footprints; a
// box rather than a disc because a run of a row of footprints is long and
// thin).  A wrong Crossed only costs an exact computation; In and Out must be
// certain, so every test keeps a margin well above its rounding.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "render.hpp"

namespace trovel {
namespace {

// Relative margin of the tests below: far above the few roundings of a
// distance, far below anything that changes which footprints are crossed.
constexpr double kMargin = 1e-12;
// Lengths whose squares stay far inside the range of doubles.
constexpr double kSquarable = 1e150;

// sqrt(x^2 + y^2), without hypot's care for overflow where the squares are
// safe (hypot costs more than the whole test it sits in), with it elsewhere.
double length_of(double x, double y) {
    const double m = std::max(std::fabs(x), std::fabs(y));
    if (m < kSquarable && m > 1.0 / kSquarable) return std::sqrt(x * x + y * y);
    return std::hypot(x, y);
}

// Bands per edge on average, and the most entries per edge that long
// edges may cost before the bands are made fewer.
constexpr std::int32_t kEdgesPerBand = 4;
constexpr std::int32_t kMostBands = 1 << 16;
constexpr std::size_t kEntriesPerEdge = 16;

std::int32_t band_of(const EdgeBands& b, double y) {
    const double t = std::floor((y - b.y0) * b.per_band);
    if (!(t >= 0.0)) return 0;
    if (t >= static_cast<double>(b.count - 1)) return b.count - 1;
    return static_cast<std::int32_t>(t);
}

// The bands of edge k, lowest and highest.
void bands_of_edge(const EdgeBands& b, const Primitive& p, std::int32_t k, std::int32_t& lo, std::int32_t& hi) {
    const double ay = p.y(previous_vertex(k, p.n)), by = p.y(k);
    lo = band_of(b, std::min(ay, by));
    hi = band_of(b, std::max(ay, by));
}

EdgeBands bands_of_polygon(const Primitive& p) {
    EdgeBands b;
    b.y0 = p.ymin;
    b.count = std::clamp(p.n / kEdgesPerBand, 1, kMostBands);
    std::size_t entries = 0;
    for (;;) {
        b.per_band = static_cast<double>(b.count) / (p.ymax - p.ymin);
        entries = 0;
        for (std::int32_t k = 0; k < p.n; ++k) {
            std::int32_t lo, hi;
            bands_of_edge(b, p, k, lo, hi);
            entries += static_cast<std::size_t>(hi - lo + 1);
        }
        if (entries <= kEntriesPerEdge * static_cast<std::size_t>(p.n) || b.count == 1) break;
        b.count = std::max(1, b.count / 4);   // long edges: fewer, taller bands
    }
    b.start.assign(static_cast<std::size_t>(b.count) + 1, 0);
    b.first.resize(static_cast<std::size_t>(p.n));
    for (std::int32_t k = 0; k < p.n; ++k) {
        std::int32_t lo, hi;
        bands_of_edge(b, p, k, lo, hi);
        b.first[k] = lo;
        for (std::int32_t band = lo; band <= hi; ++band) ++b.start[band + 1];
    }
    for (std::int32_t band = 0; band < b.count; ++band) b.start[band + 1] += b.start[band];
    b.edges.resize(entries);
    std::vector<std::int32_t> fill(b.start.begin(), b.start.end() - 1);
    for (std::int32_t k = 0; k < p.n; ++k) {
        std::int32_t lo, hi;
        bands_of_edge(b, p, k, lo, hi);
        for (std::int32_t band = lo; band <= hi; ++band) b.edges[fill[band]++] = k;
    }
    return b;
}

// Even-odd crossing test of a horizontal ray to +x from (x, y) over the
// edges of p whose y-range may hold y, each vertex moved by (-tx, -ty) as it
// is read; points on the boundary get either answer, and callers never ask
// about them.  An edge crosses the ray only when its y-range holds y, so the
// edges near y give the answer of all of them.
bool crossings_to_the_right(const Primitive& p, double tx, double ty, double x, double y) {
    thread_local std::vector<std::int32_t> scratch;
    const double at = y + ty, slack = translation_slack(ty, y);
    bool inside = false;
    for_each_edge_near(p, at - slack, at + slack, false, scratch, [&](std::int32_t j,
                                                                      std::int32_t k) {
        const double ax = p.x(j) - tx, ay = p.y(j) - ty;
        const double bx = p.x(k) - tx, by = p.y(k) - ty;
        if ((ay > y) != (by > y)) {
            const double xc = ax + (y - ay) / (by - ay) * (bx - ax);
            if (xc > x) inside = !inside;
        }
        return true;
    });
    return inside;
}

// A box's state against a disc: the box's nearest and farthest points from
// the centre against the radius.
State classify_disc(const Primitive& p, double x, double y, double hx, double hy) {
    const double dx = std::fabs(x - p.v[0]), dy = std::fabs(y - p.v[1]), r = p.v[2];
    const double nx = dx > hx ? dx - hx : 0.0, ny = dy > hy ? dy - hy : 0.0;
    const double fx = dx + hx, fy = dy + hy;
    const double slack = kMargin * (dx + dy + hx + hy + r);
    const double inner = r - slack, outer = r + slack;
    if (std::max({fx, fy, outer}) < kSquarable) {
        // the same tests on squared distances, no square root: their
        // rounding is far below the margin
        if (inner > 0.0 && fx * fx + fy * fy < inner * inner) return State::In;
        if (nx * nx + ny * ny > outer * outer) return State::Out;
        return State::Crossed;
    }
    if (length_of(fx, fy) < inner) return State::In;
    if (length_of(nx, ny) > outer) return State::Out;
    return State::Crossed;
}

// The squared distance from the origin to the segment from p to p + d.
double squared_distance_to_segment(double px, double py, double dx, double dy) {
    const double dd = dx * dx + dy * dy;
    const double t = dd > 0.0 ? std::clamp(-(px * dx + py * dy) / dd, 0.0, 1.0) : 0.0;
    const double x = px + t * dx, y = py + t * dy;
    return x * x + y * y;
}

// A box's state against an ellipse, in the ellipse's frame, where it is the
// unit disc and the box the parallelogram u + s g1 + t g2 (s, t in [-1, 1]),
// u = A^-1 (centre - c), g1 = hx A^-1 e_x, g2 = hy A^-1 e_y: inside when its
// farthest corner lies within 1, outside when its nearest point lies beyond
// 1 (an affine map keeps which points lie inside).
State classify_ellipse(const Primitive& p, double x, double y, double hx, double hy) {
    const double slack = kMargin * (std::fabs(x) + std::fabs(y) + hx + hy + (p.xmax - p.xmin) +
                                    (p.ymax - p.ymin));
    if (x + hx + slack < p.xmin || x - hx - slack > p.xmax || y + hy + slack < p.ymin ||
        y - hy - slack > p.ymax)
        return State::Out;
    const EllipseMap& e = p.ellipse;
    const double dx = x - p.v[0], dy = y - p.v[1];
    double ux, uy;
    e.to_unit(dx, dy, ux, uy);
    const double g1x = hx * e.i00, g1y = hx * e.i10, g2x = hy * e.i01, g2y = hy * e.i11;
    // the roundings of the map, relative to everything it was computed from
    const double margin = kMargin * (e.inv_norm * (std::fabs(x) + std::fabs(y) +
                                     std::fabs(p.v[0]) + std::fabs(p.v[1]) + hx + hy) + 1.0);
    if (!std::isfinite(margin) || !(margin < 0.5) || !std::isfinite(ux) || !std::isfinite(uy))
        return State::Crossed;
    double farthest = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double s = k & 1 ? 1.0 : -1.0, t = k & 2 ? 1.0 : -1.0;
        const double cx = ux + s * g1x + t * g2x, cy = uy + s * g1y + t * g2y;
        farthest = std::max(farthest, cx * cx + cy * cy);
    }
    const double inner = 1.0 - margin, outer = 1.0 + margin;
    if (farthest < inner * inner) return State::In;
    // the origin inside the parallelogram: (s, t) = -[g1 g2]^-1 u within [-1, 1]^2
    const double det = g1x * g2y - g1y * g2x;
    if (det != 0.0) {
        const double s = -(ux * g2y - uy * g2x) / det, t = -(g1x * uy - g1y * ux) / det;
        if (std::fabs(s) <= 1.0 && std::fabs(t) <= 1.0) return State::Crossed;
    }
    double nearest = INFINITY;
    for (int k = 0; k < 4; ++k) {
        // the sides from corner (s, t) along +g1 (s = -1) or +g2 (t = -1)
        const double s = k & 1 ? 1.0 : -1.0;
        const bool along_g1 = k < 2;
        const double px = along_g1 ? ux - g1x + s * g2x : ux + s * g1x - g2x;
        const double py = along_g1 ? uy - g1y + s * g2y : uy + s * g1y - g2y;
        nearest = std::min(nearest, along_g1 ? squared_distance_to_segment(px, py, 2 * g1x, 2 * g1y)
                                             : squared_distance_to_segment(px, py, 2 * g2x, 2 * g2y));
    }
    return nearest > outer * outer ? State::Out : State::Crossed;
}

// Whether the segment from a to b may meet the box of half-sizes (rx, ry)
// about (x, y): the separating axes, the box's own and then the edge's
// normal.
bool segment_meets_box(double ax, double ay, double bx, double by, double x, double y, double rx,
                       double ry) {
    if (std::max(ax, bx) < x - rx || std::min(ax, bx) > x + rx || std::max(ay, by) < y - ry ||
        std::min(ay, by) > y + ry)
        return false;
    const double ux = bx - ax, uy = by - ay;
    return std::fabs(ux * (y - ay) - uy * (x - ax)) <= std::fabs(uy) * rx + std::fabs(ux) * ry;
}

// A convex polygon is the intersection of its edges' left sides: the box is
// outside when it lies wholly right of one edge's line, inside when wholly
// left of all, else (perhaps) crossed.
// The edges whose lines may pass through the box go into `near`.
State classify_convex(const Primitive& p, double x, double y, double rx, double ry,
                      EdgeMask& near) {
    near = 0;
    double jx = p.x(p.n - 1), jy = p.y(p.n - 1);   // each edge's start: the last edge's end
    for (std::int32_t k = 0; k < p.n; ++k) {
        const double kx = p.x(k), ky = p.y(k);
        const double ux = kx - jx, uy = ky - jy;
        const double side = ux * (y - jy) - uy * (x - jx);
        const double reach = std::fabs(uy) * rx + std::fabs(ux) * ry;
        if (side < -reach) return State::Out;
        if (!(side > reach)) near |= EdgeMask(1) << k;
        jx = kx;
        jy = ky;
    }
    return near ? State::Crossed : State::In;
}

State classify_polygon(const Primitive& p, double x, double y, double hx, double hy,
                       EdgeMask& near) {
    const double slack = kMargin * (std::fabs(x) + std::fabs(y) + hx + hy + (p.xmax - p.xmin) +
                                    (p.ymax - p.ymin));
    const double rx = hx + slack, ry = hy + slack;
    if (x + rx < p.xmin || x - rx > p.xmax || y + ry < p.ymin || y - ry > p.ymax) return State::Out;
    if (p.convex && !p.bands) return classify_convex(p, x, y, rx, ry, near);
    near = kEdgesUnknown;
    thread_local std::vector<std::int32_t> scratch;
    bool crossed = false;
    for_each_edge_near(p, y - ry, y + ry, false, scratch, [&](std::int32_t j, std::int32_t k) {
        crossed = segment_meets_box(p.x(j), p.y(j), p.x(k), p.y(k), x, y, rx, ry);
        return !crossed;
    });
    if (crossed) return State::Crossed;
    return crossings_to_the_right(p, 0.0, 0.0, x, y) ? State::In : State::Out;
}

}  // namespace

void EdgeBands::near(double ylo, double yhi, std::vector<std::int32_t>& out) const {
    if (std::isnan(ylo) || std::isnan(yhi)) {
        for (std::int32_t k = 0; k < static_cast<std::int32_t>(first.size()); ++k) out.push_back(k);
        return;
    }
    const std::int32_t b0 = band_of(*this, ylo), b1 = band_of(*this, yhi);
    // An edge in several of the bands is taken from the first of them.
    for (std::int32_t band = b0; band <= b1; ++band)
        for (std::int32_t at = start[band]; at < start[band + 1]; ++at)
            if (band == std::max(first[edges[at]], b0)) out.push_back(edges[at]);
}

void index_edges(Shape& shape) {
    shape.bands.assign(shape.prims.size(), EdgeBands{});
    for (std::size_t i = 0; i < shape.prims.size(); ++i) {
        Primitive& p = shape.prims[i];
        const double span = p.ymax - p.ymin;
        if (p.kind != PrimKind::Polygon || p.n < kBandedEdges || !(span > 0.0) || !std::isfinite(span))
            continue;
        shape.bands[i] = bands_of_polygon(p);
        p.bands = &shape.bands[i];
    }
}

// The query is widened by a part in 1e9 of the coordinates, far above the
// rounding of the translation and far below a band's height; the absolute
// term keeps a query at 0 from being empty.
double translation_slack(double at, double reach) {
    return 1e-9 * (std::fabs(at) + std::fabs(reach)) + 1e-300;
}

bool inside_translated_polygon(const Primitive& p, double tx, double ty, double x, double y) {
    return crossings_to_the_right(p, tx, ty, x, y);
}

State classify(const Primitive& p, double x, double y, double hx, double hy, EdgeMask* near) {
    switch (p.kind) {
        case PrimKind::Disc: return classify_disc(p, x, y, hx, hy);
        case PrimKind::Ellipse: return classify_ellipse(p, x, y, hx, hy);
        case PrimKind::Polygon: break;
    }
    EdgeMask unused;
    return classify_polygon(p, x, y, hx, hy, near ? *near : unused);
}

}  // namespace trovel
