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
#include <cstdint>
#include <cstring>

// Streaming stores where the machine has them (x86 with SSE2) unless the
// build asks for the portable path (TROVEL_PORTABLE); both store the same bits.
#if defined(__SSE2__) && !defined(TROVEL_PORTABLE)
#define TROVEL_STREAMING_STORES 1
#include <emmintrin.h>
#else
#define TROVEL_STREAMING_STORES 0
#endif

#include "trovel.hpp"

namespace trovel {
namespace {

const double* f64_array(address a) { return reinterpret_cast<const double*>(a); }

// One pixel's Jacobian.  Whatever is computed from the Jacobian alone comes
// out the same for the same bits, and on a grid long runs of pixels share
// their Jacobian; so the loops below keep what they derived from the last
// Jacobian and reuse it while the bits do not change.
struct Jacobian {
    double j00, j01, j10, j11;
};

bool same_bits(const Jacobian& x, const Jacobian& y) {
    return std::memcmp(&x, &y, sizeof(Jacobian)) == 0;
}

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The per-pixel input arrays of the coverage functions.
struct PixelArrays {
    const double *px, *py, *qx, *qy, *j00, *j01, *j10, *j11;

    Jacobian jacobian(address i) const { return {j00[i], j01[i], j10[i], j11[i]}; }

    // True when pixels [base, base + m) all have the Jacobian bits of `key`;
    // one pass of integer operations that the compiler vectorises.
    bool share_jacobian(address base, address m, const Jacobian& key) const {
        const std::uint64_t k00 = bits_of(key.j00), k01 = bits_of(key.j01),
                            k10 = bits_of(key.j10), k11 = bits_of(key.j11);
        std::uint64_t diff = 0;
        for (address i = base; i < base + m; ++i) {
            diff |= (bits_of(j00[i]) ^ k00) | (bits_of(j01[i]) ^ k01) |
                    (bits_of(j10[i]) ^ k10) | (bits_of(j11[i]) ^ k11);
        }
        return diff == 0;
    }
};

// The coverage loops take the pixels in blocks of this many, and read all of
// a block's inputs before they write its results: so `out` may be one of the
// input arrays.
constexpr address kBlock = 64;
// What a quick test leaves for the kernel; no result of a quick test is
// negative.
constexpr double kUnsettled = -1.0;

// Where a coverage loop puts each block's results.  Outputs of this many
// elements or more go to memory with streaming stores, which spare reading
// the old contents of `out` into the cache first and keep the inputs there;
// smaller ones stay in the cache for the caller.
constexpr address kStreamingOutput = address(1) << 20;

class BlockWriter {
public:
    BlockWriter(double* out, address n)
        : out_(out),
          stream_(TROVEL_STREAMING_STORES && n >= kStreamingOutput &&
                  reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {}
    ~BlockWriter() {
#if TROVEL_STREAMING_STORES
        if (stream_) _mm_sfence();
#endif
    }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // The m results v of the block that starts at element `base`.
    void put(address base, const double* v, address m) {
        double* o = out_ + base;
#if TROVEL_STREAMING_STORES
        if (stream_ && m == kBlock) {
            for (address k = 0; k < kBlock; k += 2) _mm_stream_pd(o + k, _mm_loadu_pd(v + k));
            return;
        }
#endif
        std::memcpy(o, v, m * sizeof(double));
    }

private:
    double* out_;
    bool stream_;
};

// The largest singular value of the Jacobian: every point of the footprint
// lies within this times sqrt(2)/2 of its centre.
double footprint_radius(double j00, double j01, double j10, double j11) {
    const double s = j00 + j11;
    const double r = j01 - j10;
    const double d = j00 - j11;
    const double p = j01 + j10;
    return (std::sqrt(s * s + r * r) + std::sqrt(d * d + p * p)) * 0.5;
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

// What the kernel derives from the edge's pair (a, b) and the pixel's
// Jacobian alone, before it looks at any position.
struct EdgeFrame {
    double u, v;                // the edge's unit normal in the pixel grid
    bool no_side;               // a zero normal: the pair has no direction
    double i00, i01, i10, i11;  // the inverse Jacobian
};

EdgeFrame edge_frame(double a, double b, double j00, double j01, double j10, double j11) {
    EdgeFrame f;
    // The side value changes by V*t - U*s for a grid step (s, t).
    double U = a * j00 - b * j10;
    double V = b * j11 - a * j01;
    const double N = normal_length(U, V);
    f.no_side = N == 0.0;
    f.u = U / N;
    f.v = V / N;
    // Each entry of the inverse by its own division.
    const double det = j00 * j11 - j01 * j10;
    f.i00 = j11 / det;
    f.i01 = -j01 / det;
    f.i10 = -j10 / det;
    f.i11 = j00 / det;
    return f;
}

// pixel_frac_1 for an edge and a pixel whose frame is known.
double pixel_frac_in_frame(const EdgeFrame& f, double x0, double y0, double qx, double qy,
                           double px, double py) {
    if (f.no_side) return 0.0;  // no direction, no side
    const double dx = x0 - qx;
    const double dy = y0 - qy;
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

// Fraction of the footprint of one pixel on the right of the edge line
// through (x0, y0) with direction (b, a), where b*(y - y0) - a*(x - x0) < 0.
double pixel_frac_1(double x0, double y0, double a, double b, double qx, double qy, double px,
                    double py, double j00, double j01, double j10, double j11) {
    return pixel_frac_in_frame(edge_frame(a, b, j00, j01, j10, j11), x0, y0, qx, qy, px, py);
}

// Fraction of the footprint inside the circle, for a footprint of radius
// rho: the circle's edge is taken as its tangent at the point nearest to the
// footprint centre.
double enclosed_circle_with_radius(double rho, double px, double py, double qx, double qy,
                                   double cx, double cy, double r, double j00, double j01,
                                   double j10, double j11) {
    const double dx = qx - cx;
    const double dy = qy - cy;
    const double d2 = dx * dx + dy * dy;
    if ((r - rho) * (r - rho) > d2) return 1.0;
    if (d2 > (rho + r) * (rho + r)) return 0.0;
    const double D = std::sqrt(d2);
    // Only r == rho with the footprint centre on the circle's centre gets
    // here: no tangent direction, but the whole footprint lies within
    // rho * sqrt(2)/2 < r of the centre.
    if (D == 0.0) return 1.0;
    const double tx = (dx * r) / D + cx;
    const double ty = (dy * r) / D + cy;
    // Direction clockwise about the centre, so the circle is on its right.
    return pixel_frac_1(tx, ty, (-dx) / D, dy / D, qx, qy, px, py, j00, j01, j10, j11);
}

// Fraction of the footprint of one pixel inside the circle.  The array form
// below gives the same for each pixel; it keeps the footprint radius.
[[maybe_unused]] double enclosed_circle_1(double px, double py, double qx, double qy,
                                          double cx, double cy, double r, double j00, double j01,
                                          double j10, double j11) {
    const double rho = footprint_radius(j00, j01, j10, j11);
    return enclosed_circle_with_radius(rho, px, py, qx, qy, cx, cy, r, j00, j01, j10, j11);
}

// The quick tests of enclosed_circle_with_radius for m pixels that share
// the footprint radius rho, in a form the compiler vectorises: 1 or 0 where
// they settle the pixel, kUnsettled where the kernel must decide.
void circle_quick_tests(const double* QX, const double* QY, double cx, double cy, double r,
                        double rho, address m, double* v) {
    const double inner = (r - rho) * (r - rho);
    const double outer = (rho + r) * (rho + r);
    for (address i = 0; i < m; ++i) {
        const double dx = QX[i] - cx;
        const double dy = QY[i] - cy;
        const double d2 = dx * dx + dy * dy;
        v[i] = inner > d2 ? 1.0 : d2 > outer ? 0.0 : kUnsettled;
    }
}

// True when a quick test left any of the m values unsettled: the only
// negative one they give.
bool any_unsettled(const double* v, address m) {
    std::uint64_t sign = 0;
    for (address i = 0; i < m; ++i) sign |= bits_of(v[i]) >> 63;
    return sign != 0;
}

// The strut's parameters, as the per-pixel routines take them.
struct StrutEdges {
    double length, x1, y1, a1, b1, x2, y2, a2, b2;
};

// The disc test: only footprint centres within the disc of diameter
// `length` about the midpoint of the two edge points count.
struct StrutDisc {
    double mx, my, half;

    explicit StrutDisc(const StrutEdges& s)
        : mx((s.x2 + s.x1) * 0.5), my((s.y2 + s.y1) * 0.5), half(0.5 * s.length) {}

    bool outside(double qx, double qy) const {
        return (qx - mx) * (qx - mx) + (qy - my) * (qy - my) >= half * half;
    }
};

// Fraction of the footprint, of radius rho and with its centre inside the
// disc, that lies right of edge 1 and left of edge 2.
double enclosed_strut_with_radius(const StrutEdges& s, double rho, double px, double py,
                                  double qx, double qy, double j00, double j01, double j10,
                                  double j11) {
    const double L1 = (qy - s.y1) * s.b1 - (qx - s.x1) * s.a1;
    const double L2 = (qy - s.y2) * s.b2 - (qx - s.x2) * s.a2;
    if (2.0 * rho > std::fabs(L1) || 2.0 * rho > std::fabs(L2)) {
        const double right_of_1 =
            pixel_frac_1(s.x1, s.y1, s.a1, s.b1, qx, qy, px, py, j00, j01, j10, j11);
        const double right_of_2 =
            pixel_frac_1(s.x2, s.y2, s.a2, s.b2, qx, qy, px, py, j00, j01, j10, j11);
        return right_of_1 - right_of_2;
    }
    return L1 * L2 < 0.0 ? 1.0 : 0.0;
}

// The disc test alone for m pixels: 0 outside the disc, kUnsettled inside.
void strut_disc_tests(const StrutDisc& disc, const double* QX, const double* QY, address m,
                      double* v) {
    for (address i = 0; i < m; ++i) v[i] = disc.outside(QX[i], QY[i]) ? 0.0 : kUnsettled;
}

// The disc test and the quick tests of enclosed_strut_with_radius for m
// pixels that share the footprint radius rho, vectorised as for the circle.
void strut_quick_tests(const StrutEdges& s, const StrutDisc& disc, const double* QX,
                       const double* QY, double rho, address m, double* v) {
    const double reach = 2.0 * rho;
    for (address i = 0; i < m; ++i) {
        const double qx = QX[i];
        const double qy = QY[i];
        const double L1 = (qy - s.y1) * s.b1 - (qx - s.x1) * s.a1;
        const double L2 = (qy - s.y2) * s.b2 - (qx - s.x2) * s.a2;
        // The tests as selects, last one first, which the compiler turns
        // into masks.
        double f = L1 * L2 < 0.0 ? 1.0 : 0.0;
        f = reach > std::fabs(L2) ? kUnsettled : f;
        f = reach > std::fabs(L1) ? kUnsettled : f;
        v[i] = disc.outside(qx, qy) ? 0.0 : f;
    }
}

// Fraction of the footprint of one pixel inside the strut.  The array form
// below gives the same for each pixel; it keeps the footprint radius.
[[maybe_unused]] double enclosed_strut_1(double px, double py, double qx, double qy,
                                         double length, double x1, double y1, double a1,
                                         double b1, double x2, double y2, double a2, double b2,
                                         double j00, double j01, double j10, double j11) {
    const StrutEdges s{length, x1, y1, a1, b1, x2, y2, a2, b2};
    if (StrutDisc(s).outside(qx, qy)) return 0.0;
    const double rho = footprint_radius(j00, j01, j10, j11);
    return enclosed_strut_with_radius(s, rho, px, py, qx, qy, j00, j01, j10, j11);
}

}  // namespace

// Each output element is computed from the inputs of its own index, all read
// before it is written, so `out` may be one of the input arrays.

void pixel_frac(double x0, double y0, double a, double b, address qx, address qy, address px,
                address py, address j00, address j01, address j10, address j11, address out,
                address n) {
    const PixelArrays p{f64_array(px),  f64_array(py),  f64_array(qx),  f64_array(qy),
                        f64_array(j00), f64_array(j01), f64_array(j10), f64_array(j11)};
    double* OUT = reinterpret_cast<double*>(out);
    if (n == 0) return;
    // pixel_frac_1 for each pixel, with the frame reused while the Jacobian
    // bits repeat.
    Jacobian key = p.jacobian(0);
    EdgeFrame frame = edge_frame(a, b, key.j00, key.j01, key.j10, key.j11);
    for (address i = 0; i < n; ++i) {
        const Jacobian J = p.jacobian(i);
        if (!same_bits(J, key)) {
            key = J;
            frame = edge_frame(a, b, J.j00, J.j01, J.j10, J.j11);
        }
        const double f = pixel_frac_in_frame(frame, x0, y0, p.qx[i], p.qy[i], p.px[i], p.py[i]);
        OUT[i] = f;
    }
}

// The pair and the Jacobian of one pixel of the per-pixel-edge form: its
// frame is reused while these bits repeat.
struct PairAndJacobian {
    double a, b;
    Jacobian J;
};

void pixel_frac(address x0, address y0, address a, address b, address qx, address qy, address px,
                address py, address j00, address j01, address j10, address j11, address out,
                address n) {
    const double *X0 = f64_array(x0), *Y0 = f64_array(y0), *A = f64_array(a), *B = f64_array(b);
    const PixelArrays p{f64_array(px),  f64_array(py),  f64_array(qx),  f64_array(qy),
                        f64_array(j00), f64_array(j01), f64_array(j10), f64_array(j11)};
    double* OUT = reinterpret_cast<double*>(out);
    if (n == 0) return;
    PairAndJacobian key{A[0], B[0], p.jacobian(0)};
    EdgeFrame frame = edge_frame(key.a, key.b, key.J.j00, key.J.j01, key.J.j10, key.J.j11);
    for (address i = 0; i < n; ++i) {
        const PairAndJacobian e{A[i], B[i], p.jacobian(i)};
        if (std::memcmp(&e, &key, sizeof e) != 0) {
            key = e;
            frame = edge_frame(e.a, e.b, e.J.j00, e.J.j01, e.J.j10, e.J.j11);
        }
        const double f =
            pixel_frac_in_frame(frame, X0[i], Y0[i], p.qx[i], p.qy[i], p.px[i], p.py[i]);
        OUT[i] = f;
    }
}

void enclosed_circle(address px, address py, address qx, address qy, double cx, double cy,
                     double r, address j00, address j01, address j10, address j11, address out,
                     address n) {
    const PixelArrays p{f64_array(px),  f64_array(py),  f64_array(qx),  f64_array(qy),
                        f64_array(j00), f64_array(j01), f64_array(j10), f64_array(j11)};
    if (n == 0) return;
    BlockWriter writer(reinterpret_cast<double*>(out), n);
    // enclosed_circle_1 for each pixel, with its footprint radius reused.
    Jacobian key = p.jacobian(0);
    double rho = footprint_radius(key.j00, key.j01, key.j10, key.j11);
    double v[kBlock];
    for (address base = 0; base < n; base += kBlock) {
        const address m = std::min(kBlock, n - base);
        if (!same_bits(p.jacobian(base), key)) {
            key = p.jacobian(base);
            rho = footprint_radius(key.j00, key.j01, key.j10, key.j11);
        }
        if (p.share_jacobian(base, m, key)) {
            circle_quick_tests(p.qx + base, p.qy + base, cx, cy, r, rho, m, v);
            const bool edge = any_unsettled(v, m);
            for (address k = 0; edge && k < m; ++k) {
                if (v[k] != kUnsettled) continue;
                const address i = base + k;
                v[k] = enclosed_circle_with_radius(rho, p.px[i], p.py[i], p.qx[i], p.qy[i], cx, cy,
                                                   r, key.j00, key.j01, key.j10, key.j11);
            }
        } else {
            for (address k = 0; k < m; ++k) {
                const address i = base + k;
                const Jacobian J = p.jacobian(i);
                if (!same_bits(J, key)) {
                    key = J;
                    rho = footprint_radius(J.j00, J.j01, J.j10, J.j11);
                }
                v[k] = enclosed_circle_with_radius(rho, p.px[i], p.py[i], p.qx[i], p.qy[i], cx, cy,
                                                   r, J.j00, J.j01, J.j10, J.j11);
            }
        }
        writer.put(base, v, m);
    }
}

void enclosed_strut(address px, address py, address qx, address qy, double length, double x1,
                    double y1, double a1, double b1, double x2, double y2, double a2, double b2,
                    address j00, address j01, address j10, address j11, address out, address n) {
    const PixelArrays p{f64_array(px),  f64_array(py),  f64_array(qx),  f64_array(qy),
                        f64_array(j00), f64_array(j01), f64_array(j10), f64_array(j11)};
    if (n == 0) return;
    BlockWriter writer(reinterpret_cast<double*>(out), n);
    const StrutEdges s{length, x1, y1, a1, b1, x2, y2, a2, b2};
    const StrutDisc disc(s);
    // enclosed_strut_1 for each pixel, with its footprint radius reused.
    Jacobian key = p.jacobian(0);
    double rho = footprint_radius(key.j00, key.j01, key.j10, key.j11);
    double v[kBlock];
    for (address base = 0; base < n; base += kBlock) {
        const address m = std::min(kBlock, n - base);
        // A block wholly outside the disc needs nothing but the centres.
        strut_disc_tests(disc, p.qx + base, p.qy + base, m, v);
        if (!any_unsettled(v, m)) {
            writer.put(base, v, m);
            continue;
        }
        if (!same_bits(p.jacobian(base), key)) {
            key = p.jacobian(base);
            rho = footprint_radius(key.j00, key.j01, key.j10, key.j11);
        }
        if (p.share_jacobian(base, m, key)) {
            strut_quick_tests(s, disc, p.qx + base, p.qy + base, rho, m, v);
            const bool edge = any_unsettled(v, m);
            for (address k = 0; edge && k < m; ++k) {
                if (v[k] != kUnsettled) continue;
                const address i = base + k;
                v[k] = enclosed_strut_with_radius(s, rho, p.px[i], p.py[i], p.qx[i], p.qy[i],
                                                  key.j00, key.j01, key.j10, key.j11);
            }
        } else {
            for (address k = 0; k < m; ++k) {
                const address i = base + k;
                if (v[k] == 0.0) continue;  // outside the disc
                const Jacobian J = p.jacobian(i);
                if (!same_bits(J, key)) {
                    key = J;
                    rho = footprint_radius(J.j00, J.j01, J.j10, J.j11);
                }
                v[k] = enclosed_strut_with_radius(s, rho, p.px[i], p.py[i], p.qx[i], p.qy[i],
                                                  J.j00, J.j01, J.j10, J.j11);
            }
        }
        writer.put(base, v, m);
    }
}

}  // namespace trovel
