// Even-odd mask of a polygon over a rectangular grid of points, one row at a
// time: the x positions where the polygon's edges cross the row are kept
// sorted, and a walk along the row flips inside/outside as it passes them.
#include <algorithm>
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

// Fills `crossings` with the x positions, sorted ascending, where the edges
// of the ring cross the line at height y.  An edge counts when y lies in
// (lower end, upper end], so horizontal edges never count and a vertex on
// the line is counted once for each edge that runs down from it.
void collect_crossings(const double* px, const double* py, std::uint64_t n, double y,
                       std::vector<double>& crossings) {
    crossings.clear();
    for (std::uint64_t j = 1; j <= n; ++j) {
        const std::uint64_t b = j % n;
        const double xa = px[j - 1], ya = py[j - 1];
        const double xb = px[b], yb = py[b];
        if (std::min(ya, yb) < y && y <= std::max(ya, yb)) {
            const double x = (y - ya) * (xb - xa) / (yb - ya) + xa;
            // Before any equal values; the walk cannot tell them apart anyway.
            crossings.insert(std::lower_bound(crossings.begin(), crossings.end(), x), x);
        }
    }
}

// Writes one row of the mask.  A grid point consumes at most one crossing,
// the next one, when it lies strictly to its right, so a point exactly on a
// crossing still has the value from before it; crossings crowded between two
// grid points are taken one per following point.  When none is left the
// flag is final and the rest of the row is one block.
void walk_row(const double* gx, std::uint64_t nx, const std::vector<double>& crossings,
              std::uint8_t* row) {
    std::uint8_t flag = 0;
    std::size_t next = 0;
    std::uint64_t k = 0;
    for (; k < nx && next < crossings.size(); ++k) {
        if (gx[k] > crossings[next]) {
            flag ^= 1;
            ++next;
        }
        row[k] = flag;
    }
    std::memset(row + k, flag, nx - k);
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

    // Freed by its destructor on every way out, an allocation failure included.
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
