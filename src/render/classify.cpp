// Conservative classification of a primitive against an axis-aligned box of
// the plane (the bounding box of a footprint or of a block of footprints; a
// box rather than a disc because a run of a row of footprints is long and thin).  A wrong
// kCrossed only costs an exact computation; kIn and kOut must be certain, so
// every test keeps a margin well above its rounding.
#include <cmath>

#include "render.hpp"

namespace trovel_render {

namespace {

// Relative margin of the tests below: far above the few roundings of a
// distance, far below anything that changes which footprints are crossed.
constexpr double kMargin = 1e-12;

}  // namespace

// Even-odd crossing test of a horizontal ray to +x; points on the boundary
// get either answer, and callers never ask about them.
bool inside_polygon(const double* v, int n, double x, double y) {
    bool inside = false;
    double ax = v[2 * (n - 1)], ay = v[2 * (n - 1) + 1];
    for (int i = 0; i < n; ++i) {
        const double bx = v[2 * i], by = v[2 * i + 1];
        if ((ay > y) != (by > y)) {
            const double xc = ax + (y - ay) / (by - ay) * (bx - ax);
            if (xc > x) inside = !inside;
        }
        ax = bx;
        ay = by;
    }
    return inside;
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
    for (int i = 0, j = n - 1; i < n; j = i++) {
        const double ax0 = p.v[2 * j], ay0 = p.v[2 * j + 1], bx = p.v[2 * i], by = p.v[2 * i + 1];
        // separating axes: the box's own, then the edge's normal
        if (std::max(ax0, bx) < x - rx || std::min(ax0, bx) > x + rx ||
            std::max(ay0, by) < y - ry || std::min(ay0, by) > y + ry)
            continue;
        const double ux = bx - ax0, uy = by - ay0;
        if (std::fabs(ux * (y - ay0) - uy * (x - ax0)) <= std::fabs(uy) * rx + std::fabs(ux) * ry)
            return kCrossed;
    }
    return inside_polygon(p.v, n, x, y) ? kIn : kOut;
}

}  // namespace trovel_render
