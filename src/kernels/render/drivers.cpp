// Drivers: walk a pixel set in blocks so that the cost follows the boundary.
//
// A block of footprints is bounded by a box; each primitive the block's
// program still depends on is classified against that box (wholly inside,
// wholly outside, crossed) and folded out of the program where it is known.
// A block whose program folds to a constant is filled; otherwise it is split
// in two and each half classified again, down to single footprints, whose
// area is computed exactly only when some boundary may still cross them.
//
// Each pixel's result depends only on its own position and the map: the
// bounding boxes only grow from pixel to block (with a margin far above their
// rounding), so what a block decides its pixels would have decided alone, and
// the exact path of a pixel sees the same program whatever block led to it.
// Top-level blocks sit on fixed multiples of the grid, and threads take whole
// top-level blocks, so tiles and thread counts give the same bits.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "kernels/threads.hpp"
#include "render.hpp"

namespace trovel_render {

namespace {

constexpr int64_t kGridBlock = 64;       // rows and columns of a top-level grid block
constexpr int64_t kRunBlock = 64;        // footprints of a run of a list
constexpr int kGroupRuns = 8;            // runs of a top-level group of a list
constexpr int64_t kGroupBlock = kGroupRuns * kRunBlock;
constexpr double kGrowth = 1e-9;         // relative growth of every bounding box
constexpr int kMaxDepth = 64;            // halvings from a top-level block to one pixel, bounded

struct Walker {
    const Shape& shape;
    std::unique_ptr<Workspace, void (*)(Workspace*)> ws;
    std::vector<int8_t> state;
    std::vector<std::vector<int32_t>> residual;
    std::vector<int32_t> scratch;
    std::vector<uint8_t> stack;

    explicit Walker(const Shape& s)
        : shape(s), ws(new_workspace(s), free_workspace), state(s.prims.size(), kCrossed),
          residual(kMaxDepth) {}

    // Fold `program` over the box (x, y, hx, hy): 0 or 1 when constant, else
    // -1 with the folded program in residual[depth].
    int fold(const std::vector<int32_t>& program, int depth, double x, double y, double hx,
             double hy) {
        // One primitive, perhaps complemented (most of a boundary): no folding needed.
        const size_t n = program.size();
        if (n == 1 || (n == 2 && program[1] == kComplement)) {
            const State s = classify(shape.prims[program[0]], x, y, hx, hy);
            if (s == kCrossed) {
                residual[depth] = program;
                return -1;
            }
            return n == 1 ? static_cast<int>(s) : 1 - static_cast<int>(s);
        }
        bool crossed = false;
        for (int32_t code : program) {
            if (code < 0) continue;
            state[code] = classify(shape.prims[code], x, y, hx, hy);
            crossed |= state[code] == kCrossed;
        }
        // No boundary crosses the box (most blocks): the program's value
        // there, without building a residual.
        if (!crossed)
            return run_program(program, reinterpret_cast<const uint8_t*>(state.data()), stack)
                       ? 1 : 0;
        return fold_program(program, state.data(), residual[depth], scratch);
    }
};

// ---- lazy affine grid ------------------------------------------------------

struct GridJob {
    const GridMap& m;
    int64_t r0, c0, stride;   // origin of `out` in the grid and its row stride
    double* out;
};

void fill_rect(const GridJob& g, int64_t i0, int64_t i1, int64_t k0, int64_t k1, double v) {
    for (int64_t i = i0; i < i1; ++i) {
        double* row = g.out + (i - g.r0) * g.stride + (k0 - g.c0);
        std::fill(row, row + (k1 - k0), v);
    }
}

void walk_grid(Walker& w, const GridJob& g, const std::vector<int32_t>& program, int depth,
               int64_t i0, int64_t i1, int64_t k0, int64_t k1) {
    const GridMap& m = g.m;
    // Centre of the block in grid coordinates; for one pixel exactly (k, i),
    // and its centre in the plane as (m00 k + m01 i) + x0.
    const double u = 0.5 * static_cast<double>(k0 + k1 - 1);
    const double v = 0.5 * static_cast<double>(i0 + i1 - 1);
    const double x = (m.m00 * u + m.m01 * v) + m.x0;
    const double y = (m.m10 * u + m.m11 * v) + m.y0;
    const double hw = 0.5 * static_cast<double>(k1 - k0), hh = 0.5 * static_cast<double>(i1 - i0);
    const double bx = (std::fabs(m.m00) * hw + std::fabs(m.m01) * hh) * (1.0 + kGrowth);
    const double by = (std::fabs(m.m10) * hw + std::fabs(m.m11) * hh) * (1.0 + kGrowth);
    const int folded = w.fold(program, depth, x, y, bx, by);
    if (folded >= 0) {
        fill_rect(g, i0, i1, k0, k1, static_cast<double>(folded));
        return;
    }
    const std::vector<int32_t>& rest = w.residual[depth];
    if (i1 - i0 == 1 && k1 - k0 == 1) {
        const Footprint f{x, y, m.m00, m.m01, m.m10, m.m11};
        g.out[(i0 - g.r0) * g.stride + (k0 - g.c0)] = exact_fraction(*w.ws, w.shape, rest, f);
        return;
    }
    if (k1 - k0 >= i1 - i0) {
        const int64_t km = k0 + (k1 - k0) / 2;
        walk_grid(w, g, rest, depth + 1, i0, i1, k0, km);
        walk_grid(w, g, rest, depth + 1, i0, i1, km, k1);
    } else {
        const int64_t im = i0 + (i1 - i0) / 2;
        walk_grid(w, g, rest, depth + 1, i0, im, k0, k1);
        walk_grid(w, g, rest, depth + 1, im, i1, k0, k1);
    }
}

int64_t floor_to_block(int64_t a, int64_t b) { return a >= 0 ? a / b * b : -((-a + b - 1) / b) * b; }

}  // namespace

void render_grid(const Shape& shape, const GridMap& map, int64_t r0, int64_t r1, int64_t c0,
                 int64_t c1, double* out, int threads) {
    if (r1 <= r0 || c1 <= c0) return;
    const GridJob g{map, r0, c0, c1 - c0, out};
    const int64_t first = floor_to_block(r0, kGridBlock);
    const int64_t bands = (r1 - first + kGridBlock - 1) / kGridBlock;
    threads = trovel::thread_count(threads, bands);
    trovel::run_threads(threads, [&](int t) {
        Walker w(shape);
        // Bands of block rows dealt out in turn, which balances a symmetric aperture.
        for (int64_t b = t; b < bands; b += threads) {
            const int64_t i0 = std::max(r0, first + b * kGridBlock);
            const int64_t i1 = std::min(r1, first + (b + 1) * kGridBlock);
            for (int64_t kb = floor_to_block(c0, kGridBlock); kb < c1; kb += kGridBlock) {
                const int64_t k0 = std::max(c0, kb), k1 = std::min(c1, kb + kGridBlock);
                walk_grid(w, g, shape.program, 0, i0, i1, k0, k1);
            }
        }
    });
}

// ---- per-pixel footprints --------------------------------------------------

namespace {

struct ListJob {
    const double *qx, *qy, *j00, *j01, *j10, *j11;
    double* out;
};

// Footprints side by side in pairs: GCC and Clang vector extensions, which
// compile to the target's SIMD registers (SSE2 on baseline x86-64) without
// intrinsics; two pairs at a time keep two chains of each reduction going.
// Only comparisons, selections, sign clearing and sums of two values are done
// in them, so each lane computes what the scalar code would, bit for bit.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef int64_t PairBits __attribute__((vector_size(2 * sizeof(double))));

inline Pair load(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// The same choices as std::min and std::max, lane by lane.
inline Pair pair_min(Pair a, Pair b) { return b < a ? b : a; }
inline Pair pair_max(Pair a, Pair b) { return a < b ? b : a; }
inline Pair pair_abs(Pair a) { return (Pair)((PairBits)a & INT64_MAX); }

// Running bounds of pairs of footprints: centres' minima and maxima and the
// largest half-extents (times two) along x and y.
struct PairBounds {
    Pair xmin, xmax, ymin, ymax, ex, ey;

    PairBounds(const ListJob& L, int64_t n)
        : xmin(load(L.qx + n)), xmax(xmin), ymin(load(L.qy + n)), ymax(ymin),
          ex(pair_abs(load(L.j00 + n)) + pair_abs(load(L.j01 + n))),
          ey(pair_abs(load(L.j10 + n)) + pair_abs(load(L.j11 + n))) {}

    void add(const ListJob& L, int64_t n) {
        const Pair qx = load(L.qx + n), qy = load(L.qy + n);
        xmin = pair_min(xmin, qx);
        xmax = pair_max(xmax, qx);
        ymin = pair_min(ymin, qy);
        ymax = pair_max(ymax, qy);
        ex = pair_max(ex, pair_abs(load(L.j00 + n)) + pair_abs(load(L.j01 + n)));
        ey = pair_max(ey, pair_abs(load(L.j10 + n)) + pair_abs(load(L.j11 + n)));
    }
};

// A box holding every footprint's bounding box over [n0, n1): the centres'
// box grown by the largest half-extent.  This pass reads every input once
// and is most of the cost where nothing is crossed, hence the pairs; minima
// and maxima are exact, so the box is the same whatever the grouping.
struct RunBox {
    double x, y, bx, by;
};

// The centres' extremes and the largest half-extents (times two) of a run.
struct RunBounds {
    double xmin = INFINITY, xmax = -INFINITY, ymin = INFINITY, ymax = -INFINITY;
    double ex = 0.0, ey = 0.0;

    void merge(const RunBounds& o) {
        xmin = std::min(xmin, o.xmin);
        xmax = std::max(xmax, o.xmax);
        ymin = std::min(ymin, o.ymin);
        ymax = std::max(ymax, o.ymax);
        ex = std::max(ex, o.ex);
        ey = std::max(ey, o.ey);
    }

    RunBox box() const {
        const double x = 0.5 * (xmin + xmax), y = 0.5 * (ymin + ymax);
        const double grow = kGrowth * (std::fabs(x) + std::fabs(y));
        const double bx = (0.5 * (xmax - xmin) + 0.5 * ex) * (1.0 + kGrowth) + grow;
        const double by = (0.5 * (ymax - ymin) + 0.5 * ey) * (1.0 + kGrowth) + grow;
        return {x, y, bx, by};
    }
};

RunBounds run_bounds(const ListJob& L, int64_t n0, int64_t n1) {
    RunBounds r;
    int64_t n = n0;
    if (n1 - n0 >= 4) {
        PairBounds a(L, n), b(L, n + 2);
        for (n += 4; n + 4 <= n1; n += 4) {
            a.add(L, n);
            b.add(L, n + 2);
        }
        for (const PairBounds& p : {a, b})
            for (int k = 0; k < 2; ++k)
                r.merge({p.xmin[k], p.xmax[k], p.ymin[k], p.ymax[k], p.ex[k], p.ey[k]});
    }
    for (; n < n1; ++n) {
        const double qx = L.qx[n], qy = L.qy[n];
        r.merge({qx, qx, qy, qy, std::fabs(L.j00[n]) + std::fabs(L.j01[n]),
                 std::fabs(L.j10[n]) + std::fabs(L.j11[n])});
    }
    return r;
}

// Footprints [n0, n1) inside `box`, under `program`.
void walk_list(Walker& w, const ListJob& L, const std::vector<int32_t>& program, int depth,
               int64_t n0, int64_t n1, const RunBox& box) {
    const auto [x, y, bx, by] = box;
    const int folded = w.fold(program, depth, x, y, bx, by);
    if (folded >= 0) {
        std::fill(L.out + n0, L.out + n1, static_cast<double>(folded));
        return;
    }
    const std::vector<int32_t>& rest = w.residual[depth];
    if (n1 - n0 == 1) {
        const Footprint f{L.qx[n0], L.qy[n0], L.j00[n0], L.j01[n0], L.j10[n0], L.j11[n0]};
        L.out[n0] = exact_fraction(*w.ws, w.shape, rest, f);
        return;
    }
    const int64_t nm = n0 + (n1 - n0) / 2;
    walk_list(w, L, rest, depth + 1, n0, nm, run_bounds(L, n0, nm).box());
    walk_list(w, L, rest, depth + 1, nm, n1, run_bounds(L, nm, n1).box());
}

// A group of runs: the runs' bounds in the one pass over the inputs, the
// whole program classified once against their union, and each run only
// against the primitives that still cross the group (at the edge of an
// aperture one or two of them), so most of the classifying is shared.
void walk_group(Walker& w, const ListJob& L, int64_t n0, int64_t n1) {
    RunBounds runs[kGroupRuns];
    RunBounds all;
    int count = 0;
    for (int64_t r0 = n0; r0 < n1; r0 += kRunBlock, ++count) {
        runs[count] = run_bounds(L, r0, std::min(n1, r0 + kRunBlock));
        all.merge(runs[count]);
    }
    const RunBox box = all.box();
    const int folded = w.fold(w.shape.program, 0, box.x, box.y, box.bx, box.by);
    if (folded >= 0) {
        std::fill(L.out + n0, L.out + n1, static_cast<double>(folded));
        return;
    }
    const std::vector<int32_t>& rest = w.residual[0];
    for (int k = 0; k < count; ++k) {
        const int64_t r0 = n0 + k * kRunBlock;
        walk_list(w, L, rest, 1, r0, std::min(n1, r0 + kRunBlock), runs[k].box());
    }
}

}  // namespace

void render_footprints(const Shape& shape, const double* qx, const double* qy,
                       const double* j00, const double* j01, const double* j10,
                       const double* j11, int64_t n, double* out, int threads) {
    if (n <= 0) return;
    const ListJob L{qx, qy, j00, j01, j10, j11, out};
    const int64_t blocks = (n + kGroupBlock - 1) / kGroupBlock;
    threads = trovel::thread_count(threads, blocks);
    trovel::run_threads(threads, [&](int t) {
        Walker w(shape);
        for (int64_t b = t; b < blocks; b += threads)
            walk_group(w, L, b * kGroupBlock, std::min(n, (b + 1) * kGroupBlock));
    });
}

}  // namespace trovel_render
