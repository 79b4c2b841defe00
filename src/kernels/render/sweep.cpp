// A shape given as signed convex pieces, on a lazy affine grid, by a sweep
// of each row from the left.
//
// In the grid's index space, shifted by a half, pixel (i, k) is the unit
// cell [k, k + 1] x [i, i + 1], and the pieces are polygons again.  The
// area of a cell inside a counter-clockwise polygon is the sum, over the
// parts of its edges within the cell's row, of -dy times the width of the
// cell to the right of the part (the trapezoid between the part and the
// cell's right side) plus -dy times the whole width for the parts to its
// left.  So each part deposits -dy (1 - m) in its cell and -dy m in the
// next, m the offset of its middle from the cell's left side, and a cell's
// value is the sum of the deposits up to it: weighted by the pieces'
// coefficients, the shape's fraction of the cell.
//
// A cell that no edge meets lies wholly inside or outside each piece: its
// value is an integer, the coefficients of the pieces that hold it.  The
// sweep starts again from that integer after every such cell, so what a
// cell receives depends only on the cells next to it that edges meet, not
// on where the row or the window begins: every window, and every band of
// rows on any thread, gives the same bits.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "kernels/threads.hpp"
#include "render.hpp"
#include "trovel/streaming.hpp"

namespace trovel {
namespace {

constexpr std::int64_t kSweepRows = 64;      // rows of a band, the work one thread takes at a time
constexpr std::int64_t kDenseRun = 1024;     // cells of a run swept in a buffer of its own
// Index-space coordinates beyond this are refused: cells are counted in
// 64-bit integers and a cell's offsets must keep some bits.
constexpr double kFarthest = 4503599627370496.0;   // 2^52
constexpr std::int64_t kFarthestCell = std::int64_t{1} << 52;
// The most columns an edge may cross: a row's sweep walks each crossing
// edge cell by cell, so a longer one is left to the boundary walk.
constexpr double kWidest = 1048576.0;              // 2^20
// Closer than this to 0 or 1 is 0 or 1 (fraction).
constexpr double kSnap = 0x1p-40;

// An edge in index space, from (xa, ya) to (xb, yb).
struct SweepEdge {
    double xa, ya, xb, yb;
    double dxdy;                 // the run along x per unit of y; 0 when horizontal
    double dydx;                 // the rise per unit of x; 0 when vertical
    double w;                    // what a unit of its dy deposits: the piece's coefficient, signed
    std::int64_t first, last;    // the rows whose interiors it meets

    bool horizontal() const { return ya == yb; }

    // x where the edge is at height y, y within its range: its ends exactly.
    double x_at(double y) const {
        if (y == ya) return xa;
        if (y == yb) return xb;
        return xa + (y - ya) * dxdy;
    }
};

// The part of an edge within one row: from (xs, ys) to (xe, ye) in the
// edge's direction, meeting cells [lo, hi].
struct RowPart {
    double xs, ys, xe, ye, w, dydx;
    std::int64_t lo, hi;
    std::int64_t last;           // the edge's last row
    std::int32_t id;
    bool flat;                   // horizontal: it bounds cells, deposits nothing

    bool before(const RowPart& o) const { return lo < o.lo || (lo == o.lo && id < o.id); }
};

// floor(x) for |x| < 2^52, by truncation: the machine's baseline has no
// instruction for it, and the library's call costs more than the rest of
// a cell's work.
std::int64_t floor_of(double x) {
    const auto t = static_cast<std::int64_t>(x);
    return static_cast<double>(t) > x ? t - 1 : t;
}

// The cells whose interiors [xl, xr] meets (a point on a cell's left side
// counts in that cell, so a vertical edge on a cell side has one).
void cells_of(double xl, double xr, std::int64_t& lo, std::int64_t& hi) {
    lo = floor_of(xl);
    const std::int64_t r = floor_of(xr);
    hi = xr > xl && static_cast<double>(r) == xr ? r - 1 : r;
}

// A part of edge e in row i (its edge's own fields set when it was taken).
void place_in_row(const SweepEdge& e, std::int64_t i, RowPart& p) {
    const double top = static_cast<double>(i) + 1.0, bottom = static_cast<double>(i);
    if (p.flat) {
        p.xs = e.xa, p.xe = e.xb, p.ys = p.ye = e.ya;
    } else {
        const double ylo = std::max(std::min(e.ya, e.yb), bottom);
        const double yhi = std::min(std::max(e.ya, e.yb), top);
        p.ys = e.ya < e.yb ? ylo : yhi;
        p.ye = e.ya < e.yb ? yhi : ylo;
        p.xs = e.x_at(p.ys);
        p.xe = e.x_at(p.ye);
    }
    cells_of(std::min(p.xs, p.xe), std::max(p.xs, p.xe), p.lo, p.hi);
}

// Walks a row's part across its cells left of `stop`, left to right,
// handing each cell its deposit, put(cell, value): its own share, and the
// share the part left of it hands on; then the share of the cell after the
// last.  (The cells from `stop` on are not asked for: nothing deposited
// there reaches a cell left of it.)
template <class Put>
void deposit(const RowPart& p, std::int64_t stop, Put put) {
    if (p.flat || p.lo >= stop) return;
    const bool rightward = p.xe >= p.xs;
    const double xl = rightward ? p.xs : p.xe, yl = rightward ? p.ys : p.ye;
    const double xr = rightward ? p.xe : p.xs, yr = rightward ? p.ye : p.ys;
    const double sign = rightward ? p.w : -p.w;   // the walk's dy is the edge's, or its negative
    if (p.lo == p.hi) {
        const double a = sign * (yr - yl), m = 0.5 * (xl + xr) - static_cast<double>(p.lo);
        put(p.lo, a * (1.0 - m));
        put(p.lo + 1, a * m);
        return;
    }
    double x0 = xl, y0 = yl, handed = 0.0;
    const std::int64_t end = std::min(p.hi, stop - 1);
    for (std::int64_t c = p.lo; c <= end; ++c) {
        double x1 = xr, y1 = yr;
        if (c < p.hi) {
            x1 = static_cast<double>(c) + 1.0;
            y1 = yl + (x1 - xl) * p.dydx;
        }
        const double a = sign * (y1 - y0), m = 0.5 * (x0 + x1) - static_cast<double>(c);
        put(c, handed + a * (1.0 - m));
        handed = a * m;
        x0 = x1, y0 = y1;
    }
    put(end + 1, handed);
}

// A cell's value as a fraction.  Pieces that share a stretch of boundary
// (a segment, and the part of it a spider covers) cancel there only to the
// rounding of their coordinates: a few units in the last place of the
// positions, in pixels.  A value that close to 0 or 1 is taken to be it,
// within the renderer's stated accuracy.
double fraction(double v) { return v < kSnap ? 0.0 : (v > 1.0 - kSnap ? 1.0 : v); }

// The storage of a band's sweep.
struct SweepScratch {
    std::vector<RowPart> parts;           // the row's parts, in (lo, id) order
    std::vector<RowPart> merged;          // room to merge a row's new parts in
    std::vector<double> acc;              // a run's deposits, cell by cell; zeros between runs
    std::vector<std::pair<std::int64_t, double>> sparse;   // a long run's deposits
    std::vector<double> values;           // a run's pixels within the window, from the first
};

// The edges of the pieces in index space, and the rows they start in.
struct SweepPlan {
    std::vector<SweepEdge> edges;
    std::vector<std::int32_t> bucket_start, bucket;   // edges by starting row in the window
    std::vector<std::int32_t> band_start, band_edges; // per band, the edges begun above it
    std::int64_t r0 = 0;

    std::int64_t band_of(std::int64_t row) const { return (row - r0) / kSweepRows; }
};

// (u, v) = M^-1 (p - q), shifted by a half; false when it is not finite or
// too far out.
bool to_index_space(double i00, double i01, double i10, double i11, const Point& q,
                    const Point& p, Point& u) {
    const double dx = p.x - q.x, dy = p.y - q.y;
    u = {(i00 * dx + i01 * dy) + 0.5, (i10 * dx + i11 * dy) + 0.5};
    return std::fabs(u.x) < kFarthest && std::fabs(u.y) < kFarthest;
}

// An edge from a to b of a piece of weight w, with the rows it meets;
// false when it meets no cell's interior.
bool edge_between(const Point& a, const Point& b, double w, SweepEdge& e) {
    e = {a.x, a.y, b.x, b.y, 0.0, 0.0, w, 0, -1};
    if (e.xa != e.xb) e.dydx = (e.yb - e.ya) / (e.xb - e.xa);
    if (e.horizontal()) {
        if (e.xa == e.xb || std::floor(e.ya) == e.ya) return false;
        e.first = e.last = static_cast<std::int64_t>(std::floor(e.ya));
        return true;
    }
    e.dxdy = (e.xb - e.xa) / (e.yb - e.ya);
    e.first = static_cast<std::int64_t>(std::floor(std::min(e.ya, e.yb)));
    e.last = static_cast<std::int64_t>(std::ceil(std::max(e.ya, e.yb))) - 1;
    return true;
}

// The pieces' edges that meet the rows of `local`, in the index space of
// the grid counted from the grid position nearest the plane's origin:
// there the coordinates are as small as the pieces' own, and keep as many
// bits.  `local` is the window in those counts.  False when the map or an
// edge is beyond what the sweep can carry.
bool edges_in_index_space(const SignedPieces& pieces, const GridWindow& win,
                          std::vector<SweepEdge>& edges, GridWindow& local) {
    const GridMap& m = win.map;
    const double det = m.m00 * m.m11 - m.m01 * m.m10;
    if (!std::isfinite(det) || det == 0.0) return false;
    for (const std::int64_t at : {win.r0, win.r1, win.c0, win.c1})
        if (at < -kFarthestCell || at > kFarthestCell) return false;
    const double i00 = m.m11 / det, i01 = -m.m01 / det, i10 = -m.m10 / det, i11 = m.m00 / det;
    Point origin;
    if (!to_index_space(i00, i01, i10, i11, {m.x0, m.y0}, {0.0, 0.0}, origin)) return false;
    const double k0 = std::floor(origin.x), r0 = std::floor(origin.y);
    const Point q = grid_centre(m, k0, r0);
    local = win;
    local.r0 -= static_cast<std::int64_t>(r0), local.r1 -= static_cast<std::int64_t>(r0);
    local.c0 -= static_cast<std::int64_t>(k0), local.c1 -= static_cast<std::int64_t>(k0);
    // a mirroring map turns the pieces clockwise in index space
    const double turn = det > 0.0 ? -1.0 : 1.0;
    std::vector<Point> v;
    edges.clear();
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        v.clear();
        for (std::int32_t j = pieces.start[k]; j < pieces.start[k + 1]; ++j) {
            Point u;
            if (!to_index_space(i00, i01, i10, i11, q, pieces.xy[static_cast<std::size_t>(j)], u))
                return false;
            v.push_back(u);
        }
        for (std::size_t b = 0, a = v.size() - 1; b < v.size(); a = b++) {
            SweepEdge e;
            if (!edge_between(v[a], v[b], turn * pieces.coef[k], e)) continue;
            if (!e.horizontal() && std::fabs(e.xb - e.xa) > kWidest) return false;
            if (e.last < local.r0 || e.first >= local.r1) continue;
            edges.push_back(e);
        }
    }
    return true;
}

// Items [0, n) into lists: list(i, add) calls add(l) for each list l that
// holds item i; `start` gets the lists' offsets into `items`, `lists` + 1
// of them, and each list holds its items in ascending order.
template <class List>
void sort_into_lists(std::size_t n, std::size_t lists, List list, std::vector<std::int32_t>& start,
                     std::vector<std::int32_t>& items) {
    start.assign(lists + 1, 0);
    for (std::size_t i = 0; i < n; ++i) list(i, [&](std::size_t l) { ++start[l + 1]; });
    for (std::size_t l = 0; l < lists; ++l) start[l + 1] += start[l];
    items.resize(static_cast<std::size_t>(start.back()));
    std::vector<std::int32_t> next(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        list(i, [&](std::size_t l) {
            items[static_cast<std::size_t>(next[l]++)] = static_cast<std::int32_t>(i);
        });
}

bool plan_sweep(const SignedPieces& pieces, const GridWindow& win, SweepPlan& plan,
                GridWindow& local) {
    if (!edges_in_index_space(pieces, win, plan.edges, local)) return false;
    plan.r0 = local.r0;
    const std::int64_t last_row = local.r1 - 1;
    const std::vector<SweepEdge>& edges = plan.edges;
    // by the first row of the window each meets
    sort_into_lists(edges.size(), static_cast<std::size_t>(local.rows()),
                    [&](std::size_t i, auto add) {
        add(static_cast<std::size_t>(std::max(edges[i].first, local.r0) - local.r0));
    }, plan.bucket_start, plan.bucket);
    // and again in every later band its rows reach
    sort_into_lists(edges.size(), static_cast<std::size_t>(plan.band_of(last_row)) + 1,
                    [&](std::size_t i, auto add) {
        const std::int64_t b1 = plan.band_of(std::min(edges[i].last, last_row));
        for (std::int64_t b = plan.band_of(std::max(edges[i].first, local.r0)) + 1; b <= b1; ++b)
            add(static_cast<std::size_t>(b));
    }, plan.band_start, plan.band_edges);
    return true;
}

// The parts of the rows of a band, row after row: those of the edges that
// meet the row, placed in it and kept in (lo, id) order.  The order is a
// total one, so it is the same whichever row the band began at.
class ActiveParts {
public:
    ActiveParts(const SweepPlan& plan, std::vector<RowPart>& parts, std::vector<RowPart>& merged)
        : plan_(plan), parts_(parts), merged_(merged) {}

    // From the first row of band b on: the edges that began above it.
    void start(std::int64_t b) {
        parts_.clear();
        settled_ = 0;
        const std::size_t k = static_cast<std::size_t>(b);
        for (std::int32_t j = plan_.band_start[k]; j < plan_.band_start[k + 1]; ++j)
            take(plan_.band_edges[static_cast<std::size_t>(j)]);
    }

    // The parts of row i (rows are asked for in turn, from the band's first).
    void advance(std::int64_t i) {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < settled_; ++k) {
            if (parts_[k].last < i) continue;
            if (kept != k) parts_[kept] = parts_[k];
            ++kept;
        }
        // the parts of earlier rows, kept and moved: nearly in order already
        const std::size_t fresh = parts_.size() - settled_;
        std::move(parts_.begin() + static_cast<std::ptrdiff_t>(settled_), parts_.end(),
                  parts_.begin() + static_cast<std::ptrdiff_t>(kept));
        parts_.resize(kept + fresh);
        for (std::size_t k = 0; k < kept; ++k) place(parts_[k], i);
        for (std::size_t k = 1; k < kept; ++k) {
            if (!parts_[k].before(parts_[k - 1])) continue;
            const RowPart p = parts_[k];
            std::size_t j = k;
            for (; j > 0 && p.before(parts_[j - 1]); --j) parts_[j] = parts_[j - 1];
            parts_[j] = p;
        }
        // the edges beginning in this row, sorted and merged in
        const std::size_t b = static_cast<std::size_t>(i - plan_.r0);
        for (std::int32_t j = plan_.bucket_start[b]; j < plan_.bucket_start[b + 1]; ++j)
            take(plan_.bucket[static_cast<std::size_t>(j)]);
        if (parts_.size() > kept) {
            for (std::size_t k = kept; k < parts_.size(); ++k) place(parts_[k], i);
            const auto mid = parts_.begin() + static_cast<std::ptrdiff_t>(kept);
            const auto before = [](const RowPart& x, const RowPart& y) { return x.before(y); };
            std::sort(mid, parts_.end(), before);
            merged_.resize(parts_.size());
            std::merge(parts_.begin(), mid, mid, parts_.end(), merged_.begin(), before);
            parts_.swap(merged_);
        }
        settled_ = parts_.size();
    }

private:
    // Edge `id` among the row's parts, what it keeps from row to row set.
    void take(std::int32_t id) {
        const SweepEdge& e = plan_.edges[static_cast<std::size_t>(id)];
        RowPart p{};
        p.w = e.w;
        p.dydx = e.dydx;
        p.last = e.last;
        p.id = id;
        p.flat = e.horizontal();
        parts_.push_back(p);
    }

    void place(RowPart& p, std::int64_t i) const {
        place_in_row(plan_.edges[static_cast<std::size_t>(p.id)], i, p);
    }

    const SweepPlan& plan_;
    std::vector<RowPart>& parts_;
    std::vector<RowPart>& merged_;
    std::size_t settled_ = 0;    // parts_[0, settled_) were placed in the row before
};

// Cells [s, e] of a run met by the parts [p0, p1), swept from `winding`:
// those within [c0, c1) into sc.values, from max(s, c0) on.
void sweep_run(const RowPart* p0, const RowPart* p1, std::int64_t s, std::int64_t e,
               double winding, std::int64_t c0, std::int64_t c1, SweepScratch& sc) {
    const std::int64_t from = std::max(s, c0), to = std::min(e + 1, c1);
    double* out = sc.values.data() - from;   // room for the window's row
    if (to - s <= kDenseRun) {
        double* acc = sc.acc.data() - s;   // zeros, and left so
        for (const RowPart* p = p0; p < p1; ++p)
            deposit(*p, to, [&](std::int64_t c, double a) { acc[c] += a; });
        double v = winding;
        for (std::int64_t c = s; c < from; ++c) v += acc[c];
        for (std::int64_t c = from; c < to; ++c) out[c] = fraction(v += acc[c]);
        std::fill(acc + s, acc + to + 1, 0.0);
        return;
    }
    // A long run (a near-horizontal edge): its deposits sorted by cell, a
    // cell's summed in the order made, as the buffer would.
    sc.sparse.clear();
    for (const RowPart* p = p0; p < p1; ++p)
        deposit(*p, to, [&](std::int64_t c, double a) { sc.sparse.emplace_back(c, a); });
    std::stable_sort(sc.sparse.begin(), sc.sparse.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    double v = winding;
    std::int64_t c = from;
    for (std::size_t k = 0; k < sc.sparse.size() && c < to;) {
        const std::int64_t cell = sc.sparse[k].first;
        double sum = 0.0;
        for (; k < sc.sparse.size() && sc.sparse[k].first == cell; ++k) sum += sc.sparse[k].second;
        for (; c < std::min(cell, to); ++c) out[c] = fraction(v);
        v += sum;
    }
    for (; c < to; ++c) out[c] = fraction(v);
}

// A row written in place, left to right, with plain stores (RowWriter's
// calls), its zeros left unwritten where it holds them already.
struct PlainRow {
    double* at;
    bool zeroed;

    void fill(double v, std::int64_t n) {
        if (!zeroed || v != 0.0) fill_run(at, n, v);
        at += n;
    }
    void copy(const double* from, std::int64_t n) {
        std::memcpy(at, from, static_cast<std::size_t>(n) * sizeof(double));
        at += n;
    }
};

// Row i of the window, its parts in (lo, id) order, written across the
// columns [c0, c1) by `row`.
template <class Row>
void sweep_row(const std::vector<RowPart>& parts, std::int64_t c0, std::int64_t c1,
               SweepScratch& sc, Row& row) {
    double winding = 0.0;        // left of every piece
    std::int64_t done = c0;      // columns written
    for (std::size_t k = 0; k < parts.size() && done < c1 && parts[k].lo < c1;) {
        // a run: the cells met by parts that overlap or touch, no cell between
        const std::size_t first = k;
        const std::int64_t s = parts[k].lo;
        std::int64_t e = parts[k].hi;
        double turns = 0.0;
        for (; k < parts.size() && parts[k].lo <= e + 1; ++k) {
            e = std::max(e, parts[k].hi);
            turns += parts[k].w * (parts[k].ye - parts[k].ys);
        }
        if (e >= c0 && s < c1) {
            row.fill(fraction(winding), std::max(s, c0) - done);
            sweep_run(parts.data() + first, parts.data() + k, s, e, winding, c0, c1, sc);
            row.copy(sc.values.data(), std::min(e + 1, c1) - std::max(s, c0));
            done = std::min(e + 1, c1);
        }
        // across the run the winding changes by a whole number of turns
        winding += std::nearbyint(turns);
    }
    row.fill(fraction(winding), c1 - done);
}

}  // namespace

bool sweep_grid(const SignedPieces& pieces, const GridWindow& window, double* out, int threads,
                bool stream, bool zeroed) {
    thread_local SweepPlan kept;   // the caller's: its workers read it
    SweepPlan& plan = kept;
    GridWindow local;
    if (!plan_sweep(pieces, window, plan, local)) return false;
    const std::int64_t bands = (local.rows() + kSweepRows - 1) / kSweepRows;
    for_each_piece(threads, bands, [&](std::int64_t b) {
        // a band's own storage: a thread's, kept from call to call, would
        // have its address looked up again and again
        SweepScratch sc;
        sc.acc.assign(kDenseRun + 2, 0.0);
        sc.values.resize(static_cast<std::size_t>(local.cols()));
        const std::int64_t i0 = local.r0 + b * kSweepRows, i1 = std::min(local.r1, i0 + kSweepRows);
        const std::int64_t cols = local.cols();
        ActiveParts active(plan, sc.parts, sc.merged);
        active.start(b);
        for (std::int64_t i = i0; i < i1; ++i) {
            active.advance(i);
            double* at = out + (i - local.r0) * cols;
            if (stream) {
                RowWriter row(at, true, zeroed);
                sweep_row(sc.parts, local.c0, local.c1, sc, row);
            } else {
                PlainRow row{at, zeroed};
                sweep_row(sc.parts, local.c0, local.c1, sc, row);
            }
        }
        end_streaming(stream);
    });
    return true;
}

}  // namespace trovel
