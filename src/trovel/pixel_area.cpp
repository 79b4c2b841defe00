// Exact area of triangles inside unit pixels, and the deposit of weighted
// triangles onto an image by that area.
//
// A triangle is cut by the four sides of a pixel, one axis-aligned line at a
// time (Sutherland-Hodgman), and what remains is measured by the shoelace
// formula.  The order of the cuts, the walk of the edges and the grouping of
// every product fix the last bits of the result, so the code below keeps
// them as they are.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "trovel.hpp"

namespace trovel {
namespace {

// A cut of an n-gon returns at most floor(3n/2) vertices: one per vertex
// kept plus one per edge that crosses the line.  A triangle cut by a convex
// pixel needs only 7, but rounding near a pixel side can leave a slightly
// non-convex polygon, so the scratch holds the worst case of four cuts:
// 3 -> 4 -> 6 -> 9 -> 13.
constexpr int kMaxClipVertices = 13;

// Keeps the closed half-plane coordinate >= bound (side == 1) or <= bound
// (any other side) of the polygon `in` of n >= 2 vertices; returns the number
// of vertices written to `out`.  The closing edge is walked first, so the
// output starts with what belongs to vertex 0.  The axis and the side are
// template arguments: each of the four cuts of a pixel gets its own loop
// with a single comparison, and the calls inline into the area routines.
template <int axis, int side>
inline int cut_by_axis_line(const double* in, int n, double* out, double bound) {
    constexpr int c = axis == 0 ? 0 : 1;
    // Written as plain comparisons so that a NaN coordinate counts as outside.
    auto inside = [bound](const double* v) { return side == 1 ? v[c] >= bound : v[c] <= bound; };
    int count = 0;
    const double* p = in + 2 * (n - 1);
    bool p_in = inside(p);
    for (int k = 0; k < n; ++k) {
        const double* q = in + 2 * k;
        const bool q_in = inside(q);
        if (p_in != q_in) {
            // Measured from the edge's start, whichever way the edge runs.
            const double t = (bound - p[c]) / (q[c] - p[c]);
            out[2 * count] = (q[0] - p[0]) * t + p[0];
            out[2 * count + 1] = (q[1] - p[1]) * t + p[1];
            ++count;
        }
        if (q_in) {
            out[2 * count] = q[0];
            out[2 * count + 1] = q[1];
            ++count;
        }
        p = q;
        p_in = q_in;
    }
    return count;
}

// Twice the signed area, closing edge first, each term two rounded products.
inline double shoelace_sum(const double* v, int n) {
    double s = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* p = v + 2 * (k == 0 ? n - 1 : k - 1);
        const double* q = v + 2 * k;
        s += p[0] * q[1] - q[0] * p[1];
    }
    return s;
}

// The first two cuts of a pixel, by its left and right sides, depend on its
// column alone.  Writes what is left of the triangle in that column into
// `strip` and returns its vertex count, or 0 when a cut leaves 2 or fewer.
inline int column_strip(const double* tri, int column, double* strip) {
    double scratch[2 * kMaxClipVertices];
    const double x = static_cast<double>(column);
    int n = cut_by_axis_line<0, 1>(tri, 3, scratch, x - 0.5);
    if (n <= 2) return 0;
    n = cut_by_axis_line<0, -1>(scratch, n, strip, x + 0.5);
    return n <= 2 ? 0 : n;
}

// Strips reaching no lower than this may skip cuts, as below.
constexpr double kModerateY = 0x1p40;

// The last two cuts, by the bottom and top sides of row j, of a column strip
// of n >= 3 vertices, and the area of what remains.  [lo, hi] holds the y
// values of the strip's vertices: pass -inf and +inf when nothing is known.
// A cut that every vertex passes gives back its input vertex for vertex, so
// such a cut is skipped: the bottom cut when lo >= j - 0.5, the top cut when
// hi <= j + 0.5.  (Rows are j and columns k throughout, as pixel (k, j) is
// the unit square about the point (k, j).)  When the bottom cut did run, the top cut's input also holds
// the crossings it made.  Each of them is the bottom side's y up to the
// rounding of t = (bound - Py) / (Cy - Py) and of (Cy - Py) * t + Py, which
// for |Py|, |Cy| <= 2^40 stays below 4 * 2^41 * 2^-53 = 2^-10; so they too
// lie below the top side, one unit higher, and pass.  So a finite lo must
// be at least -kModerateY and the strip must hold no NaN.
inline double strip_area_in_row(const double* strip, int n, int j, double lo, double hi) {
    double b[2 * kMaxClipVertices];
    double a[2 * kMaxClipVertices];
    const double dj = static_cast<double>(j);
    const double* v = strip;
    if (!(lo >= dj - 0.5)) {
        n = cut_by_axis_line<1, 1>(v, n, b, dj - 0.5);
        if (n <= 2) return 0.0;
        v = b;
    }
    if (!(hi <= dj + 0.5)) {
        n = cut_by_axis_line<1, -1>(v, n, a, dj + 0.5);
        if (n <= 2) return 0.0;
        v = a;
    }
    return std::fabs(shoelace_sum(v, n)) * 0.5;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

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

// The y range of a polygon's vertices, NaN coordinates left out.
struct YSpan {
    double min, max;
};

YSpan vertex_y_span(const double* v, int n, bool* has_nan) {
    YSpan s{kInf, -kInf};
    *has_nan = false;
    for (int k = 0; k < n; ++k) {
        if (v[2 * k + 1] < s.min) s.min = v[2 * k + 1];
        if (v[2 * k + 1] > s.max) s.max = v[2 * k + 1];
        *has_nan |= std::isnan(v[2 * k + 1]);
    }
    return s;
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
