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
// output starts with what belongs to vertex 0.
int sh_clip_edge_cpp(const double* in, int n, double* out, int axis, double bound, int side) {
    const int c = axis == 0 ? 0 : 1;
    // Written as plain comparisons so that a NaN coordinate counts as outside.
    auto inside = [&](const double* v) { return side == 1 ? v[c] >= bound : v[c] <= bound; };
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
double shoelace_sum(const double* v, int n) {
    double s = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* p = v + 2 * (k == 0 ? n - 1 : k - 1);
        const double* q = v + 2 * k;
        s += p[0] * q[1] - q[0] * p[1];
    }
    return s;
}

// Area of the triangle `tri` (three x, y pairs) inside pixel (i, j), the
// closed square [i - 0.5, i + 0.5] x [j - 0.5, j + 0.5]; stops at the first
// cut that leaves no area.
double clip_area_cpp(const double* tri, int i, int j) {
    double a[2 * kMaxClipVertices];
    double b[2 * kMaxClipVertices];
    const double di = static_cast<double>(i);
    const double dj = static_cast<double>(j);
    int n = sh_clip_edge_cpp(tri, 3, b, 0, di - 0.5, 1);
    if (n <= 2) return 0.0;
    n = sh_clip_edge_cpp(b, n, a, 0, di + 0.5, -1);
    if (n <= 2) return 0.0;
    n = sh_clip_edge_cpp(a, n, b, 1, dj - 0.5, 1);
    if (n <= 2) return 0.0;
    n = sh_clip_edge_cpp(b, n, a, 1, dj + 0.5, -1);
    if (n <= 2) return 0.0;
    return std::fabs(shoelace_sum(a, n)) * 0.5;
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

// Adds area * q to every window pixel that `tri` overlaps, rows (y) in the
// outer loop and columns (x) in the inner one; pixels it misses are not
// written at all.  Indices are 64-bit: (c + j) * n overflows int for images
// above 46340 pixels a side.
void deposit_triangle(const double* tri, double q, const PixelBox& box, int c, double* image,
                      int n) {
    const std::int64_t stride = n;
    for (int j = box.j_lo; j <= box.j_hi; ++j) {
        double* row = image + (static_cast<std::int64_t>(c) + j) * stride + c;
        for (int k = box.k_lo; k <= box.k_hi; ++k) {
            const double a = clip_area_cpp(tri, k, j);
            if (a > 0.0) row[k] = a * q + row[k];
        }
    }
}

}  // namespace

void accumulate_triangles(address triangles, address values, address divisors, address image,
                          int count, int size) {
    // An empty image has no element 0 to hold pixel (0, 0); a negative size
    // has an empty window.
    if (count <= 0 || size < 1) return;
    const int c = (size - 1) / 2;
    const double* tris = reinterpret_cast<const double*>(triangles);
    const double* value = reinterpret_cast<const double*>(values);
    const double* divisor = reinterpret_cast<const double*>(divisors);
    double* pixels = reinterpret_cast<double*>(image);
    for (int t = 0; t < count; ++t) {
        const double d = divisor[t];
        // Not !(d > 0): a NaN divisor is deposited and turns its pixels NaN.
        if (d <= 0.0) continue;
        const double q = value[t] / d;
        double tri[6];
        std::memcpy(tri, tris + 6 * static_cast<std::int64_t>(t), sizeof tri);
        PixelBox box;
        if (!clamped_pixel_box(tri, c, &box)) continue;
        deposit_triangle(tri, q, box, c, pixels, size);
    }
}

double clip_area(address tri, int i, int j) {
    double local[6];
    std::memcpy(local, reinterpret_cast<const void*>(tri), sizeof local);
    return clip_area_cpp(local, i, j);
}

}  // namespace trovel
