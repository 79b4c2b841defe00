// Private header of the _trovel extension: the typed views that the kernels
// take, and the kernels.  Only the binding table (module.cpp) knows the raw
// interface of integer addresses and argument orders; it builds these views
// from the caller's storage.  Nothing here checks sizes or validity: the
// Python layer does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovel {

struct Point {
    double x;
    double y;
};

// A straight line through `point` running along `direction`.  The side value
// of P, as side_value() forms it, is positive on the left of the direction
// and negative on its right; for a unit direction it is the signed distance.
struct Direction {
    double dx;
    double dy;
};

struct EdgeLine {
    Point point;
    Direction direction;
};

inline double side_value(const EdgeLine& l, const Point& p) {
    return l.direction.dx * (p.y - l.point.y) - l.direction.dy * (p.x - l.point.x);
}

// One edge line per pixel, as parallel arrays.
struct EdgeLineArrays {
    const double *x, *y, *dx, *dy;
};

// n pixels as parallel arrays: each pixel's grid position, the centre of its
// footprint in the edge plane, and the 2x2 Jacobian that carries the unit
// square about the grid position onto the footprint.
struct PixelArrays {
    const double *px, *py;                // grid positions
    const double *qx, *qy;                // footprint centres
    const double *j00, *j01, *j10, *j11;  // Jacobians, row by row
    std::size_t n;
};

struct Circle {
    Point centre;
    double radius;
};

// The band between two edge lines, limited by `length` about `centre`:
// coverage counts it only within the disc of that diameter about the centre,
// the clipper cuts it at half the length on either side of the centre along
// its axis.
struct Strut {
    EdgeLine edge1;
    EdgeLine edge2;
    Point centre;
    double length;
};

// Triangle records (x0, y0, x1, y1, x2, y2) laid end to end; the records and
// the counters may sit at any byte address.
struct TriangleList {
    const void* records;
    int count;
};

// Where a clipper writes: the records, from the first on, and two int32
// counters that it only increments.
struct ClipOutput {
    void* records;
    void* dropped;
    void* clipped;
};

// Records per input triangle that the caller's output list must hold: a
// triangle cut by a circle yields at most 4, one cut by a strut at most 7.
constexpr int kCircleRecords = 4;
constexpr int kStrutRecords = 7;

// Triangles with a value and a divisor each, deposited onto a square image of
// size x size pixels (row-major, rows along y) by their exact overlap area.
struct WeightedTriangles {
    const double* records;
    const double* values;
    const double* divisors;
    int count;
};

struct Image {
    double* pixels;
    int size;
};

// Polygon mask over a grid.  Vertex j of a ring is (x[j * stride],
// y[j * stride]): stride 1 for two arrays of coordinates, 2 for one array
// of (x, y) pairs.  The ring closes from its last vertex back to its first.
struct Ring {
    const double* xs;
    const double* ys;
    std::uint64_t n;
    std::uint64_t stride;

    double x(std::uint64_t j) const { return xs[j * stride]; }
    double y(std::uint64_t j) const { return ys[j * stride]; }
    std::uint64_t next(std::uint64_t j) const { return j + 1 == n ? 0 : j + 1; }
};

// One axis of the grid: `count` positions in the caller's order.
struct GridAxis {
    const double* at;
    std::uint64_t count;
};

// Writes one byte, 0 or 1, for each of the rows.count x cols.count points.
void poly_grid_contains(const Ring& polygon, const GridAxis& cols, const GridAxis& rows,
                        std::uint8_t* mask);

// Edge coverage: the fraction of each pixel footprint on the right of an
// edge line (one line for all pixels, or one per pixel), inside a circle,
// inside a strut.  `out` holds n values and may be one of the input arrays.
void pixel_frac(const EdgeLine& edge, const PixelArrays& pixels, double* out);
void pixel_frac(const EdgeLineArrays& edges, const PixelArrays& pixels, double* out);
void enclosed_circle(const PixelArrays& pixels, const Circle& circle, double* out);
void enclosed_strut(const PixelArrays& pixels, const Strut& strut, double* out);

// Triangle lists cut by a circle or a strut; both return the number of
// triangle records written.
int clip_triangles_to_circle(const TriangleList& triangles, const Circle& circle,
                             bool keep_inside, double margin, const ClipOutput& out);
int clip_triangles_to_strut(const TriangleList& triangles, const Strut& strut, double margin,
                            const ClipOutput& out);

// Triangle-pixel area: the area of one triangle (three x, y pairs, at any
// byte address) inside pixel (column, row), and the deposit.
double clip_area(const void* triangle, int column, int row);
void accumulate_triangles(const WeightedTriangles& triangles, const Image& image);

}  // namespace trovel
