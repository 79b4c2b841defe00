// Exact area of triangles inside unit pixels.
//
// A triangle is cut by the four sides of a pixel, one axis-aligned line at a
// time (Sutherland-Hodgman), and what remains is measured by the shoelace
// formula.  The order of the cuts, the walk of the edges and the grouping of
// every product fix the last bits of the result, so the code below keeps
// them as they are.
#include <cmath>
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

}  // namespace

double clip_area(address tri, int i, int j) {
    double local[6];
    std::memcpy(local, reinterpret_cast<const void*>(tri), sizeof local);
    return clip_area_cpp(local, i, j);
}

}  // namespace trovel
