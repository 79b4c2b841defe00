// Conservative classification of a primitive against a disc of the plane
// (the bounding disc of a footprint or of a block of footprints).  A wrong
// kCrossed only costs an exact computation; kIn and kOut must be certain, so
// every test keeps a margin well above its rounding.
#include <cmath>

#include "render.hpp"

namespace trovel_render {

namespace {

// Relative margin of the tests below: far above the few roundings of a
// distance, far below anything that changes which footprints are crossed.
constexpr double kMargin = 1e-12;

// Squared distance from (x, y) to the segment from (ax, ay) to (bx, by).
double distance2_to_segment(double ax, double ay, double bx, double by, double x, double y) {
    const double dx = bx - ax, dy = by - ay;
    const double px = x - ax, py = y - ay;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0.0 ? (px * dx + py * dy) / len2 : 0.0;
    t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
    const double ex = px - t * dx, ey = py - t * dy;
    return ex * ex + ey * ey;
}

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

State classify(const Primitive& p, double x, double y, double R) {
    if (p.kind == kDisc) {
        const double dx = x - p.v[0], dy = y - p.v[1], r = p.v[2];
        const double d = std::sqrt(dx * dx + dy * dy);
        const double slack = kMargin * (d + R + r);
        if (d + R < r - slack) return kIn;
        if (d - R > r + slack) return kOut;
        return kCrossed;
    }
    const double slack = kMargin * (std::fabs(x) + std::fabs(y) + R + (p.xmax - p.xmin) +
                                    (p.ymax - p.ymin));
    const double reach = R + slack;
    if (x + reach < p.xmin || x - reach > p.xmax || y + reach < p.ymin || y - reach > p.ymax)
        return kOut;
    const double reach2 = reach * reach;
    const int n = p.n;
    for (int i = 0, j = n - 1; i < n; j = i++) {
        if (distance2_to_segment(p.v[2 * j], p.v[2 * j + 1], p.v[2 * i], p.v[2 * i + 1], x, y) <=
            reach2)
            return kCrossed;
    }
    return inside_polygon(p.v, n, x, y) ? kIn : kOut;
}

}  // namespace trovel_render
