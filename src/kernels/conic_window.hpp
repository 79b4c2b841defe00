// The exact fraction of each pixel of a window of an axis-aligned grid
// inside an ellipse (a disc among them), in closed form: photometry's fast
// path for the apertures it meets most, small discs, ellipses and the
// annuli between two of them.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/pixels.hpp"

namespace trovel {

// An ellipse about its centre as the closed form reads it on a grid whose
// axes may be mirrored: its vertical chord at x = t (relative to the centre)
// is [k t - s(t), k t + s(t)], s(t) = beta sqrt(w^2 - t^2), and its
// horizontal chord at height h is [q h - rho d(h), q h + rho d(h)],
// d(h) = sqrt(H^2 - h^2).  With A A^T = [[m00, m01], [m01, m11]] (A the
// map of the unit disc onto it), w = sqrt(m00), H = sqrt(m11), k = m01 / m00,
// beta = det A / m00, q = m01 / m11, rho = det A / m11.
struct ConicForm {
    double cx, cy;              // the centre, in the plane
    double m00, m01, m11;       // A A^T, unmirrored
    double w, H, w2;            // half-extents along x and y; w^2
    double k, q, rho, beta, det;
    double kw;                  // k w: the height of the rightmost point
    double half_k, half_beta;   // k / 2, beta / 2
    double Sw;                  // S(w) = pi det A / 4: a quarter of the area
    bool round;                 // a disc: q = k = 0, so a horizontal chord is symmetric

    // S(u), the integral of s from 0 to u (u clamped to [-w, w]).
    double S(double u) const;
};

// The closed form of a disc or an ellipse (the entries of A A^T and det A)
// on an axis-aligned grid of pixels of sides px and py whose x and/or y axis
// may be mirrored (mirror = sx * sy < 0 flips the chords' slopes); false
// when the aperture is too large or too thin for its rounding to stay far
// below the exactness bound, where the general renderer takes it.
bool disc_form(double cx, double cy, double r, double px, double py, ConicForm& out);
bool ellipse_form(double cx, double cy, double m00, double m01, double m11, double det,
                  double px, double py, bool mirror, ConicForm& out);

// Whether the ellipse `inner` lies within `outer` (both of one grid's
// frame): a disc inside a disc, or two ellipses of one centre with
// A_out A_out^T - A_in A_in^T positive semidefinite.
bool inside_form(const ConicForm& inner, const ConicForm& outer);

// G(h, .), the area of the ellipse below y = h and left of x = u, for one
// row boundary h: the line y = h crosses it at t1 <= t2.  lf is 2 where
// the chords left of t1 lie wholly below h (so that lf (S(min(u, t1)) + Sw)
// is their area left of u), 0 where wholly above; rf likewise right of t2.
struct ConicLevel {
    double h, t1, t2, S1, S2, lf, rf;
};

// A thread's scratch for the closed form.
struct ConicScratch {
    std::vector<double> edge, u, S;
    std::vector<ConicLevel> levels;
};

// The fraction of each pixel of the window w (of an axis-aligned map) inside
// the ellipse, into out (w.rows() x w.cols(), row-major, row stride
// `stride`).  With `hole` the ellipse is one inside the aperture whose
// fractions `out` holds, and they are lessened by its own (never below 0).
// Unless null, spans[2 i], spans[2 i + 1] are set to the columns of row i
// beyond which every fraction is 0.
void conic_fractions(const GridWindow& w, const ConicForm& c, double* out, std::int64_t stride,
                     ConicScratch& scratch, bool hole, std::int64_t* spans);

}  // namespace trovel
