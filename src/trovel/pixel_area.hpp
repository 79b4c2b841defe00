// Private header of the triangle-pixel area kernels: the cuts of a polygon
// by the axis-aligned sides of unit pixels and the shoelace measure, shared
// by _trovel's routines (pixel_area.cpp) and the project's own frame deposit
// (kernels/deposit.cpp).  Every routine is inline and does exactly what it
// did inside pixel_area.cpp, so the results of _trovel keep every bit.
#pragma once

#include <cmath>
#include <limits>

namespace trovel {
namespace pixel_clip {

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
// of n >= 3 vertices.  Returns the vertex count of what remains, or 0 when a
// cut leaves 2 or fewer, and points *out at its vertices: the strip itself,
// or one of the scratch arrays `below` and `above`.  [lo, hi] holds the y
// values of the strip's vertices: pass -inf and +inf when nothing is known.
// A cut that every vertex passes gives back its input vertex for vertex, so
// such a cut is skipped: the bottom cut when lo >= j - 0.5, the top cut when
// hi <= j + 0.5.  (Rows are j and columns k throughout, as pixel (k, j) is
// the unit square about the point (k, j).)  When the bottom cut did run, the
// top cut's input also holds the crossings it made.  Each of them is the
// bottom side's y up to the rounding of t = (bound - Py) / (Cy - Py) and of
// (Cy - Py) * t + Py, which for |Py|, |Cy| <= 2^40 stays below
// 4 * 2^41 * 2^-53 = 2^-10; so they too lie below the top side, one unit
// higher, and pass.  So a finite lo must be at least -kModerateY and the
// strip must hold no NaN.
inline int strip_in_row(const double* strip, int n, int j, double lo, double hi, double* below,
                        double* above, const double** out) {
    const double dj = static_cast<double>(j);
    const double* v = strip;
    if (!(lo >= dj - 0.5)) {
        n = cut_by_axis_line<1, 1>(v, n, below, dj - 0.5);
        if (n <= 2) return 0;
        v = below;
    }
    if (!(hi <= dj + 0.5)) {
        n = cut_by_axis_line<1, -1>(v, n, above, dj + 0.5);
        if (n <= 2) return 0;
        v = above;
    }
    *out = v;
    return n;
}

// The area of a column strip of n >= 3 vertices inside row j: strip_in_row,
// then half the absolute shoelace sum.
inline double strip_area_in_row(const double* strip, int n, int j, double lo, double hi) {
    double below[2 * kMaxClipVertices];
    double above[2 * kMaxClipVertices];
    const double* v = nullptr;
    n = strip_in_row(strip, n, j, lo, hi, below, above, &v);
    if (n == 0) return 0.0;
    return std::fabs(shoelace_sum(v, n)) * 0.5;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// The y range of a polygon's vertices, NaN coordinates left out.
struct YSpan {
    double min, max;
};

inline YSpan vertex_y_span(const double* v, int n, bool* has_nan) {
    YSpan s{kInf, -kInf};
    *has_nan = false;
    for (int k = 0; k < n; ++k) {
        if (v[2 * k + 1] < s.min) s.min = v[2 * k + 1];
        if (v[2 * k + 1] > s.max) s.max = v[2 * k + 1];
        *has_nan |= std::isnan(v[2 * k + 1]);
    }
    return s;
}

}  // namespace pixel_clip
}  // namespace trovel
