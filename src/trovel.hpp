// Private header of the _trovel extension: the native functions that the
// binding table exports.  Every address argument is the integer address of
// caller-owned storage (float64 arrays, one-byte masks or int32 counters);
// nothing here checks sizes or validity, the Python layer does.
#pragma once

#include <cstdint>

namespace trovel {

using address = std::uint64_t;

// Polygon mask over a grid
void poly_grid_contains(address poly_x, address poly_y, address vertex_count, address grid_x,
                        address grid_y, address mask, address nx, address ny);

// Edge coverage: the fraction of each pixel footprint on the right of an
// edge line (one line for all pixels, or one per pixel), inside a circle,
// inside a strut
void pixel_frac(double x0, double y0, double a, double b, address qx, address qy, address px,
                address py, address j00, address j01, address j10, address j11, address out,
                address n);
void pixel_frac(address x0, address y0, address a, address b, address qx, address qy, address px,
                address py, address j00, address j01, address j10, address j11, address out,
                address n);
void enclosed_circle(address px, address py, address qx, address qy, double cx, double cy,
                     double r, address j00, address j01, address j10, address j11, address out,
                     address n);
void enclosed_strut(address px, address py, address qx, address qy, double length, double x1,
                    double y1, double a1, double b1, double x2, double y2, double a2, double b2,
                    address j00, address j01, address j10, address j11, address out, address n);

// Triangle lists cut by a circle or a strut; both return the number of
// triangle records written to `out` and only increment the two int32
// counters.
int clip_triangles_to_circle(address triangles, int count, double cx, double cy, double radius,
                             int keep_inside, double margin, address out, address dropped,
                             address clipped);
int clip_triangles_to_strut(address triangles, int count, double x1, double y1, double a1,
                            double b1, double x2, double y2, double a2, double b2, double cx,
                            double cy, double length, double margin, address out, address dropped,
                            address clipped);

// Triangle-pixel area
void accumulate_triangles(address triangles, address values, address divisors, address image,
                          int count, int size);
double clip_area(address tri, int i, int j);

}  // namespace trovel
