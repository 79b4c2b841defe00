// Cutting triangle lists by a circle and by a strut.
//
// Both clippers copy what lies clearly on the kept side, drop what lies
// clearly on the other side, and cut the rest, writing the kept part as a
// fan of triangles from the first point of each cut polygon.  The grouping of
// every product and sum below fixes the last bits of the points written, so
// formulas are kept exactly as they are.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "trovel.hpp"

namespace trovel {
namespace {

// An edge shorter than this (squared) is a point and meets no circle.
constexpr double kDegenerateEdgeSq = 1e-30;
// Two roots of an edge and a circle closer than this are one (tangent) crossing.
constexpr double kSameRoot = 1e-12;
// Fan triangles of smaller doubled area are rounding debris and are not written.
constexpr double kSliverArea2 = 2e-30;

constexpr int kRecordDoubles = 6;

// ---------------------------------------------------------------------------
// Shared pieces

Point vertex(const double* record, int k) { return {record[2 * k], record[2 * k + 1]}; }

// Twice the signed area of (p0, p1, p2), positive for counter-clockwise.
double doubled_area(const Point& p0, const Point& p1, const Point& p2) {
    return (p1.x - p0.x) * (p2.y - p0.y) - (p1.y - p0.y) * (p2.x - p0.x);
}

bool is_sliver(double a2) { return std::fabs(a2) < kSliverArea2; }

// Records and counters are copied byte-wise: they may sit at any address.
constexpr std::size_t kRecordBytes = kRecordDoubles * sizeof(double);

void read_record(const TriangleList& list, std::size_t i, double* record) {
    std::memcpy(record, static_cast<const char*>(list.records) + kRecordBytes * i, kRecordBytes);
}

void write_record(const ClipOutput& out, std::size_t j, const double* record) {
    std::memcpy(static_cast<char*>(out.records) + kRecordBytes * j, record, kRecordBytes);
}

void write_triangle(const ClipOutput& out, std::size_t j, const Point& p0, const Point& p1,
                    const Point& p2) {
    const double record[kRecordDoubles] = {p0.x, p0.y, p1.x, p1.y, p2.x, p2.y};
    write_record(out, j, record);
}

// The counters live in caller memory as int32 and are only ever incremented;
// the increment wraps instead of overflowing.
void bump(void* counter) {
    std::int32_t value;
    std::memcpy(&value, counter, sizeof value);
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1u);
    std::memcpy(counter, &value, sizeof value);
}

// ---------------------------------------------------------------------------
// Circle

// Each edge emits at most two points (a vertex and a crossing, or two
// crossings), so a triangle's clipped polygon has at most six points and
// its fan at most four triangles, whatever the input, NaN included.
constexpr int kCirclePointsPerEdge = 2;
constexpr int kMaxCirclePolygon = 3 * kCirclePointsPerEdge;
static_assert(kMaxCirclePolygon - 2 == kCircleRecords, "a fan of the largest clipped polygon");

// The distance of a point from the centre is the rounded square root of
// this sum.
double squared_distance_to_centre(const Circle& c, const Point& p) {
    const double dx = p.x - c.centre.x;
    const double dy = p.y - c.centre.y;
    return dx * dx + dy * dy;
}

// The square root is correctly rounded, so it never decreases as its
// argument grows: the sums s whose rounded root is at most a bound R are
// those up to some largest one, and those whose root is at least R are those
// from some smallest one.  With these two found once per call, a test of a
// sum against them has the outcome of the test of its root against R,
// NaN included, and the square roots are never taken.
double largest_sum_with_root_at_most(double R) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (std::isnan(R)) return R;  // no root is at most NaN
    if (R < 0.0) return -inf;     // nor below zero
    double s = R * R;
    while (s < inf && std::sqrt(std::nextafter(s, inf)) <= R) s = std::nextafter(s, inf);
    while (!(std::sqrt(s) <= R)) s = std::nextafter(s, -inf);
    return s;
}

double smallest_sum_with_root_at_least(double R) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (std::isnan(R)) return R;  // no root is at least NaN
    if (R <= 0.0) return -inf;    // every root of a sum of squares is at least 0
    double s = R * R;
    while (s > 0.0 && std::sqrt(std::nextafter(s, -inf)) >= R) s = std::nextafter(s, -inf);
    while (!(std::sqrt(s) >= R)) s = std::nextafter(s, inf);
    return s;
}

// The per-vertex tests of a call, as bounds on the squared distance: a
// vertex is on the kept side (points on the circle are kept in both modes),
// and all three vertices are within the accept or the reject bound.
struct CircleTests {
    double kept, accept, reject;
    bool keep_inside;

    CircleTests(const Circle& c, bool keep_inside_, double margin) : keep_inside(keep_inside_) {
        const double lo = c.radius - margin;
        const double hi = c.radius + margin;
        if (keep_inside) {
            kept = largest_sum_with_root_at_most(c.radius);
            accept = largest_sum_with_root_at_most(hi);
            reject = smallest_sum_with_root_at_least(lo);
        } else {
            kept = smallest_sum_with_root_at_least(c.radius);
            accept = smallest_sum_with_root_at_least(lo);
            reject = largest_sum_with_root_at_most(hi);
        }
    }

    bool is_kept(double s) const { return keep_inside ? s <= kept : s >= kept; }
    bool accepts(const double* s) const {
        return keep_inside ? all_at_most(s, accept) : all_at_least(s, accept);
    }
    bool rejects(const double* s) const {
        return keep_inside ? all_at_least(s, reject) : all_at_most(s, reject);
    }

    static bool all_at_most(const double* s, double bound) {
        return s[0] <= bound && s[1] <= bound && s[2] <= bound;
    }
    static bool all_at_least(const double* s, double bound) {
        return s[0] >= bound && s[1] >= bound && s[2] >= bound;
    }
};

// The parameters along A -> B, in increasing order, at which the edge meets
// the circle; returns how many (0, 1 or 2).  A NaN anywhere gives none.
int edge_circle_roots(const Circle& c, const Point& a, const Point& b, double* roots) {
    const double ex = b.x - a.x;
    const double ey = b.y - a.y;
    const double len2 = ex * ex + ey * ey;
    if (len2 < kDegenerateEdgeSq) return 0;
    const double fx = a.x - c.centre.x;
    const double fy = a.y - c.centre.y;
    const double bq = 2.0 * (ex * fx + ey * fy);
    const double cq = (fx * fx + fy * fy) - c.radius * c.radius;
    const double disc = bq * bq - cq * (4.0 * len2);
    if (disc < 0.0) return 0;
    const double s = disc > 0.0 ? std::sqrt(disc) : 0.0;
    const double t1 = (-bq - s) / (len2 + len2);
    const double t2 = (s - bq) / (len2 + len2);
    const bool distinct = t2 > t1 + kSameRoot;
    if (t1 >= 0.0 && t1 <= 1.0) {
        roots[0] = t1;
        if (distinct && t2 <= 1.0) {
            roots[1] = t2;
            return 2;
        }
        return 1;
    }
    if (t1 < 0.0 && distinct && t2 >= 0.0 && t2 <= 1.0) {
        roots[0] = t2;
        return 1;
    }
    return 0;
}

Point point_on_edge(const Point& a, const Point& b, double t) {
    const double ex = b.x - a.x;
    const double ey = b.y - a.y;
    return {t * ex + a.x, t * ey + a.y};
}

// Appends what the edge A -> B gives to the clipped polygon: the start if it
// is kept and the crossings that bound the kept stretches.  An edge whose
// two ends are kept stays straight even if it dips to the other side.
int emit_circle_edge(const Circle& c, const Point& a, bool a_kept, const Point& b, bool b_kept,
                     Point* poly, int k) {
    double roots[2];
    const int n = edge_circle_roots(c, a, b, roots);
    if (a_kept) poly[k++] = a;
    if (n == 0) return k;
    if (a_kept) {
        if (!b_kept) poly[k++] = point_on_edge(a, b, roots[n - 1]);
    } else if (b_kept) {
        poly[k++] = point_on_edge(a, b, roots[0]);
    } else if (n == 2) {
        poly[k++] = point_on_edge(a, b, roots[0]);
        poly[k++] = point_on_edge(a, b, roots[1]);
    }
    return k;
}

// Clips one triangle and writes its fan from output record j on; returns the
// new output index.
std::size_t cut_triangle_by_circle(const Circle& c, const Point* p, const bool* kept,
                                   const ClipOutput& out, std::size_t j) {
    Point poly[kMaxCirclePolygon];
    int k = 0;
    for (int e = 0; e < 3; ++e) {
        const int f = e == 2 ? 0 : e + 1;
        k = emit_circle_edge(c, p[e], kept[e], p[f], kept[f], poly, k);
    }
    if (k <= 2) {
        bump(out.dropped);
        return j;
    }
    bump(out.clipped);
    for (int t = 1; t + 1 < k; ++t) {
        if (is_sliver(doubled_area(poly[0], poly[t], poly[t + 1]))) continue;
        write_triangle(out, j++, poly[0], poly[t], poly[t + 1]);
    }
    return j;
}

}  // namespace

int clip_triangles_to_circle(const TriangleList& triangles, const Circle& c, bool keep_inside,
                             double margin, const ClipOutput& out) {
    if (triangles.count <= 0) return 0;
    const CircleTests tests(c, keep_inside, margin);
    std::size_t j = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(triangles.count); ++i) {
        double record[kRecordDoubles];
        read_record(triangles, i, record);
        Point p[3];
        double sum[3];
        bool kept[3];
        for (int v = 0; v < 3; ++v) {
            p[v] = vertex(record, v);
            sum[v] = squared_distance_to_centre(c, p[v]);
            kept[v] = tests.is_kept(sum[v]);
        }
        const bool accept = tests.accepts(sum);
        const bool reject = tests.rejects(sum);
        if (accept) {
            write_record(out, j++, record);
        } else if (reject) {
            bump(out.dropped);
        } else {
            j = cut_triangle_by_circle(c, p, kept, out, j);
        }
    }
    return static_cast<int>(j);
}

namespace {

// ---------------------------------------------------------------------------
// Strut

// A cut of an n-point polygon gives either piece at most floor(3n/2) points:
// each point on the piece's side plus one crossing per edge that enters or
// leaves it.  A convex piece gains at most one point per line, but rounding
// near a line can leave a slightly non-convex one, so every list is sized
// for the worst case: 3 -> 4 -> 6 -> 9 -> 13 points over the four lines.
constexpr int cut_bound(int n) { return (3 * n) / 2; }
constexpr int kStrutLines = 4;
constexpr int points_after_cuts(int cuts) {
    return cuts == 0 ? 3 : cut_bound(points_after_cuts(cuts - 1));
}
constexpr int fans_after_cuts(int cuts) {
    return cuts == 0 ? 0 : fans_after_cuts(cuts - 1) + points_after_cuts(cuts) - 2;
}
constexpr int kMaxPiecePoints = points_after_cuts(kStrutLines);
constexpr int kMaxCutTriangles = fans_after_cuts(kStrutLines);
// A triangle that covers the whole strut yields 7 triangles, the most a
// triangle and a convex quadrilateral give; the caller's list has room for
// no more per input triangle (kStrutRecords), so a triangle whose cut list
// outgrows that is written whole.
static_assert(kStrutRecords <= kMaxCutTriangles, "the cut list holds what is written");
static_assert(kMaxPiecePoints == 13 && kMaxCutTriangles == 24, "worst cases of four cuts");

// The four lines of a strut and its unit axis.
struct StrutLines {
    EdgeLine lines[kStrutLines];  // the two edge lines, then the two end lines
    Point centre;
    Direction axis;
    double half_length;
};

// The inner side of a line is where its side value is >= 0; that of an edge
// line is the side toward the other line's point.
EdgeLine oriented_edge_line(const EdgeLine& edge, const Point& mid) {
    EdgeLine l = edge;
    if (side_value(l, mid) < 0.0) {
        l.direction.dx = -edge.direction.dx;
        l.direction.dy = -edge.direction.dy;
    }
    return l;
}

StrutLines strut_lines(const Strut& strut) {
    StrutLines s{};
    const Point& p1 = strut.edge1.point;
    const Point& p2 = strut.edge2.point;
    const Point mid{(p1.x + p2.x) * 0.5, (p1.y + p2.y) * 0.5};
    s.lines[0] = oriented_edge_line(strut.edge1, mid);
    s.lines[1] = oriented_edge_line(strut.edge2, mid);
    // The axis is the mean of the two directions as passed.  Directions
    // passed the opposite way round (at least 135 degrees apart: d < 0 and
    // |c| <= -d) would cancel, so their difference is taken then; directions
    // closer than that keep the mean, even when d < 0.
    const Direction& u = strut.edge1.direction;
    const Direction& v = strut.edge2.direction;
    const double d = u.dy * v.dy + u.dx * v.dx;
    const double c = u.dy * v.dx - u.dx * v.dy;
    const bool opposite = d < 0.0 && std::fabs(c) <= -d;
    const double mean_dy = opposite ? (u.dy - v.dy) * 0.5 : (u.dy + v.dy) * 0.5;
    const double mean_dx = opposite ? (u.dx - v.dx) * 0.5 : (u.dx + v.dx) * 0.5;
    const double n = std::sqrt(mean_dx * mean_dx + mean_dy * mean_dy);
    s.axis = Direction{mean_dx / n, mean_dy / n};
    s.centre = strut.centre;
    const double h = 0.5 * strut.length;
    s.half_length = h;
    const Direction& e = s.axis;
    const Point& c0 = strut.centre;
    // Both end lines face the centre: the first runs along the axis turned
    // a quarter clockwise, the second counter-clockwise.
    s.lines[2] = EdgeLine{{c0.x - e.dx * h, c0.y - e.dy * h}, {e.dy, -e.dx}};
    s.lines[3] = EdgeLine{{e.dx * h + c0.x, e.dy * h + c0.y}, {-e.dy, e.dx}};
    return s;
}

double axis_coordinate(const StrutLines& s, const Point& p) {
    return s.axis.dx * (p.x - s.centre.x) + s.axis.dy * (p.y - s.centre.y);
}

enum class StrutVerdict { copy, drop, clip };

// The quick tests: beyond one line by the margin at all three vertices, or
// inside all four by the margin.  The end-line values come from the axis
// coordinate directly.
StrutVerdict quick_strut_verdict(const StrutLines& s, const Point* p, double m) {
    // Both edge lines at once: a triangle clearly beyond one of them is the
    // common case, and which one is a coin toss that a branch per line
    // would mispredict half the time.
    double val[kStrutLines][3];
    for (int l = 0; l < 2; ++l) {
        for (int v = 0; v < 3; ++v) val[l][v] = side_value(s.lines[l], p[v]);
    }
    const bool beyond0 = (val[0][0] <= -m) & (val[0][1] <= -m) & (val[0][2] <= -m);
    const bool beyond1 = (val[1][0] <= -m) & (val[1][1] <= -m) & (val[1][2] <= -m);
    if (beyond0 | beyond1) return StrutVerdict::copy;
    for (int v = 0; v < 3; ++v) {
        const double tau = axis_coordinate(s, p[v]);
        val[2][v] = s.half_length + tau;
        val[3][v] = s.half_length - tau;
    }
    for (int l = 2; l < kStrutLines; ++l) {
        if (val[l][0] <= -m && val[l][1] <= -m && val[l][2] <= -m) return StrutVerdict::copy;
    }
    for (const auto& line : val) {
        if (!(line[0] >= m && line[1] >= m && line[2] >= m)) return StrutVerdict::clip;
    }
    return StrutVerdict::drop;
}

Point crossing(const Point& cur, const Point& next, double s_cur, double s_next) {
    const double t = s_cur / (s_cur - s_next);
    return {(next.x - cur.x) * t + cur.x, (next.y - cur.y) * t + cur.y};
}

// The part of `poly` on the outer side (sigma <= 0) of a line; points on the
// line belong to it.
int outer_piece(const Point* poly, const double* sigma, int n, Point* piece) {
    int q = 0;
    for (int k = 0; k < n; ++k) {
        const int nk = k + 1 == n ? 0 : k + 1;
        if (sigma[k] <= 0.0) {
            piece[q++] = poly[k];
            if (sigma[nk] > 0.0) piece[q++] = crossing(poly[k], poly[nk], sigma[k], sigma[nk]);
        } else if (sigma[k] > 0.0 && sigma[nk] <= 0.0) {
            piece[q++] = crossing(poly[k], poly[nk], sigma[k], sigma[nk]);
        }
    }
    return q;
}

// The part of `poly` on the inner side (sigma >= 0) of a line.
int inner_piece(const Point* poly, const double* sigma, int n, Point* piece) {
    int q = 0;
    for (int k = 0; k < n; ++k) {
        const int nk = k + 1 == n ? 0 : k + 1;
        if (sigma[k] >= 0.0) {
            piece[q++] = poly[k];
            if (sigma[nk] < 0.0) piece[q++] = crossing(poly[k], poly[nk], sigma[k], sigma[nk]);
        } else if (sigma[k] < 0.0 && sigma[nk] >= 0.0) {
            piece[q++] = crossing(poly[k], poly[nk], sigma[k], sigma[nk]);
        }
    }
    return q;
}

// The triangles cut off one triangle, in the order they are found.
struct CutList {
    Point tri[kMaxCutTriangles][3];
    int n;
};

void collect_fan(const Point* piece, int q, CutList& cuts) {
    for (int t = 1; t + 1 < q; ++t) {
        const double a2 = doubled_area(piece[0], piece[t], piece[t + 1]);
        if (is_sliver(a2)) continue;
        cuts.tri[cuts.n][0] = piece[0];
        cuts.tri[cuts.n][1] = piece[t];
        cuts.tri[cuts.n][2] = piece[t + 1];
        ++cuts.n;
    }
}

// A polygon whose every point is on a line (a line with a zero pair has
// every point on it) is the whole of both pieces: once taken as the outer
// piece it must not go on as the inner one too, or later lines would write
// it again.
bool lies_on_line(const double* sigma, int n) {
    for (int k = 0; k < n; ++k) {
        if (sigma[k] != 0.0) return false;
    }
    return true;
}

// Splits the triangle by the four lines in turn, collecting the fan of
// what lies beyond each; what is inside all four is left behind.
void cut_triangle_by_strut(const StrutLines& s, const Point* p, CutList& cuts) {
    Point buf_a[kMaxPiecePoints];
    Point buf_b[kMaxPiecePoints];
    Point outer[kMaxPiecePoints];
    double sigma[kMaxPiecePoints];
    Point* cur = buf_a;
    Point* inner = buf_b;
    int n = 3;
    for (int v = 0; v < 3; ++v) cur[v] = p[v];
    cuts.n = 0;
    for (int l = 0; l < kStrutLines; ++l) {
        for (int k = 0; k < n; ++k) sigma[k] = side_value(s.lines[l], cur[k]);
        const int q = outer_piece(cur, sigma, n, outer);
        const int r = inner_piece(cur, sigma, n, inner);
        if (q >= 3) collect_fan(outer, q, cuts);
        if (r <= 2 || lies_on_line(sigma, n)) break;
        Point* t = cur;
        cur = inner;
        inner = t;
        n = r;
    }
}

}  // namespace

int clip_triangles_to_strut(const TriangleList& triangles, const Strut& strut, double margin,
                            const ClipOutput& out) {
    if (triangles.count <= 0) return 0;
    const StrutLines s = strut_lines(strut);
    CutList cuts;
    std::size_t j = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(triangles.count); ++i) {
        double record[kRecordDoubles];
        read_record(triangles, i, record);
        const Point p[3] = {vertex(record, 0), vertex(record, 1), vertex(record, 2)};
        const StrutVerdict verdict = quick_strut_verdict(s, p, margin);
        if (verdict == StrutVerdict::copy) {
            write_record(out, j++, record);
            continue;
        }
        if (verdict == StrutVerdict::drop) {
            bump(out.dropped);
            continue;
        }
        cut_triangle_by_strut(s, p, cuts);
        if (cuts.n == 0) {
            bump(out.dropped);
            continue;
        }
        bump(out.clipped);
        // More than seven pieces come only from end lines that coincide to
        // rounding (a strut of length 0 or about 1e-16), where every piece
        // carries real area and the strut removes next to none: the triangle
        // is kept whole, which also keeps the output within the caller's
        // seven records per input triangle.
        if (cuts.n > kStrutRecords) {
            write_record(out, j++, record);
            continue;
        }
        for (int k = 0; k < cuts.n; ++k) {
            write_triangle(out, j++, cuts.tri[k][0], cuts.tri[k][1], cuts.tri[k][2]);
        }
    }
    return static_cast<int>(j);
}

}  // namespace trovel
