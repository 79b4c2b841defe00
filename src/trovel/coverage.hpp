// The per-pixel coverage routines that the project's own drivers call too:
// the very functions behind _trovel's coverage callables, so that a driver
// that evaluates a pixel through them gives that pixel's bits.
#pragma once

#include "trovel.hpp"

namespace trovel {

// One pixel's Jacobian.  Whatever is computed from the Jacobian alone comes
// out the same for the same bits, and on a grid long runs of pixels share
// their Jacobian; so the loops below keep what they derived from the last
// Jacobian and reuse it while the bits do not change.
struct Jacobian {
    double j00, j01, j10, j11;
};

// What the kernel derives from the edge's direction and the pixel's
// Jacobian alone, before it looks at any position.
struct EdgeFrame {
    double u, v;                // the edge's unit normal in the pixel grid
    bool no_side;               // a zero normal: the edge has no direction
    double i00, i01, i10, i11;  // the inverse Jacobian
};

// One pixel's grid position and footprint centre.
struct PixelPlace {
    Point grid;
    Point centre;
};

// The disc test: only footprint centres within the disc of diameter
// `length` about the strut's centre count.
struct StrutDisc {
    double mx, my, half;

    explicit StrutDisc(const Strut& s) : mx(s.centre.x), my(s.centre.y), half(0.5 * s.length) {}

    bool outside(double qx, double qy) const {
        return (qx - mx) * (qx - mx) + (qy - my) * (qy - my) >= half * half;
    }
};

// The largest singular value of the Jacobian: every point of the footprint
// lies within this times sqrt(2)/2 of its centre.
double footprint_radius(const Jacobian& J);

// What the kernel derives from an edge's direction and a Jacobian alone.
EdgeFrame edge_frame(const Direction& e, const Jacobian& J);

// The fraction of the footprint right of the edge through `point` whose
// direction gave `frame`: the kernel, for one pixel.
double pixel_frac_in_frame(const EdgeFrame& frame, const Point& point, const PixelPlace& pixel);
double pixel_frac_1(const EdgeLine& edge, const PixelPlace& pixel, const Jacobian& J);

// The fraction of a footprint of radius rho inside the circle, and inside the
// strut's band (for a footprint centre inside its disc): quick tests first.
double enclosed_circle_with_radius(double rho, const Circle& c, const PixelPlace& pixel,
                                   const Jacobian& J);
double enclosed_strut_with_radius(const Strut& s, double rho, const PixelPlace& pixel,
                                  const Jacobian& J);

}  // namespace trovel
