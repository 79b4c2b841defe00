// Even-odd mask of a polygon over a rectangular grid of points, one row at a
// time: the x positions where the polygon's edges cross the row are kept
// sorted, and a walk along the row flips inside/outside as it passes them.
// Rows are swept in ascending y with a list of the edges that span them, so
// a row costs its own crossings rather than every edge.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "trovel.hpp"

namespace trovel {
namespace {

// Room for this many crossings is taken once at the start; a row with more
// grows the buffer, which then keeps its size for the rows after it.
constexpr std::size_t kInitialCrossings = 64;

struct YRange {
    double min, max;
};

// With no vertex the range is empty (+inf, -inf), so every row is rejected.
YRange y_range(const double* py, std::uint64_t n) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    YRange r{inf, -inf};
    if (n == 0) return r;
    r.min = r.max = py[0];
    for (std::uint64_t v = 1; v < n; ++v) {
        if (py[v] < r.min) r.min = py[v];
        if (py[v] > r.max) r.max = py[v];
    }
    return r;
}

// Where the edge from vertex a to vertex b, a before b in ring order,
// crosses the line at height y: product first, then quotient, then sum.
inline double crossing_x(const double* px, const double* py, std::uint64_t a, std::uint64_t b,
                         double y) {
    return (y - py[a]) * (px[b] - px[a]) / (py[b] - py[a]) + px[a];
}

// Fills `crossings` with the x positions, sorted ascending, where the edges
// of the ring cross the line at height y.  An edge counts when y lies in
// (lower end, upper end], so horizontal edges never count and a vertex on
// the line is counted once for each edge that runs down from it.
void collect_crossings(const double* px, const double* py, std::uint64_t n, double y,
                       std::vector<double>& crossings) {
    crossings.clear();
    for (std::uint64_t j = 1; j <= n; ++j) {
        const std::uint64_t b = j % n;
        const double ya = py[j - 1], yb = py[b];
        if (std::min(ya, yb) < y && y <= std::max(ya, yb)) {
            const double x = crossing_x(px, py, j - 1, b, y);
            // Before any equal values; the walk cannot tell them apart anyway.
            crossings.insert(std::lower_bound(crossings.begin(), crossings.end(), x), x);
        }
    }
}

// Writes one row of the mask.  A grid point consumes at most one crossing,
// the next one, when it lies strictly to its right, so a point exactly on a
// crossing still has the value from before it; crossings crowded between two
// grid points are taken one per following point.  So the points up to the
// first one beyond the next crossing keep the flag and are filled as one
// block, that point flips it, and the walk goes on after it; when no
// crossing is left the rest of the row is one block.  The scan compares
// point by point, as the walk does, so it needs no order of grid_x.
void walk_row(const double* gx, std::uint64_t nx, const std::vector<double>& crossings,
              std::uint8_t* row) {
    std::uint8_t flag = 0;
    std::uint64_t k = 0;
    for (const double c : crossings) {
        std::uint64_t m = k;
        while (m < nx && !(gx[m] > c)) ++m;
        std::memset(row + k, flag, m - k);
        if (m == nx) return;
        flag ^= 1;
        row[m] = flag;
        k = m + 1;
    }
    std::memset(row + k, flag, nx - k);
}

// Crossings are positions, never NaN, when every vertex coordinate lies
// within this bound: differences of coordinates stay finite, so a product
// may overflow to infinity but no infinity meets another or a zero.
constexpr double kFarCoordinate = 1e300;

bool crossings_are_numbers(const double* px, const double* py, std::uint64_t n) {
    for (std::uint64_t v = 0; v < n; ++v) {
        if (!(std::fabs(px[v]) <= kFarCoordinate && std::fabs(py[v]) <= kFarCoordinate)) {
            return false;
        }
    }
    return true;
}

// An edge of the ring that is not horizontal, by its y extent and the index
// of its earlier vertex (the later one is the next index, or 0).
struct SpanningEdge {
    double lo, hi;
    std::uint64_t a;
};

// The rows taken in ascending y, and for each only the edges whose y extent
// holds it: an edge enters when the rows pass its lower end and leaves when
// they pass its upper end.  Each crossing is computed as collect_crossings
// computes it; its sorted place does not depend on the order in which the
// crossings are found, as long as none is NaN (crossings_are_numbers), and
// equal values (+0 and -0 among them) cannot be told apart by the walk.
// Rows outside the polygon's y range or at a NaN y have no crossing and are
// filled with zeros.
void sweep_rows(const double* px, const double* py, std::uint64_t n, const double* gx,
                std::uint64_t nx, const double* gy, std::uint64_t ny, const YRange& range,
                std::uint8_t* out) {
    std::vector<SpanningEdge> edges;
    for (std::uint64_t j = 1; j <= n; ++j) {
        const std::uint64_t b = j == n ? 0 : j;
        const double ya = py[j - 1], yb = py[b];
        if (ya != yb) edges.push_back({std::min(ya, yb), std::max(ya, yb), j - 1});
    }
    std::sort(edges.begin(), edges.end(),
              [](const SpanningEdge& e, const SpanningEdge& f) { return e.lo < f.lo; });

    std::vector<std::uint64_t> rows;
    for (std::uint64_t i = 0; i < ny; ++i) {
        const double y = gy[i];
        if (y >= range.min && y <= range.max) {
            rows.push_back(i);
        } else {
            std::memset(out + i * nx, 0, nx);
        }
    }
    auto by_y = [gy](std::uint64_t i, std::uint64_t k) { return gy[i] < gy[k]; };
    if (!std::is_sorted(rows.begin(), rows.end(), by_y)) {
        std::sort(rows.begin(), rows.end(), by_y);
    }

    std::vector<std::size_t> active;
    std::vector<double> crossings;
    crossings.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, kInitialCrossings)));
    std::size_t entering = 0;
    for (const std::uint64_t i : rows) {
        const double y = gy[i];
        while (entering < edges.size() && edges[entering].lo < y) active.push_back(entering++);
        crossings.clear();
        std::size_t kept = 0;
        for (const std::size_t e : active) {
            const SpanningEdge& edge = edges[e];
            if (!(y <= edge.hi)) continue;  // passed its upper end: gone for good
            active[kept++] = e;
            const std::uint64_t a = edge.a;
            crossings.push_back(crossing_x(px, py, a, a + 1 == n ? 0 : a + 1, y));
        }
        active.resize(kept);
        std::sort(crossings.begin(), crossings.end());
        walk_row(gx, nx, crossings, out + i * nx);
    }
}

}  // namespace

void poly_grid_contains(address poly_x, address poly_y, address vertex_count, address grid_x,
                        address grid_y, address mask, address nx, address ny) {
    const double* px = reinterpret_cast<const double*>(poly_x);
    const double* py = reinterpret_cast<const double*>(poly_y);
    const double* gx = reinterpret_cast<const double*>(grid_x);
    const double* gy = reinterpret_cast<const double*>(grid_y);
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(mask);
    const std::uint64_t n = vertex_count;

    const YRange range = y_range(py, n);
    if (ny == 0) return;

    // The buffers are freed by their destructors on every way out, an
    // allocation failure included.
    if (crossings_are_numbers(px, py, n)) {
        sweep_rows(px, py, n, gx, nx, gy, ny, range, out);
        return;
    }
    // A NaN crossing sorts nowhere, so the order of insertion counts: each
    // row goes over all edges in ring order.
    std::vector<double> crossings;
    crossings.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, kInitialCrossings)));
    for (std::uint64_t i = 0; i < ny; ++i) {
        std::uint8_t* row = out + i * nx;
        const double y = gy[i];
        if (y < range.min || y > range.max) {
            std::memset(row, 0, nx);
            continue;
        }
        collect_crossings(px, py, n, y, crossings);
        walk_row(gx, nx, crossings, row);
    }
}

}  // namespace trovel
