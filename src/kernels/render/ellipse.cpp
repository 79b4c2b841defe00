// Where two round boundaries cross when one of them is an ellipse.
//
// Each boundary is the image of the unit circle under an affine map,
// P(t) = c + M (cos t, sin t).  In the frame of the second, u = M2^-1 (P - c2),
// the second is the unit circle and the first's point t lies at
// v(t) = N e(t) + g, with N = M2^-1 M1, g = M2^-1 (c1 - c2), e(t) = (cos t,
// sin t); so the crossings are the roots of
//
//     f(t) = |N e(t) + g|^2 - 1,
//
// a trigonometric polynomial of degree 2 (at most four roots a turn), negative
// where the first boundary runs inside the second.  Rather than its quartic
// (whose coefficients degenerate as an ellipse becomes a circle, and whose
// roots lose half their digits near a tangency), f is searched directly over
// the angles of the first boundary that can reach the footprint, with a bound
// K on |f''|: on an interval of width w, f stays within K w^2 / 8 of the chord
// through its ends, and f' within K w / 2 of its value at the middle.  So an
// interval whose ends share a sign and lie farther than K w^2 / 8 from zero
// holds no root; one where |f'| at the middle exceeds K w / 2 is monotone and
// holds a root exactly when its ends differ in sign; any other is halved.
// Halving stops at a width far below the footprint's angle: there an interval
// whose ends share a sign holds none or two roots within that width, a
// tangency left uncut (the lens dropped is of area ~ width^3), and one whose
// ends differ holds one root (or three as good as one).  No pair of crossings
// farther apart than that width is missed, and every root found lies where
// f changes sign, so the crossings along each boundary keep their parity.
//
// Near a tangency rounding may also leave a pair of roots a little apart,
// between which f stays within rounding of zero: the two curves there are
// one as far as any probe can tell, and a piece between such cuts would be
// decided by noise.  So consecutive roots between which |f| is surely below
// the tangency tolerance are dropped together, as a circle's near-tangent
// crossings are never made: the lens left out is thinner than that
// tolerance.
//
// Which boundary is parametrised: the one whose image N in the other's
// frame is the smaller, so that v(t) is not a large vector near a unit one
// (f would lose digits to cancellation).
#include <algorithm>
#include <cmath>

#include "render.hpp"

namespace trovel {
namespace {

constexpr double kTwoPi = 6.283185307179586;
// The narrowest interval of angles that is halved again, relative to the
// angles searched: two crossings closer than this are a tangency.
constexpr double kNarrowest = 1e-9;
// Intervals the search starts from (f has at most four roots and four
// extrema a turn, so most of them settle at once).
constexpr int kStartIntervals = 8;
// The bounds K w / 2 and K w^2 / 8 are widened by this part of them, and f
// is taken as zero within kNoise times its scale: both far above rounding.
constexpr double kBoundSlack = 1e-9;
constexpr double kNoise = 1e-14;
// The most intervals examined for one pair; past it every interval left
// is decided by the signs of its ends alone, which keeps the parity.
constexpr int kMostIntervals = 4096;
// The widening of the reach searched: far above the rounding of the map.
constexpr double kReachSlack = 1e-6;
// Steps of the bracketed refinement of one root (each at least halves the
// bracket every few steps; far more than 52 bits need).
constexpr int kRefineSteps = 200;

// f(t) = |N e(t) + g|^2 - 1 and its bounds.
struct Crossing {
    double n00, n01, n10, n11, gx, gy;
    double K;        // bounds |f''|
    double noise;    // f within this of zero is zero, to rounding

    double value(double t) const {
        const double c = std::cos(t), s = std::sin(t);
        const double vx = (n00 * c + n01 * s) + gx, vy = (n10 * c + n11 * s) + gy;
        return (vx * vx + vy * vy) - 1.0;
    }

    // f'(t) = 2 v(t) . N e'(t), e'(t) = (-sin t, cos t)
    double slope(double t) const {
        const double c = std::cos(t), s = std::sin(t);
        const double vx = (n00 * c + n01 * s) + gx, vy = (n10 * c + n11 * s) + gy;
        return 2.0 * (vx * (n01 * c - n00 * s) + vy * (n11 * c - n10 * s));
    }
};

// |N e|^2 = (p + q) / 2 + (p - q) / 2 cos 2t + r sin 2t with p, q the squared
// columns of N and r their dot product, and 2 g . N e = 2 h . e with h = N^T g,
// so |f''| <= 4 sqrt(((p - q) / 2)^2 + r^2) + 2 |h|.
Crossing crossing_of(double n00, double n01, double n10, double n11, double gx, double gy) {
    Crossing f{n00, n01, n10, n11, gx, gy, 0.0, 0.0};
    const double p = n00 * n00 + n10 * n10, q = n01 * n01 + n11 * n11, r = n00 * n01 + n10 * n11;
    const double hx = n00 * gx + n10 * gy, hy = n01 * gx + n11 * gy;
    f.K = (4.0 * std::hypot(0.5 * (p - q), r) + 2.0 * std::hypot(hx, hy)) * (1.0 + kBoundSlack);
    const double size = std::sqrt(p + q) + std::hypot(gx, gy) + 1.0;
    f.noise = kNoise * size * size;
    return f;
}

bool outside(double v) { return v >= 0.0; }

// The root of f in [lo, hi], whose ends differ in sign: regula falsi with
// the Illinois halving, and a bisection every fourth step, down to adjacent
// doubles.
double refine(const Crossing& f, double lo, double hi, double flo, double fhi) {
    int kept = 0;   // which end stayed put last: -1 low, 1 high
    for (int step = 0; step < kRefineSteps; ++step) {
        double t = step % 4 == 3 ? 0.5 * (lo + hi) : (lo * fhi - hi * flo) / (fhi - flo);
        if (!(t > lo && t < hi)) t = 0.5 * (lo + hi);
        if (!(t > lo && t < hi)) break;   // lo and hi adjacent
        const double ft = f.value(t);
        if (ft == 0.0) return t;
        if (outside(ft) == outside(flo)) {
            lo = t;
            flo = ft;
            if (kept == 1) fhi *= 0.5;
            kept = 1;
        } else {
            hi = t;
            fhi = ft;
            if (kept == -1) flo *= 0.5;
            kept = -1;
        }
    }
    return 0.5 * (lo + hi);
}

struct Interval {
    double lo, hi, flo, fhi;
};

// The roots of f over [lo, hi] (at most `most`), into t; their count.  A
// whole turn's ends are one point, given one value, so that a root there is
// found on one side of it only.
int roots_between(const Crossing& f, double lo, double hi, bool whole_turn, double* t, int most) {
    const double narrow = kNarrowest * (hi - lo);
    Interval stack[kStartIntervals + 2 * 64];
    int depth = 0, count = 0, examined = 0;
    double a = hi, fa = whole_turn ? f.value(lo) : f.value(hi);
    for (int k = kStartIntervals - 1; k >= 0; --k) {
        const double b = lo + (hi - lo) * k / kStartIntervals, fb = f.value(b);
        stack[depth++] = {b, a, fb, fa};
        a = b;
        fa = fb;
    }
    while (depth > 0 && count < most) {
        const Interval s = stack[--depth];
        const double w = s.hi - s.lo, mid = 0.5 * (s.lo + s.hi);
        const bool change = outside(s.flo) != outside(s.fhi);
        const bool last = ++examined > kMostIntervals || depth + 2 > int(std::size(stack));
        if (last || w <= narrow || std::fabs(f.slope(mid)) > 0.5 * f.K * w + f.noise) {
            // one root at most, or a tangency within `narrow`
            if (change) t[count++] = refine(f, s.lo, s.hi, s.flo, s.fhi);
            continue;
        }
        if (!change && std::min(std::fabs(s.flo), std::fabs(s.fhi)) > 0.125 * f.K * w * w + f.noise)
            continue;
        const double fm = f.value(mid);
        stack[depth++] = {mid, s.hi, fm, s.fhi};
        stack[depth++] = {s.lo, mid, s.flo, fm};
    }
    return count;
}

// The angles of the unit circle within `reach` of the point w: the arc
// about w's direction where 1 + |w|^2 - 2 |w| cos(t - t0) <= reach^2.
// False when none; `whole` when that is every angle.
bool arc_near(double wx, double wy, double reach, double& lo, double& hi, bool& whole) {
    const double d = std::hypot(wx, wy);
    if (d >= 1.0 + reach) return false;
    const double c = reach >= 1.0 + d ? -1.0 : (1.0 + d * d - reach * reach) / (2.0 * d);
    if (c >= 1.0) return false;
    whole = c <= -1.0;
    const double half = whole ? 0.5 * kTwoPi : std::acos(c), t0 = whole ? 0.0 : std::atan2(wy, wx);
    lo = t0 - half;
    hi = t0 + half;
    return true;
}

// N = M2^-1 M1 and g = M2^-1 (c1 - c2): the first conic in the second's frame.
void image_in(const Conic& c1, const Conic& c2, double n[4], double g[2]) {
    n[0] = c2.i00 * c1.m00 + c2.i01 * c1.m10;
    n[1] = c2.i00 * c1.m01 + c2.i01 * c1.m11;
    n[2] = c2.i10 * c1.m00 + c2.i11 * c1.m10;
    n[3] = c2.i10 * c1.m01 + c2.i11 * c1.m11;
    const double dx = c1.cx - c2.cx, dy = c1.cy - c2.cy;
    g[0] = c2.i00 * dx + c2.i01 * dy;
    g[1] = c2.i10 * dx + c2.i11 * dy;
}

double frobenius(const double n[4]) { return std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2] + n[3] * n[3]); }

// Whether |f| stays below `thin` between the roots t1 < t2: at the middle,
// widened by f's curvature over them (|f| <= |f(mid)| + K w^2 / 8 there).
bool thin_between(const Crossing& f, double t1, double t2, double thin) {
    const double w = t2 - t1;
    return std::fabs(f.value(0.5 * (t1 + t2))) + 0.125 * f.K * w * w <= thin;
}

// The roots t[0..count) (ascending) less each consecutive pair between
// which |f| stays below `thin`; on a whole turn the last and the first
// (round the seam) are consecutive too.  The new count.
int drop_tangent_pairs(const Crossing& f, double* t, int count, bool whole_turn, double thin) {
    int from = 0;
    if (whole_turn && count >= 2 && thin_between(f, t[count - 1], t[0] + kTwoPi, thin)) {
        from = 1;
        --count;
    }
    int kept = 0;
    for (int k = from; k < count; ++k) {
        if (k + 1 < count && thin_between(f, t[k], t[k + 1], thin)) {
            ++k;
            continue;
        }
        t[kept++] = t[k];
    }
    return kept;
}

// The Frobenius norm of a conic's map: its size, within a factor sqrt 2.
double size_of(const Conic& c) {
    return std::sqrt(c.m00 * c.m00 + c.m01 * c.m01 + c.m10 * c.m10 + c.m11 * c.m11);
}

}  // namespace

int round_crossings(const Conic& a, const Conic& b, double reach, double tangent, double* x,
                    double* y) {
    double na[4], ga[2], nb[4], gb[2];
    image_in(a, b, na, ga);
    image_in(b, a, nb, gb);
    const bool first = frobenius(na) <= frobenius(nb);
    const Conic& p = first ? a : b;   // parametrised
    const Conic& q = first ? b : a;
    const double* n = first ? na : nb;
    const double* g = first ? ga : gb;
    // the footprint's bounding disc about the origin, in p's frame, lies
    // within reach |M^-1| of the origin's image
    const double wx = -(p.i00 * p.cx + p.i01 * p.cy), wy = -(p.i10 * p.cx + p.i11 * p.cy);
    double lo, hi;
    bool whole;
    if (!arc_near(wx, wy, reach * p.inv_norm * (1.0 + kReachSlack), lo, hi, whole)) return 0;
    const Crossing f = crossing_of(n[0], n[1], n[2], n[3], g[0], g[1]);
    if (!std::isfinite(f.K) || !std::isfinite(f.noise)) return 0;
    double t[kMostRoundCrossings];
    int count = roots_between(f, lo, hi, whole, t, kMostRoundCrossings);
    // f ~ 2 (|v| - 1), and a distance d in the plane is at most d |M_q^-1| in q's frame
    const double thin = 2.0 * tangent * (size_of(a) + size_of(b) + reach) * q.inv_norm + f.noise;
    count = drop_tangent_pairs(f, t, count, whole, thin);
    for (int k = 0; k < count; ++k) {
        const double c = std::cos(t[k]), s = std::sin(t[k]);
        x[k] = p.cx + (p.m00 * c + p.m01 * s);
        y[k] = p.cy + (p.m10 * c + p.m11 * s);
    }
    return count;
}

}  // namespace trovel
