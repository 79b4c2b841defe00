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
// out and testing every other primitive at that point.  A piece with the
// region on its left is added as it runs, one with the region on its right
// reversed.
//
// Why this and not inclusion-exclusion over convex pieces: it needs no
// decomposition of the shape, handles any depth of union, intersection and
// difference the same way, keeps circles and ellipses as true arcs (each arc
// integrates in closed form), and costs only the curves that reach the
// footprint.
//
// An ellipse is the image of the unit circle under u -> c + A u (det A > 0):
// along its arc P(t) = c + A e(t), e(t) = (cos t, sin t), the integrand is
// x dy - y dx = cross(P, P') dt = cross(c, A e') dt + det A dt, whose
// integral from t1 to t1 + dt is cross(c, P2 - P1) + det A dt; the chord's
// term cross(P1, P2) is cross(c, P2 - P1) + det A sin dt, so the arc's term
// is the chord's plus det A (dt - sin dt) (r^2 (dt - sin dt) for a circle).
// Under the same map a footprint stays a parallelogram and the ellipse
// becomes the unit disc, so the closed forms for a disc measure it there,
// the area scaling by det A.
// Coordinates are taken relative to the footprint's centre, so the terms
// summed are of the footprint's size and the sum loses little to rounding;
// footprints of extreme size are measured scaled by a power of two, exactly.
//
// Most footprints of an image are crossed by one boundary, or two: one disc
// or ellipse, one straight edge, or one of each (a vane meeting a rim).  Short
// closed forms take those: the footprint clipped by the edge lines, measured
// by the shoelace formula or against the disc (an ellipse's unit disc); two
// primitives combine by inclusion-exclusion.  The general trace runs only where more meet.
//
// Degenerate cases: cuts are shared points (both curves end their pieces at
// the same coordinates), so the traced boundary closes exactly; boundaries
// that coincide (a polygon edge on a pixel edge, two equal circles) are found
// with a tolerance far below any area that matters and then decided together,
// the piece counted once by its lowest-numbered owner, and so are the
// stretches where two segments at a shallow angle lie within rounding of
// each other; a segment is cut by another curve as often as its ends change
// sides of it, an end's side decided once for every segment that meets
// there; tangencies within a tolerance are not cut, which drops at most a
// sliver of area ~tol^1.5.
#include <algorithm>
#include <cmath>

#include "render.hpp"

namespace trovel {
namespace {

constexpr int kFootprintOwner = -1;   // the footprint, as an owner of curves

// Two boundaries within this distance (relative to the footprint's size) are
// one: what it can misattribute is a sliver of ~1e-13 of the footprint's
// area, far below the promised 1e-12.
constexpr double kCoincident = 1e-13;
// Two segments crossing or passing at an angle whose sine is below kShallow
// are taken as one line where they lie within kShallowBand (relative to the
// footprint's size) of each other: there each lies within rounding of the
// other, and the membership of a piece tested on one cannot be read from
// the other's side.  Outside that band a piece's probe is clear of the
// other line by more than rounding.
constexpr double kShallow = 1e-2;
constexpr double kShallowBand = 1e-14;
// A circle within this (relative to the radii involved and the footprint) of
// tangency to another curve is not cut by it: the sliver dropped is of area
// ~kTangent^1.5, below 1e-19.
constexpr double kTangent = 2e-13;
// A segment this close (in the same measure) to tangency grazes the curve:
// its crossing is ill-conditioned, the part of it up to there lying within
// rounding of the curve.
constexpr double kGraze = 1e-14;
// A chord of a round curve this far (as parameters) beyond a segment whose
// ends both lie outside the curve still cuts it, at the end, so that a
// chord by rounding just past the segment's end is not lost.
constexpr double kEndSlack = 1e-12;
// The closed forms assume clean crossings: a crossing this close (as a
// fraction of a side) to a corner of the clipped footprint, or a chord this
// short, goes to the general trace instead.
constexpr double kCleanCrossing = 1e-9;
// Footprints whose size's binary exponent lies beyond this are measured
// scaled by a power of two, so that no product of up to four coordinates
// (the closed forms against a disc square squared lengths) overflows or
// underflows.
constexpr int kScaledExponent = 200;

constexpr double kTwoPi = 6.283185307179586;
// Where a piece is tested: not its midpoint, which a symmetric tangency
// (a circle touching a footprint edge at its middle) would sit on exactly.
constexpr double kProbe = 0.3819660112501051;      // (3 - sqrt 5) / 2
constexpr double kProbeAngle = 2.399963229728653;  // the golden angle

// The most vertices of the footprint clipped by two lines: 4 + 1 + 1.
constexpr int kClipped = 8;
// The most vertices of the footprint cut by the lines of several convex
// polygons: 4, and one more for each of at most kConvexLines lines.
constexpr int kConvexLines = 12;
constexpr int kConvexClipped = 4 + kConvexLines;
// Room for one cut of such a polygon, should rounding make it gain more than
// a vertex (each input vertex gives at most two).
constexpr int kCutRoom = 2 * kConvexClipped;
// The most convex polygons the inclusion-exclusion over their subsets takes.
constexpr int kConvexLeaves = 4;

enum class CurveKind : std::uint8_t { Segment, Circle, Ellipse };

struct Curve {
    int prim;                  // kFootprintOwner or a primitive's index
    CurveKind kind;
    double ax, ay, bx, by;     // segment ends
    double ux, uy, len;        // segment unit direction and length
    double offset;             // cross(u, a): the line is {P : cross(u, P) = offset}
    double cx, cy, r;          // circle and ellipse centre; circle radius
    Conic conic;               // circle and ellipse: c + M (cos t, sin t)
    double det;                // det M: r^2 for a circle

    bool round() const { return kind != CurveKind::Segment; }
};

struct Cut {
    int curve;
    double t;                  // segment parameter in [0, 1], or the angle t on a round curve
    double x, y;
};

// A primitive whose boundary holds a piece: its membership just left and
// just right of the piece.
struct Side {
    int prim;
    std::uint8_t left, right;
};

// Where the shape's coordinates are read from: relative to the footprint's
// centre q, times s (1 unless the footprint is of extreme size).
struct Local {
    double qx, qy, s;

    double x(double X) const { return (X - qx) * s; }
    double y(double Y) const { return (Y - qy) * s; }
};

}  // namespace

// The stretch of two segments, a shallow crossing or approach, that the
// trace takes as one line: the parameter ranges (lo, hi) on curves a and b.
struct Band {
    int a, b;
    double a_lo, a_hi, b_lo, b_hi;
};

// A program's distinct leaves, when there are at most `most`, and its
// truth table over them; kept for the next footprint, since the pixels of a
// stretch of a row mostly share one program.
struct LeafCells {
    std::vector<std::int32_t> program;
    int most = -1;
    bool fits = false;
    std::int32_t code[kConvexLeaves];
    int count = 0;
    std::uint32_t table = 0;
};

struct Workspace {
    LeafCells pair_cells, convex_cells;      // of closed_form_sum and of convex_sum
    std::vector<Curve> curves;
    std::vector<Cut> cuts;
    std::vector<Band> bands;
    std::vector<std::int32_t> leaves;
    std::vector<std::int32_t> near;          // edges of a polygon near the footprint
    std::vector<std::uint8_t> value;         // per primitive: membership at a point
    std::vector<std::uint8_t> stack;
    std::vector<std::uint32_t> cells;        // truth tables of sub-programs
    std::vector<Side> sides;
};

Workspace& workspace_for(const Shape& shape) {
    thread_local Workspace ws;
    ws.value.assign(shape.prims.size(), 0);
    return ws;
}

namespace {

double cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

// sqrt(x^2 + y^2) without hypot's care for overflow, which costs more than
// the whole test it sits in; the coordinates here are footprint-sized.
double length(double x, double y) { return std::sqrt(x * x + y * y); }

double clamp01(double t) { return t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t); }

// Green's term of the straight piece from P1 to P2: the integral of
// x dy - y dx along it, x1 y2 - y1 x2.
double segment_term(double x1, double y1, double x2, double y2) { return x1 * y2 - y1 * x2; }

// dth - sin dth; for small angles the series avoids the cancellation.
double arc_excess(double dth) {
    if (dth < 1e-2) {
        const double d2 = dth * dth;
        return dth * d2 * (1.0 / 6.0 - d2 * (1.0 / 120.0 - d2 * (1.0 / 5040.0 - d2 / 362880.0)));
    }
    return dth - std::sin(dth);
}

// r^2 (dth - sin dth): twice the area between an arc of angle dth and its
// chord.
double twice_circular_segment(double r, double dth) { return r * r * arc_excess(dth); }

// Green's term of the counter-clockwise arc from P1 (angle t1) through dth:
// with P = c + r (cos t, sin t), x dy - y dx = r cx cos t dt + r cy sin t dt
// + r^2 dt, whose integral is cx (y2 - y1) - cy (x2 - x1) + r^2 dth, which
// equals the chord's term x1 y2 - y1 x2 plus r^2 (dth - sin dth).
double arc_term(double x1, double y1, double x2, double y2, double r, double dth) {
    return segment_term(x1, y1, x2, y2) + twice_circular_segment(r, dth);
}

// Green's term of the arc of an ellipse of det A = `det` from P1 through the
// parametric angle dth (the header's derivation): the chord's term plus
// det A (dth - sin dth).
double elliptical_arc_term(double x1, double y1, double x2, double y2, double det, double dth) {
    return segment_term(x1, y1, x2, y2) + det * arc_excess(dth);
}

// Twice the signed area of the polygon (x, y) of n vertices (the shoelace
// sum x_i y_(i+1) - y_i x_(i+1)).
double shoelace(const double* x, const double* y, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        sum += segment_term(x[i], y[i], x[k], y[k]);
    }
    return sum;
}

// The convex polygon (x, y) of n <= kConvexClipped vertices cut by the line
// through a along u, keeping its left side (one Sutherland-Hodgman step),
// into (ox, oy); the count of vertices kept, at most n + 1.
int cut_by_line(const double* x, const double* y, int n, double ax, double ay, double ux,
                double uy, double* ox, double* oy) {
    double s[kConvexClipped];
    for (int i = 0; i < n; ++i) s[i] = cross(ux, uy, x[i] - ax, y[i] - ay);
    int m = 0;
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        if (s[i] > 0.0) {
            ox[m] = x[i];
            oy[m] = y[i];
            ++m;
        }
        if ((s[i] > 0.0) != (s[k] > 0.0)) {
            const double t = s[i] / (s[i] - s[k]);
            ox[m] = x[i] + t * (x[k] - x[i]);
            oy[m] = y[i] + t * (y[k] - y[i]);
            ++m;
        }
    }
    return m;
}

// Strictly inside the convex counter-clockwise polygon (x, y).
bool inside_convex(const double* x, const double* y, int n, double px, double py) {
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        if (cross(x[k] - x[i], y[k] - y[i], px - x[i], py - y[i]) <= 0.0) return false;
    }
    return true;
}

// The binary exponent by which a footprint is measured: 0 unless the
// squares of its size would leave the range of doubles.
int scaling_exponent(const Footprint& f) {
    const double m =
        std::max({std::fabs(f.j00), std::fabs(f.j01), std::fabs(f.j10), std::fabs(f.j11)});
    if (!(m > 0.0) || !std::isfinite(m)) return 0;
    const int e = std::ilogb(m);
    return e > kScaledExponent || e < -kScaledExponent ? e : 0;
}

}  // namespace

FootprintFrame frame_of(const Footprint& f) {
    FootprintFrame fr;
    const double s = std::ldexp(1.0, -scaling_exponent(f));
    fr.s = s;
    const double hax = 0.5 * f.j00 * s, hay = 0.5 * f.j10 * s;
    const double hbx = 0.5 * f.j01 * s, hby = 0.5 * f.j11 * s;
    const double cx[4] = {-hax - hbx, hax - hbx, hax + hbx, -hax + hbx};
    const double cy[4] = {-hay - hby, hay - hby, hay + hby, -hay + hby};
    const double det = (f.j00 * s) * (f.j11 * s) - (f.j01 * s) * (f.j10 * s);
    for (int i = 0; i < 4; ++i) {
        const int k = det > 0.0 ? i : (4 - i) & 3;   // mirrored footprints run the other way
        fr.px[i] = cx[k];
        fr.py[i] = cy[k];
    }
    fr.scale = std::max(length(hax + hbx, hay + hby), length(hax - hbx, hay - hby));
    fr.tol = kCoincident * fr.scale;
    fr.ex = std::fabs(hax) + std::fabs(hbx);
    fr.ey = std::fabs(hay) + std::fabs(hby);
    fr.twice_area = 2.0 * std::fabs(det);
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        fr.slack[i] = fr.tol * length(fr.px[k] - fr.px[i], fr.py[k] - fr.py[i]);
    }
    return fr;
}

namespace {

// The binary exponent by which a polygon of local half-size m is measured,
// as scaling_exponent takes it for a footprint.
int size_exponent(double m) {
    if (!(m > 0.0) || !std::isfinite(m)) return 0;
    const int e = std::ilogb(m);
    return e > kScaledExponent || e < -kScaledExponent ? e : 0;
}

// The frame of a convex counter-clockwise polygon of n (3 or 4) corners,
// given in local units about the point the shape is read from.
FootprintFrame convex_frame(const double* x, const double* y, int n, double s) {
    FootprintFrame fr;
    fr.n = n;
    fr.s = s;
    fr.scale = fr.ex = fr.ey = 0.0;
    for (int i = 0; i < n; ++i) {
        fr.px[i] = x[i];
        fr.py[i] = y[i];
        fr.scale = std::max(fr.scale, length(x[i], y[i]));
        fr.ex = std::max(fr.ex, std::fabs(x[i]));
        fr.ey = std::max(fr.ey, std::fabs(y[i]));
    }
    fr.tol = kCoincident * fr.scale;
    fr.twice_area = shoelace(x, y, n);
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        fr.slack[i] = fr.tol * length(x[k] - x[i], y[k] - y[i]);
    }
    return fr;
}

}  // namespace

QuadFrames quad_frames(const double* x, const double* y) {
    QuadFrames q;
    q.qx = 0.25 * ((x[0] + x[1]) + (x[2] + x[3]));
    q.qy = 0.25 * ((y[0] + y[1]) + (y[2] + y[3]));
    double m = 0.0;
    for (int i = 0; i < 4; ++i)
        m = std::max({m, std::fabs(x[i] - q.qx), std::fabs(y[i] - q.qy)});
    const double s = std::ldexp(1.0, -size_exponent(m));
    // corners about the centre, counter-clockwise whatever the map's orientation
    double lx[4], ly[4];
    for (int i = 0; i < 4; ++i) {
        lx[i] = (x[i] - q.qx) * s;
        ly[i] = (y[i] - q.qy) * s;
    }
    if (shoelace(lx, ly, 4) < 0.0) {
        std::swap(lx[1], lx[3]);
        std::swap(ly[1], ly[3]);
    }
    // A simple quadrilateral turns right at one corner at most; cut there
    // along the diagonal into two triangles, each convex.
    int reflex = -1;
    for (int i = 0; i < 4; ++i) {
        const int h = (i + 3) & 3, k = (i + 1) & 3;
        if (cross(lx[i] - lx[h], ly[i] - ly[h], lx[k] - lx[i], ly[k] - ly[i]) < 0.0) reflex = i;
    }
    if (reflex < 0) {
        q.count = 1;
        q.frame[0] = convex_frame(lx, ly, 4, s);
        return q;
    }
    q.count = 2;
    for (int t = 0; t < 2; ++t) {
        const int a = (reflex + 2 * t) & 3, b = (a + 1) & 3, c = (a + 2) & 3;
        const double tx[3] = {lx[a], lx[b], lx[c]}, ty[3] = {ly[a], ly[b], ly[c]};
        q.frame[t] = convex_frame(tx, ty, 3, s);
    }
    return q;
}

double quad_fraction(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                     const QuadFrames& q) {
    const Footprint at{q.qx, q.qy, 0.0, 0.0, 0.0, 0.0};
    if (q.count == 1) return exact_fraction(ws, shape, program, at, q.frame[0]);
    // the triangles' areas inside, over the quadrilateral's
    double inside = 0.0, whole = 0.0;
    for (int t = 0; t < 2; ++t) {
        inside += exact_fraction(ws, shape, program, at, q.frame[t]) * q.frame[t].twice_area;
        whole += q.frame[t].twice_area;
    }
    return clamp01(inside / whole);
}

namespace {

// Strictly inside the footprint, and whether clearly outside it.
bool inside_frame(const FootprintFrame& fr, double x, double y, bool* far_out) {
    bool in = true;
    *far_out = false;
    for (int i = 0; i < fr.n; ++i) {
        const int k = i + 1 < fr.n ? i + 1 : 0;
        const double c =
            cross(fr.px[k] - fr.px[i], fr.py[k] - fr.py[i], x - fr.px[i], y - fr.py[i]);
        if (c <= 0.0) in = false;
        if (c < -fr.slack[i]) *far_out = true;
    }
    return in;
}

// ---- closed forms: a disc, an edge, or one of each -----------------------------
// Each gives twice an area (the Green sum), or a negative value when the
// configuration is too close to a degenerate one for it.

// Twice the area of the convex counter-clockwise polygon (x, y) inside the
// circle (c, r): the parts of its sides inside the circle, and the arcs
// inside the polygon, each from a point where a side leaves the circle,
// counter-clockwise to the next point where a side enters it.
double convex_in_disc(const double* x, const double* y, int n, double cx, double cy, double r) {
    double sum = 0.0;
    double ex[kClipped], ey[kClipped], xx[kClipped], xy[kClipped];   // entries and exits
    int entries = 0, exits = 0;
    bool any_inside = false;
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        const double dx = x[k] - x[i], dy = y[k] - y[i];
        const double wx = x[i] - cx, wy = y[i] - cy;
        // the side's points P(t) = V_i + t d on the circle: A t^2 + 2 B t + C = 0
        const double A = dx * dx + dy * dy, B = dx * wx + dy * wy, C = wx * wx + wy * wy - r * r;
        const double D = B * B - A * C;
        if (!(D > 0.0)) {
            if (C < 0.0) return -1.0;   // touching from inside: rare, general path
            continue;
        }
        const double q = std::sqrt(D);
        // a short chord is a near tangency; crossings at corners are shared by two sides
        if (q < kCleanCrossing * A) return -1.0;
        const double t1 = (-B - q) / A, t2 = (-B + q) / A;
        if (std::fabs(t1) < kCleanCrossing || std::fabs(t1 - 1.0) < kCleanCrossing ||
            std::fabs(t2) < kCleanCrossing || std::fabs(t2 - 1.0) < kCleanCrossing)
            return -1.0;
        const double lo = t1 > 0.0 ? t1 : 0.0, hi = t2 < 1.0 ? t2 : 1.0;
        if (!(lo < hi)) continue;
        any_inside = true;
        const double x1 = x[i] + lo * dx, y1 = y[i] + lo * dy;
        const double x2 = x[i] + hi * dx, y2 = y[i] + hi * dy;
        sum += segment_term(x1, y1, x2, y2);
        if (t1 > 0.0) {
            ex[entries] = x1;
            ey[entries++] = y1;
        }
        if (t2 < 1.0) {
            xx[exits] = x2;
            xy[exits++] = y2;
        }
    }
    if (entries != exits) return -1.0;
    if (exits == 0) {
        // the circle lies wholly inside the polygon, or misses it, or holds it
        if (!any_inside && inside_convex(x, y, n, cx, cy)) sum += r * r * kTwoPi;
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
            if (dth < best) {
                best = dth;
                pick = b;
            }
        }
        sum += arc_term(xx[a], xy[a], ex[pick], ey[pick], r, best);
    }
    return sum;
}

// Twice the area of the circular segment of radius r whose chord is 2 h r:
// with a = asin h, the segment's angle is 2 a and twice its area
// r^2 (2a - sin 2a) = 2 r^2 (a - h sqrt(1 - h^2)).  The derivative of
// a - h sqrt(1 - h^2) is 2 h^2 / sqrt(1 - h^2), whose series gives
// 2 h^3 (1/3 + h^2 / 10 + 3 h^4 / 56 + 5 h^6 / 144 + 35 h^8 / 1408 + ...);
// below h = 1e-2 the terms left out are below 1e-21 of it, and the one
// polynomial spares the two series (or library calls) of the angle and of
// its excess over the sine.  Above, the closed form loses to cancellation
// what 2a - sin 2a would (a few parts in 1e12 of the segment at h = 1e-2),
// without the sine.
double twice_segment_of_chord(double r, double h) {
    if (h >= 1e-2) return (r * r) * (2.0 * (std::asin(h) - h * std::sqrt(1.0 - h * h)));
    const double h2 = h * h;
    const double p = 1.0 / 3.0 + h2 * (1.0 / 10.0 + h2 * (3.0 / 56.0 + h2 * (5.0 / 144.0 +
                                                                             h2 * (35.0 / 1408.0))));
    return (r * r) * (4.0 * (h * h2) * p);
}

// Twice the area of the convex counter-clockwise polygon (x, y) inside a
// circle far larger than it, crossed cleanly: the circle enters through one
// side and leaves through another, so the polygon's corners inside it run
// on in one stretch.  The region is then the polygon of those corners and
// the two crossings, plus the circular segment between the crossings'
// chord and the arc (the minor arc: the centre lies far outside).
// Negative when the crossing is not that clean.
double polygon_in_large_disc(const double* x, const double* y, int n, double cx, double cy,
                             double r) {
    const double rr = r * r, half_over_r = 0.5 / r;
    // corner i relative to the centre, and |w|^2 - r^2: below 0 inside;
    // each side from corner i to corner k in turn, the values of k carried on
    const auto corner = [&](int i, double& wx, double& wy, double& power) {
        wx = x[i] - cx;
        wy = y[i] - cy;
        power = wx * wx + wy * wy - rr;
    };
    double wx0, wy0, power0;
    corner(0, wx0, wy0, power0);
    double wx = wx0, wy = wy0, power = power0;
    // the region's corners and crossings in order, their shoelace terms
    // summed as they come (the order of the shoelace sum over them)
    double sum = 0.0, first_x = 0.0, first_y = 0.0, last_x = 0.0, last_y = 0.0;
    int m = 0;
    const auto push = [&](double px, double py) {
        if (m++ == 0) {
            first_x = px;
            first_y = py;
        } else {
            sum += segment_term(last_x, last_y, px, py);
        }
        last_x = px;
        last_y = py;
    };
    double chord[2][2];
    int inside = 0, crossings = 0;
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        double kwx = wx0, kwy = wy0, kpower = power0;
        if (k != 0) corner(k, kwx, kwy, kpower);
        const bool in_i = power < 0.0, in_k = kpower < 0.0;
        inside += in_i;
        if (in_i) push(x[i], y[i]);
        if (!(in_i && in_k)) {
            // the side's points V_i + t d on the circle: A t^2 + 2 B t + C = 0
            const double dx = x[k] - x[i], dy = y[k] - y[i];
            const double A = dx * dx + dy * dy, B = dx * wx + dy * wy, C = power;
            if (in_i == in_k) {
                // A side with both ends outside that dips into the circle
                // would cross it twice more: its nearest point to the centre
                // (t = -B / A) within the side and the line within r (B^2 >=
                // A C), with a margin, so that a near tangency is not taken.
                if (-B > 0.0 && -B < A && B * B >= A * C * (1.0 - kCleanCrossing)) return -1.0;
            } else {
                if (crossings == 2) return -1.0;
                // 1 / A is ready while the root is found: off the chain of
                // latencies that runs from the root to the area
                const double inv_a = 1.0 / A;
                const double q = std::sqrt(std::max(0.0, B * B - A * C));
                const double t = in_i ? (-B + q) * inv_a : (-B - q) * inv_a;
                if (!(t > kCleanCrossing && t < 1.0 - kCleanCrossing)) return -1.0;
                const double px = x[i] + t * dx, py = y[i] + t * dy;
                chord[in_i ? 0 : 1][0] = px;   // where the boundary leaves the circle, then enters
                chord[in_i ? 0 : 1][1] = py;
                push(px, py);
                ++crossings;
            }
        }
        wx = kwx;
        wy = kwy;
        power = kpower;
    }
    if (inside == 0 || inside == n) return -1.0;
    sum += segment_term(last_x, last_y, first_x, first_y);
    const double c = length(chord[1][0] - chord[0][0], chord[1][1] - chord[0][1]);
    return sum + twice_segment_of_chord(r, c * half_over_r);
}

// Circles at least this many times the footprint's bounding radius are
// crossed as `polygon_in_large_disc` takes them.  Any circle larger than
// that disc holds less than half of itself within it, so its arc there is
// the minor one; at twice the radius the chord is at most half the
// diameter, where the arcsine of half the chord over r is well conditioned.
constexpr double kLargeDisc = 2.0;

// Twice the area of the convex polygon inside the disc, by the shortest
// closed form that takes it.
double polygon_in_disc(const double* x, const double* y, int n, double cx, double cy, double r,
                       double scale) {
    if (r >= kLargeDisc * scale) {
        const double sum = polygon_in_large_disc(x, y, n, cx, cy, r);
        if (sum >= 0.0) return sum;
    }
    return convex_in_disc(x, y, n, cx, cy, r);
}

// An ellipse about the footprint's centre: the local centre, and the local
// A (the primitive's times s), its inverse and det A.
Conic local_conic(const Primitive& p, const Local& at, double& det) {
    const EllipseMap& e = p.ellipse;
    const double s = at.s, is = 1.0 / at.s;
    Conic c{at.x(p.v[0]), at.y(p.v[1]), e.a00 * s, e.a01 * s, e.a10 * s, e.a11 * s,
            e.i00 * is, e.i01 * is, e.i10 * is, e.i11 * is, e.inv_norm * is};
    det = c.m00 * c.m11 - c.m01 * c.m10;
    return c;
}

// ---- lines of convex polygons ------------------------------------------------
//
// The footprint inside a convex polygon is the footprint cut by the lines of
// those of its edges whose lines pass through it: a line clear of the
// footprint keeps it whole, or leaves nothing of it.  Inside several convex
// polygons it is the footprint cut by all their lines.

struct Line {
    double ax, ay, ux, uy;   // through a along u, local
};

// The line of edge k of polygon p, local.
Line edge_line(const Primitive& p, const Local& at, std::int32_t k) {
    const std::int32_t j = previous_vertex(k, p.n);
    const double ax = at.x(p.x(j)), ay = at.y(p.y(j));
    return {ax, ay, at.x(p.x(k)) - ax, at.y(p.y(k)) - ay};
}

// The lines of convex polygon p that may pass through the footprint's
// bounding box, appended to lines[n...]; `empty` when the box lies wholly
// outside p.  False when there would be more than `most` in all.  `near`,
// unless kEdgesUnknown, holds the edges classify found near a box that
// holds the footprint's (a line clear of the footprint only cuts nothing
// off, or all of it); else classify finds them for the footprint's own box.
// Only the lines kept are carried into local units.
bool lines_through(const Primitive& p, const Local& at, const FootprintFrame& fr, EdgeMask near,
                   Line* lines, int& n, int most, bool& empty) {
    empty = false;
    if (near == kEdgesUnknown &&
        classify(p, at.qx, at.qy, fr.ex / at.s, fr.ey / at.s, &near) == State::Out) {
        empty = true;
        return true;
    }
    for (; near; near &= near - 1) {
        if (n == most) return false;
        lines[n++] = edge_line(p, at, __builtin_ctz(near));
    }
    return true;
}

// The convex polygon (x, y, n), n <= kConvexClipped, cut by `count` lines in
// turn, into (ox, oy) of kCutRoom: its vertex count (0 when nothing is
// left), or -1 when rounding made a cut add more than the one vertex a
// convex polygon can gain, so that a next cut could outgrow the room.
int cut_by_lines(const double* x, const double* y, int n, const Line* lines, int count,
                 double* ox, double* oy) {
    if (count == 0) {
        std::copy(x, x + n, ox);
        std::copy(y, y + n, oy);
        return n < 3 ? 0 : n;
    }
    double tx[2][kCutRoom], ty[2][kCutRoom];
    for (int l = 0; l < count && n >= 3; ++l) {
        // the last cut lands in (ox, oy), the others in turn in the scratch
        double* cx = l + 1 == count ? ox : tx[l & 1];
        double* cy = l + 1 == count ? oy : ty[l & 1];
        n = cut_by_line(x, y, n, lines[l].ax, lines[l].ay, lines[l].ux, lines[l].uy, cx, cy);
        if (n > kConvexClipped) return -1;
        x = cx;
        y = cy;
    }
    return n < 3 ? 0 : n;
}

// ---- closed forms of one or two leaves ----------------------------------------

// The most lines of a convex polygon a closed form cuts the footprint by:
// an edge, or the two of a corner.  Cut by them the footprint keeps at most
// kClipped - 2 corners, so that the other leaf of a pair may cut it twice
// more, or cross it as a disc does (in and out: two more).
constexpr int kLeafLines = 2;
constexpr int kLeafClipped = kClipped - 2;

// A leaf a closed form can take: a disc, an ellipse, a convex polygon of
// which at most kLeafLines edges' lines pass through the footprint, or
// another polygon of which a single edge runs right across the footprint's
// bounding disc (so that, there, the polygon is the half-plane left of that
// edge).
struct SimpleLeaf {
    bool disc = false, ellipse = false;
    double cx = 0.0, cy = 0.0, r = 0.0;        // the disc
    Conic conic{};                             // the ellipse, local
    double det = 0.0;                          // its det A
    Line line[kLeafLines];                     // a polygon: the lines of its sides there
    int lines = 0;
    bool empty = false;                        // a convex polygon the footprint lies outside
    // the footprint cut by the lines, once leaf_sum has measured it
    double cut_x[kCutRoom], cut_y[kCutRoom];
    int cut_n = -1;

    bool round() const { return disc || ellipse; }
};

// Whether the segment from a to b lies wholly beyond `r` of the origin along
// x or along y.  With r = beyond(reach, far), `far` bounding |x| + |y| of
// either end, its nearest point then surely lies beyond `reach` however its
// distance rounds, and the division that finds it is spared.
bool beyond_reach(double ax, double ay, double bx, double by, double r) {
    return std::min(ax, bx) > r || std::max(ax, bx) < -r || std::min(ay, by) > r ||
           std::max(ay, by) < -r;
}

// Whether the segment from a along d comes within sqrt(r2) of the origin,
// |a|^2 = aa and |a + d|^2 = bb: its nearest point is an end, or the foot
// of the perpendicular, whose squared distance times |d|^2 is cross(a, d)^2
// (no division, and no cancellation as the segment nears the origin).
bool segment_within(double ax, double ay, double dx, double dy, double aa, double bb, double r2) {
    const double along = -(ax * dx + ay * dy), dd = dx * dx + dy * dy;
    if (!(along > 0.0)) return aa <= r2;
    if (!(along < dd)) return bb <= r2;
    const double c = cross(ax, ay, dx, dy);
    return c * c <= r2 * dd;
}

double beyond(double reach, double far) { return reach + 1e-9 * (reach + 2.0 * far); }

// The one edge of a polygon that is not convex, or of many edges, that runs
// right across the footprint's bounding disc, as the leaf's line; false when
// none does or more come near.
bool single_edge(Workspace& ws, const Primitive& p, const Local& at, const FootprintFrame& fr,
                 SimpleLeaf& leaf) {
    const double reach = fr.scale * (1.0 + kCleanCrossing), reach2 = reach * reach;
    // the band query, of a polygon whose edges are banded
    double ylo = 0.0, yhi = 0.0;
    if (p.bands) {
        const double reach_y = reach / at.s, slack = translation_slack(at.qy, reach_y);
        ylo = at.qy - reach_y - slack;
        yhi = at.qy + reach_y + slack;
    }
    // |x| + |y| of every vertex, local, bounded by the polygon's box
    const double far = (std::max(std::fabs(p.xmin - at.qx), std::fabs(p.xmax - at.qx)) +
                        std::max(std::fabs(p.ymin - at.qy), std::fabs(p.ymax - at.qy))) * at.s;
    const double r = beyond(reach, far);
    int found = -1;
    bool clean = true;
    for_each_edge_near(p, ylo, yhi, false, ws.near,
                       [&](std::int32_t j, std::int32_t k) {
        const double ax = at.x(p.x(j)), ay = at.y(p.y(j));
        const double bx = at.x(p.x(k)), by = at.y(p.y(k));
        if (beyond_reach(ax, ay, bx, by, r)) return true;
        const double aa = ax * ax + ay * ay, bb = bx * bx + by * by;
        if (!segment_within(ax, ay, bx - ax, by - ay, aa, bb, reach2)) return true;
        clean = found < 0 && aa > reach2 && bb > reach2;
        found = k;
        return clean;
    });
    if (!clean || found < 0) return false;
    const std::int32_t j = previous_vertex(found, p.n);
    const double ax = at.x(p.x(j)), ay = at.y(p.y(j));
    leaf.line[0] = {ax, ay, at.x(p.x(found)) - ax, at.y(p.y(found)) - ay};
    leaf.lines = 1;
    return true;
}

// A simple leaf of primitive p, whose near edges (of a convex polygon) are
// `near` as lines_through takes them; false when p is not simple there.
bool simple_leaf(Workspace& ws, const Primitive& p, const Local& at, const FootprintFrame& fr,
                 EdgeMask near, SimpleLeaf& leaf) {
    if (p.kind == PrimKind::Disc) {
        leaf.disc = true;
        leaf.cx = at.x(p.v[0]);
        leaf.cy = at.y(p.v[1]);
        leaf.r = p.v[2] * at.s;
        return true;
    }
    if (p.kind == PrimKind::Ellipse) {
        leaf.ellipse = true;
        leaf.conic = local_conic(p, at, leaf.det);
        return true;
    }
    if (p.convex && !p.bands)
        return lines_through(p, at, fr, near, leaf.line, leaf.lines, kLeafLines, leaf.empty);
    return single_edge(ws, p, at, fr, leaf);
}

// Twice the area of the convex polygon inside the ellipse: the polygon
// mapped by A^-1 (still convex and counter-clockwise, det A > 0) against the
// unit disc about A^-1 c, the image of the centre; the area times det A.
double polygon_in_ellipse(const double* x, const double* y, int n, const SimpleLeaf& e) {
    const Conic& c = e.conic;
    double ux[kClipped], uy[kClipped], scale = 0.0;
    for (int i = 0; i < n; ++i) {
        ux[i] = c.i00 * x[i] + c.i01 * y[i];
        uy[i] = c.i10 * x[i] + c.i11 * y[i];
        scale = std::max(scale, length(ux[i], uy[i]));
    }
    const double wx = c.i00 * c.cx + c.i01 * c.cy, wy = c.i10 * c.cx + c.i11 * c.cy;
    const double sum = polygon_in_disc(ux, uy, n, wx, wy, 1.0, scale);
    return sum < 0.0 ? -1.0 : sum * e.det;
}

// Twice the area of the footprint inside one simple leaf; a polygon's cut of
// the footprint is kept in the leaf for pair_sum.
double leaf_sum(const FootprintFrame& fr, SimpleLeaf& leaf) {
    if (leaf.disc) return polygon_in_disc(fr.px, fr.py, fr.n, leaf.cx, leaf.cy, leaf.r, fr.scale);
    if (leaf.ellipse) return polygon_in_ellipse(fr.px, fr.py, fr.n, leaf);
    leaf.cut_n = 0;
    if (leaf.empty) return 0.0;
    leaf.cut_n = cut_by_lines(fr.px, fr.py, fr.n, leaf.line, leaf.lines, leaf.cut_x, leaf.cut_y);
    if (leaf.cut_n < 0 || leaf.cut_n > kLeafClipped) return -1.0;
    return leaf.cut_n ? shoelace(leaf.cut_x, leaf.cut_y, leaf.cut_n) : 0.0;
}

// Twice the area of the footprint inside both simple leaves: the one
// polygon's cut of it cut again by the other's lines, or measured against
// the disc or ellipse.  Two round leaves are the general trace's.
double pair_sum(const FootprintFrame& fr, const SimpleLeaf& a, const SimpleLeaf& b) {
    if (a.round() && b.round()) return -1.0;
    const SimpleLeaf& edge = a.round() ? b : a;
    const SimpleLeaf& other = a.round() ? a : b;
    const int n = edge.cut_n;
    if (n < 3) return 0.0;
    if (other.disc) return polygon_in_disc(edge.cut_x, edge.cut_y, n, other.cx, other.cy, other.r,
                                           fr.scale);
    if (other.ellipse) return polygon_in_ellipse(edge.cut_x, edge.cut_y, n, other);
    if (other.empty) return 0.0;
    double x[kCutRoom], y[kCutRoom];
    const int m = cut_by_lines(edge.cut_x, edge.cut_y, n, other.line, other.lines, x, y);
    return m < 0 ? -1.0 : m ? shoelace(x, y, m) : 0.0;
}

// The leaves and truth table of `program`, at most `most` leaves, from
// `cells` when it holds that program already.
const LeafCells& leaf_cells(LeafCells& cells, std::vector<std::uint32_t>& scratch,
                            const std::vector<std::int32_t>& program, int most) {
    if (cells.most == most && cells.program == program) return cells;
    cells.program.assign(program.begin(), program.end());
    cells.most = most;
    cells.fits = distinct_leaves(program, cells.code, most, cells.count) && cells.count > 0;
    if (cells.fits) cells.table = truth_table(program, cells.code, cells.count, scratch);
    return cells;
}

// Twice the area of the footprint inside a program over one or two simple
// leaves, by inclusion-exclusion over the cells of their Venn diagram (the
// program's value in each cell, times the cell's area); negative when a
// leaf is not simple or a closed form declines.
double closed_form_sum(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                       const Local& at, const FootprintFrame& fr, const EdgeMask* near) {
    const auto edges = [&](std::int32_t code) { return near ? near[code] : kEdgesUnknown; };
    if (single_primitive(program)) {   // most of any boundary: no cells to weigh
        SimpleLeaf leaf;
        if (!simple_leaf(ws, shape.prims[program[0]], at, fr, edges(program[0]), leaf)) return -1.0;
        const double in = leaf_sum(fr, leaf);
        return in < 0.0 ? -1.0 : program.size() == 1 ? in : fr.twice_area - in;
    }
    const LeafCells& cells = leaf_cells(ws.pair_cells, ws.cells, program, 2);
    if (!cells.fits) return -1.0;
    const std::int32_t* code = cells.code;
    const int count = cells.count;
    SimpleLeaf leaf[2];
    double in[2];
    for (int k = 0; k < count; ++k) {
        if (!simple_leaf(ws, shape.prims[code[k]], at, fr, edges(code[k]), leaf[k])) return -1.0;
        in[k] = leaf_sum(fr, leaf[k]);
        if (in[k] < 0.0) return -1.0;
    }
    const double both = count == 2 ? pair_sum(fr, leaf[0], leaf[1]) : 0.0;
    if (both < 0.0) return -1.0;
    const std::uint32_t table = cells.table;
    const auto value = [&](unsigned a, unsigned b) { return (table >> (a | b << 1)) & 1 ? 1.0 : 0.0; };
    if (count == 1) return value(1, 0) * in[0] + value(0, 0) * (fr.twice_area - in[0]);
    return value(1, 1) * both + value(1, 0) * (in[0] - both) + value(0, 1) * (in[1] - both) +
           value(0, 0) * (fr.twice_area - in[0] - in[1] + both);
}

// ---- closed form: corners of convex polygons --------------------------------
//
// Where segments of a mirror meet at a corner, or a vane crosses a gap
// between two of them, the program's area follows by inclusion-exclusion
// over every subset of its convex leaves, each subset's area the footprint
// cut by all their lines, without the general trace.

// Twice the area of the footprint inside a program over at most
// kConvexLeaves convex polygons; false when it has others or more.
bool convex_sum(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                const Local& at, const FootprintFrame& fr, const EdgeMask* near, double& sum) {
    const LeafCells& cells = leaf_cells(ws.convex_cells, ws.cells, program, kConvexLeaves);
    if (!cells.fits) return false;
    const std::int32_t* code = cells.code;
    const int count = cells.count;
    Line lines[kConvexLines];
    int first[kConvexLeaves + 1], n = 0;
    bool empty[kConvexLeaves];
    for (int l = 0; l < count; ++l) {
        const Primitive& p = shape.prims[code[l]];
        if (p.kind != PrimKind::Polygon || !p.convex || p.bands) return false;
        first[l] = n;
        const EdgeMask edges = near ? near[code[l]] : kEdgesUnknown;
        if (!lines_through(p, at, fr, edges, lines, n, kConvexLines, empty[l])) return false;
    }
    first[count] = n;
    // twice the area of the footprint inside every leaf of each subset
    constexpr int kSubsets = 1 << kConvexLeaves;
    double x[kSubsets][kCutRoom], y[kSubsets][kCutRoom], area[kSubsets];
    int size[kSubsets];
    std::copy(fr.px, fr.px + fr.n, x[0]);
    std::copy(fr.py, fr.py + fr.n, y[0]);
    size[0] = fr.n;
    area[0] = fr.twice_area;
    const int subsets = 1 << count;
    for (int s = 1; s < subsets; ++s) {
        int top = 0;
        while (s >> (top + 1)) ++top;
        const int rest = s ^ (1 << top);
        size[s] = 0;
        if (!empty[top] && size[rest] >= 3) {
            size[s] = cut_by_lines(x[rest], y[rest], size[rest], lines + first[top],
                                   first[top + 1] - first[top], x[s], y[s]);
            if (size[s] < 0) return false;
        }
        area[s] = size[s] ? shoelace(x[s], y[s], size[s]) : 0.0;
    }
    // each cell of the Venn diagram (the leaves of t inside, the others
    // outside) where the program holds, its area by inclusion-exclusion
    sum = 0.0;
    const std::uint32_t table = cells.table;
    for (int t = 0; t < subsets; ++t) {
        if (!((table >> t) & 1)) continue;
        double cell = 0.0;
        for (int s = t; s < subsets; s = (s + 1) | t) {
            const bool odd = (__builtin_popcount(static_cast<unsigned>(s ^ t)) & 1) != 0;
            cell += odd ? -area[s] : area[s];
        }
        sum += cell;
    }
    return true;
}

// ---- the general trace -----------------------------------------------------

Curve make_segment(int prim, double ax, double ay, double bx, double by) {
    Curve c{};
    c.prim = prim;
    c.kind = CurveKind::Segment;
    c.ax = ax;
    c.ay = ay;
    c.bx = bx;
    c.by = by;
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
    c.kind = CurveKind::Circle;
    c.cx = cx;
    c.cy = cy;
    c.r = r;
    // M = r I, for the crossings with ellipses
    const double ir = 1.0 / r;
    c.conic = {cx, cy, r, 0.0, 0.0, r, ir, 0.0, 0.0, ir, std::sqrt(2.0) * ir};
    c.det = r * r;
    return c;
}

Curve make_ellipse(int prim, const Conic& conic, double det) {
    Curve c{};
    c.prim = prim;
    c.kind = CurveKind::Ellipse;
    c.cx = conic.cx;
    c.cy = conic.cy;
    c.conic = conic;
    c.det = det;
    return c;
}

// A round curve's point at the angle t: c + M (cos t, sin t).
void round_point(const Curve& e, double t, double& x, double& y) {
    if (e.kind == CurveKind::Circle) {
        x = e.cx + e.r * std::cos(t);
        y = e.cy + e.r * std::sin(t);
        return;
    }
    const Conic& c = e.conic;
    const double ct = std::cos(t), st = std::sin(t);
    x = c.cx + (c.m00 * ct + c.m01 * st);
    y = c.cy + (c.m10 * ct + c.m11 * st);
}

// The angle t of a round curve's point (x, y): that of M^-1 (P - c).
double round_angle(const Curve& e, double x, double y) {
    if (e.kind == CurveKind::Circle) return std::atan2(y - e.cy, x - e.cx);
    const Conic& c = e.conic;
    const double dx = x - c.cx, dy = y - c.cy;
    return std::atan2(c.i10 * dx + c.i11 * dy, c.i00 * dx + c.i01 * dy);
}

// The same line, in either direction, as far as the footprint can tell.
bool same_line(const Curve& e, const Curve& f, double tol) {
    if (std::fabs(cross(e.ux, e.uy, f.ux, f.uy)) > kCoincident) return false;
    const bool along = e.ux * f.ux + e.uy * f.uy > 0.0;
    return std::fabs(along ? e.offset - f.offset : e.offset + f.offset) <= tol;
}

bool same_circle(const Curve& e, const Curve& f, double tol) {
    return std::fabs(e.cx - f.cx) <= tol && std::fabs(e.cy - f.cy) <= tol &&
           std::fabs(e.r - f.r) <= tol;
}

// The same ellipse (or an ellipse and a circle), as far as the footprint can
// tell: the centres within tol, and the forms S = M M^T, which say the
// ellipse whatever its parametrisation ((P - c)^T S^-1 (P - c) < 1), within
// tol times the sizes (|r1^2 - r2^2| <= tol (r1 + r2) for circles).
bool same_round(const Curve& e, const Curve& f, double tol) {
    if (e.kind == CurveKind::Circle && f.kind == CurveKind::Circle) return same_circle(e, f, tol);
    if (std::fabs(e.cx - f.cx) > tol || std::fabs(e.cy - f.cy) > tol) return false;
    const auto form = [](const Conic& c, double S[3]) {
        S[0] = c.m00 * c.m00 + c.m01 * c.m01;
        S[1] = c.m00 * c.m10 + c.m01 * c.m11;
        S[2] = c.m10 * c.m10 + c.m11 * c.m11;
    };
    double a[3], b[3];
    form(e.conic, a);
    form(f.conic, b);
    const double slack = tol * (std::sqrt(a[0] + a[2]) + std::sqrt(b[0] + b[2]));
    return std::fabs(a[0] - b[0]) <= slack && std::fabs(a[1] - b[1]) <= slack &&
           std::fabs(a[2] - b[2]) <= slack;
}

// Strictly left of the segment's line.
bool left_of(const Curve& f, double x, double y) {
    return cross(f.bx - f.ax, f.by - f.ay, x - f.ax, y - f.ay) > 0.0;
}

// The curves of a program: every primitive's boundary near the footprint
// (a polygon's edges in their order, so that the sum is formed in one
// order), then the footprint's own sides.
void gather_curves(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                   const Local& at, const FootprintFrame& fr) {
    ws.curves.clear();
    ws.leaves.clear();
    const double rx = fr.ex + fr.tol, ry = fr.ey + fr.tol;
    const double reach_y = ry / at.s, slack = translation_slack(at.qy, reach_y);
    for (const std::int32_t code : program) {
        if (code < 0) continue;
        ws.leaves.push_back(code);
        const Primitive& p = shape.prims[code];
        if (p.kind == PrimKind::Disc) {
            ws.curves.push_back(make_circle(code, at.x(p.v[0]), at.y(p.v[1]), p.v[2] * at.s));
            continue;
        }
        if (p.kind == PrimKind::Ellipse) {
            double det;
            const Conic conic = local_conic(p, at, det);
            ws.curves.push_back(make_ellipse(code, conic, det));
            continue;
        }
        for_each_edge_near(p, at.qy - reach_y - slack, at.qy + reach_y + slack, true, ws.near,
                           [&](std::int32_t j, std::int32_t k) {
            const double ax = at.x(p.x(j)), ay = at.y(p.y(j));
            const double bx = at.x(p.x(k)), by = at.y(p.y(k));
            const bool misses = std::max(ax, bx) < -rx || std::min(ax, bx) > rx ||
                                std::max(ay, by) < -ry || std::min(ay, by) > ry;
            if (!misses) ws.curves.push_back(make_segment(code, ax, ay, bx, by));
            return true;
        });
    }
    for (int i = 0; i < fr.n; ++i) {
        const int k = i + 1 < fr.n ? i + 1 : 0;
        ws.curves.push_back(make_segment(kFootprintOwner, fr.px[i], fr.py[i], fr.px[k], fr.py[k]));
    }
}

// Where segments e (curve i) and f (curve j) cross or come closest at a
// shallow angle, at parameters t on e and u on f, the stretch in which they
// lie within kShallowBand of each other (the band about that point, within
// both segments) becomes a Band, cut at its ends on both: its pieces then
// pair off, each pair taken as one boundary (coincident_owners), as the
// pieces of two collinear edges are.
void add_shallow_band(Workspace& ws, int i, const Curve& e, int j, const Curve& f, double t,
                      double u, double sine, double reach) {
    const double half = kShallowBand * reach / sine;
    // the band on each, as far as the other reaches along it
    const auto along = [](const Curve& g, double x, double y) {
        return ((x - g.ax) * g.ux + (y - g.ay) * g.uy) / g.len;
    };
    const double fa = along(e, f.ax, f.ay), fb = along(e, f.bx, f.by);
    const double ea = along(f, e.ax, e.ay), eb = along(f, e.bx, e.by);
    Band band{i, j, std::max({t - half / e.len, 0.0, std::min(fa, fb)}),
              std::min({t + half / e.len, 1.0, std::max(fa, fb)}),
              std::max({u - half / f.len, 0.0, std::min(ea, eb)}),
              std::min({u + half / f.len, 1.0, std::max(ea, eb)})};
    if (!(band.a_lo < band.a_hi && band.b_lo < band.b_hi)) return;
    const auto cut_at = [&](int ci, const Curve& g, double r) {
        if (r > 0.0 && r < 1.0)
            ws.cuts.push_back({ci, r, g.ax + r * (g.bx - g.ax), g.ay + r * (g.by - g.ay)});
    };
    cut_at(i, e, band.a_lo);
    cut_at(i, e, band.a_hi);
    cut_at(j, f, band.b_lo);
    cut_at(j, f, band.b_hi);
    ws.bands.push_back(band);
}

// Segments at a shallow angle that do not cross but come within
// kShallowBand of each other: they come closest at an end of one.
void shallow_approach(Workspace& ws, int i, const Curve& e, int j, const Curve& f, double sine,
                      double reach) {
    const double near = kShallowBand * reach;
    double best = near, t = 0.0, u = 0.0;
    bool found = false;
    // the end (x, y) of one segment, at parameter r_end on it, against the
    // other segment g
    const auto try_end = [&](const Curve& g, double x, double y, bool end_of_e, double r_end) {
        const double dx = x - g.ax, dy = y - g.ay;
        const double d = std::fabs(cross(g.ux, g.uy, dx, dy));
        const double r = (dx * g.ux + dy * g.uy) / g.len;
        if (!(d <= best) || !(r >= 0.0 && r <= 1.0)) return;
        best = d;
        found = true;
        t = end_of_e ? r_end : r;
        u = end_of_e ? r : r_end;
    };
    try_end(f, e.ax, e.ay, true, 0.0);
    try_end(f, e.bx, e.by, true, 1.0);
    try_end(e, f.ax, f.ay, false, 0.0);
    try_end(e, f.bx, f.by, false, 1.0);
    if (found) add_shallow_band(ws, i, e, j, f, t, u, sine, reach);
}

void cut_segments(Workspace& ws, int i, const Curve& e, int j, const Curve& f, double tol,
                  double reach) {
    std::vector<Cut>& cuts = ws.cuts;
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
    // Each segment's ends on either side of the other's line, the side of a
    // point decided once for each line, so that the segments of a chain
    // agree on it where they meet: a chain crosses the other chain's
    // segments as many times as its ends change sides, however near a corner.
    const double sine = std::fabs(cross(e.ux, e.uy, f.ux, f.uy));
    if (left_of(f, e.ax, e.ay) == left_of(f, e.bx, e.by) ||
        left_of(e, f.ax, f.ay) == left_of(e, f.bx, f.by)) {
        if (sine < kShallow) shallow_approach(ws, i, e, j, f, sine, reach);
        return;
    }
    const double d1x = e.bx - e.ax, d1y = e.by - e.ay;
    const double d2x = f.bx - f.ax, d2y = f.by - f.ay;
    const double den = cross(d1x, d1y, d2x, d2y);
    if (den == 0.0) return;
    const double wx = f.ax - e.ax, wy = f.ay - e.ay;
    const double t = cross(wx, wy, d2x, d2y) / den;
    const double u = cross(wx, wy, d1x, d1y) / den;
    const double tc = clamp01(t);
    const double x = e.ax + tc * d1x, y = e.ay + tc * d1y;
    cuts.push_back({i, tc, x, y});
    cuts.push_back({j, clamp01(u), x, y});
    if (sine < kShallow) add_shallow_band(ws, i, e, j, f, tc, clamp01(u), sine, reach);
}

// Which of a segment's chord ends (t_in <= t_out, where it enters and
// leaves a round curve) cut it, decided by whether its ends lie inside the
// curve: an end's inside is one evaluation shared by the two segments that
// meet there, so every closed chain of segments crosses the curve an even
// number of times, and no piece is left that changes sides along it.  One end
// in: the one crossing between them, however close to that end; at the
// inner end itself when the segment grazes the curve, so that the crossing
// is ill-conditioned and the part of the segment up to it lies within
// rounding of the curve.  Both out: both crossings, or none for a touch.
// Both in: none.  `at(s, x, y)`
// gives the point of the entry (s = -1) or exit (s = 1) and its angle on
// the curve (s = 0: the angle of the point given); a crossing beyond an end
// by rounding is that end.
template <class PointAt>
void cut_segment_chord(std::vector<Cut>& cuts, int i, const Curve& e, int j, bool a_in, bool b_in,
                       bool touch, bool graze, double t_in, double t_out, PointAt at) {
    const auto cut = [&](int s) {
        const bool at_end = a_in != b_in && graze;
        const double t = at_end ? (a_in ? 0.0 : 1.0) : s < 0 ? t_in : t_out;
        double x, y, angle;
        if (!at_end && t >= 0.0 && t <= 1.0) {
            angle = at(s, x, y);
        } else {
            x = t < 0.5 ? e.ax : e.bx;
            y = t < 0.5 ? e.ay : e.by;
            angle = at(0, x, y);
        }
        cuts.push_back({i, clamp01(t), x, y});
        cuts.push_back({j, angle, x, y});
    };
    if (a_in != b_in) return cut(a_in ? 1 : -1);
    if (a_in || touch || t_in > 1.0 + kEndSlack || t_out < -kEndSlack) return;
    cut(-1);
    cut(1);
}

bool inside_circle(const Curve& c, double x, double y) {
    const double dx = x - c.cx, dy = y - c.cy;
    return dx * dx + dy * dy < c.r * c.r;
}

void cut_segment_circle(std::vector<Cut>& cuts, int i, const Curve& e, int j, const Curve& c,
                        double scale) {
    // Foot of the perpendicular from the centre, then half the chord.
    const double dx = e.bx - e.ax, dy = e.by - e.ay;
    const double t0 = ((c.cx - e.ax) * e.ux + (c.cy - e.ay) * e.uy) / e.len;
    const double px = e.ax + t0 * dx, py = e.ay + t0 * dy;
    const double h = length(px - c.cx, py - c.cy);
    const bool touch = h >= c.r - kTangent * (c.r + scale);   // apart, or touching only
    const bool graze = h >= c.r - kGraze * (c.r + scale);
    const double half = h < c.r ? std::sqrt((c.r - h) * (c.r + h)) : 0.0;
    const double dt = half / e.len;
    cut_segment_chord(cuts, i, e, j, inside_circle(c, e.ax, e.ay), inside_circle(c, e.bx, e.by),
                      touch, graze, t0 - dt, t0 + dt, [&](int s, double& x, double& y) {
        if (s != 0) {
            x = px + s * half * e.ux;
            y = py + s * half * e.uy;
        }
        return std::atan2(y - c.cy, x - c.cx);
    });
}

// A segment and an ellipse: in the ellipse's frame u = M^-1 (P - c) the
// ellipse is the unit circle and the segment a segment of the same
// parameter, a_u + t d_u; its crossings are found there as a circle's: the
// foot of the perpendicular from the origin, then half the chord.  The
// tolerance of a tangency is the circle's, in that frame.
void cut_segment_ellipse(std::vector<Cut>& cuts, int i, const Curve& e, int j, const Curve& c,
                         double scale) {
    const Conic& q = c.conic;
    const auto frame = [&](double x, double y, double& u, double& v) {
        const double ax = x - q.cx, ay = y - q.cy;
        u = q.i00 * ax + q.i01 * ay;
        v = q.i10 * ax + q.i11 * ay;
    };
    const auto inside = [&](double x, double y) {
        double u, v;
        frame(x, y, u, v);
        return u * u + v * v < 1.0;
    };
    const double dx = e.bx - e.ax, dy = e.by - e.ay;
    double aux, auy;
    frame(e.ax, e.ay, aux, auy);
    const double dux = q.i00 * dx + q.i01 * dy, duy = q.i10 * dx + q.i11 * dy;
    const double dd = dux * dux + duy * duy;
    if (!(dd > 0.0)) return;
    const double t0 = -(aux * dux + auy * duy) / dd;
    const double fx = aux + t0 * dux, fy = auy + t0 * duy;
    const double h = length(fx, fy);
    const bool touch = h >= 1.0 - kTangent * (1.0 + scale * q.inv_norm);   // apart, or touching only
    const bool graze = h >= 1.0 - kGraze * (1.0 + scale * q.inv_norm);
    const double half = h < 1.0 ? std::sqrt((1.0 - h) * (1.0 + h)) : 0.0, dl = std::sqrt(dd);
    const double dt = half / dl;
    cut_segment_chord(cuts, i, e, j, inside(e.ax, e.ay), inside(e.bx, e.by), touch, graze,
                      t0 - dt, t0 + dt, [&](int s, double& x, double& y) {
        if (s == 0) return round_angle(c, x, y);
        const double t = t0 + s * dt;
        x = e.ax + t * dx;
        y = e.ay + t * dy;
        return std::atan2(fy + s * half * duy / dl, fx + s * half * dux / dl);
    });
}

// Two round curves, one of them an ellipse: the crossings near the
// footprint (ellipse.cpp), each cut on both at its angle there.
void cut_round(std::vector<Cut>& cuts, int i, const Curve& a, int j, const Curve& b, double tol,
               double scale) {
    if (same_round(a, b, tol)) return;
    double x[kMostRoundCrossings], y[kMostRoundCrossings];
    const int n = round_crossings(a.conic, b.conic, scale + tol, kTangent, x, y);
    for (int k = 0; k < n; ++k) {
        cuts.push_back({i, round_angle(a, x[k], y[k]), x[k], y[k]});
        cuts.push_back({j, round_angle(b, x[k], y[k]), x[k], y[k]});
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

void cut_segment_round(std::vector<Cut>& cuts, int i, const Curve& e, int j, const Curve& c,
                       double scale) {
    if (c.kind == CurveKind::Circle) return cut_segment_circle(cuts, i, e, j, c, scale);
    cut_segment_ellipse(cuts, i, e, j, c, scale);
}

// Every curve cut at its crossings with the curves of other owners, the
// cuts sorted by curve and along it.
void cut_curves(Workspace& ws, const FootprintFrame& fr) {
    ws.cuts.clear();
    ws.bands.clear();
    const int nc = static_cast<int>(ws.curves.size());
    for (int i = 0; i < nc; ++i) {
        for (int j = i + 1; j < nc; ++j) {
            const Curve& a = ws.curves[i];
            const Curve& b = ws.curves[j];
            if (a.prim == b.prim) continue;
            if (!a.round() && !b.round()) cut_segments(ws, i, a, j, b, fr.tol, fr.scale);
            else if (!a.round()) cut_segment_round(ws.cuts, i, a, j, b, fr.scale);
            else if (!b.round()) cut_segment_round(ws.cuts, j, b, i, a, fr.scale);
            else if (a.kind == CurveKind::Circle && b.kind == CurveKind::Circle)
                cut_circles(ws.cuts, i, a, j, b, fr.tol, fr.scale);
            else cut_round(ws.cuts, i, a, j, b, fr.tol, fr.scale);
        }
    }
    std::sort(ws.cuts.begin(), ws.cuts.end(), [](const Cut& p, const Cut& q) {
        return p.curve != q.curve ? p.curve < q.curve : p.t < q.t;
    });
}

// The membership of every leaf at the local point (x, y).
void test_leaves(Workspace& ws, const Shape& shape, const Local& at, double x, double y) {
    for (const std::int32_t code : ws.leaves) {
        const Primitive& p = shape.prims[code];
        bool in;
        if (p.kind == PrimKind::Disc) {
            const double dx = x - at.x(p.v[0]), dy = y - at.y(p.v[1]), r = p.v[2] * at.s;
            in = dx * dx + dy * dy < r * r;
        } else if (p.kind == PrimKind::Ellipse) {
            // |A^-1 (P - c)| < 1, A^-1 of the local frame being the primitive's over s
            const EllipseMap& e = p.ellipse;
            const double is = 1.0 / at.s, dx = x - at.x(p.v[0]), dy = y - at.y(p.v[1]);
            const double u = (e.i00 * is) * dx + (e.i01 * is) * dy;
            const double v = (e.i10 * is) * dx + (e.i11 * is) * dy;
            in = u * u + v * v < 1.0;
        } else {
            in = inside_translated_polygon(p, at.qx, at.qy, x / at.s, y / at.s);
        }
        ws.value[code] = in ? 1 : 0;
    }
}

// Whether the point at parameter r of curve ci lies in a band it shares
// with curve gi.
bool in_band(const Workspace& ws, int ci, int gi, double r) {
    for (const Band& b : ws.bands) {
        if (b.a == ci && b.b == gi && r > b.a_lo && r < b.a_hi) return true;
        if (b.b == ci && b.a == gi && r > b.b_lo && r < b.b_hi) return true;
    }
    return false;
}

// The primitives whose boundary coincides with the piece of curve `ci`
// probed at (mx, my), with their memberships left and right of it, into
// ws.sides (the piece's own first); false when a lower owner holds the
// same piece, which counts it instead.
bool coincident_owners(Workspace& ws, int ci, double mx, double my, const FootprintFrame& fr) {
    const Curve& e = ws.curves[ci];
    ws.sides.clear();
    ws.sides.push_back({e.prim, 1, 0});
    const bool banded = !e.round() && !ws.bands.empty();
    const double at = banded ? ((mx - e.ax) * e.ux + (my - e.ay) * e.uy) / e.len : 0.0;
    for (int gi = 0; gi < static_cast<int>(ws.curves.size()); ++gi) {
        const Curve& g = ws.curves[gi];
        if (g.prim == e.prim || g.round() != e.round()) continue;
        std::uint8_t left;
        if (e.round()) {
            if (!same_round(e, g, fr.tol)) continue;
            left = 1;
        } else {
            if (same_line(e, g, fr.tol)) {
                const double s = (mx - g.ax) * g.ux + (my - g.ay) * g.uy;
                if (!(s > 0.0 && s < g.len)) continue;
            } else if (!banded || !in_band(ws, ci, gi, at)) {
                continue;
            }
            left = e.ux * g.ux + e.uy * g.uy > 0.0 ? 1 : 0;
        }
        if (g.prim < e.prim) return false;   // counted once, by the lowest owner (the footprint first)
        ws.sides.push_back({g.prim, left, static_cast<std::uint8_t>(1 - left)});
    }
    return true;
}

// The region's membership (footprint and program) on one side of a piece,
// the coincident owners forced to that side's membership.
bool region_on_side(Workspace& ws, const std::vector<std::int32_t>& program, bool foot,
                    bool left) {
    for (const Side& s : ws.sides) {
        const std::uint8_t v = left ? s.left : s.right;
        if (s.prim == kFootprintOwner) foot = v != 0;
        else ws.value[s.prim] = v;
    }
    return foot && run_program(program, ws.value.data(), ws.stack);
}

// The contribution of one piece of curve `ci`, whose Green term is `term`,
// tested at (mx, my): the term when the region lies on its left, minus it
// when on its right, nothing when on both sides or neither.
double piece_contribution(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                          const Local& at, const FootprintFrame& fr, int ci, double mx, double my,
                          double term) {
    bool far_out;
    const bool foot = inside_frame(fr, mx, my, &far_out);
    if (far_out && ws.curves[ci].prim != kFootprintOwner) return 0.0;
    if (!coincident_owners(ws, ci, mx, my, fr)) return 0.0;
    test_leaves(ws, shape, at, mx, my);
    const bool L = region_on_side(ws, program, foot, true);
    const bool R = region_on_side(ws, program, foot, false);
    return L == R ? 0.0 : (L ? term : -term);
}

// The pieces of a straight curve between its cuts (`count` of them from
// `first`), each weighed by `piece` and added to `sum` in turn.
template <class Piece>
void segment_pieces(const Workspace& ws, int ci, std::size_t first, std::size_t count,
                    Piece piece, double& sum) {
    const Curve& e = ws.curves[ci];
    double x1 = e.ax, y1 = e.ay;
    for (std::size_t k = 0; k <= count; ++k) {
        const double x2 = k < count ? ws.cuts[first + k].x : e.bx;
        const double y2 = k < count ? ws.cuts[first + k].y : e.by;
        if (x1 != x2 || y1 != y2)
            sum += piece(ci, x1 + kProbe * (x2 - x1), y1 + kProbe * (y2 - y1),
                         segment_term(x1, y1, x2, y2));
        x1 = x2;
        y1 = y2;
    }
}

// Green's term of a round curve's arc between two cuts through the angle dth.
double round_arc_term(const Curve& e, const Cut& c1, const Cut& c2, double dth) {
    if (e.kind == CurveKind::Circle) return arc_term(c1.x, c1.y, c2.x, c2.y, e.r, dth);
    return elliptical_arc_term(c1.x, c1.y, c2.x, c2.y, e.det, dth);
}

// The arcs of a round curve between its cuts, counter-clockwise, the last
// back round to the first; the whole curve when nothing cuts it.
template <class Piece>
void round_pieces(const Workspace& ws, int ci, std::size_t first, std::size_t count, Piece piece,
                  double& sum) {
    const Curve& e = ws.curves[ci];
    double x, y;
    if (count == 0) {
        // the whole curve: its term is det M 2 pi (r^2 2 pi), its probe anywhere on it
        round_point(e, kProbeAngle, x, y);
        sum += piece(ci, x, y, e.kind == CurveKind::Circle ? e.r * e.r * kTwoPi : e.det * kTwoPi);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        const Cut& c1 = ws.cuts[first + k];
        const Cut& c2 = ws.cuts[first + (k + 1) % count];
        const double dth = k + 1 < count ? c2.t - c1.t : c2.t + kTwoPi - c1.t;
        if (!(dth > 0.0)) continue;
        round_point(e, c1.t + kProbe * dth, x, y);
        sum += piece(ci, x, y, round_arc_term(e, c1, c2, dth));
    }
}

// Twice the area of the region: the Green terms of the pieces that bound it.
double trace_sum(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                 const Local& at, const FootprintFrame& fr) {
    double sum = 0.0;
    std::size_t at_cut = 0;
    const int nc = static_cast<int>(ws.curves.size());
    const auto piece = [&](int ci, double mx, double my, double term) {
        return piece_contribution(ws, shape, program, at, fr, ci, mx, my, term);
    };
    for (int ci = 0; ci < nc; ++ci) {
        const std::size_t first = at_cut;
        while (at_cut < ws.cuts.size() && ws.cuts[at_cut].curve == ci) ++at_cut;
        if (ws.curves[ci].round()) round_pieces(ws, ci, first, at_cut - first, piece, sum);
        else segment_pieces(ws, ci, first, at_cut - first, piece, sum);
    }
    return sum;
}

}  // namespace

double exact_fraction(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                      const Footprint& f, const FootprintFrame& fr, const EdgeMask* near) {
    const Local at{f.qx, f.qy, fr.s};
    double sum = closed_form_sum(ws, shape, program, at, fr, near);
    if (sum < 0.0 && !convex_sum(ws, shape, program, at, fr, near, sum)) {
        gather_curves(ws, shape, program, at, fr);
        cut_curves(ws, fr);
        sum = trace_sum(ws, shape, program, at, fr);
    }
    return clamp01(sum / fr.twice_area);
}

}  // namespace trovel
