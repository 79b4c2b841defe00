// Exact area of a footprint inside a composite shape.
//
// Method: Green's theorem over the boundary of (footprint AND shape).  The
// area of a region is half the integral of x dy - y dx around its boundary,
// traversed with the region on the left.  That boundary is made of pieces of
// the primitives' boundaries (polygon edges, circles) and of the footprint's
// edges.  Every such curve is cut at its crossings with every other curve;
// between two cuts nothing changes, so one test at an inner point of the
// piece tells whether the piece bounds the region: the region's membership is
// evaluated just left and just right of the piece, by forcing the piece's own
// primitive (and any primitive whose boundary coincides with the piece) in and
// out and testing every other primitive at that point.  A piece with the region on
// its left is added as it runs, one with the region on its right reversed.
//
// Why this and not inclusion-exclusion over convex pieces: it needs no
// decomposition of the shape, handles any depth of union, intersection and
// difference the same way, keeps circles as true arcs (each arc integrates in
// closed form), and costs only the curves that reach the footprint.
// Coordinates are taken relative to the footprint's centre, so the terms
// summed are of the footprint's size and the sum loses little to rounding.
//
// Degenerate cases: cuts are shared points (both curves end their pieces at
// the same coordinates), so the traced boundary closes exactly; boundaries
// that coincide (a polygon edge on a pixel edge, two equal circles) are found
// with a tolerance far below any area that matters and then decided together,
// the piece counted once by its lowest-numbered owner; tangencies within a
// tolerance are not cut, which drops at most a sliver of area ~tol^1.5.
// Where one disc or one straight edge alone crosses a footprint (most of any
// image), short closed forms below take the place of the general tracing.
#include <algorithm>
#include <cmath>

#include "render.hpp"

namespace trovel_render {

namespace {

constexpr int kFoot = -1;              // the footprint, as an owner of curves
constexpr double kSame = 1e-13;        // coincidence tolerance, relative to the footprint's size
constexpr double kTangent = 2e-13;     // tangency tolerance, relative to the radii involved
constexpr double kEnds = 1e-12;        // slack of segment parameters at a crossing of ends
constexpr double kTwoPi = 6.283185307179586;
// Where a piece is tested: not its midpoint, which a symmetric tangency
// (a circle touching a footprint edge at its middle) would sit on exactly.
constexpr double kProbe = 0.3819660112501051;      // (3 - sqrt 5) / 2
constexpr double kProbeAngle = 2.399963229728653;  // the golden angle

struct Curve {
    int prim;        // kFoot or a primitive's index
    bool circle;
    double ax, ay, bx, by;   // segment ends
    double ux, uy, len;      // segment unit direction and length
    double offset;           // cross(u, a): the line is {P : cross(u, P) = offset}
    double cx, cy, r;        // circle
};

struct Cut {
    int curve;
    double t;        // segment parameter in [0, 1], or angle on a circle
    double x, y;
};

struct Side {
    int prim;
    uint8_t left, right;
};

}  // namespace

struct Workspace {
    std::vector<Curve> curves;
    std::vector<Cut> cuts;
    std::vector<int32_t> leaves;
    std::vector<int32_t> near;         // edges of a polygon near the footprint
    std::vector<uint8_t> value;        // per primitive: membership at a point
    std::vector<uint8_t> stack;
    std::vector<Side> sides;
};

Workspace* new_workspace(const Shape& shape) {
    auto* ws = new Workspace;
    ws->value.assign(shape.prims.size(), 0);
    return ws;
}

void free_workspace(Workspace* ws) { delete ws; }

namespace {

double cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

// sqrt(x^2 + y^2) without hypot's care for overflow, which costs more than
// the whole test it sits in; the coordinates here are footprint-sized.
double length(double x, double y) { return std::sqrt(x * x + y * y); }

// Green's term of the straight piece from P1 to P2: the integral of
// x dy - y dx along it, x1 y2 - y1 x2.
double segment_term(double x1, double y1, double x2, double y2) { return x1 * y2 - y1 * x2; }

// r^2 (dth - sin dth): twice the area between an arc of angle dth and its
// chord.  For small angles the series avoids the cancellation of dth - sin dth.
double twice_circular_segment(double r, double dth) {
    double k;
    if (dth < 1e-2) {
        const double d2 = dth * dth;
        k = dth * d2 * (1.0 / 6.0 - d2 * (1.0 / 120.0 - d2 * (1.0 / 5040.0 - d2 / 362880.0)));
    } else {
        k = dth - std::sin(dth);
    }
    return r * r * k;
}

// Green's term of the counter-clockwise arc from P1 (angle t1) through dth:
// with P = c + r (cos t, sin t), x dy - y dx = r cx cos t dt + r cy sin t dt
// + r^2 dt, whose integral is cx (y2 - y1) - cy (x2 - x1) + r^2 dth, which
// equals the chord's term x1 y2 - y1 x2 plus r^2 (dth - sin dth).
double arc_term(double x1, double y1, double x2, double y2, double r, double dth) {
    return segment_term(x1, y1, x2, y2) + twice_circular_segment(r, dth);
}

Curve make_segment(int prim, double ax, double ay, double bx, double by) {
    Curve c{};
    c.prim = prim;
    c.circle = false;
    c.ax = ax; c.ay = ay; c.bx = bx; c.by = by;
    const double dx = bx - ax, dy = by - ay;
    c.len = std::sqrt(dx * dx + dy * dy);
    c.ux = dx / c.len;
    c.uy = dy / c.len;
    c.offset = cross(c.ux, c.uy, ax, ay);
    return c;
}

Curve make_circle(int prim, double cx, double cy, double r) {
    Curve c{};
    c.prim = prim;
    c.circle = true;
    c.cx = cx; c.cy = cy; c.r = r;
    return c;
}

// The same line, in either direction, as far as the footprint can tell.
bool same_line(const Curve& e, const Curve& f, double tol) {
    if (std::fabs(cross(e.ux, e.uy, f.ux, f.uy)) > kSame) return false;
    const bool along = e.ux * f.ux + e.uy * f.uy > 0.0;
    return std::fabs(along ? e.offset - f.offset : e.offset + f.offset) <= tol;
}

bool same_circle(const Curve& e, const Curve& f, double tol) {
    return std::fabs(e.cx - f.cx) <= tol && std::fabs(e.cy - f.cy) <= tol &&
           std::fabs(e.r - f.r) <= tol;
}

double clamp01(double t) { return t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t); }

bool in_range(double t) { return t >= -kEnds && t <= 1.0 + kEnds; }

void cut_segments(std::vector<Cut>& cuts, int i, const Curve& e, int j, const Curve& f,
                  double tol) {
    if (same_line(e, f, tol)) {
        // Overlapping collinear edges: each is cut at the other's ends, so
        // every piece lies wholly on or wholly off the other edge.
        const double fe[4] = {f.ax, f.ay, f.bx, f.by};
        const double ee[4] = {e.ax, e.ay, e.bx, e.by};
        for (int k = 0; k < 4; k += 2) {
            const double t = ((fe[k] - e.ax) * e.ux + (fe[k + 1] - e.ay) * e.uy) / e.len;
            if (t > 0.0 && t < 1.0) cuts.push_back({i, t, fe[k], fe[k + 1]});
            const double u = ((ee[k] - f.ax) * f.ux + (ee[k + 1] - f.ay) * f.uy) / f.len;
            if (u > 0.0 && u < 1.0) cuts.push_back({j, u, ee[k], ee[k + 1]});
        }
        return;
    }
    const double d1x = e.bx - e.ax, d1y = e.by - e.ay;
    const double d2x = f.bx - f.ax, d2y = f.by - f.ay;
    const double den = cross(d1x, d1y, d2x, d2y);
    if (den == 0.0) return;
    const double wx = f.ax - e.ax, wy = f.ay - e.ay;
    const double t = cross(wx, wy, d2x, d2y) / den;
    const double u = cross(wx, wy, d1x, d1y) / den;
    if (!in_range(t) || !in_range(u)) return;
    const double tc = clamp01(t);
    const double x = e.ax + tc * d1x, y = e.ay + tc * d1y;
    cuts.push_back({i, tc, x, y});
    cuts.push_back({j, clamp01(u), x, y});
}

void cut_segment_circle(std::vector<Cut>& cuts, int i, const Curve& e, int j, const Curve& c,
                        double scale) {
    // Foot of the perpendicular from the centre, then half the chord.
    const double dx = e.bx - e.ax, dy = e.by - e.ay;
    const double t0 = ((c.cx - e.ax) * e.ux + (c.cy - e.ay) * e.uy) / e.len;
    const double px = e.ax + t0 * dx, py = e.ay + t0 * dy;
    const double h = length(px - c.cx, py - c.cy);
    if (h >= c.r - kTangent * (c.r + scale)) return;   // apart, or touching only
    const double half = std::sqrt((c.r - h) * (c.r + h));
    const double dt = half / e.len;
    for (int s = -1; s <= 1; s += 2) {
        const double t = t0 + s * dt;
        if (!in_range(t)) continue;
        const double x = px + s * half * e.ux, y = py + s * half * e.uy;
        cuts.push_back({i, clamp01(t), x, y});
        cuts.push_back({j, std::atan2(y - c.cy, x - c.cx), x, y});
    }
}

void cut_circles(std::vector<Cut>& cuts, int i, const Curve& a, int j, const Curve& b,
                 double tol, double scale) {
    if (same_circle(a, b, tol)) return;
    const double dx = b.cx - a.cx, dy = b.cy - a.cy;
    const double d = length(dx, dy);
    const double slack = kTangent * (a.r + b.r + scale);
    if (d >= a.r + b.r - slack || d <= std::fabs(a.r - b.r) + slack) return;
    // Distance from a's centre to the chord through both crossings, and half the chord.
    const double along = (d * d + (a.r * a.r - b.r * b.r)) / (2.0 * d);
    const double half = std::sqrt(std::max(0.0, (a.r - along) * (a.r + along)));
    const double mx = a.cx + along * dx / d, my = a.cy + along * dy / d;
    for (int s = -1; s <= 1; s += 2) {
        const double x = mx - s * half * dy / d, y = my + s * half * dx / d;
        cuts.push_back({i, std::atan2(y - a.cy, x - a.cx), x, y});
        cuts.push_back({j, std::atan2(y - b.cy, x - b.cx), x, y});
    }
}

struct Frame {
    double px[4], py[4];     // corners, counter-clockwise
    double slack[4];         // tol times each edge's length
    double tol;              // coincidence tolerance
    double scale;            // bounding radius
    double ex, ey;           // half extents of the bounding box
};

// Strictly inside the footprint, and whether clearly outside it.
bool inside_frame(const Frame& fr, double x, double y, bool* far_out) {
    bool in = true;
    *far_out = false;
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        const double c = cross(fr.px[k] - fr.px[i], fr.py[k] - fr.py[i], x - fr.px[i], y - fr.py[i]);
        if (c <= 0.0) in = false;
        if (c < -fr.slack[i]) *far_out = true;
    }
    return in;
}


// ---- fast paths: one primitive's boundary alone crosses the footprint -------
// Each returns twice the area (the Green sum) or a negative value when the
// configuration is too close to a degenerate one, for the general path.

constexpr double kFastCorner = 1e-9;   // crossings this close to a corner go the general way

// Twice the area of the footprint left of the line through a along u: the
// footprint clipped by the half-plane (one Sutherland-Hodgman step), then
// the shoelace sum x_i y_(i+1) - y_i x_(i+1) of what remains.
double half_plane_sum(const Frame& fr, double ax, double ay, double ux, double uy) {
    double s[4];
    for (int i = 0; i < 4; ++i) s[i] = cross(ux, uy, fr.px[i] - ax, fr.py[i] - ay);
    double x[8], y[8];
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        if (s[i] > 0.0) { x[n] = fr.px[i]; y[n] = fr.py[i]; ++n; }
        if ((s[i] > 0.0) != (s[k] > 0.0)) {
            const double t = s[i] / (s[i] - s[k]);
            x[n] = fr.px[i] + t * (fr.px[k] - fr.px[i]);
            y[n] = fr.py[i] + t * (fr.py[k] - fr.py[i]);
            ++n;
        }
    }
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        sum += segment_term(x[i], y[i], x[k], y[k]);
    }
    return sum;
}

// Twice the area of the footprint inside the circle (c, r): the parts of the
// footprint's edges inside the circle, and the arcs inside the footprint,
// each from a point where an edge leaves the circle, counter-clockwise to the
// next point where an edge enters it.
double disc_sum(const Frame& fr, double cx, double cy, double r) {
    double sum = 0.0;
    double ex[4], ey[4], xx[4], xy[4];   // entries and exits
    int entries = 0, exits = 0;
    bool any_inside = false;
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        const double dx = fr.px[k] - fr.px[i], dy = fr.py[k] - fr.py[i];
        const double wx = fr.px[i] - cx, wy = fr.py[i] - cy;
        const double A = dx * dx + dy * dy, B = dx * wx + dy * wy, C = wx * wx + wy * wy - r * r;
        const double D = B * B - A * C;
        if (!(D > 0.0)) {
            if (C < 0.0) return -1.0;   // touching from inside: rare, general path
            continue;
        }
        const double q = std::sqrt(D);
        // a short chord is a near tangency; crossings at corners are shared by two edges
        if (q < kFastCorner * A) return -1.0;
        const double t1 = (-B - q) / A, t2 = (-B + q) / A;
        if (std::fabs(t1) < kFastCorner || std::fabs(t1 - 1.0) < kFastCorner ||
            std::fabs(t2) < kFastCorner || std::fabs(t2 - 1.0) < kFastCorner)
            return -1.0;
        const double lo = t1 > 0.0 ? t1 : 0.0, hi = t2 < 1.0 ? t2 : 1.0;
        if (!(lo < hi)) continue;
        any_inside = true;
        const double x1 = fr.px[i] + lo * dx, y1 = fr.py[i] + lo * dy;
        const double x2 = fr.px[i] + hi * dx, y2 = fr.py[i] + hi * dy;
        sum += segment_term(x1, y1, x2, y2);
        if (t1 > 0.0) { ex[entries] = x1; ey[entries] = y1; ++entries; }
        if (t2 < 1.0) { xx[exits] = x2; xy[exits] = y2; ++exits; }
    }
    if (entries != exits) return -1.0;
    if (exits == 0) {
        bool far_out;
        // the circle lies wholly inside the footprint, or misses it, or holds it
        if (!any_inside && inside_frame(fr, cx, cy, &far_out)) sum += r * r * kTwoPi;
        return sum;
    }
    for (int a = 0; a < exits; ++a) {
        const double ux = xx[a] - cx, uy = xy[a] - cy;
        double best = kTwoPi + 1.0;
        int pick = -1;
        for (int b = 0; b < entries; ++b) {
            const double vx = ex[b] - cx, vy = ey[b] - cy;
            double dth = std::atan2(cross(ux, uy, vx, vy), ux * vx + uy * vy);
            if (dth < 0.0) dth += kTwoPi;
            if (dth < best) { best = dth; pick = b; }
        }
        sum += arc_term(xx[a], xy[a], ex[pick], ey[pick], r, best);
    }
    return sum;
}

// The edges of polygon `p` that may come within `reach` of the footprint's
// centre in y, in ascending order when `ordered`; null when the polygon has
// no bands and every edge must be looked at.
const std::vector<int32_t>* edges_near(Workspace& ws, const Primitive& p, const Footprint& f,
                                       double reach, bool ordered) {
    if (!p.bands) return nullptr;
    ws.near.clear();
    const double slack = translation_slack(f.qy, reach);
    p.bands->near(f.qy - reach - slack, f.qy + reach + slack, ws.near);
    if (ordered) std::sort(ws.near.begin(), ws.near.end());
    return &ws.near;
}

// The single primitive `code` alone, if a fast path takes it: twice the area
// inside it, or a negative value.
double single_sum(Workspace& ws, const Shape& shape, int32_t code, const Frame& fr,
                  const Footprint& f) {
    const Primitive& p = shape.prims[code];
    if (p.kind == kDisc) return disc_sum(fr, p.v[0] - f.qx, p.v[1] - f.qy, p.v[2]);
    // One edge, running right across the footprint's bounding disc, and no other edge near.
    const double reach = fr.scale * (1.0 + kFastCorner), reach2 = reach * reach;
    const std::vector<int32_t>* near = edges_near(ws, p, f, reach, false);
    const int count = near ? static_cast<int>(near->size()) : p.n;
    int found = -1;
    for (int e = 0; e < count; ++e) {
        const int k = near ? (*near)[e] : e, j = previous_vertex(k, p.n);
        const double ax = p.v[2 * j] - f.qx, ay = p.v[2 * j + 1] - f.qy;
        const double bx = p.v[2 * k] - f.qx, by = p.v[2 * k + 1] - f.qy;
        const double dx = bx - ax, dy = by - ay;
        double t = -(ax * dx + ay * dy) / (dx * dx + dy * dy);
        t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
        const double nx = ax + t * dx, ny = ay + t * dy;
        if (nx * nx + ny * ny > reach2) continue;
        if (found >= 0 || ax * ax + ay * ay <= reach2 || bx * bx + by * by <= reach2) return -1.0;
        found = k;
    }
    if (found < 0) return -1.0;
    const int j = (found + p.n - 1) % p.n;
    const double ax = p.v[2 * j] - f.qx, ay = p.v[2 * j + 1] - f.qy;
    const double dx = p.v[2 * found] - f.qx - ax, dy = p.v[2 * found + 1] - f.qy - ay;
    return half_plane_sum(fr, ax, ay, dx, dy);
}

}  // namespace

double exact_fraction(Workspace& ws, const Shape& shape, const std::vector<int32_t>& program,
                      const Footprint& f) {
    // The footprint, centred on the origin, corners counter-clockwise.
    const double hax = 0.5 * f.j00, hay = 0.5 * f.j10, hbx = 0.5 * f.j01, hby = 0.5 * f.j11;
    const double det = f.j00 * f.j11 - f.j01 * f.j10;
    Frame fr;
    const double cx[4] = {-hax - hbx, hax - hbx, hax + hbx, -hax + hbx};
    const double cy[4] = {-hay - hby, hay - hby, hay + hby, -hay + hby};
    for (int i = 0; i < 4; ++i) {
        const int k = det > 0.0 ? i : (4 - i) & 3;   // mirrored footprints run the other way
        fr.px[i] = cx[k];
        fr.py[i] = cy[k];
    }
    fr.scale = std::max(length(hax + hbx, hay + hby), length(hax - hbx, hay - hby));
    fr.tol = kSame * fr.scale;
    fr.ex = std::fabs(hax) + std::fabs(hbx);
    fr.ey = std::fabs(hay) + std::fabs(hby);
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        fr.slack[i] = fr.tol * length(fr.px[k] - fr.px[i], fr.py[k] - fr.py[i]);
    }

    // One primitive, perhaps complemented: a fast path if it applies.
    if (program.size() == 1 || (program.size() == 2 && program[1] == kComplement)) {
        const double sum = single_sum(ws, shape, program[0], fr, f);
        if (sum >= 0.0) {
            double frac = 0.5 * sum / std::fabs(det);
            if (program.size() == 2) frac = 1.0 - frac;
            return frac < 0.0 ? 0.0 : (frac > 1.0 ? 1.0 : frac);
        }
    }

    // Curves: every primitive of the residual program that reaches the footprint.
    ws.curves.clear();
    ws.cuts.clear();
    ws.leaves.clear();
    for (int32_t code : program) {
        if (code < 0) continue;
        ws.leaves.push_back(code);
        const Primitive& p = shape.prims[code];
        if (p.kind == kDisc) {
            ws.curves.push_back(make_circle(code, p.v[0] - f.qx, p.v[1] - f.qy, p.v[2]));
            continue;
        }
        const double rx = fr.ex + fr.tol, ry = fr.ey + fr.tol;
        // in the order of the edges, so that the sum is formed in one order
        const std::vector<int32_t>* near = edges_near(ws, p, f, ry, true);
        const int count = near ? static_cast<int>(near->size()) : p.n;
        for (int e = 0; e < count; ++e) {
            const int k = near ? (*near)[e] : e, j = previous_vertex(k, p.n);
            const double ax = p.v[2 * j] - f.qx, ay = p.v[2 * j + 1] - f.qy;
            const double bx = p.v[2 * k] - f.qx, by = p.v[2 * k + 1] - f.qy;
            if (std::max(ax, bx) < -rx || std::min(ax, bx) > rx || std::max(ay, by) < -ry ||
                std::min(ay, by) > ry)
                continue;
            ws.curves.push_back(make_segment(code, ax, ay, bx, by));
        }
    }
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        ws.curves.push_back(make_segment(kFoot, fr.px[i], fr.py[i], fr.px[k], fr.py[k]));
    }

    // Cut every curve at its crossings with the curves of other owners.
    const int nc = static_cast<int>(ws.curves.size());
    for (int i = 0; i < nc; ++i) {
        for (int j = i + 1; j < nc; ++j) {
            const Curve& a = ws.curves[i];
            const Curve& b = ws.curves[j];
            if (a.prim == b.prim) continue;
            if (!a.circle && !b.circle) cut_segments(ws.cuts, i, a, j, b, fr.tol);
            else if (!a.circle) cut_segment_circle(ws.cuts, i, a, j, b, fr.scale);
            else if (!b.circle) cut_segment_circle(ws.cuts, j, b, i, a, fr.scale);
            else cut_circles(ws.cuts, i, a, j, b, fr.tol, fr.scale);
        }
    }
    std::sort(ws.cuts.begin(), ws.cuts.end(), [](const Cut& p, const Cut& q) {
        return p.curve != q.curve ? p.curve < q.curve : p.t < q.t;
    });

    // Membership of every leaf at a point.
    auto test_leaves = [&](double x, double y) {
        for (int32_t code : ws.leaves) {
            const Primitive& p = shape.prims[code];
            bool in;
            if (p.kind == kDisc) {
                const double dx = x - (p.v[0] - f.qx), dy = y - (p.v[1] - f.qy);
                in = dx * dx + dy * dy < p.v[2] * p.v[2];
            } else {
                in = inside_translated_polygon(p, f.qx, f.qy, x, y);
            }
            ws.value[code] = in ? 1 : 0;
        }
    };

    // The contribution of one piece of curve `ci`, tested at (mx, my).
    auto decide = [&](int ci, double mx, double my, double term) -> double {
        const Curve& e = ws.curves[ci];
        bool far_out;
        bool foot = inside_frame(fr, mx, my, &far_out);
        if (far_out && e.prim != kFoot) return 0.0;
        ws.sides.clear();
        ws.sides.push_back({e.prim, 1, 0});
        for (int k = 0; k < nc; ++k) {
            const Curve& g = ws.curves[k];
            if (g.prim == e.prim || g.circle != e.circle) continue;
            uint8_t left;
            if (e.circle) {
                if (!same_circle(e, g, fr.tol)) continue;
                left = 1;
            } else {
                if (!same_line(e, g, fr.tol)) continue;
                const double s = (mx - g.ax) * g.ux + (my - g.ay) * g.uy;
                if (!(s > 0.0 && s < g.len)) continue;
                left = e.ux * g.ux + e.uy * g.uy > 0.0 ? 1 : 0;
            }
            // counted once, by the lowest owner (the footprint first)
            if (g.prim < e.prim) return 0.0;
            ws.sides.push_back({g.prim, left, static_cast<uint8_t>(1 - left)});
        }
        test_leaves(mx, my);
        bool foot_left = foot, foot_right = foot;
        for (const Side& s : ws.sides) {
            if (s.prim == kFoot) {
                foot_left = s.left;
                foot_right = s.right;
            } else {
                ws.value[s.prim] = s.left;
            }
        }
        const bool L = foot_left && run_program(program, ws.value.data(), ws.stack);
        for (const Side& s : ws.sides)
            if (s.prim != kFoot) ws.value[s.prim] = s.right;
        const bool R = foot_right && run_program(program, ws.value.data(), ws.stack);
        return L == R ? 0.0 : (L ? term : -term);
    };

    double sum = 0.0;
    size_t at = 0;
    for (int ci = 0; ci < nc; ++ci) {
        const Curve& e = ws.curves[ci];
        const size_t first = at;
        while (at < ws.cuts.size() && ws.cuts[at].curve == ci) ++at;
        const size_t count = at - first;
        if (!e.circle) {
            double x1 = e.ax, y1 = e.ay;
            for (size_t k = 0; k <= count; ++k) {
                const double x2 = k < count ? ws.cuts[first + k].x : e.bx;
                const double y2 = k < count ? ws.cuts[first + k].y : e.by;
                if (x1 != x2 || y1 != y2)
                    sum += decide(ci, x1 + kProbe * (x2 - x1), y1 + kProbe * (y2 - y1),
                                  segment_term(x1, y1, x2, y2));
                x1 = x2;
                y1 = y2;
            }
            continue;
        }
        if (count == 0) {
            // A whole circle: its term is r^2 2 pi, its probe anywhere on it.
            sum += decide(ci, e.cx + e.r * std::cos(kProbeAngle), e.cy + e.r * std::sin(kProbeAngle),
                          e.r * e.r * kTwoPi);
            continue;
        }
        for (size_t k = 0; k < count; ++k) {
            const Cut& c1 = ws.cuts[first + k];
            const Cut& c2 = ws.cuts[first + (k + 1) % count];
            const double dth = k + 1 < count ? c2.t - c1.t : c2.t + kTwoPi - c1.t;
            if (!(dth > 0.0)) continue;
            const double tm = c1.t + kProbe * dth;
            sum += decide(ci, e.cx + e.r * std::cos(tm), e.cy + e.r * std::sin(tm),
                          arc_term(c1.x, c1.y, c2.x, c2.y, e.r, dth));
        }
    }
    const double frac = 0.5 * sum / std::fabs(det);
    return frac < 0.0 ? 0.0 : (frac > 1.0 ? 1.0 : frac);
}

}  // namespace trovel_render
