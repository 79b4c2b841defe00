// Even-odd mask of a polygon over a rectangular grid of points, one row at a
// time.  A grid point is inside when an odd number of the row's crossings
// with the polygon's edges lie strictly below its x, so a point exactly on a
// crossing counts to the side before it.  Rows may come in any order; the
// columns must ascend for the mask to be the interior: along any other
// order each point takes the answer for the largest x among the columns up
// to it (NaN columns skipped), which is what walking the row gives.
//
// Each crossing is marked at the first grid column beyond it, in a bitmap of
// the row; the number of marks at or before a column is the number of
// crossings below it, so the row is filled as runs of bytes between the
// marks.  No crossing list is ever sorted.  Rows are swept in ascending y
// with the edges that span them (each edge put into the bucket of its first
// row), so a row costs its own crossings, not every edge.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "trovel.hpp"

namespace trovel {
namespace {

struct YRange {
    double min, max;

    // Rows outside the range (or at a NaN y) meet no edge.  A row at min
    // or max is taken: it may run along an edge.
    bool holds(double y) const { return y >= min && y <= max; }
    // An edge crosses the rows in its range but its lower end: a horizontal
    // edge never crosses, and a vertex on the row counts once for each edge
    // that runs down from it.
    bool crossed_at(double y) const { return min < y && y <= max; }
};

// With no vertex the range is empty (+inf, -inf), so it holds no row.
YRange y_range(const Ring& ring) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (ring.n == 0) return {inf, -inf};
    // In locals, so that the two running values stay in registers.
    double lo = ring.y(0), hi = ring.y(0);
    for (std::uint64_t v = 1; v < ring.n; ++v) {
        lo = std::min(lo, ring.y(v));
        hi = std::max(hi, ring.y(v));
    }
    return {lo, hi};
}

// The rows that edge j spans.
YRange edge_extent(const Ring& ring, std::uint64_t j) {
    const double ya = ring.y(j), yb = ring.y(ring.next(j));
    return {std::min(ya, yb), std::max(ya, yb)};
}

// The edge from vertex j to the next one, (xa, ya) being the earlier vertex
// in path order; dx and dy are rounded once here, as the crossing takes them.
struct Edge {
    double xa, ya, dx, dy;

    static Edge of(const Ring& ring, std::uint64_t j) {
        const std::uint64_t b = ring.next(j);
        return {ring.x(j), ring.y(j), ring.x(b) - ring.x(j), ring.y(b) - ring.y(j)};
    }
    // Product first, then the quotient, then the sum.
    double crossing(double y) const { return (y - ya) * dx / dy + xa; }
};

// Ascending positions without NaN, searched for the first one beyond a
// value.  The search starts where an even spacing would put the answer and
// gallops from there, so on an evenly spaced grid it is a step or two
// whatever the grid's size, and on any other it is still exact.
class AscendingAxis {
public:
    AscendingAxis(const double* at, std::size_t count) : at_(at), count_(count) {
        if (count >= 2) {
            const double span = at[count - 1] - at[0];
            if (std::isfinite(span) && span > 0) per_unit_ = static_cast<double>(count - 1) / span;
        }
    }

    // The index of the first position strictly greater than t, or count
    // when there is none (a NaN t included).
    std::size_t first_above(double t) const {
        const std::size_t i = guess(t);
        if (i < count_ && !(at_[i] > t)) return gallop_up(i + 1, t);
        if (i > 0 && at_[i - 1] > t) return gallop_down(i - 1, t);
        return i;
    }

private:
    std::size_t guess(double t) const {
        if (per_unit_ == 0) return 0;
        const double g = (t - at_[0]) * per_unit_;
        if (!(g >= 0)) return 0;
        if (g >= static_cast<double>(count_ - 1)) return count_;
        return static_cast<std::size_t>(g) + 1;
    }
    // Every position before lo is at most t.
    std::size_t gallop_up(std::size_t lo, double t) const {
        std::size_t step = 1;
        while (lo + step <= count_ && !(at_[lo + step - 1] > t)) {
            lo += step;
            step *= 2;
        }
        const std::size_t hi = std::min(lo + step - 1, count_);
        return static_cast<std::size_t>(std::upper_bound(at_ + lo, at_ + hi, t) - at_);
    }
    // The position at hi is greater than t.
    std::size_t gallop_down(std::size_t hi, double t) const {
        std::size_t step = 1;
        while (hi >= step && at_[hi - step] > t) {
            hi -= step;
            step *= 2;
        }
        const std::size_t lo = hi >= step ? hi - step + 1 : 0;
        return static_cast<std::size_t>(std::upper_bound(at_ + lo, at_ + hi, t) - at_);
    }

    const double* at_;
    std::size_t count_;
    double per_unit_ = 0;
};

// The axis that crossings are placed on: grid_x itself when it ascends
// (returned empty), else its running maximum.  Walking the row along
// crossings in ascending order, each one is consumed at the first column
// where the running maximum of x exceeds it (a NaN column exceeds nothing);
// along an ascending grid_x that is the first column beyond it.
std::vector<double> column_reach(const GridAxis& cols) {
    std::vector<double> reach;
    bool ascending = cols.count == 0 || !std::isnan(cols.at[0]);
    for (std::uint64_t k = 1; ascending && k < cols.count; ++k) {
        ascending = cols.at[k] >= cols.at[k - 1];
    }
    if (ascending) return reach;  // empty: grid_x itself
    reach.resize(static_cast<std::size_t>(cols.count));
    double most = -std::numeric_limits<double>::infinity();
    for (std::uint64_t k = 0; k < cols.count; ++k) {
        if (cols.at[k] > most) most = cols.at[k];
        reach[k] = most;
    }
    return reach;
}

// One row's crossings as marks at the columns that consume them; a column
// that consumes two crossings has no mark, as their flips cancel.  A second
// level of bits records which words were touched, so a row with few
// crossings is filled without looking at every word.
class RowMarks {
public:
    explicit RowMarks(std::uint64_t nx)
        : nx_(nx), words_(static_cast<std::size_t>(nx / 64 + 1)), touched_(words_.size() / 64 + 1) {}

    void flip(std::uint64_t column) {
        if (column >= nx_) return;  // beyond the last column: never consumed
        const std::uint64_t w = column >> 6;
        words_[w] ^= std::uint64_t{1} << (column & 63);
        touched_[w >> 6] |= std::uint64_t{1} << (w & 63);
    }

    // Writes the row: runs of the flag between the marks, starting outside;
    // leaves the marks cleared for the next row.
    void fill(std::uint8_t* row) {
        std::uint8_t flag = 0;
        std::uint64_t from = 0;
        for (std::size_t t = 0; t < touched_.size(); ++t) {
            for (std::uint64_t words = std::exchange(touched_[t], 0); words != 0; words &= words - 1) {
                const std::size_t w = t * 64 + lowest_bit(words);
                for (std::uint64_t bits = std::exchange(words_[w], 0); bits != 0; bits &= bits - 1) {
                    const std::uint64_t column = w * 64 + lowest_bit(bits);
                    std::memset(row + from, flag, column - from);
                    flag ^= 1;
                    from = column;
                }
            }
        }
        std::memset(row + from, flag, nx_ - from);
    }

private:
    static unsigned lowest_bit(std::uint64_t bits) { return static_cast<unsigned>(__builtin_ctzll(bits)); }

    std::uint64_t nx_;
    std::vector<std::uint64_t> words_;
    std::vector<std::uint64_t> touched_;
};

// Crossings are positions, never NaN, when every vertex coordinate lies
// within this bound: differences of coordinates stay finite, so a product
// may overflow to infinity but no infinity meets another or a zero.
constexpr double kFarCoordinate = 1e300;

bool crossings_are_numbers(const Ring& ring) {
    for (std::uint64_t v = 0; v < ring.n; ++v) {
        if (!(std::fabs(ring.x(v)) <= kFarCoordinate && std::fabs(ring.y(v)) <= kFarCoordinate)) {
            return false;
        }
    }
    return true;
}

// The edges that span the current row, as columns of numbers so that their
// crossings are computed in one simple loop, with the rank of the row above
// each one's upper end, where it leaves.
class ActiveEdges {
public:
    std::size_t size() const { return leaves_.size(); }

    void add(const Edge& e, std::size_t leaves) {
        xa_.push_back(e.xa);
        ya_.push_back(e.ya);
        dx_.push_back(e.dx);
        dy_.push_back(e.dy);
        leaves_.push_back(leaves);
    }

    void drop_those_leaving_at(std::size_t rank) {
        for (std::size_t a = 0; a < leaves_.size();) {
            if (leaves_[a] != rank) {
                ++a;
                continue;
            }
            for (auto* column : {&xa_, &ya_, &dx_, &dy_}) {
                (*column)[a] = column->back();
                column->pop_back();
            }
            leaves_[a] = leaves_.back();
            leaves_.pop_back();
        }
    }

    // Each edge's crossing with the row at height y, into x.
    void crossings(double y, double* x) const {
        const double* xa = xa_.data();
        const double* ya = ya_.data();
        const double* dx = dx_.data();
        const double* dy = dy_.data();
        for (std::size_t a = 0; a < leaves_.size(); ++a) x[a] = Edge{xa[a], ya[a], dx[a], dy[a]}.crossing(y);
    }

private:
    std::vector<double> xa_, ya_, dx_, dy_;
    std::vector<std::size_t> leaves_;
};

// The rows to walk, in ascending y, with the other rows filled with zeros.
std::vector<std::uint64_t> rows_to_walk(const GridAxis& rows, std::uint64_t nx,
                                        const YRange& range, std::uint8_t* out) {
    std::vector<std::uint64_t> walk;
    walk.reserve(static_cast<std::size_t>(rows.count));
    const YRange spans = range;  // a local copy the compiler keeps in registers
    for (std::uint64_t i = 0; i < rows.count; ++i) {
        if (spans.holds(rows.at[i])) {
            walk.push_back(i);
        } else {
            std::memset(out + i * nx, 0, nx);
        }
    }
    auto by_y = [&rows](std::uint64_t i, std::uint64_t k) { return rows.at[i] < rows.at[k]; };
    if (!std::is_sorted(walk.begin(), walk.end(), by_y)) {
        std::sort(walk.begin(), walk.end(), by_y);
    }
    return walk;
}

// Every crossing is a number here, so its column does not depend on the
// order in which the crossings are found: each edge enters the active list
// at its first row and leaves it after its last one.
void sweep_rows(const Ring& ring, const GridAxis& cols, const GridAxis& rows,
                const std::vector<std::uint64_t>& walk, const AscendingAxis& columns,
                std::uint8_t* out) {
    std::vector<double> ys(walk.size());
    for (std::size_t r = 0; r < walk.size(); ++r) ys[r] = rows.at[walk[r]];
    const AscendingAxis row_axis(ys.data(), ys.size());

    // The edges in the order of the rank of their first row (a counting
    // sort); an edge spanning no row is left out.
    std::vector<std::size_t> first(static_cast<std::size_t>(ring.n));
    std::vector<std::size_t> bucket(ys.size() + 1, 0);
    for (std::uint64_t j = 0; j < ring.n; ++j) {
        const YRange extent = edge_extent(ring, j);
        first[j] = row_axis.first_above(extent.min);
        if (first[j] == row_axis.first_above(extent.max)) first[j] = ys.size();
        ++bucket[first[j]];
    }
    std::size_t start = 0;
    for (std::size_t& b : bucket) start += std::exchange(b, start);
    std::vector<std::uint64_t> by_first(static_cast<std::size_t>(ring.n));
    for (std::uint64_t j = 0; j < ring.n; ++j) by_first[bucket[first[j]]++] = j;
    // bucket[r] is now the end of rank r's edges in by_first.

    ActiveEdges active;
    std::vector<double> x;
    RowMarks marks(cols.count);
    std::size_t entering = 0;
    for (std::size_t r = 0; r < walk.size(); ++r) {
        active.drop_those_leaving_at(r);
        for (; entering < bucket[r]; ++entering) {
            const std::uint64_t j = by_first[entering];
            active.add(Edge::of(ring, j), row_axis.first_above(edge_extent(ring, j).max));
        }
        x.resize(active.size());
        active.crossings(ys[r], x.data());
        for (const double c : x) marks.flip(columns.first_above(c));
        marks.fill(out + walk[r] * cols.count);
    }
}

// Room for this many crossings is taken once at the start; a row with more
// grows the buffer, which then keeps its size for the rows after it.
constexpr std::size_t kInitialCrossings = 64;

// A NaN crossing is never consumed and stops the walk where it stands in
// the list, so the list is built as the walk defines it: every edge in path
// order, each crossing inserted before the values not less than it.  The
// walk then goes along grid_x in the caller's order.
void walk_rows_in_path_order(const Ring& ring, const GridAxis& cols, const GridAxis& rows,
                             const std::vector<std::uint64_t>& walk, std::uint8_t* out) {
    std::vector<double> crossings;
    crossings.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ring.n, kInitialCrossings)));
    RowMarks marks(cols.count);
    for (const std::uint64_t i : walk) {
        const double y = rows.at[i];
        crossings.clear();
        for (std::uint64_t j = 0; j < ring.n; ++j) {
            if (!edge_extent(ring, j).crossed_at(y)) continue;
            const double x = Edge::of(ring, j).crossing(y);
            crossings.insert(std::lower_bound(crossings.begin(), crossings.end(), x), x);
        }
        std::size_t next = 0;
        for (std::uint64_t k = 0; k < cols.count && next < crossings.size(); ++k) {
            for (; next < crossings.size() && cols.at[k] > crossings[next]; ++next) marks.flip(k);
        }
        marks.fill(out + i * cols.count);
    }
}

}  // namespace

void poly_grid_contains(const Ring& ring, const GridAxis& cols, const GridAxis& rows,
                        std::uint8_t* out) {
    // The buffers are freed by their destructors on every way out, an
    // allocation failure included.
    const std::vector<std::uint64_t> walk = rows_to_walk(rows, cols.count, y_range(ring), out);
    if (walk.empty()) return;
    if (!crossings_are_numbers(ring)) {
        walk_rows_in_path_order(ring, cols, rows, walk, out);
        return;
    }
    const std::vector<double> reach = column_reach(cols);
    const AscendingAxis columns(reach.empty() ? cols.at : reach.data(),
                                static_cast<std::size_t>(cols.count));
    sweep_rows(ring, cols, rows, walk, columns, out);
}

}  // namespace trovel
