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
#include <cmath>

#include "trovel.hpp"

namespace trovel {
namespace {

const double* f64_array(address a) { return reinterpret_cast<const double*>(a); }

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

// Fraction of the footprint of one pixel on the right of the edge line
// through (x0, y0) with direction (b, a), where b*(y - y0) - a*(x - x0) < 0.
double pixel_frac_1(double x0, double y0, double a, double b, double qx, double qy, double px,
                    double py, double j00, double j01, double j10, double j11) {
    const double dx = x0 - qx;
    const double dy = y0 - qy;

    // The side value changes by V*t - U*s for a grid step (s, t).
    double U = a * j00 - b * j10;
    double V = b * j11 - a * j01;
    const double N = normal_length(U, V);
    if (N == 0.0) return 0.0;  // no direction, no side
    double u = U / N;
    double v = V / N;

    // The edge point in the pixel grid, relative to the pixel centre.  Taking
    // it to the pixel's grid position and back rounds it as the grid does.
    const double det = j00 * j11 - j01 * j10;
    double X = (j11 / det) * dx + (-j01 / det) * dy;
    double Y = (-j10 / det) * dx + (j00 / det) * dy;
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

// Fraction of the footprint inside the circle, the circle's edge taken as
// its tangent at the point nearest to the footprint centre.
double enclosed_circle_1(double px, double py, double qx, double qy, double cx, double cy,
                         double r, double j00, double j01, double j10, double j11) {
    const double rho = footprint_radius(j00, j01, j10, j11);
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

// Fraction of the footprint inside the strut: right of edge 1, left of
// edge 2, and the footprint centre within the disc of diameter `length`
// about the midpoint of the two edge points.
double enclosed_strut_1(double px, double py, double qx, double qy, double length, double x1,
                        double y1, double a1, double b1, double x2, double y2, double a2,
                        double b2, double j00, double j01, double j10, double j11) {
    const double mx = (x2 + x1) * 0.5;
    const double my = (y2 + y1) * 0.5;
    const double half = 0.5 * length;
    if ((qx - mx) * (qx - mx) + (qy - my) * (qy - my) >= half * half) return 0.0;

    const double rho = footprint_radius(j00, j01, j10, j11);
    const double L1 = (qy - y1) * b1 - (qx - x1) * a1;
    const double L2 = (qy - y2) * b2 - (qx - x2) * a2;
    if (2.0 * rho > std::fabs(L1) || 2.0 * rho > std::fabs(L2)) {
        const double right_of_1 =
            pixel_frac_1(x1, y1, a1, b1, qx, qy, px, py, j00, j01, j10, j11);
        const double right_of_2 =
            pixel_frac_1(x2, y2, a2, b2, qx, qy, px, py, j00, j01, j10, j11);
        return right_of_1 - right_of_2;
    }
    return L1 * L2 < 0.0 ? 1.0 : 0.0;
}

}  // namespace

// Each output element is computed from the inputs of its own index, all read
// before it is written, so `out` may be one of the input arrays.

void pixel_frac(double x0, double y0, double a, double b, address qx, address qy, address px,
                address py, address j00, address j01, address j10, address j11, address out,
                address n) {
    const double *QX = f64_array(qx), *QY = f64_array(qy), *PX = f64_array(px),
                 *PY = f64_array(py);
    const double *J00 = f64_array(j00), *J01 = f64_array(j01), *J10 = f64_array(j10),
                 *J11 = f64_array(j11);
    double* OUT = reinterpret_cast<double*>(out);
    for (address i = 0; i < n; ++i) {
        const double f = pixel_frac_1(x0, y0, a, b, QX[i], QY[i], PX[i], PY[i], J00[i], J01[i],
                                      J10[i], J11[i]);
        OUT[i] = f;
    }
}

void pixel_frac(address x0, address y0, address a, address b, address qx, address qy, address px,
                address py, address j00, address j01, address j10, address j11, address out,
                address n) {
    const double *X0 = f64_array(x0), *Y0 = f64_array(y0), *A = f64_array(a), *B = f64_array(b);
    const double *QX = f64_array(qx), *QY = f64_array(qy), *PX = f64_array(px),
                 *PY = f64_array(py);
    const double *J00 = f64_array(j00), *J01 = f64_array(j01), *J10 = f64_array(j10),
                 *J11 = f64_array(j11);
    double* OUT = reinterpret_cast<double*>(out);
    for (address i = 0; i < n; ++i) {
        const double f = pixel_frac_1(X0[i], Y0[i], A[i], B[i], QX[i], QY[i], PX[i], PY[i],
                                      J00[i], J01[i], J10[i], J11[i]);
        OUT[i] = f;
    }
}

void enclosed_circle(address px, address py, address qx, address qy, double cx, double cy,
                     double r, address j00, address j01, address j10, address j11, address out,
                     address n) {
    const double *PX = f64_array(px), *PY = f64_array(py), *QX = f64_array(qx),
                 *QY = f64_array(qy);
    const double *J00 = f64_array(j00), *J01 = f64_array(j01), *J10 = f64_array(j10),
                 *J11 = f64_array(j11);
    double* OUT = reinterpret_cast<double*>(out);
    for (address i = 0; i < n; ++i) {
        const double f = enclosed_circle_1(PX[i], PY[i], QX[i], QY[i], cx, cy, r, J00[i], J01[i],
                                           J10[i], J11[i]);
        OUT[i] = f;
    }
}

void enclosed_strut(address px, address py, address qx, address qy, double length, double x1,
                    double y1, double a1, double b1, double x2, double y2, double a2, double b2,
                    address j00, address j01, address j10, address j11, address out, address n) {
    const double *PX = f64_array(px), *PY = f64_array(py), *QX = f64_array(qx),
                 *QY = f64_array(qy);
    const double *J00 = f64_array(j00), *J01 = f64_array(j01), *J10 = f64_array(j10),
                 *J11 = f64_array(j11);
    double* OUT = reinterpret_cast<double*>(out);
    for (address i = 0; i < n; ++i) {
        const double f = enclosed_strut_1(PX[i], PY[i], QX[i], QY[i], length, x1, y1, a1, b1, x2,
                                          y2, a2, b2, J00[i], J01[i], J10[i], J11[i]);
        OUT[i] = f;
    }
}

}  // namespace trovel
