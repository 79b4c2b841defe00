// Resampling: the flux of each source pixel spread over the pixels of an
// affine target grid by the exact area of their overlap.
//
// Output pixel j receives sum_i value_i area(F_i & T_j) / area(F_i), its
// weight sum_i area(F_i & T_j) / area(T_j) and, when given, its variance
// sum_i variance_i (area(F_i & T_j) / area(F_i))^2.  Area ratios are
// invariant under the target's affine map, so everything is measured in
// the target's cell coordinates, where target pixel (row i, column k) is
// the unit square [k, k + 1] x [i, i + 1] and area(T_j) is 1.
//
// A source footprint is a quadrilateral (a corner grid's pixel, or a
// parallelogram: a Jacobian footprint or a grid's pixel), its corners
// carried to cell coordinates by the inverse of the target's map, then
// taken about the lower left cell of its box (exactly, for a box within
// the target: a whole number taken from a double no smaller than it is
// exact).  Its area in each cell of the box is Green's -(integral of y dx)
// around it, clamped to the cell (quad_cells): every edge that runs across
// a column adds, to each cell of the column, a closed form in the heights
// of its ends there.  This holds for any simple quadrilateral, convex or
// not, of either orientation.  A quad of at most 3 x 3 cells within the
// target (nearly all, when the grids' pixels are of a size) takes the same
// sum with the box's size fixed (small_box_cells).  The choice depends on
// the quad alone, so every band computes a cell alike.
//
// Threads take bands of target rows; each band walks the source pixels
// that reach it in one order (strips of source columns, each row by row)
// and writes only its own rows, so every output pixel receives its
// additions in that order, each the same product whatever band computes
// it.  What falls beyond the target is summed per source row (a survey
// pass, by chunks of rows) and the rows in order.  So every result has the
// same bits for any thread count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <stdexcept>
#include <vector>

#include "kernels/bindings.hpp"
#include "kernels/pairs.hpp"
#include "kernels/threads.hpp"

namespace trovel {
namespace {

// floor of a value below 2^62 in size, by a conversion to an integer:
// std::floor is a library call where the instruction set has no rounding
// instruction, and this runs four times per source pixel.
inline double floor_small(double x) {
    const double t = static_cast<double>(static_cast<std::int64_t>(x));
    return t > x ? t - 1.0 : t;
}

// ---- the target --------------------------------------------------------

// The target grid: rows x cols pixels under the map m; the inverse map
// carries plane points to cell coordinates (column k, row i spanning
// [k, k + 1] x [i, i + 1]).
struct Target {
    GridMap m;
    std::int64_t rows, cols;
    double i00, i01, i10, i11;

    Target(const GridMap& map, std::int64_t ny, std::int64_t nx) : m(map), rows(ny), cols(nx) {
        const double det = m.m00 * m.m11 - m.m01 * m.m10;
        i00 = m.m11 / det;
        i01 = -m.m01 / det;
        i10 = -m.m10 / det;
        i11 = m.m00 / det;
    }

    // The plane point (x, y) in cell coordinates.
    void to_cells(double x, double y, double& u, double& v) const {
        const double dx = x - m.x0, dy = y - m.y0;
        u = (i00 * dx + i01 * dy) + 0.5;
        v = (i10 * dx + i11 * dy) + 0.5;
    }
};

// ---- the source ------------------------------------------------------------

// The source pixels as rows, each a run of quadrilaterals in the plane:
// a corner grid's rows, a lazy grid's rows, or per-pixel footprints in
// runs of kFootprintRow.  Pixel k of row r is value index r * width + k.
constexpr std::int64_t kFootprintRow = 1024;

enum class SourceKind { Corners, Grid, Footprints };

struct Source {
    SourceKind kind;
    CornerGrid corners{};
    GridMap grid{};
    PixelArrays footprints{};
    std::int64_t rows = 0, width = 0, count = 0;

    std::int64_t row_length(std::int64_t r) const {
        return std::min(width, count - r * width);
    }

    // Corner (row i, column k) of a corner grid or a lazy grid: the image of
    // grid position (k - 0.5, i - 0.5).
    void corner(std::int64_t i, std::int64_t k, double& x, double& y) const {
        if (kind == SourceKind::Corners) {
            const std::int64_t n = corners.at(i, k);
            x = corners.x[n], y = corners.y[n];
            return;
        }
        const Point p = grid_centre(grid, double(k) - 0.5, double(i) - 0.5);
        x = p.x, y = p.y;
    }

    // The plane corners of footprint k of row r, in order.
    void quad(std::int64_t r, std::int64_t k, double* x, double* y) const {
        const std::int64_t n = r * width + k;
        const PixelArrays& f = footprints;
        const double ax = 0.5 * f.j00[n], ay = 0.5 * f.j10[n];
        const double bx = 0.5 * f.j01[n], by = 0.5 * f.j11[n];
        const double qx = f.qx[n], qy = f.qy[n];
        x[0] = qx - ax - bx, y[0] = qy - ay - by;
        x[1] = qx + ax - bx, y[1] = qy + ay - by;
        x[2] = qx + ax + bx, y[2] = qy + ay + by;
        x[3] = qx - ax + bx, y[3] = qy - ay + by;
    }
};

// ---- one quadrilateral in cell coordinates ---------------------------------------

// A source pixel in the target's cell coordinates: corners about the cell
// (k0, i0) of its box's lower left corner (that cell clamped to one cell
// beyond the target, so that the offsets of a pixel reaching far outside
// stay of the target's size), its box in cells, and twice its signed area.
struct CellQuad {
    double x[4], y[4];
    std::int64_t k0, i0;          // the cell the offsets are taken about
    std::int64_t klo, khi, ilo, ihi;   // the box's cells, global, inclusive
    double twice_area;
    bool finite;
};

// The box of a quad's cells alone (the survey's view of it): the cells of
// its corners' extremes, clamped a cell beyond the target before they
// become integers.
void cell_box(const Target& t, const double* u, const double* v, CellQuad& q) {
    const double umin = std::min(std::min(u[0], u[1]), std::min(u[2], u[3]));
    const double umax = std::max(std::max(u[0], u[1]), std::max(u[2], u[3]));
    const double vmin = std::min(std::min(v[0], v[1]), std::min(v[2], v[3]));
    const double vmax = std::max(std::max(v[0], v[1]), std::max(v[2], v[3]));
    q.finite = std::isfinite(umin) && std::isfinite(umax) && std::isfinite(vmin) &&
               std::isfinite(vmax);
    if (!q.finite) return;
    const auto cell = [](double c, std::int64_t n) {
        return static_cast<std::int64_t>(floor_small(std::clamp(c, -1.0, double(n))));
    };
    q.klo = cell(umin, t.cols);
    q.khi = cell(umax, t.cols);
    q.ilo = cell(vmin, t.rows);
    q.ihi = cell(vmax, t.rows);
}

CellQuad cell_quad(const Target& t, const double* u, const double* v) {
    CellQuad q;
    cell_box(t, u, v, q);
    if (!q.finite) return q;
    q.k0 = q.klo;
    q.i0 = q.ilo;
    const double ku = double(q.k0), iv = double(q.i0);
    for (int j = 0; j < 4; ++j) {
        q.x[j] = u[j] - ku;
        q.y[j] = v[j] - iv;
    }
    q.twice_area = (q.x[2] - q.x[0]) * (q.y[3] - q.y[1]) - (q.x[3] - q.x[1]) * (q.y[2] - q.y[0]);
    return q;
}

// Pixels [k0, k1] of source row r in cell coordinates.  A corner grid's or
// a lazy grid's are held as their two rows of corners (u0, v0 along row r,
// u1, v1 along row r + 1, from corner k0), each corner carried once; when
// the next fill is of row r + 1 over the same pixels, the lower row is
// the one already carried.  Per-pixel footprints are held four corners a
// pixel.
struct RowCells {
    std::vector<double> u, v, upper, lower;
    const double *u0 = nullptr, *v0 = nullptr, *u1 = nullptr, *v1 = nullptr;
    std::int64_t row = -1, first = 0, last = -1;   // what the lower row holds

    // Forgets the rows carried: the next fill carries both.
    void forget() { row = -1; }

    void fill(const Source& src, const Target& t, std::int64_t r, std::int64_t k0,
              std::int64_t k1) {
        const std::size_t n = static_cast<std::size_t>(k1 - k0 + 1);
        if (src.kind == SourceKind::Footprints) {
            u.resize(4 * n);
            v.resize(4 * n);
            double px[4], py[4];
            for (std::int64_t k = k0; k <= k1; ++k) {
                src.quad(r, k, px, py);
                for (int j = 0; j < 4; ++j) t.to_cells(px[j], py[j], u[4 * (k - k0) + j], v[4 * (k - k0) + j]);
            }
            first = k0;
            return;
        }
        const std::size_t m = n + 1;
        const bool follows = row == r && first == k0 && last == k1;
        if (follows) std::swap(upper, lower);
        upper.resize(2 * m);
        lower.resize(2 * m);
        const auto carry = [&](std::int64_t i, std::vector<double>& to) {
            for (std::int64_t c = k0; c <= k1 + 1; ++c) {
                double x, y;
                src.corner(i, c, x, y);
                t.to_cells(x, y, to[c - k0], to[m + c - k0]);
            }
        };
        if (!follows) carry(r, upper);
        carry(r + 1, lower);
        row = r + 1, first = k0, last = k1;
        u0 = upper.data(), v0 = u0 + m;
        u1 = lower.data(), v1 = u1 + m;
    }

    bool shared(const Source& src) const { return src.kind != SourceKind::Footprints; }

    // The corners of pixel k (of those filled), in order.
    void pixel(const Source& src, std::int64_t k, double* pu, double* pv) const {
        const std::int64_t c = k - first;
        if (!shared(src)) {
            for (int j = 0; j < 4; ++j) pu[j] = u[4 * c + j], pv[j] = v[4 * c + j];
            return;
        }
        pu[0] = u0[c], pu[1] = u0[c + 1], pu[2] = u1[c + 1], pu[3] = u1[c];
        pv[0] = v0[c], pv[1] = v0[c + 1], pv[2] = v1[c + 1], pv[3] = v1[c];
    }
};

// Whether the box meets the target at all, and whether it lies within it.
bool meets_target(const CellQuad& q, const Target& t) {
    return q.khi >= 0 && q.klo < t.cols && q.ihi >= 0 && q.ilo < t.rows;
}

bool within_target(const CellQuad& q, const Target& t) {
    return q.klo >= 0 && q.khi < t.cols && q.ilo >= 0 && q.ihi < t.rows;
}

// The accumulators of the cells of target rows [ilo, ihi] and columns
// [klo, khi] (global, within the quad's box).
struct Cells {
    std::int64_t klo, khi, ilo, ihi;
    std::int64_t width;           // khi - klo + 1
    double orient;                // 1 for a counter-clockwise quad, else -1
    std::vector<double> acc;      // the areas signed as the quad runs

    // The area in cell (global row i, column klo + c): positive; a cell the
    // quad only touches can come out a rounding below zero, and holds
    // nothing.
    double area(std::int64_t i, std::int64_t c) const {
        return std::max(acc[static_cast<std::size_t>((i - ilo) * width + c)] * orient, 0.0);
    }

    // The areas of target rows [i0, i1] of the box, summed row by row.
    double sum(std::int64_t i0, std::int64_t i1) const {
        double s = 0.0;
        for (std::int64_t i = i0; i <= i1; ++i)
            for (std::int64_t c = 0; c <= khi - klo; ++c) s += area(i, c);
        return s;
    }
};

// The area above the level t under an edge's piece over a column: the
// integral of (y - t)+ across the piece, of width `width`, whose ends lie
// at heights lo <= hi.  Below lo it is width (mean - t); between, the
// triangle (hi - t)^2 / (2 |slope|), `run` being 1 / |slope|.
inline double area_above(double t, double lo, double hi, double width, double run) {
    const double h = hi - std::min(std::max(t, lo), hi);
    return 0.5 * (h * h) * run + width * std::max(lo - t, 0.0);
}

// The areas of the quad in the target's cells of its box within rows
// [ilo, ihi] (global): cells.area(i, k - cells.klo) for the rows
// [cells.ilo, cells.ihi] and columns [cells.klo, cells.khi]; false when no
// such cell lies in the target.
//
// Green's theorem, area = -(integral of y dx) around the quad (counter-
// clockwise), taken cell by cell: an edge adds to the cell of column c and
// row r minus the integral, over its piece in the column, of y clamped to
// the row, which is the piece's area above r less its area above r + 1
// (`area_above`), signed by the direction it runs.  A closed form per cell,
// the same whatever cells are asked for, so that the bands of any thread
// count compute each cell alike.
bool quad_cells(const CellQuad& q, const Target& t, std::int64_t ilo, std::int64_t ihi,
                Cells& cells) {
    const std::int64_t a = std::max(q.ilo, ilo), b = std::min(q.ihi, ihi);
    const std::int64_t c = std::max<std::int64_t>(q.klo, 0), d = std::min(q.khi, t.cols - 1);
    if (a > b || c > d) return false;
    cells.klo = c, cells.khi = d, cells.ilo = a, cells.ihi = b;
    cells.width = d - c + 1;
    const std::int64_t rows = b - a + 1;
    cells.acc.assign(static_cast<std::size_t>(rows * cells.width), 0.0);
    const double lo_col = double(c - q.k0), hi_col = double(d - q.k0) + 1.0;
    const double first_row = double(a - q.i0);
    // the edges' slopes and their inverses, the eight divisions together
    // (upright and level edges get what they divide by replaced by 1, and
    // their slope or run by 0 below)
    double ex[4], ey[4], per_x[4], per_y[4];
    for (int j = 0; j < 4; ++j) {
        const int n = (j + 1) & 3;
        ex[j] = q.x[n] - q.x[j];
        ey[j] = q.y[n] - q.y[j];
    }
    for (int j = 0; j < 4; ++j) {
        per_x[j] = 1.0 / (ex[j] != 0.0 ? ex[j] : 1.0);
        per_y[j] = 1.0 / (ey[j] != 0.0 ? ey[j] : 1.0);
    }
    for (int j = 0; j < 4; ++j) {
        const int n = (j + 1) & 3;
        const double x0 = q.x[j], y0 = q.y[j], x1 = q.x[n];
        const double dx = ex[j], dy = ey[j];
        if (dx == 0.0) continue;   // an upright edge bounds no area below it
        const double slope = dy * per_x[j], sign = dx > 0.0 ? -1.0 : 1.0;
        // 1 / |slope|; an edge too close to level for it to be a double is
        // taken as level (its triangles hold less than 1e-300 of a cell)
        double run = dy != 0.0 ? std::fabs(dx * per_y[j]) : 0.0;
        if (!(run <= 1e300)) run = 0.0;
        const double xmin = std::max(std::min(x0, x1), lo_col);
        const double xmax = std::min(std::max(x0, x1), hi_col);
        if (!(xmin < xmax)) continue;
        // the first column the edge crosses, stepped to (no conversion to
        // an integer in the loop's chain of dependences)
        double col = lo_col;
        while (col + 1.0 <= xmin) col += 1.0;
        for (; col < xmax; col += 1.0) {
            const double xa = std::max(col, xmin), xb = std::min(col + 1.0, xmax);
            const double width = xb - xa;
            if (!(width > 0.0)) continue;
            double ya = y0 + (xa - x0) * slope, yb = y0 + (xb - x0) * slope;
            if (dy == 0.0) ya = yb = y0;
            const double lo = std::min(ya, yb), hi = std::max(ya, yb);
            double* cell = cells.acc.data() + static_cast<std::int64_t>(col - lo_col);
            // Rows wholly below the piece take its whole width, rows above
            // it nothing; a piece within one row gives that row its mean
            // height above the row's foot, one across rows the differences
            // of its areas above their lines.  Which case a cell is depends
            // on the piece and the cell's own row alone.
            const double full = sign * width;
            std::int64_t below = 0;
            for (; below < rows && first_row + double(below + 1) <= lo; ++below)
                cell[below * cells.width] += full;
            if (below == rows) continue;
            const double foot = first_row + double(below);
            if (lo >= foot && hi <= foot + 1.0) {   // within the one row
                cell[below * cells.width] += full * (0.5 * (lo + hi) - foot);
                continue;
            }
            double under = area_above(first_row + double(below), lo, hi, width, run);
            for (std::int64_t r = below; r < rows && first_row + double(r) < hi; ++r) {
                const double next = area_above(first_row + double(r + 1), lo, hi, width, run);
                cell[r * cells.width] += sign * (under - next);
                under = next;
            }
        }
    }
    cells.orient = q.twice_area > 0.0 ? 1.0 : -1.0;
    return true;
}

struct Inputs {
    Source src;
    Target target;
    const double* values;
    const double* variance;   // null when none is resampled
};

struct Outputs {
    double* image;
    double* weight;
    double* variance;
    bool fresh;   // not yet written: each band zeroes its own rows first

    // Zeroes target rows [i0, i1) of a fresh output: the first touch of its
    // pages, made by the thread that writes them, so that they are taken
    // and cleared in parallel.
    void clear_rows(std::int64_t i0, std::int64_t i1, std::int64_t cols) const {
        if (!fresh) return;
        for (double* a : {image, weight, variance})
            if (a) std::fill(a + i0 * cols, a + i1 * cols, 0.0);
    }
};

// A quad whose box is at most kSmallBox cells each way and lies within the
// target: the same Green's sum with the box's size fixed, so that no loop
// depends on where an edge's pieces fall.  Each edge's piece over column c
// adds, to the cell of row r, its area above r less its area above r + 1;
// the area above the box's foot is the piece's width times its mean height
// (no piece lies below the foot) and the area above its top is nothing.
// Cells an edge does not reach get a piece of no width, whose areas are 0.
constexpr int kSmallBox = 3;

// Two of a quad's edges side by side, from corner j to j + 1 in each lane,
// with what their pieces over the columns need: slopes, runs (1 / |slope|,
// 0 for a level edge or one too close to level for it to be a double, as
// quad_cells takes them), the sign of -(integral of y dx) and their spans
// in x.
struct EdgePair {
    Pair x0, y0, slope, run, sign, xmin, xmax;

    EdgePair(const CellQuad& q, int j) {
        const int k = (j + 1) & 3, n = (j + 2) & 3;
        x0 = Pair{q.x[j], q.x[k]};
        y0 = Pair{q.y[j], q.y[k]};
        const Pair x1{q.x[k], q.x[n]}, y1{q.y[k], q.y[n]};
        const Pair dx = x1 - x0, dy = y1 - y0, zero{0.0, 0.0}, one{1.0, 1.0};
        slope = dy / (dx != zero ? dx : one);
        run = pair_abs(dx / (dy != zero ? dy : one));
        run = (dy != zero) & (run <= Pair{1e300, 1e300}) ? run : zero;
        sign = dx > zero ? -one : one;
        xmin = pair_min(x0, x1);
        xmax = pair_max(x0, x1);
    }
};

// The area above the level t under the pieces, lane by lane: area_above.
inline Pair areas_above(Pair t, Pair lo, Pair hi, Pair width, Pair run) {
    const Pair h = hi - pair_min(pair_max(t, lo), hi);
    return Pair{0.5, 0.5} * (h * h) * run + width * pair_max(lo - t, Pair{0.0, 0.0});
}

// Adds two edges' Green's sums to the cells of a W x H box, lane by lane.
// This and the functions around it are inlined whole into each box size's
// deposit, so that the cells' sums stay in registers (called, they went
// through memory, and the resampling took a quarter longer).
template <int W, int H>
[[gnu::always_inline]] inline void add_edge_pair(const EdgePair& e, Pair* acc) {
    for (int c = 0; c < W; ++c) {
        // the pieces over [c, c + 1], kept on their edges where empty
        const Pair left{double(c), double(c)}, right{double(c + 1), double(c + 1)};
        const Pair xa = pair_min(pair_max(left, e.xmin), e.xmax);
        const Pair xb = pair_max(pair_min(right, e.xmax), xa);
        const Pair width = xb - xa;
        const Pair ya = e.y0 + (xa - e.x0) * e.slope, yb = e.y0 + (xb - e.x0) * e.slope;
        const Pair lo = pair_min(ya, yb), hi = pair_max(ya, yb);
        Pair above = width * (Pair{0.5, 0.5} * (lo + hi));
        for (int r = 0; r < H; ++r) {
            const Pair level{double(r + 1), double(r + 1)};
            const Pair next = r + 1 < H ? areas_above(level, lo, hi, width, e.run) : Pair{0.0, 0.0};
            acc[r * W + c] += e.sign * (above - next);
            above = next;
        }
    }
}

// A small quad's cells, row by row, into acc: each cell the sum of its four
// edges' terms, edges 0 and 2, 1 and 3 in the two lanes.
template <int W, int H>
[[gnu::always_inline]] inline void small_box_cells(const CellQuad& q, double* acc) {
    Pair lanes[W * H];
    for (Pair& v : lanes) v = Pair{0.0, 0.0};
    add_edge_pair<W, H>(EdgePair(q, 0), lanes);
    add_edge_pair<W, H>(EdgePair(q, 2), lanes);
    for (int n = 0; n < W * H; ++n) acc[n] = lanes[n][0] + lanes[n][1];
}

// A small quad's cells in target rows [ilo, ihi] into the outputs.  A cell
// with no area is given only zeros, never a value that is not finite
// times 0.
template <int W, int H>
[[gnu::always_inline]] inline void deposit_small(const CellQuad& q, double flux, double spread,
                                                std::int64_t ilo, std::int64_t ihi,
                                                std::int64_t cols, const Outputs& out) {
    double acc[W * H];
    small_box_cells<W, H>(q, acc);
    const double orient = q.twice_area > 0.0 ? 1.0 : -1.0;
    const std::int64_t i0 = std::max(q.ilo, ilo), i1 = std::min(q.ihi, ihi);
    for (std::int64_t i = i0; i <= i1; ++i) {
        const double* row = acc + (i - q.ilo) * W;
        const std::int64_t at = i * cols + q.klo;
        double* image = out.image + at;
        double* weight = out.weight + at;
        for (int c = 0; c < W; ++c) {
            const double a = std::max(row[c] * orient, 0.0);
            const bool some = a > 0.0;
            image[c] += some ? flux * a : 0.0;
            weight[c] += a;
        }
        if (out.variance)
            for (int c = 0; c < W; ++c) {
                const double a = std::max(row[c] * orient, 0.0);
                out.variance[at + c] += a > 0.0 ? spread * (a * a) : 0.0;
            }
    }
}

// Deposits a quad whose box lies within the target and is at most
// kSmallBox cells either way; false for any other.
bool deposit_if_small(const CellQuad& q, const Target& t, double flux, double spread,
                      std::int64_t ilo, std::int64_t ihi, const Outputs& out) {
    const std::int64_t w = q.khi - q.klo + 1, h = q.ihi - q.ilo + 1;
    if (w > kSmallBox || h > kSmallBox || !within_target(q, t)) return false;
    const std::int64_t n = t.cols;
    switch (kSmallBox * (h - 1) + (w - 1)) {
        case 0: deposit_small<1, 1>(q, flux, spread, ilo, ihi, n, out); break;
        case 1: deposit_small<2, 1>(q, flux, spread, ilo, ihi, n, out); break;
        case 2: deposit_small<3, 1>(q, flux, spread, ilo, ihi, n, out); break;
        case 3: deposit_small<1, 2>(q, flux, spread, ilo, ihi, n, out); break;
        case 4: deposit_small<2, 2>(q, flux, spread, ilo, ihi, n, out); break;
        case 5: deposit_small<3, 2>(q, flux, spread, ilo, ihi, n, out); break;
        case 6: deposit_small<1, 3>(q, flux, spread, ilo, ihi, n, out); break;
        case 7: deposit_small<2, 3>(q, flux, spread, ilo, ihi, n, out); break;
        default: deposit_small<3, 3>(q, flux, spread, ilo, ihi, n, out); break;
    }
    return true;
}

// ---- the passes ------------------------------------------------------------

// Bands of target rows, and for each source row and band the run of the
// row's pixels [first, last] that may reach the band (empty: first > last).
struct Bands {
    std::int64_t count, height;
    double per_height;   // 1 / height
    std::vector<std::int32_t> first, last;   // source row r, band b at r * count + b

    // row / height by the reciprocal, cheaper than an integer division:
    // for rows below 2^50 the product is off by at most one, which the
    // test puts right.
    std::int64_t of(std::int64_t row) const {
        std::int64_t b = static_cast<std::int64_t>(double(row) * per_height);
        if (b * height > row)
            --b;
        else if ((b + 1) * height <= row)
            ++b;
        return b;
    }
};

// Source rows per piece of the survey, and pixels per run of a row.
constexpr std::int64_t kSurveyRows = 16;
constexpr std::int64_t kSurveyRun = 16;

// Whether the cell coordinates (u, v) all lie within the target, and the
// least and greatest v.  Values that are not finite are not within.
struct CellRange {
    PairBits within{-1, -1};   // all ones in a lane while every value is
    Pair lo{INFINITY, INFINITY}, hi{-INFINITY, -INFINITY};

    void add(const Target& t, Pair u, Pair v) {
        const Pair zero{0.0, 0.0}, cols{double(t.cols), double(t.cols)};
        const Pair rows{double(t.rows), double(t.rows)};
        within &= (u >= zero) & (u < cols) & (v >= zero) & (v < rows);
        lo = pair_min(lo, v);
        hi = pair_max(hi, v);
    }

    bool all_within(double& vlo, double& vhi) const {
        vlo = std::min(lo[0], lo[1]);
        vhi = std::max(hi[0], hi[1]);
        return within[0] && within[1];
    }
};

// Whether pixels [k0, k1] of the filled row of per-pixel footprints have
// all their corners within the target, and the least and greatest heights
// of their corners.  Such a run puts nothing beyond the target, and every
// band between the rows of those heights takes it whole: a band it only
// passes gets a few pixels the deposit skips, and no band misses a pixel,
// since within the target no clamp moves a pixel's box.
bool footprints_within(const RowCells& row, const Target& t, std::int64_t k0, std::int64_t k1,
                       double& vlo, double& vhi) {
    CellRange range;
    const double* u = row.u.data() + 4 * (k0 - row.first);
    const double* v = row.v.data() + 4 * (k0 - row.first);
    for (std::int64_t c = 0; c < 4 * (k1 - k0 + 1); c += 2)   // four corners a pixel
        range.add(t, load_pair(u + c), load_pair(v + c));
    return range.all_within(vlo, vhi);
}

// The same for pixels [k0, k1] of row r of a corner grid or a lazy grid,
// from the box of their corners in the plane alone, without carrying each
// corner to cell coordinates: each of to_cells' roundings is monotone in
// its operands, so a cell coordinate as it computes it is monotone in x and
// in y, and its values at the box's corners bound its value at every
// corner in the box exactly.
bool corners_within(const Source& src, const Target& t, std::int64_t r, std::int64_t k0,
                    std::int64_t k1, double& vlo, double& vhi) {
    Pair xlo{INFINITY, INFINITY}, xhi{-INFINITY, -INFINITY}, ylo = xlo, yhi = xhi;
    for (std::int64_t i = r; i <= r + 1; ++i) {
        std::int64_t c = k0;
        if (src.kind == SourceKind::Corners)
            for (const std::int64_t at = src.corners.at(i, 0); c + 1 <= k1 + 1; c += 2) {
                const Pair x = load_pair(src.corners.x + at + c);
                const Pair y = load_pair(src.corners.y + at + c);
                xlo = pair_min(xlo, x), xhi = pair_max(xhi, x);
                ylo = pair_min(ylo, y), yhi = pair_max(yhi, y);
            }
        for (; c <= k1 + 1; ++c) {
            double x, y;
            src.corner(i, c, x, y);
            xlo = pair_min(xlo, Pair{x, x}), xhi = pair_max(xhi, Pair{x, x});
            ylo = pair_min(ylo, Pair{y, y}), yhi = pair_max(yhi, Pair{y, y});
        }
    }
    const double x0 = std::min(xlo[0], xlo[1]), x1 = std::max(xhi[0], xhi[1]);
    const double y0 = std::min(ylo[0], ylo[1]), y1 = std::max(yhi[0], yhi[1]);
    double u[4], v[4];
    t.to_cells(x0, y0, u[0], v[0]);
    t.to_cells(x1, y0, u[1], v[1]);
    t.to_cells(x0, y1, u[2], v[2]);
    t.to_cells(x1, y1, u[3], v[3]);
    CellRange range;
    range.add(t, load_pair(u), load_pair(v));
    range.add(t, load_pair(u + 2), load_pair(v + 2));
    return range.all_within(vlo, vhi);
}

// The share of a quad across the target's border that lies beyond it: its
// area less its cells' in the target, over its area.  The survey and the
// single pass both take it from here, so that their sums agree.
double share_beyond(const CellQuad& q, const Target& t, Cells& cells) {
    const double inside =
        quad_cells(q, t, 0, t.rows - 1, cells) ? cells.sum(cells.ilo, cells.ihi) : 0.0;
    const double area = 0.5 * std::fabs(q.twice_area);
    return (area - inside) / area;
}

// The survey of pixels [k0, k1] of source row r one by one: what they put
// beyond the target added to `outside` in pixel order (so the row's sum is
// the one the single pass makes), and the bands each reaches.
template <class Reach>
void survey_pixels(const Inputs& in, std::int64_t r, std::int64_t k0, std::int64_t k1,
                   const Bands& bands, const RowCells& row, Cells& cells, Reach reach,
                   double& outside) {
    const Target& t = in.target;
    for (std::int64_t k = k0; k <= k1; ++k) {
        const double value = in.values[r * in.src.width + k];
        double u[4], v[4];
        row.pixel(in.src, k, u, v);
        CellQuad box;
        cell_box(t, u, v, box);
        if (!box.finite || !meets_target(box, t)) {
            outside += value;
            continue;
        }
        reach(bands.of(std::max<std::int64_t>(box.ilo, 0)), bands.of(std::min(box.ihi, t.rows - 1)),
              k, k);
        if (within_target(box, t)) continue;
        const CellQuad q = cell_quad(t, u, v);
        if (q.twice_area == 0.0) continue;   // no area, in no pixel: refused by the checks
        outside += value * share_beyond(q, t, cells);
    }
}

// The survey of source row r: what its pixels put beyond the target, summed
// in pixel order, and the runs of its pixels that reach each band.
double survey_row(const Inputs& in, std::int64_t r, Bands& bands, RowCells& row, Cells& cells) {
    const Target& t = in.target;
    double outside = 0.0;
    std::int32_t* first = bands.first.data() + r * bands.count;
    std::int32_t* last = bands.last.data() + r * bands.count;
    std::fill(first, first + bands.count, std::numeric_limits<std::int32_t>::max());
    std::fill(last, last + bands.count, -1);
    const std::int64_t n = in.src.row_length(r);
    const bool shared = row.shared(in.src);
    if (!shared) row.fill(in.src, t, r, 0, n - 1);
    const auto reach = [&](std::int64_t b0, std::int64_t b1, std::int64_t k0, std::int64_t k1) {
        for (std::int64_t b = b0; b <= b1; ++b) {
            first[b] = std::min(first[b], static_cast<std::int32_t>(k0));
            last[b] = static_cast<std::int32_t>(k1);
        }
    };
    for (std::int64_t k0 = 0; k0 < n; k0 += kSurveyRun) {
        const std::int64_t k1 = std::min(k0 + kSurveyRun, n) - 1;
        double vlo, vhi;
        if (shared ? corners_within(in.src, t, r, k0, k1, vlo, vhi)
                   : footprints_within(row, t, k0, k1, vlo, vhi)) {
            reach(bands.of(static_cast<std::int64_t>(vlo)),
                  bands.of(static_cast<std::int64_t>(vhi)), k0, k1);
            continue;
        }
        if (shared) row.fill(in.src, t, r, k0, k1);
        survey_pixels(in, r, k0, k1, bands, row, cells, reach, outside);
    }
    return outside;
}

// One quad's cells in target rows [ilo, ihi] into the outputs.
void deposit_quad(const Inputs& in, const CellQuad& q, double value, double var,
                  std::int64_t ilo, std::int64_t ihi, Cells& cells, const Outputs& out) {
    const Target& t = in.target;
    const double per_area = 2.0 / std::fabs(q.twice_area);
    const double flux = value * per_area, spread = var * (per_area * per_area);
    if (deposit_if_small(q, t, flux, spread, ilo, ihi, out)) return;
    if (!quad_cells(q, t, ilo, ihi, cells)) return;
    for (std::int64_t i = std::max(cells.ilo, ilo); i <= std::min(cells.ihi, ihi); ++i) {
        const std::int64_t at = i * t.cols + cells.klo;
        for (std::int64_t c = 0; c <= cells.khi - cells.klo; ++c) {
            const double a = cells.area(i, c);
            if (a == 0.0) continue;
            out.image[at + c] += flux * a;
            out.weight[at + c] += a;
            if (out.variance) out.variance[at + c] += spread * (a * a);
        }
    }
}

// The source is walked in strips of kStrip columns, each strip row by
// row: the target cells that neighbouring rows of a strip share then stay
// in the nearest cache between them, where a whole row's would not.  Every
// band walks the strips alike, so each output pixel still receives its
// additions in one order, the same for any thread count.
constexpr std::int64_t kStrip = 128;

// Band b: every source row's run that reaches it, strip by strip, onto its
// target rows.
void deposit_band(const Inputs& in, const Bands& bands, std::int64_t b, const Outputs& out) {
    thread_local Cells cells;
    const Target& t = in.target;
    const std::int64_t ilo = b * bands.height, ihi = std::min(t.rows, ilo + bands.height) - 1;
    out.clear_rows(ilo, ihi + 1, t.cols);
    thread_local RowCells row;
    for (std::int64_t s0 = 0; s0 < in.src.width; s0 += kStrip) {
        row.forget();
        for (std::int64_t r = 0; r < in.src.rows; ++r) {
            const std::int64_t k0 = std::max<std::int64_t>(bands.first[r * bands.count + b], s0);
            const std::int64_t k1 =
                std::min<std::int64_t>(bands.last[r * bands.count + b], s0 + kStrip - 1);
            if (k1 < k0) continue;
            row.fill(in.src, t, r, k0, k1);
            for (std::int64_t k = k0; k <= k1; ++k) {
                double u[4], v[4];
                row.pixel(in.src, k, u, v);
                const CellQuad q = cell_quad(t, u, v);
                if (!q.finite || q.twice_area == 0.0 || q.ihi < ilo || q.ilo > ihi) continue;
                const std::int64_t n = r * in.src.width + k;
                deposit_quad(in, q, in.values[n], in.variance ? in.variance[n] : 0.0, ilo, ihi,
                             cells, out);
            }
        }
    }
}

// One band for the whole target (one thread): pixels [k0, k1] of source
// row r surveyed and deposited in one pass, what they put beyond the
// target added to `outside` in pixel order, as the two passes find it.
void survey_and_deposit(const Inputs& in, std::int64_t r, std::int64_t k0, std::int64_t k1,
                        RowCells& row, Cells& cells, const Outputs& out, double& outside) {
    const Target& t = in.target;
    row.fill(in.src, t, r, k0, k1);
    for (std::int64_t k = k0; k <= k1; ++k) {
        const std::int64_t at = r * in.src.width + k;
        const double value = in.values[at];
        double u[4], v[4];
        row.pixel(in.src, k, u, v);
        const CellQuad q = cell_quad(t, u, v);
        if (!q.finite || !meets_target(q, t)) {
            outside += value;
            continue;
        }
        if (q.twice_area == 0.0) continue;   // as survey_pixels
        deposit_quad(in, q, value, in.variance ? in.variance[at] : 0.0, 0, t.rows - 1, cells,
                     out);
        if (within_target(q, t)) continue;
        outside += value * share_beyond(q, t, cells);
    }
}

// At most this many band entries per source row and band: the bands
// shrink in number for sources of very many rows.
constexpr std::int64_t kMaxBandEntries = std::int64_t(1) << 26;
constexpr std::int64_t kBandsPerThread = 4;

Bands make_bands(std::int64_t target_rows, std::int64_t source_rows, int threads) {
    std::int64_t wanted = threads == 1 ? 1 : kBandsPerThread * threads;
    wanted = std::max<std::int64_t>(
        1, std::min({wanted, target_rows, kMaxBandEntries / std::max<std::int64_t>(source_rows, 1)}));
    const std::int64_t height = std::max<std::int64_t>(1, (target_rows + wanted - 1) / wanted);
    Bands b;
    b.height = height;
    b.per_height = 1.0 / double(height);
    b.count = std::max<std::int64_t>(1, (target_rows + height - 1) / height);
    b.first.resize(static_cast<std::size_t>(source_rows * b.count));
    b.last.resize(static_cast<std::size_t>(source_rows * b.count));
    return b;
}

double resample_all(const Inputs& in, const Outputs& out, int asked) {
    const std::int64_t rows = in.src.rows;
    const int threads = thread_count(asked, std::max<std::int64_t>(rows, 1));
    Bands bands = make_bands(std::max<std::int64_t>(in.target.rows, 1), rows, threads);
    std::vector<double> outside(static_cast<std::size_t>(rows), 0.0);
    if (bands.count == 1 && in.target.cols > 0) {
        out.clear_rows(0, in.target.rows, in.target.cols);
        Cells cells;
        RowCells row;
        for (std::int64_t s0 = 0; s0 < in.src.width; s0 += kStrip) {
            row.forget();
            for (std::int64_t r = 0; r < rows; ++r) {
                const std::int64_t k1 = std::min(s0 + kStrip, in.src.row_length(r)) - 1;
                if (k1 >= s0) survey_and_deposit(in, r, s0, k1, row, cells, out, outside[r]);
            }
        }
        double total = 0.0;
        for (const double o : outside) total += o;
        return total;
    }
    for_each_piece(threads, (rows + kSurveyRows - 1) / kSurveyRows, [&](std::int64_t p) {
        thread_local Cells cells;
        thread_local RowCells row;
        row.forget();
        for (std::int64_t r = p * kSurveyRows; r < std::min(rows, (p + 1) * kSurveyRows); ++r)
            outside[r] = survey_row(in, r, bands, row, cells);
    });
    if (in.target.rows > 0 && in.target.cols > 0)
        for_each_piece(threads, bands.count,
                       [&](std::int64_t b) { deposit_band(in, bands, b, out); });
    else
        out.clear_rows(0, in.target.rows, in.target.cols);
    double total = 0.0;
    for (const double o : outside) total += o;
    return total;
}

// ---- the binding ------------------------------------------------------------

const double* values_of(const py::object& a, std::int64_t n, const char* name) {
    if (a.is_none()) return nullptr;
    const auto arr = a.cast<ExactReals>();
    if (arr.size() != n) throw std::invalid_argument(std::string(name) + " must hold a value per source pixel");
    return arr.data();
}

double* output_of(const py::object& a, const Target& t, const char* name) {
    if (a.is_none()) return nullptr;
    const py::ssize_t dims[2] = {static_cast<py::ssize_t>(t.rows), static_cast<py::ssize_t>(t.cols)};
    try {
        return checked_out(a.cast<py::array>(), 2, dims);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument(std::string(name) + " must be a writable C-contiguous float64 "
                                    "array of the target's shape");
    }
}

double resample_with(Source src, const GridWindow& target, const ExactReals& values,
                     const py::object& variance, py::array image, py::array weight,
                     const py::object& variance_out, bool fresh, int threads) {
    if (threads < 1) throw std::invalid_argument("threads must be at least 1");
    if (target.r0 != 0 || target.c0 != 0 || target.r1 < 0 || target.c1 < 0)
        throw std::invalid_argument("the target must be a whole grid");
    const Target t(target.map, target.r1, target.c1);
    if (values.size() != src.count)
        throw std::invalid_argument("image must hold a value per source pixel");
    const Outputs out{output_of(image, t, "image"), output_of(weight, t, "weight"),
                      output_of(variance_out, t, "variance"), fresh};
    const Inputs in{src, t, values.data(), values_of(variance, src.count, "variance")};
    if ((in.variance == nullptr) != (out.variance == nullptr))
        throw std::invalid_argument("a variance goes with an output for it");
    py::gil_scoped_release unlocked;
    return resample_all(in, out, threads);
}

double resample_corners(const CornerArrays& pixels, const GridWindow& target,
                        const ExactReals& values, const py::object& variance, py::array image,
                        py::array weight, const py::object& variance_out, bool fresh,
                        int threads) {
    Source s{SourceKind::Corners};
    s.corners = pixels.grid();
    s.rows = pixels.rows();
    s.width = pixels.cols();
    s.count = s.rows * s.width;
    return resample_with(s, target, values, variance, image, weight, variance_out, fresh,
                         threads);
}

double resample_grid(const GridWindow& pixels, const GridWindow& target, const ExactReals& values,
                     const py::object& variance, py::array image, py::array weight,
                     const py::object& variance_out, bool fresh, int threads) {
    if (pixels.r0 != 0 || pixels.c0 != 0 || pixels.r1 < 0 || pixels.c1 < 0)
        throw std::invalid_argument("the source must be a whole grid");
    Source s{SourceKind::Grid};
    s.grid = pixels.map;
    s.rows = pixels.r1;
    s.width = pixels.c1;
    s.count = s.rows * s.width;
    return resample_with(s, target, values, variance, image, weight, variance_out, fresh,
                         threads);
}

double resample_footprints(const FootprintArrays& pixels, const GridWindow& target,
                           const ExactReals& values, const py::object& variance, py::array image,
                           py::array weight, const py::object& variance_out, bool fresh,
                           int threads) {
    Source s{SourceKind::Footprints};
    s.footprints = pixels.view();
    s.count = static_cast<std::int64_t>(pixels.size());
    s.width = kFootprintRow;
    s.rows = (s.count + kFootprintRow - 1) / kFootprintRow;
    return resample_with(s, target, values, variance, image, weight, variance_out, fresh,
                         threads);
}

}  // namespace

void bind_resample(py::module_& m) {
    m.def("resample", &resample_corners, py::arg("pixels"), py::arg("target"),
          py::arg("values").noconvert(), py::arg("variance"), py::arg("image"),
          py::arg("weight"), py::arg("variance_out"), py::arg("fresh"), py::arg("threads"));
    m.def("resample", &resample_grid, py::arg("pixels"), py::arg("target"),
          py::arg("values").noconvert(), py::arg("variance"), py::arg("image"),
          py::arg("weight"), py::arg("variance_out"), py::arg("fresh"), py::arg("threads"));
    m.def("resample", &resample_footprints, py::arg("pixels"), py::arg("target"),
          py::arg("values").noconvert(), py::arg("variance"), py::arg("image"),
          py::arg("weight"), py::arg("variance_out"), py::arg("fresh"), py::arg("threads"));
}

}  // namespace trovel
