// Exact coverage of pixel footprints by an edge line, a circle and a strut.
//
// A pixel is carried into the edge plane by its own 2x2 Jacobian, so its
// footprint there is a parallelogram.  Rather than clip that parallelogram,
// the kernel pulls the edge line back into the pixel grid, where the
// footprint is the unit square again, and reflects and transposes the square
// until the line is steep (within 45 degrees of the second axis) with a
// non-negative slope.  The area on one side is then one of four closed forms.
// The grouping of every sum and product below fixes the last bits of the
// results, so each formula is kept exactly as written.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "coverage.hpp"
#include "streaming.hpp"

namespace trovel {
namespace {

template <class T>
bool same_bits(const T& x, const T& y) {
    return std::memcmp(&x, &y, sizeof(T)) == 0;
}

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

Jacobian jacobian_of(const PixelArrays& p, std::size_t i) {
    return {p.j00[i], p.j01[i], p.j10[i], p.j11[i]};
}

// True when pixels [base, base + m) all have the Jacobian bits of `key`;
// one pass of integer operations that the compiler vectorises.
bool share_jacobian(const PixelArrays& p, std::size_t base, std::size_t m, const Jacobian& key) {
    const std::uint64_t k00 = bits_of(key.j00), k01 = bits_of(key.j01), k10 = bits_of(key.j10),
                        k11 = bits_of(key.j11);
    std::uint64_t diff = 0;
    for (std::size_t i = base; i < base + m; ++i) {
        diff |= (bits_of(p.j00[i]) ^ k00) | (bits_of(p.j01[i]) ^ k01) |
                (bits_of(p.j10[i]) ^ k10) | (bits_of(p.j11[i]) ^ k11);
    }
    return diff == 0;
}

// The coverage loops take the pixels in blocks of this many, and read all of
// a block's inputs before they write its results: so `out` may be one of the
// input arrays.
constexpr std::size_t kBlock = 64;
// What a quick test leaves for the kernel; no result of a quick test is
// negative.
constexpr double kUnsettled = -1.0;

// Where a coverage loop puts each block's results: outputs of
// kStreamingOutput elements or more with streaming stores, which also keep
// the inputs in the cache.

class BlockWriter {
public:
    BlockWriter(double* out, std::size_t n)
        : out_(out),
          stream_(TROVEL_STREAMING_STORES && n >= std::size_t(kStreamingOutput) &&
                  reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {}
    ~BlockWriter() { end_streaming(stream_); }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // The m results v of the block that starts at element `base`.
    void put(std::size_t base, const double* v, std::size_t m) {
        double* o = out_ + base;
#if TROVEL_STREAMING_STORES
        if (stream_ && m == kBlock) {
            for (std::size_t k = 0; k < kBlock; k += 2) _mm_stream_pd(o + k, _mm_loadu_pd(v + k));
            return;
        }
#endif
        std::memcpy(o, v, m * sizeof(double));
    }

private:
    double* out_;
    bool stream_;
};

// True when a quick test left any of the m values unsettled: the only
// negative one they give.
bool any_unsettled(const double* v, std::size_t m) {
    std::uint64_t sign = 0;
    for (std::size_t k = 0; k < m; ++k) sign |= bits_of(v[k]) >> 63;
    return sign != 0;
}

// The loop of every coverage, in blocks of pixels.  `Coverage` says what it derives from a
// pixel's key (the Jacobian, and for one edge per pixel the edge's direction
// too), the value of one pixel from that, and optionally two tests that
// settle many pixels at once:
// - `kHasBlockFilter`: `block_filter(base, m, v)` fills v with 0 or
//   kUnsettled from the footprint centres alone, and pixels it settles are
//   never handed to the kernel;
// - `kHasQuickTests`: `quick_tests(base, m, derived, v)` fills v for a block
//   whose pixels all share one Jacobian, kUnsettled where the kernel must
//   decide.
// Whatever is derived from a key is a function of its bits, so reusing it
// changes no result.  The coverage is taken by value: a copy that no store
// to `out` can change stays in registers through the loop.
template <class Coverage>
void cover_in_blocks(const Coverage coverage, double* out) {
    const PixelArrays& p = coverage.p;
    if (p.n == 0) return;
    auto key = coverage.key(0);
    auto derived = coverage.derive(key);
    // Without tests over a block each value depends on its own pixel alone,
    // read before the value is written, so it goes straight to `out`.
    if constexpr (!Coverage::kHasBlockFilter && !Coverage::kHasQuickTests) {
        for (std::size_t i = 0; i < p.n; ++i) {
            const auto pixel_key = coverage.key(i);
            if (!same_bits(pixel_key, key)) {
                key = pixel_key;
                derived = coverage.derive(key);
            }
            out[i] = coverage.value(i, key, derived);
        }
        return;
    }
    BlockWriter writer(out, p.n);
    double v[kBlock];
    for (std::size_t base = 0; base < p.n; base += kBlock) {
        const std::size_t m = std::min(kBlock, p.n - base);
        if constexpr (Coverage::kHasBlockFilter) {
            coverage.block_filter(base, m, v);
            if (!any_unsettled(v, m)) {
                writer.put(base, v, m);
                continue;
            }
        }
        if constexpr (Coverage::kHasQuickTests) {
            if (!same_bits(jacobian_of(p, base), key)) {
                key = jacobian_of(p, base);
                derived = coverage.derive(key);
            }
            if (share_jacobian(p, base, m, key)) {
                coverage.quick_tests(base, m, derived, v);
                const bool unsettled = any_unsettled(v, m);
                for (std::size_t k = 0; unsettled && k < m; ++k) {
                    if (v[k] == kUnsettled) v[k] = coverage.value(base + k, key, derived);
                }
                writer.put(base, v, m);
                continue;
            }
        }
        for (std::size_t k = 0; k < m; ++k) {
            if constexpr (Coverage::kHasBlockFilter) {
                if (v[k] != kUnsettled) continue;
            }
            const std::size_t i = base + k;
            const auto pixel_key = coverage.key(i);
            if (!same_bits(pixel_key, key)) {
                key = pixel_key;
                derived = coverage.derive(key);
            }
            v[k] = coverage.value(i, key, derived);
        }
        writer.put(base, v, m);
    }
}

// A corner triangle cut off by the line below has legs of at most A / B and
// 1, so its area is at most A / (2B).  When the line is within a rounding
// error of a side, F and G below carry errors far larger than A / B, and the
// factor B / A in the triangle formulas blows them up, to infinity for a
// subnormal A.  A term above A / B can only come from there; the triangle is
// then thinner than the rounding of F and G and counts as empty.
double corner_triangle(double term, double A, double B) { return term > A / B ? 0.0 : term; }

// Area of the unit square (mu, nu) in [-0.5, 0.5]^2 left of (at smaller mu
// than) the line mu = P + (nu - Q) * A / B, for 0 <= A <= B.
double area_left_of_steep_line(double P, double Q, double A, double B) {
    // The line's crossings with the bottom and top sides, from the left side;
    // G - F = A / B lies in [0, 1].
    const double F = ((-0.5 - Q) * A) / B + P + 0.5;
    const double G = ((0.5 - Q) * A) / B + P + 0.5;
    if (F > 1.0) return 1.0;
    if (G >= 1.0) {
        // The square less the triangle cut off at the bottom-right corner.
        // At F == 1 that triangle is empty; a line parallel to the sides
        // (A == 0) would otherwise give infinity times zero.
        if (F == 1.0) return 1.0;
        return 1.0 - corner_triangle(((0.5 * B) / A) * (1.0 - F) * (1.0 - F), A, B);
    }
    if (F > 0.0) return (G + F) * 0.5;                 // trapezoid
    if (G > 0.0) return corner_triangle(G * (((B * 0.5) / A) * G), A, B);  // top-left corner
    return 0.0;
}

// Length of the normal (U, V), whose direction alone counts.  Components
// below about 1e-162 or above about 1e154 square to zero or infinity, which
// would make a normal look zero or endlessly long; such a normal is first
// scaled by a power of two, exactly, so that its larger component lies in
// [1, 2).  Normals whose squares stay in range are left as they are.
double normal_length(double& U, double& V) {
    const double N = std::sqrt(U * U + V * V);
    if (N != 0.0 && !std::isinf(N)) return N;
    const double m = std::fmax(std::fabs(U), std::fabs(V));
    if (m == 0.0 || std::isinf(m)) return N;
    const int e = std::ilogb(m);
    U = std::scalbn(U, -e);
    V = std::scalbn(V, -e);
    return std::sqrt(U * U + V * V);
}

}  // namespace

// The largest singular value of the Jacobian: every point of the footprint
// lies within this times sqrt(2)/2 of its centre.
double footprint_radius(const Jacobian& J) {
    const double s = J.j00 + J.j11;
    const double r = J.j01 - J.j10;
    const double d = J.j00 - J.j11;
    const double p = J.j01 + J.j10;
    return (std::sqrt(s * s + r * r) + std::sqrt(d * d + p * p)) * 0.5;
}

EdgeFrame edge_frame(const Direction& e, const Jacobian& J) {
    EdgeFrame f;
    // The side value changes by V*t - U*s for a grid step (s, t).
    double U = e.dy * J.j00 - e.dx * J.j10;
    double V = e.dx * J.j11 - e.dy * J.j01;
    const double N = normal_length(U, V);
    f.no_side = N == 0.0;
    f.u = U / N;
    f.v = V / N;
    // Each entry of the inverse by its own division.
    const double det = J.j00 * J.j11 - J.j01 * J.j10;
    f.i00 = J.j11 / det;
    f.i01 = -J.j01 / det;
    f.i10 = -J.j10 / det;
    f.i11 = J.j00 / det;
    return f;
}

// pixel_frac_1 for an edge through `point` and a pixel whose frame is known.
double pixel_frac_in_frame(const EdgeFrame& f, const Point& point, const PixelPlace& pixel) {
    if (f.no_side) return 0.0;  // no direction, no side
    const double px = pixel.grid.x;
    const double py = pixel.grid.y;
    const double dx = point.x - pixel.centre.x;
    const double dy = point.y - pixel.centre.y;
    double u = f.u;
    double v = f.v;

    // The edge point in the pixel grid, relative to the pixel centre.  Taking
    // it to the pixel's grid position and back rounds it as the grid does.
    double X = f.i00 * dx + f.i01 * dy;
    double Y = f.i10 * dx + f.i11 * dy;
    X = (px + X) - px;
    Y = (py + Y) - py;

    // Reflections and the transposition keep the square; each one swaps
    // which side of the reduced line is measured.
    int changes = 0;
    if (v < 0.0) {
        v = -v;
        X = -X;
        ++changes;
    }
    if (u < 0.0) {
        u = -u;
        Y = -Y;
        ++changes;
    }
    double g;
    if (u > v) {
        g = area_left_of_steep_line(X, Y, v, u);
    } else {
        g = area_left_of_steep_line(Y, X, u, v);
        ++changes;
    }
    return changes % 2 == 1 ? g : 1.0 - g;
}

// Fraction of the footprint of one pixel on the right of the edge line,
// where its side value is negative.
double pixel_frac_1(const EdgeLine& edge, const PixelPlace& pixel, const Jacobian& J) {
    return pixel_frac_in_frame(edge_frame(edge.direction, J), edge.point, pixel);
}

// Fraction of the footprint inside the circle, for a footprint of radius
// rho: the circle's edge is taken as its tangent at the point nearest to the
// footprint centre.
double enclosed_circle_with_radius(double rho, const Circle& c, const PixelPlace& pixel,
                                   const Jacobian& J) {
    const double r = c.radius;
    const double dx = pixel.centre.x - c.centre.x;
    const double dy = pixel.centre.y - c.centre.y;
    const double d2 = dx * dx + dy * dy;
    if ((r - rho) * (r - rho) > d2) return 1.0;
    if (d2 > (rho + r) * (rho + r)) return 0.0;
    const double D = std::sqrt(d2);
    // Only r == rho with the footprint centre on the circle's centre gets
    // here: no tangent direction, but the whole footprint lies within
    // rho * sqrt(2)/2 < r of the centre.
    if (D == 0.0) return 1.0;
    const Point touch{(dx * r) / D + c.centre.x, (dy * r) / D + c.centre.y};
    // Direction clockwise about the centre, so the circle is on its right.
    const EdgeLine tangent{touch, {dy / D, (-dx) / D}};
    return pixel_frac_1(tangent, pixel, J);
}

// Fraction of the footprint, of radius rho and with its centre inside the
// disc, that lies right of edge 1 and left of edge 2.
double enclosed_strut_with_radius(const Strut& s, double rho, const PixelPlace& pixel,
                                  const Jacobian& J) {
    const double L1 = side_value(s.edge1, pixel.centre);
    const double L2 = side_value(s.edge2, pixel.centre);
    if (2.0 * rho > std::fabs(L1) || 2.0 * rho > std::fabs(L2)) {
        return pixel_frac_1(s.edge1, pixel, J) - pixel_frac_1(s.edge2, pixel, J);
    }
    return L1 * L2 < 0.0 ? 1.0 : 0.0;
}

namespace {

PixelPlace place_of(const PixelArrays& p, std::size_t i) {
    return {{p.px[i], p.py[i]}, {p.qx[i], p.qy[i]}};
}

// The quick tests of enclosed_circle_with_radius for m pixels that share
// the footprint radius rho, in a form the compiler vectorises: 1 or 0 where
// they settle the pixel, kUnsettled where the kernel must decide.
void circle_quick_tests(const double* QX, const double* QY, const Circle& c, double rho,
                        std::size_t m, double* v) {
    const double r = c.radius;
    const double inner = (r - rho) * (r - rho);
    const double outer = (rho + r) * (rho + r);
    for (std::size_t k = 0; k < m; ++k) {
        const double dx = QX[k] - c.centre.x;
        const double dy = QY[k] - c.centre.y;
        const double d2 = dx * dx + dy * dy;
        v[k] = inner > d2 ? 1.0 : d2 > outer ? 0.0 : kUnsettled;
    }
}

// The disc test alone for m pixels: 0 outside the disc, kUnsettled inside.
void strut_disc_tests(const StrutDisc& disc, const double* QX, const double* QY, std::size_t m,
                      double* v) {
    for (std::size_t k = 0; k < m; ++k) v[k] = disc.outside(QX[k], QY[k]) ? 0.0 : kUnsettled;
}

// The disc test and the quick tests of enclosed_strut_with_radius for m
// pixels that share the footprint radius rho, vectorised as for the circle.
void strut_quick_tests(const Strut& s, const StrutDisc& disc, const double* QX, const double* QY,
                       double rho, std::size_t m, double* v) {
    const double reach = 2.0 * rho;
    for (std::size_t k = 0; k < m; ++k) {
        const Point q{QX[k], QY[k]};
        const double L1 = side_value(s.edge1, q);
        const double L2 = side_value(s.edge2, q);
        // The tests as selects, last one first, which the compiler turns
        // into masks.
        double f = L1 * L2 < 0.0 ? 1.0 : 0.0;
        f = reach > std::fabs(L2) ? kUnsettled : f;
        f = reach > std::fabs(L1) ? kUnsettled : f;
        v[k] = disc.outside(q.x, q.y) ? 0.0 : f;
    }
}

// The four coverages as cover_in_blocks takes them.

// Most reuse what they derive from the Jacobian alone.
struct KeyedByJacobian {
    PixelArrays p;

    Jacobian key(std::size_t i) const { return jacobian_of(p, i); }
};

struct SharedEdgeCoverage : KeyedByJacobian {
    static constexpr bool kHasBlockFilter = false;
    static constexpr bool kHasQuickTests = false;
    EdgeLine edge;

    EdgeFrame derive(const Jacobian& J) const { return edge_frame(edge.direction, J); }
    double value(std::size_t i, const Jacobian&, const EdgeFrame& frame) const {
        return pixel_frac_in_frame(frame, edge.point, place_of(p, i));
    }
};

// The direction and the Jacobian of one pixel of the per-pixel-edge form:
// its frame is reused while these bits repeat.
struct DirectionAndJacobian {
    Direction direction;
    Jacobian J;
};

struct PerPixelEdgeCoverage {
    static constexpr bool kHasBlockFilter = false;
    static constexpr bool kHasQuickTests = false;
    PixelArrays p;
    EdgeLineArrays edges;

    DirectionAndJacobian key(std::size_t i) const {
        return {{edges.dx[i], edges.dy[i]}, jacobian_of(p, i)};
    }
    EdgeFrame derive(const DirectionAndJacobian& key) const {
        return edge_frame(key.direction, key.J);
    }
    double value(std::size_t i, const DirectionAndJacobian&, const EdgeFrame& frame) const {
        return pixel_frac_in_frame(frame, {edges.x[i], edges.y[i]}, place_of(p, i));
    }
};

// The circle and the strut settle most pixels by quick tests on the
// footprint radius.
struct KeyedByFootprintRadius : KeyedByJacobian {
    static constexpr bool kHasQuickTests = true;

    double derive(const Jacobian& J) const { return footprint_radius(J); }
};

struct CircleCoverage : KeyedByFootprintRadius {
    static constexpr bool kHasBlockFilter = false;
    Circle circle;

    void quick_tests(std::size_t base, std::size_t m, double rho, double* v) const {
        circle_quick_tests(p.qx + base, p.qy + base, circle, rho, m, v);
    }
    double value(std::size_t i, const Jacobian& J, double rho) const {
        return enclosed_circle_with_radius(rho, circle, place_of(p, i), J);
    }
};

struct StrutCoverage : KeyedByFootprintRadius {
    static constexpr bool kHasBlockFilter = true;
    Strut strut;
    StrutDisc disc;

    // A block wholly outside the disc needs nothing but the centres.
    void block_filter(std::size_t base, std::size_t m, double* v) const {
        strut_disc_tests(disc, p.qx + base, p.qy + base, m, v);
    }
    void quick_tests(std::size_t base, std::size_t m, double rho, double* v) const {
        strut_quick_tests(strut, disc, p.qx + base, p.qy + base, rho, m, v);
    }
    double value(std::size_t i, const Jacobian& J, double rho) const {
        return enclosed_strut_with_radius(strut, rho, place_of(p, i), J);
    }
};

}  // namespace

void pixel_frac(const EdgeLine& edge, const PixelArrays& pixels, double* out) {
    cover_in_blocks(SharedEdgeCoverage{{pixels}, edge}, out);
}

void pixel_frac(const EdgeLineArrays& edges, const PixelArrays& pixels, double* out) {
    cover_in_blocks(PerPixelEdgeCoverage{pixels, edges}, out);
}

void enclosed_circle(const PixelArrays& pixels, const Circle& circle, double* out) {
    cover_in_blocks(CircleCoverage{{{pixels}}, circle}, out);
}

void enclosed_strut(const PixelArrays& pixels, const Strut& strut, double* out) {
    cover_in_blocks(StrutCoverage{{{pixels}}, strut, StrutDisc(strut)}, out);
}

}  // namespace trovel
