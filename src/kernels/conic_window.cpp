// The area of an ellipse (about the origin) inside the pixel [xl, xr] x
// [a, b] is G(b, xr) - G(b, xl) - G(a, xr) + G(a, xl), where G(h, u) is the
// area of the ellipse below y = h and left of x = u: the integral from -w to
// u of the length of the vertical chord below h.  The line y = h crosses the
// ellipse at t1 <= t2 (its horizontal chord); between them the chord below h
// is h - (k t - s(t)), and left of t1 (right of t2) it is the whole chord or
// none, as h lies above or below the ellipse's leftmost (rightmost) point.
// So G is a polynomial in the breakpoints plus S(u) - S(t1) and the like,
// where S(u) = integral of s from 0 to u = beta (u r + w^2 atan(u / r)) / 2,
// r = sqrt(w^2 - u^2), depends on the column boundary alone: it is
// evaluated once per column boundary of a window and shared by all its
// rows, and each row boundary is a level with its own t1, t2, S(t1), S(t2).
//
// A row of pixels is cut by the two levels about it into runs: pixels the
// band's part of the ellipse misses, pixels wholly inside (within both
// levels' chords: the ellipse is convex), and between them the few the
// boundary crosses, the only ones whose G are evaluated.
//
// Rounding: G is a sum of a few terms below det A + H w, each within a few
// ulp, and a pixel's area a difference of four of them; the forms keep the
// error summed over the boundary pixels two orders of magnitude below
// 1e-12 of the aperture's area.  A breakpoint's own rounding costs nothing
// to first order (the pieces of the chord meet there), and mistaking a pixel
// by rounding for wholly inside or outside costs only the sliver between a
// corner and a boundary it nearly touches, of the order of the rounding
// squared, since the ellipse is convex.
#include "kernels/conic_window.hpp"

#include <algorithm>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trovel {
namespace {

constexpr double kQuarterPi = 0.7853981633974483;
// Discs of up to this many pixels of radius, ellipses whose half-extents
// stay within as many pixels each: a window of at most 66 x 66.
constexpr double kMostPixels = 32.0;
// The most boundary pixels times (det A + H w) / det A: the rounding of the
// pixels' areas, summed, grows with both (a thin tilted ellipse's G holds
// terms of its box's size, far above its own area).  A disc of kMostPixels
// is 260 x 2.
constexpr double kMostRoundingWeight = 600.0;

// S(t) at a point (t, h) of the boundary, where the vertical chord's half
// s(t) is |h - k t|: S(t) = (t s(t) + det A atan(beta t / s(t))) / 2, with
// no square root of its own.  Where s is small (near the leftmost or
// rightmost point) h - k t has lost digits, but atan's argument is then
// large and the loss is divided by it.
double S_on_boundary(const ConicForm& c, double t, double h) {
    if (t == 0.0) return 0.5 * t;   // the same signed zero, without the call
    const double s = std::fabs(h - c.k * t);
    const double angle = s > 0.0 ? std::atan(c.beta * t / s) : std::copysign(2.0 * kQuarterPi, t);
    return 0.5 * (t * s + c.det * angle);
}

ConicLevel level_at(const ConicForm& c, double h) {
    ConicLevel L;
    L.h = h;
    const double hc = std::clamp(h, -c.H, c.H);
    const double d = std::sqrt(std::max(0.0, (c.H - hc) * (c.H + hc)));
    L.t1 = std::clamp(c.q * hc - c.rho * d, -c.w, c.w);
    L.t2 = std::clamp(c.q * hc + c.rho * d, -c.w, c.w);
    L.S1 = S_on_boundary(c, L.t1, hc);
    L.S2 = c.round ? -L.S1 : L.t2 == L.t1 ? L.S1 : S_on_boundary(c, L.t2, hc);
    // beyond the top every chord is below, beyond the bottom none: said
    // outright, since H and k w are rounded apart
    const bool above = h >= c.H, inside = h > -c.H && !above;
    L.lf = above || (inside && h > -c.kw) ? 2.0 : 0.0;
    L.rf = above || (inside && h > c.kw) ? 2.0 : 0.0;
    return L;
}

// The column boundaries of a window relative to the centre, ascending
// (edge[j] = e0 + j step, to rounding), each clamped to [-w, w] as u[j]
// with S[j] = S(u[j]).
struct Columns {
    const double *edge, *u, *S;
    std::int64_t count;   // of boundaries: the window's columns + 1
    double e0, inv_step;

    // The first boundary j with edge[j] > x (strict) or >= x, count if
    // none: guessed from the spacing, then settled on the edges themselves.
    std::int64_t first_past(double x, bool strict) const {
        const double guess = std::clamp(std::floor((x - e0) * inv_step), 0.0, double(count));
        std::int64_t j = static_cast<std::int64_t>(guess);
        const auto past = [&](std::int64_t i) { return strict ? edge[i] > x : edge[i] >= x; };
        while (j > 0 && past(j - 1)) --j;
        while (j < count && !past(j)) ++j;
        return j;
    }
};

// What a row band [a.h, b.h] holds: the ellipse's part in it lies within
// x in [lo, hi]; where `full`, a pixel within [in_lo, in_hi] lies wholly
// inside (its four corners are inside both boundaries' chords, and the
// ellipse is convex).
struct Band {
    double lo, hi, in_lo, in_hi;
    bool full;
};

Band band_of(const ConicForm& c, const ConicLevel& a, const ConicLevel& b) {
    Band band;
    // the leftmost point (-w, -k w) and the rightmost (w, k w)
    band.lo = a.h <= -c.kw && -c.kw <= b.h ? -c.w : std::min(a.t1, b.t1);
    band.hi = a.h <= c.kw && c.kw <= b.h ? c.w : std::max(a.t2, b.t2);
    band.full = a.h > -c.H && b.h < c.H;
    band.in_lo = std::max(a.t1, b.t1);
    band.in_hi = std::min(a.t2, b.t2);
    return band;
}

// The two levels of a row band side by side, lane 0 the lower: area_left
// of both at once, lane by lane the same operations (so the same bits).
typedef double Pair __attribute__((vector_size(16)));

#if defined(__SSE2__)
// minpd (maxpd) x, y is x < y ? x : y (x > y ? x : y), lane by lane
inline Pair min_of(Pair a, Pair b) { return _mm_min_pd(b, a); }   // std::min, lane by lane
inline Pair max_of(Pair a, Pair b) { return _mm_max_pd(b, a); }   // std::max
#else
typedef long long Lanes __attribute__((vector_size(16)));   // a comparison's all-ones or zeros
// x where the lane is set, else y: by bits, as GCC and Clang both take it.
inline Pair pick(Lanes where, Pair x, Pair y) {
    return (Pair)(((Lanes)x & where) | ((Lanes)y & ~where));
}
inline Pair min_of(Pair a, Pair b) { return pick(b < a, b, a); }
inline Pair max_of(Pair a, Pair b) { return pick(a < b, b, a); }
#endif

struct LevelPair {
    Pair h, t1, t2, S1, S2, lf, rf;

    LevelPair(const ConicLevel& a, const ConicLevel& b)
        : h{a.h, b.h}, t1{a.t1, b.t1}, t2{a.t2, b.t2}, S1{a.S1, b.S1}, S2{a.S2, b.S2},
          lf{a.lf, b.lf}, rf{a.rf, b.rf} {}

    // G(b.h, u) - G(a.h, u): the band's area left of u, Su = S(u), each G
    // the chords left of t1, those between t1 and t2 (below h:
    // h - k t + s(t)) and those right of t2, each up to u.  S increases
    // with u, so S(min(u, t1)) is min(S(u), S(t1)) and so on (to an ulp
    // where rounding breaks the order), which needs no branch.
    double band_left(const ConicForm& c, double u, double Su) const {
        const Pair uu = {u, u}, SS = {Su, Su};
        const Pair mid = min_of(max_of(uu, t1), t2);
        const Pair S_mid = min_of(max_of(SS, S1), S2);
        const Pair g = lf * (min_of(SS, S1) + c.Sw) +
                       ((mid - t1) * (h - c.half_k * (mid + t1)) + (S_mid - S1)) +
                       rf * (max_of(SS, S2) - S2);
        return g[1] - g[0];
    }
};

// The pixels [p, q) of the row between levels a and b, which the boundary
// may cross: each its band's area between its column boundaries, over
// the pixel's area.
void crossed_run(const ConicForm& c, const LevelPair& band, const Columns& col, std::int64_t p,
                 std::int64_t q, double inv_area, double* row, bool hole) {
    double left = band.band_left(c, col.u[p], col.S[p]);
    for (std::int64_t j = p; j < q; ++j) {
        const double right = band.band_left(c, col.u[j + 1], col.S[j + 1]);
        const double f = std::min(std::max((right - left) * inv_area, 0.0), 1.0);
        row[j] = hole ? std::max(0.0, row[j] - f) : f;
        left = right;
    }
}

// One row of pixels between the levels a and b: 0 where the band's part of
// the ellipse misses them, 1 where they lie wholly inside, their areas
// between; with `hole`, the fractions already there lessened by those
// (pixels missed left as they are).  Its pixels of non-zero fraction lie
// within the columns [span[0], span[1]).
void fill_row(const ConicForm& c, const ConicLevel& a, const ConicLevel& b, const Columns& col,
              double inv_area, double* row, bool hole, std::int64_t* span) {
    const std::int64_t cols = col.count - 1;
    std::int64_t k0 = 0, k1 = 0;
    if (b.h > -c.H && a.h < c.H) {
        const Band band = band_of(c, a, b);
        k0 = std::max<std::int64_t>(0, col.first_past(band.lo, true) - 1);
        k1 = std::min(cols, col.first_past(band.hi, false));
        std::int64_t f0 = col.first_past(band.in_lo, false), f1 = col.first_past(band.in_hi, true) - 1;
        if (!band.full || f0 >= f1 || k0 >= k1) f0 = f1 = k1;
        f0 = std::max(f0, k0);
        f1 = std::max(f0, std::min(f1, k1));
        const LevelPair pair(a, b);
        crossed_run(c, pair, col, k0, f0, inv_area, row, hole);
        std::fill(row + f0, row + f1, hole ? 0.0 : 1.0);
        crossed_run(c, pair, col, f1, k1, inv_area, row, hole);
        k1 = std::max(k0, k1);
    }
    if (!hole) {
        std::fill(row, row + k0, 0.0);
        std::fill(row + k1, row + cols, 0.0);
    }
    if (span) {
        span[0] = k0;
        span[1] = k1;
    }
}

// The common part of both forms, and whether the rounding of its areas stays
// far below the exactness bound on pixels of sides px and py (and no square
// of its sizes or the pixel's leaves the normal range).
bool finish_form(ConicForm& f, double det, double px, double py) {
    f.kw = f.k * f.w;
    f.half_k = 0.5 * f.k;
    f.Sw = kQuarterPi * det;
    const double boundary = 4.0 * (f.w / px + f.H / py) + 4.0;
    return std::isnormal(f.w2 * f.w2) && std::isnormal(f.H * f.H * f.H * f.H) &&
           std::isnormal(det * det) && std::isnormal(px * py) && std::isnormal(1.0 / (px * py)) &&
           f.w <= kMostPixels * px && f.H <= kMostPixels * py &&
           boundary * (det + f.H * f.w) <= kMostRoundingWeight * det;
}

}  // namespace

// The angle is taken as atan(u / s), not asin(u / w): near u = +-w the
// rounding of u / w would be magnified by 1 / sqrt(1 - (u / w)^2) (a column
// boundary 1e-12 w inside the rim would cost 1e-10 w^2 of area), while
// atan's is at most half that of its argument, and s = sqrt((w - u)(w + u))
// is exact to an ulp or two there, w - u being exact.
double ConicForm::S(double u) const {
    if (u >= w) return Sw;
    if (u <= -w) return -Sw;
    const double s = std::sqrt((w - u) * (w + u));
    return half_beta * (u * s + w2 * std::atan(u / s));
}

bool disc_form(double cx, double cy, double r, double px, double py, ConicForm& f) {
    f.cx = cx;
    f.cy = cy;
    f.w = f.H = r;
    f.w2 = f.m00 = f.m11 = r * r;
    f.m01 = f.k = f.q = 0.0;
    f.rho = f.beta = 1.0;
    f.det = f.w2;
    f.half_beta = 0.5;
    f.round = true;
    return finish_form(f, f.w2, px, py) && r <= kMostPixels * std::min(px, py);
}

bool ellipse_form(double cx, double cy, double m00, double m01, double m11, double det,
                  double px, double py, bool mirror, ConicForm& f) {
    if (!(m00 > 0.0 && m11 > 0.0 && det > 0.0 && std::isfinite(m00 * m11))) return false;
    const double s01 = mirror ? -m01 : m01;
    f.cx = cx;
    f.cy = cy;
    f.m00 = m00;
    f.m01 = m01;
    f.m11 = m11;
    f.w = std::sqrt(m00);
    f.H = std::sqrt(m11);
    f.w2 = m00;
    f.k = s01 / m00;
    f.q = s01 / m11;
    f.rho = det / m11;
    f.beta = det / m00;
    f.half_beta = 0.5 * f.beta;
    f.det = det;
    f.round = false;
    return std::isfinite(f.k) && std::isfinite(f.q) && finish_form(f, det, px, py);
}

bool inside_form(const ConicForm& inner, const ConicForm& outer) {
    if (inner.round && outer.round)
        return std::hypot(inner.cx - outer.cx, inner.cy - outer.cy) + inner.w <= outer.w;
    if (inner.cx != outer.cx || inner.cy != outer.cy) return false;
    // about one centre, inner lies within outer where the support of outer
    // is the larger in every direction: M_out - M_in positive semidefinite
    const double d00 = outer.m00 - inner.m00, d01 = outer.m01 - inner.m01,
                 d11 = outer.m11 - inner.m11;
    return d00 >= 0.0 && d11 >= 0.0 && d00 * d11 >= d01 * d01;
}

void conic_fractions(const GridWindow& w, const ConicForm& c, double* out, std::int64_t stride,
                     ConicScratch& s, bool hole, std::int64_t* spans) {
    const GridMap& m = w.map;
    const std::int64_t cols = w.cols(), rows = w.rows();
    const auto n = static_cast<std::size_t>(cols + 1);
    s.edge.resize(n);
    s.u.resize(n);
    s.S.resize(n);
    s.levels.resize(static_cast<std::size_t>(rows + 1));
    // Column boundaries relative to the centre, ascending: a mirrored axis
    // is measured mirrored (the form's slopes were flipped to match), so
    // pixel j always spans [edge[j], edge[j + 1]].
    const double sx = m.m00 > 0.0 ? 1.0 : -1.0, sy = m.m11 > 0.0 ? 1.0 : -1.0;
    for (std::size_t j = 0; j < n; ++j) {
        s.edge[j] = sx * (m.m00 * (double(w.c0 + std::int64_t(j)) - 0.5) + (m.x0 - c.cx));
        s.u[j] = std::clamp(s.edge[j], -c.w, c.w);
        s.S[j] = c.S(s.u[j]);
    }
    const Columns col{s.edge.data(), s.u.data(), s.S.data(), cols + 1, s.edge[0],
                      1.0 / std::fabs(m.m00)};
    // every level first, one independent of another, then the rows, each
    // between its level and the next
    ConicLevel* level = s.levels.data();
    for (std::int64_t i = 0; i <= rows; ++i)
        level[i] = level_at(c, sy * (m.m11 * (double(w.r0 + i) - 0.5) + (m.y0 - c.cy)));
    const double inv_area = 1.0 / std::fabs(m.m00 * m.m11);
    for (std::int64_t i = 0; i < rows; ++i)
        fill_row(c, level[i], level[i + 1], col, inv_area, out + i * stride, hole,
                 spans ? spans + 2 * i : nullptr);
}

}  // namespace trovel
