// Conservative classification of a primitive against an axis-aligned box of
// the plane (the bounding box of a footprint or of a block of footprints; a
// box rather than a disc because a run of a row of footprints is long and thin).  A wrong
// kCrossed only costs an exact computation; kIn and kOut must be certain, so
// every test keeps a margin well above its rounding.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "render.hpp"

namespace trovel_render {

namespace {

// Relative margin of the tests below: far above the few roundings of a
// distance, far below anything that changes which footprints are crossed.
constexpr double kMargin = 1e-12;

// Bands per edge on average, and the most entries per edge that long
// edges may cost before the bands are made fewer.
constexpr int32_t kEdgesPerBand = 4;
constexpr int32_t kMostBands = 1 << 16;
constexpr std::size_t kEntriesPerEdge = 16;

int32_t band_of(const EdgeBands& b, double y) {
    const double t = std::floor((y - b.y0) * b.per_band);
    if (!(t >= 0.0)) return 0;
    if (t >= static_cast<double>(b.count - 1)) return b.count - 1;
    return static_cast<int32_t>(t);
}

// The bands of edge k, lowest and highest.
void bands_of_edge(const EdgeBands& b, const Primitive& p, int32_t k, int32_t& lo, int32_t& hi) {
    const double ay = p.v[2 * previous_vertex(k, p.n) + 1], by = p.v[2 * k + 1];
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
        for (int32_t k = 0; k < p.n; ++k) {
            int32_t lo, hi;
            bands_of_edge(b, p, k, lo, hi);
            entries += static_cast<std::size_t>(hi - lo + 1);
        }
        if (entries <= kEntriesPerEdge * static_cast<std::size_t>(p.n) || b.count == 1) break;
        b.count = std::max(1, b.count / 4);   // long edges: fewer, taller bands
    }
    b.start.assign(static_cast<std::size_t>(b.count) + 1, 0);
    b.first.resize(static_cast<std::size_t>(p.n));
    for (int32_t k = 0; k < p.n; ++k) {
        int32_t lo, hi;
        bands_of_edge(b, p, k, lo, hi);
        b.first[k] = lo;
        for (int32_t band = lo; band <= hi; ++band) ++b.start[band + 1];
    }
    for (int32_t band = 0; band < b.count; ++band) b.start[band + 1] += b.start[band];
    b.edges.resize(entries);
    std::vector<int32_t> fill(b.start.begin(), b.start.end() - 1);
    for (int32_t k = 0; k < p.n; ++k) {
        int32_t lo, hi;
        bands_of_edge(b, p, k, lo, hi);
        for (int32_t band = lo; band <= hi; ++band) b.edges[fill[band]++] = k;
    }
    return b;
}

// Even-odd crossing test of a horizontal ray to +x over the edges in `near`
// (or all when it is null), each vertex moved by (-tx, -ty) as it is read;
// points on the boundary get either answer, and callers never ask about
// them.  An edge crosses the ray only when its y-range holds y, so any list
// of edges that holds those gives the answer of all of them.
bool crossings_to_the_right(const Primitive& p, const std::vector<int32_t>* near, double tx,
                            double ty, double x, double y) {
    bool inside = false;
    const int32_t count = near ? static_cast<int32_t>(near->size()) : p.n;
    for (int32_t e = 0; e < count; ++e) {
        const int32_t k = near ? (*near)[e] : e, j = previous_vertex(k, p.n);
        const double ax = p.v[2 * j] - tx, ay = p.v[2 * j + 1] - ty;
        const double bx = p.v[2 * k] - tx, by = p.v[2 * k + 1] - ty;
        if ((ay > y) != (by > y)) {
            const double xc = ax + (y - ay) / (by - ay) * (bx - ax);
            if (xc > x) inside = !inside;
        }
    }
    return inside;
}

// The edge lists of the queries of one thread.
std::vector<int32_t>& near_edges() {
    thread_local std::vector<int32_t> near;
    near.clear();
    return near;
}

}  // namespace

void EdgeBands::near(double ylo, double yhi, std::vector<int32_t>& out) const {
    if (std::isnan(ylo) || std::isnan(yhi)) {
        for (int32_t k = 0; k < static_cast<int32_t>(first.size()); ++k) out.push_back(k);
        return;
    }
    const int32_t b0 = band_of(*this, ylo), b1 = band_of(*this, yhi);
    // An edge in several of the bands is taken from the first of them.
    for (int32_t band = b0; band <= b1; ++band)
        for (int32_t at = start[band]; at < start[band + 1]; ++at)
            if (band == std::max(first[edges[at]], b0)) out.push_back(edges[at]);
}

void index_edges(Shape& shape) {
    shape.bands.assign(shape.prims.size(), EdgeBands{});
    for (std::size_t i = 0; i < shape.prims.size(); ++i) {
        Primitive& p = shape.prims[i];
        const double span = p.ymax - p.ymin;
        if (p.kind != kPolygon || p.n < kBandedEdges || !(span > 0.0) || !std::isfinite(span))
            continue;
        shape.bands[i] = bands_of_polygon(p);
        p.bands = &shape.bands[i];
    }
}

double translation_slack(double at, double reach) {
    return 1e-9 * (std::fabs(at) + std::fabs(reach)) + 1e-300;
}

bool inside_translated_polygon(const Primitive& p, double tx, double ty, double x, double y) {
    if (!p.bands) return crossings_to_the_right(p, nullptr, tx, ty, x, y);
    std::vector<int32_t>& near = near_edges();
    const double at = y + ty, slack = translation_slack(ty, y);
    p.bands->near(at - slack, at + slack, near);
    return crossings_to_the_right(p, &near, tx, ty, x, y);
}

State classify(const Primitive& p, double x, double y, double hx, double hy) {
    const double ax = std::fabs(x), ay = std::fabs(y);
    if (p.kind == kDisc) {
        const double dx = std::fabs(x - p.v[0]), dy = std::fabs(y - p.v[1]), r = p.v[2];
        // nearest and farthest points of the box from the centre
        const double nx = dx > hx ? dx - hx : 0.0, ny = dy > hy ? dy - hy : 0.0;
        const double fx = dx + hx, fy = dy + hy;
        const double slack = kMargin * (dx + dy + hx + hy + r);
        const double near = std::sqrt(nx * nx + ny * ny), far = std::sqrt(fx * fx + fy * fy);
        if (far < r - slack) return kIn;
        if (near > r + slack) return kOut;
        return kCrossed;
    }
    const double slack = kMargin * (ax + ay + hx + hy + (p.xmax - p.xmin) + (p.ymax - p.ymin));
    const double rx = hx + slack, ry = hy + slack;
    if (x + rx < p.xmin || x - rx > p.xmax || y + ry < p.ymin || y - ry > p.ymax) return kOut;
    const int n = p.n;
    // With bands, only the edges whose y-range may meet the box's, and for
    // the ray only those whose y-range may hold y: no other edge could
    // cross the box or the ray.
    std::vector<int32_t>* near = nullptr;
    if (p.bands) {
        near = &near_edges();
        p.bands->near(y - ry, y + ry, *near);
    }
    const int count = near ? static_cast<int>(near->size()) : n;
    for (int e = 0; e < count; ++e) {
        const int i = near ? (*near)[e] : e, j = previous_vertex(i, n);
        const double ax0 = p.v[2 * j], ay0 = p.v[2 * j + 1], bx = p.v[2 * i], by = p.v[2 * i + 1];
        // separating axes: the box's own, then the edge's normal
        if (std::max(ax0, bx) < x - rx || std::min(ax0, bx) > x + rx ||
            std::max(ay0, by) < y - ry || std::min(ay0, by) > y + ry)
            continue;
        const double ux = bx - ax0, uy = by - ay0;
        if (std::fabs(ux * (y - ay0) - uy * (x - ax0)) <= std::fabs(uy) * rx + std::fabs(ux) * ry)
            return kCrossed;
    }
    if (near) {
        near->clear();
        p.bands->near(y, y, *near);
    }
    return crossings_to_the_right(p, near, 0.0, 0.0, x, y) ? kIn : kOut;
}

}  // namespace trovel_render
