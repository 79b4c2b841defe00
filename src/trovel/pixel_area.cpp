// Exact area of triangles inside unit pixels, and the deposit of weighted
// triangles onto an image by that area.
//
// A triangle is cut by the four sides of a pixel, one axis-aligned line at a
// time (Sutherland-Hodgman), and what remains is measured by the shoelace
// formula.  The order of the cuts, the walk of the edges and the grouping of
// every product fix the last bits of the result, so the code below and the
// cuts it shares through pixel_area.hpp keep them as they are.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "pixel_area.hpp"
#include "trovel.hpp"

namespace trovel {
namespace {

using namespace pixel_clip;

// Area of the triangle `tri` (three x, y pairs) inside pixel (k, j), the
// closed square [k - 0.5, k + 0.5] x [j - 0.5, j + 0.5], cut left, right,
// bottom, top in turn; stops at the first cut that leaves no area.
double area_in_pixel(const double* tri, int k, int j) {
    double strip[2 * kMaxClipVertices];
    const int n = column_strip(tri, k, strip);
    if (n == 0) return 0.0;
    return strip_area_in_row(strip, n, j, -kInf, kInf);
}

// True when all n values are finite: a NaN or an infinity anywhere makes
// the bounding box meaningless.
bool all_finite(const double* v, int n) {
    for (int k = 0; k < n; ++k) {
        if (!std::isfinite(v[k])) return false;
    }
    return true;
}

// The pixel indices a triangle's bounding box spans, already clamped to
// the image's pixel window [-c, c] on both axes.
struct PixelBox {
    int k_lo, k_hi, j_lo, j_hi;
};

// Box of the pixels that contain the extreme coordinates of `tri`: floor,
// not round-to-nearest, so a coordinate on a border k + 0.5 counts to pixel
// k + 1.  The bounds are clamped to the window [-c, c] while still doubles,
// so only values in int range are ever converted.  Returns false when the
// clamped box is empty or a coordinate is not finite.
bool clamped_pixel_box(const double* tri, int c, PixelBox* box) {
    if (!all_finite(tri, 6)) return false;
    const double x_min = std::min(tri[0], std::min(tri[2], tri[4]));
    const double x_max = std::max(tri[0], std::max(tri[2], tri[4]));
    const double y_min = std::min(tri[1], std::min(tri[3], tri[5]));
    const double y_max = std::max(tri[1], std::max(tri[3], tri[5]));
    const double dc = static_cast<double>(c);
    const double k_lo = std::max(std::floor(x_min + 0.5), -dc);
    const double k_hi = std::min(std::floor(x_max + 0.5), dc);
    const double j_lo = std::max(std::floor(y_min + 0.5), -dc);
    const double j_hi = std::min(std::floor(y_max + 0.5), dc);
    if (j_hi < j_lo || k_hi < k_lo) return false;
    box->k_lo = static_cast<int>(k_lo);
    box->k_hi = static_cast<int>(k_hi);
    box->j_lo = static_cast<int>(j_lo);
    box->j_hi = static_cast<int>(j_hi);
    return true;
}

// Adds area * q to every window pixel that `tri` overlaps; pixels it misses
// are not written at all.  Each pixel gains its own product once, so the
// order of the pixels does not matter: the box is walked by columns, and the
// strip that the left and right cuts leave in a column serves all of that
// column's rows, exactly as area_in_pixel would recompute it for each.
// A row wholly above or below the strip's vertices gets no vertex through
// its bottom or top cut (a NaN vertex fails both), so its area is zero and
// it is not visited.  Indices are 64-bit: (c + j) * n overflows int for
// images above 46340 pixels a side.
void deposit_triangle(const double* tri, double q, const PixelBox& box, int c, double* image,
                      int n) {
    const std::int64_t stride = n;
    double strip[2 * kMaxClipVertices];
    for (int k = box.k_lo; k <= box.k_hi; ++k) {
        const int m = column_strip(tri, k, strip);
        if (m == 0) continue;
        bool has_nan;
        const YSpan span = vertex_y_span(strip, m, &has_nan);
        const bool moderate = !has_nan && span.min >= -kModerateY;
        double* column = image + c + k;
        for (int j = box.j_lo; j <= box.j_hi; ++j) {
            const double dj = static_cast<double>(j);
            if (span.min > dj + 0.5) continue;  // the strip lies above this row
            if (span.max < dj - 0.5) break;     // below this row and all later ones
            const double a = moderate ? strip_area_in_row(strip, m, j, span.min, span.max)
                                      : strip_area_in_row(strip, m, j, -kInf, kInf);
            if (a > 0.0) {
                double* e = column + (static_cast<std::int64_t>(c) + j) * stride;
                *e = a * q + *e;
            }
        }
    }
}

}  // namespace

void accumulate_triangles(const WeightedTriangles& triangles, const Image& image) {
    // An empty image has no element 0 to hold pixel (0, 0); a negative size
    // has an empty window.
    if (triangles.count <= 0 || image.size < 1) return;
    const int c = (image.size - 1) / 2;
    for (int t = 0; t < triangles.count; ++t) {
        const double d = triangles.divisors[t];
        // Not !(d > 0): a NaN divisor is deposited and turns its pixels NaN.
        if (d <= 0.0) continue;
        const double q = triangles.values[t] / d;
        double tri[6];
        std::memcpy(tri, triangles.records + 6 * static_cast<std::int64_t>(t), sizeof tri);
        PixelBox box;
        if (!clamped_pixel_box(tri, c, &box)) continue;
        deposit_triangle(tri, q, box, c, image.pixels, image.size);
    }
}

double clip_area(const void* triangle, int column, int row) {
    double local[6];
    std::memcpy(local, triangle, sizeof local);
    return area_in_pixel(local, column, row);
}

}  // namespace trovel
