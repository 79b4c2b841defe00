// Drivers: walk a pixel set in blocks so that the cost follows the boundary.
//
// A block of footprints is bounded by a box; each primitive the block's
// program still depends on is classified against that box (wholly inside,
// wholly outside, crossed) and folded out of the program where it is known.
// A block whose program folds to a constant is filled; otherwise it is split
// in two and each half classified again, down to single footprints, whose
// area is computed exactly only when some boundary may still cross them.
// A grid's block whose primitives are discs, ellipses and convex polygons
// skips the halving: its rows are cut into stretches by where each
// primitive surely holds or misses them (rows below).
//
// Each pixel's result depends only on its own position and the map: the
// bounding boxes only grow from pixel to block (with a margin far above their
// rounding), so what a block decides its pixels would have decided alone, and
// the exact path of a pixel sees the same program whatever block led to it.
// Top-level blocks sit on fixed multiples of the grid, and threads take whole
// bands of them, so tiles and thread counts give the same bits.
//
// A grid's output is written at the speed of a plain fill, row after row
// from left to right, constants as runs, with streaming stores for large
// outputs.  A band of rows whose program has few primitives left, all with
// runs (a pupil's rim, obscuration and vanes), is cut into stretches row by
// row across the whole window and each row written as it is cut.  Other
// bands (a mirror of hundreds of segments) are first decided block by block,
// each block a constant or its pixels rendered into a tile of their own,
// then written row by row, the tiles' rows copied.
#include <algorithm>
#include <cmath>

#include "kernels/pairs.hpp"
#include "kernels/prefetch.hpp"
#include "kernels/threads.hpp"
#include "render.hpp"
#include "trovel/streaming.hpp"

namespace trovel {
namespace {

constexpr std::int64_t kGridBlock = 64;   // rows and columns of a top-level grid block
constexpr std::int64_t kRunBlock = kFootprintRun;   // footprints of a run of a list
constexpr int kGroupRuns = 8;             // runs of a top-level group of a list
constexpr std::int64_t kGroupBlock = kGroupRuns * kRunBlock;
// The relative growth of every bounding box: far above the rounding of a
// box's centre and half-sizes, so that a block's box holds its footprints'.
constexpr double kGrowth = 1e-9;
constexpr int kMaxDepth = 64;             // halvings from a top-level block to one pixel, bounded
constexpr int kRowLeaves = 16;            // the most primitives a block or band is rendered by rows for

// What the stretches of a block's rows whose leaves are in one set of states
// come to: a constant, or the program folded over them.  Keyed by the
// states, two bits a leaf; most stretches of a block repeat a few sets.
class StretchCache {
public:
    void clear() { std::fill(std::begin(used_), std::end(used_), false); }

    // The entry for `key`, and whether it was there already.
    std::pair<int&, std::vector<std::int32_t>&> find(std::uint32_t key, bool& found) {
        const std::uint32_t slot = (key * 2654435761u) >> (32 - kBits);
        found = used_[slot] && key_[slot] == key;
        used_[slot] = true;
        key_[slot] = key;
        return {value_[slot], program_[slot]};
    }

private:
    static constexpr int kBits = 5;
    static constexpr int kSlots = 1 << kBits;
    bool used_[kSlots] = {};
    std::uint32_t key_[kSlots] = {};
    int value_[kSlots] = {};
    std::vector<std::int32_t> program_[kSlots];
};

// The folding of one thread, kept from call to call (its storage reused).
struct Walker {
    const Shape* shape = nullptr;
    Workspace* ws = nullptr;
    std::vector<State> state;
    std::vector<EdgeMask> near;           // per primitive: its edges near the box last folded over
    std::vector<std::vector<std::int32_t>> residual = std::vector<std::vector<std::int32_t>>(kMaxDepth);
    std::vector<std::int32_t> scratch;
    std::vector<std::uint8_t> stack;
    std::vector<double> tiles;            // a band's rendered blocks, kGridBlock^2 each
    std::vector<double> row;              // a streamed row's walked pixels
    std::vector<RowRuns> runs;            // a block's or band's runs, row by row, leaf by leaf
    BlockRuns leaf_runs[kRowLeaves];      // what each leaf's runs share over a block
    StretchCache stretches;               // the programs of a block's stretches
    std::vector<std::int32_t> band_program;   // the program folded over a band
    FootprintFrame grid_frame;            // the footprint of every pixel of a grid
    double pixel_bx = 0.0, pixel_by = 0.0;   // the half-sizes of a grid pixel's box

    // Fold `program` over the box (x, y, hx, hy): 0 or 1 when constant, else
    // -1 with `rest` the folded program: `program` itself when every leaf
    // stays crossed (nothing to fold, nothing copied), else residual[depth].
    int fold(const std::vector<std::int32_t>& program, int depth, double x, double y, double hx,
             double hy, const std::vector<std::int32_t>*& rest) {
        rest = &program;
        if (single_primitive(program)) {
            const State s = classify(shape->prims[program[0]], x, y, hx, hy, &near[program[0]]);
            if (s == State::Crossed) return -1;
            const int in = s == State::In ? 1 : 0;
            return program.size() == 1 ? in : 1 - in;
        }
        bool crossed = false, all_crossed = true;
        for (const std::int32_t code : program) {
            if (code < 0) continue;
            state[code] = classify(shape->prims[code], x, y, hx, hy, &near[code]);
            crossed |= state[code] == State::Crossed;
            all_crossed &= state[code] == State::Crossed;
        }
        // No boundary crosses the box (most blocks): the program's value
        // there, without building a residual (In is 1 and Out 0).
        if (!crossed)
            return run_program(program, reinterpret_cast<const std::uint8_t*>(state.data()), stack)
                       ? 1 : 0;
        if (all_crossed) return -1;
        rest = &residual[depth];
        return fold_program(program, state.data(), residual[depth], scratch);
    }

    // As above, with the folded program in residual[depth].
    int fold(const std::vector<std::int32_t>& program, int depth, double x, double y, double hx,
             double hy) {
        const std::vector<std::int32_t>* rest;
        const int folded = fold(program, depth, x, y, hx, hy, rest);
        if (folded < 0 && rest != &residual[depth]) residual[depth].assign(rest->begin(), rest->end());
        return folded;
    }
};

Walker& walker_for(const Shape& shape) {
    thread_local Walker w;
    w.shape = &shape;
    w.ws = &workspace_for(shape);
    w.state.assign(shape.prims.size(), State::Crossed);
    w.near.assign(shape.prims.size(), kEdgesUnknown);
    return w;
}

// ---- lazy affine grid ------------------------------------------------------

// Where a walk writes: pixel (row i, column k) at out[(i - r0) * stride + k - c0].
struct Target {
    double* out;
    std::int64_t r0, c0, stride;

    double* at(std::int64_t i, std::int64_t k) const { return out + (i - r0) * stride + (k - c0); }
};

void fill_rect(const Target& t, std::int64_t i0, std::int64_t i1, std::int64_t k0,
               std::int64_t k1, double v) {
    for (std::int64_t i = i0; i < i1; ++i) fill_run(t.at(i, k0), k1 - k0, v);
}

// The half-sizes of a block's bounding box: its extent along the map's
// columns, grown by kGrowth.
void block_box(const GridMap& m, std::int64_t i0, std::int64_t i1, std::int64_t k0,
               std::int64_t k1, double& bx, double& by) {
    const double hw = 0.5 * static_cast<double>(k1 - k0), hh = 0.5 * static_cast<double>(i1 - i0);
    bx = (std::fabs(m.m00) * hw + std::fabs(m.m01) * hh) * (1.0 + kGrowth);
    by = (std::fabs(m.m10) * hw + std::fabs(m.m11) * hh) * (1.0 + kGrowth);
}

// The exact fraction of the grid pixel centred on c under `program`, the
// shape's program just folded over the pixel's box (so that the edges found
// near that box are those of its leaves).
double pixel_fraction(Walker& w, const GridMap& m, const std::vector<std::int32_t>& program,
                      const Point& c) {
    const Footprint f{c.x, c.y, m.m00, m.m01, m.m10, m.m11};
    return exact_fraction(*w.ws, *w.shape, program, f, w.grid_frame, w.near.data());
}

void walk_grid(Walker& w, const GridMap& m, const Target& t, const std::vector<std::int32_t>& program,
               int depth, std::int64_t i0, std::int64_t i1, std::int64_t k0, std::int64_t k1) {
    // Centre of the block in grid coordinates; for one pixel exactly (k, i),
    // and its centre in the plane as (m00 k + m01 i) + x0.
    const double u = 0.5 * static_cast<double>(k0 + k1 - 1);
    const double v = 0.5 * static_cast<double>(i0 + i1 - 1);
    const Point c = grid_centre(m, u, v);
    double bx, by;
    block_box(m, i0, i1, k0, k1, bx, by);
    const int folded = w.fold(program, depth, c.x, c.y, bx, by);
    if (folded >= 0) return fill_rect(t, i0, i1, k0, k1, static_cast<double>(folded));
    if (i1 - i0 == 1 && k1 - k0 == 1) {
        *t.at(i0, k0) = pixel_fraction(w, m, w.residual[depth], c);
        return;
    }
    const std::vector<std::int32_t>& rest = w.residual[depth];
    if (k1 - k0 >= i1 - i0) {
        const std::int64_t km = k0 + (k1 - k0) / 2;
        walk_grid(w, m, t, rest, depth + 1, i0, i1, k0, km);
        walk_grid(w, m, t, rest, depth + 1, i0, i1, km, k1);
    } else {
        const std::int64_t im = i0 + (i1 - i0) / 2;
        walk_grid(w, m, t, rest, depth + 1, i0, im, k0, k1);
        walk_grid(w, m, t, rest, depth + 1, im, i1, k0, k1);
    }
}

// Pixels [a, b) of row i under `program`, one by one: what walk_grid does
// for a block of one pixel (its centre and box the same to the bit), without
// the block's arithmetic.
void walk_pixels(Walker& w, const GridMap& m, const Target& t,
                 const std::vector<std::int32_t>& program, std::int64_t i, std::int64_t a,
                 std::int64_t b) {
    const double v = static_cast<double>(i);
    for (std::int64_t k = a; k < b; ++k) {
        const Point c = grid_centre(m, static_cast<double>(k), v);
        const std::vector<std::int32_t>* rest;
        const int folded = w.fold(program, 1, c.x, c.y, w.pixel_bx, w.pixel_by, rest);
        *t.at(i, k) = folded >= 0 ? static_cast<double>(folded) : pixel_fraction(w, m, *rest, c);
    }
}

// ---- rows of a rectangle ----------------------------------------------------
//
// A block, or a band of whole rows, whose program's primitives are all
// discs, ellipses or convex polygons (a rim, a vane, the segments of a
// mirror), at most kRowLeaves of them, is rendered row by
// row: each primitive's runs on the row, the columns it surely holds and
// those it may meet, cut the row into stretches over each of which every
// primitive's state is one; a stretch whose states decide the program is
// filled, and the pixels of the others are walked one by one under the
// program folded over the stretch.  The runs decide nothing a pixel would
// not decide alone, so the image has the bits of the walk.

// A primitive's state over columns [a, b) of a row, from its runs there.
State state_over(const RowRuns& r, std::int64_t a, std::int64_t b) {
    if (r.in.start <= a && b <= r.in.stop) return State::In;
    if (b <= r.maybe.start || a >= r.maybe.stop) return State::Out;
    return State::Crossed;
}

// The runs of a rectangle's rows under one program: its leaves, and each
// leaf's runs row by row.
struct RectRuns {
    std::int32_t leaves[kRowLeaves];
    int count = 0;
    std::int64_t i0 = 0;
    const RowRuns* runs = nullptr;   // row i's, leaf by leaf, at (i - i0) * count

    const RowRuns* row(std::int64_t i) const { return runs + (i - i0) * count; }
};

// Row i, columns [k0, k1), of a rectangle whose runs are `r`: written into
// `t`, or, with a writer, its constant stretches written through the writer
// and its walked pixels rendered into `t` and copied through it, left to
// right.
void render_row(Walker& w, const GridMap& m, const Target& t,
                const std::vector<std::int32_t>& program, const RectRuns& r, std::int64_t i,
                std::int64_t k0, std::int64_t k1, RowWriter* writer = nullptr) {
    const RowRuns* runs = r.row(i);
    // the leaves that may meet the row (the others miss all of it: Out, 0
    // in the key) and the columns where their runs begin and end
    int near[kRowLeaves], meeting = 0;
    std::int64_t cuts[4 * kRowLeaves + 2];
    int n = 0;
    cuts[n++] = k0;
    cuts[n++] = k1;
    for (int l = 0; l < r.count; ++l) {
        if (runs[l].maybe.start >= runs[l].maybe.stop) continue;
        near[meeting++] = l;
        for (const std::int64_t c : {runs[l].in.start, runs[l].in.stop, runs[l].maybe.start,
                                     runs[l].maybe.stop})
            if (c > k0 && c < k1) cuts[n++] = c;
    }
    std::sort(cuts, cuts + n);
    n = static_cast<int>(std::unique(cuts, cuts + n) - cuts);
    for (int c = 0; c + 1 < n; ++c) {
        const std::int64_t a = cuts[c], b = cuts[c + 1];
        std::uint32_t key = 0;
        for (int j = 0; j < meeting; ++j)
            key |= static_cast<std::uint32_t>(state_over(runs[near[j]], a, b)) << (2 * near[j]);
        bool found;
        auto [value, folded] = w.stretches.find(key, found);
        if (!found) {
            for (int l = 0; l < r.count; ++l)
                w.state[r.leaves[l]] = static_cast<State>((key >> (2 * l)) & 3);
            value = fold_program(program, w.state.data(), folded, w.scratch);
        }
        if (value >= 0) {
            if (writer) writer->fill(static_cast<double>(value), b - a);
            else fill_run(t.at(i, a), b - a, static_cast<double>(value));
            continue;
        }
        walk_pixels(w, m, t, folded, i, a, b);
        if (writer) writer->copy(t.at(i, a), b - a);
    }
}

// The runs of rows [i0, i1) by columns [k0, k1) under `program`, into w's
// storage.  False when a leaf has no runs or the runs cannot be sure.
bool rect_runs(Walker& w, const GridMap& m, const std::vector<std::int32_t>& program,
               std::int64_t i0, std::int64_t i1, std::int64_t k0, std::int64_t k1, RectRuns& r) {
    if (!distinct_leaves(program, r.leaves, kRowLeaves, r.count) || r.count == 0) return false;
    double bx, by;
    block_box(m, 0, 1, 0, 1, bx, by);
    BlockRuns* leaf = w.leaf_runs;
    for (int l = 0; l < r.count; ++l)
        if (!leaf[l].prepare(w.shape->prims[r.leaves[l]], m, bx, by, i0, i1, k0, k1)) return false;
    w.runs.resize(static_cast<std::size_t>((i1 - i0) * r.count));
    RowRuns* runs = w.runs.data();
    for (std::int64_t i = i0; i < i1; ++i)
        for (int l = 0; l < r.count; ++l)
            if (!leaf[l].at(i, runs[(i - i0) * r.count + l])) return false;
    r.i0 = i0;
    r.runs = runs;
    w.stretches.clear();
    return true;
}

// Rows [i0, i1) by columns [k0, k1) under `program`, row by row.  False,
// having written nothing, when a leaf has no runs or the runs cannot be sure.
bool render_rows(Walker& w, const GridMap& m, const Target& t,
                 const std::vector<std::int32_t>& program, std::int64_t i0, std::int64_t i1,
                 std::int64_t k0, std::int64_t k1) {
    RectRuns r;
    if (!rect_runs(w, m, program, i0, i1, k0, k1, r)) return false;
    for (std::int64_t i = i0; i < i1; ++i) render_row(w, m, t, program, r, i, k0, k1);
    return true;
}

// The program folded over the box of rows [i0, i1) by columns [k0, k1),
// into w.residual[0].
int fold_over(Walker& w, const std::vector<std::int32_t>& program, const GridMap& m,
              std::int64_t i0, std::int64_t i1, std::int64_t k0, std::int64_t k1) {
    const double u = 0.5 * static_cast<double>(k0 + k1 - 1);
    const double v = 0.5 * static_cast<double>(i0 + i1 - 1);
    const Point c = grid_centre(m, u, v);
    double bx, by;
    block_box(m, i0, i1, k0, k1, bx, by);
    return w.fold(program, 0, c.x, c.y, bx, by);
}

std::int64_t floor_to_block(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b * b : -((-a + b - 1) / b) * b;
}

// A top-level block of a band: its columns, and a constant value or the
// index of the tile its pixels were rendered into.
struct BandBlock {
    std::int64_t k0, k1;
    int value;            // 0 or 1, or -1: rendered
    std::size_t tile;
};

// Rows [i0, i1) of the window, whole, under the band's program, when its
// leaves are few and all have runs: each row cut into stretches across the
// window and written once, left to right, with no blocks or tiles between.
// A streamed row's walked pixels go through a buffer of one row.  False,
// having written nothing, otherwise.
bool render_band_rows(Walker& w, const GridWindow& win, const Target& out, std::int64_t i0,
                      std::int64_t i1, bool stream, bool zeroed) {
    RectRuns r;
    if (!rect_runs(w, win.map, w.band_program, i0, i1, win.c0, win.c1, r)) return false;
    if (!stream) {
        for (std::int64_t i = i0; i < i1; ++i)
            render_row(w, win.map, out, w.band_program, r, i, win.c0, win.c1);
        return true;
    }
    w.row.resize(static_cast<std::size_t>(win.cols()));
    const Target row{w.row.data(), 0, win.c0, 0};   // stride 0: every row lands on the buffer
    for (std::int64_t i = i0; i < i1; ++i) {
        RowWriter writer(out.at(i, win.c0), stream, zeroed);
        render_row(w, win.map, row, w.band_program, r, i, win.c0, win.c1, &writer);
    }
    return true;
}

// Rows [i0, i1) of the window (within one row of top-level blocks): by
// whole rows where that can be done, else every block decided or rendered
// into its tile, then the rows written in turn.  `zeroed`: the output
// holds zeros already, and its stretches of zeros are passed over.
void render_band(Walker& w, const GridWindow& win, const Target& out, std::int64_t i0,
                 std::int64_t i1, bool stream, bool zeroed) {
    const GridMap& m = win.map;
    const std::int64_t tile_size = kGridBlock * kGridBlock;
    thread_local std::vector<BandBlock> blocks;
    blocks.clear();
    std::size_t tiles = 0;
    // The band's own program first: of a shape of many primitives (hundreds
    // of segments) only those near the band remain for its blocks.
    const int whole = fold_over(w, w.shape->program, m, i0, i1, win.c0, win.c1);
    if (whole >= 0) blocks.push_back({win.c0, win.c1, whole, 0});
    w.band_program = w.residual[0];
    if (whole < 0 && render_band_rows(w, win, out, i0, i1, stream, zeroed)) return;
    for (std::int64_t kb = floor_to_block(win.c0, kGridBlock); whole < 0 && kb < win.c1;
         kb += kGridBlock) {
        const std::int64_t k0 = std::max(win.c0, kb), k1 = std::min(win.c1, kb + kGridBlock);
        const int folded = fold_over(w, w.band_program, m, i0, i1, k0, k1);
        if (folded >= 0) {
            blocks.push_back({k0, k1, folded, 0});
            continue;
        }
        if (w.tiles.size() < (tiles + 1) * tile_size) w.tiles.resize((tiles + 1) * tile_size);
        const Target tile{w.tiles.data() + tiles * tile_size, i0, k0, kGridBlock};
        if (!render_rows(w, m, tile, w.residual[0], i0, i1, k0, k1))
            walk_grid(w, m, tile, w.residual[0], 1, i0, i1, k0, k1);
        blocks.push_back({k0, k1, -1, tiles++});
    }
    for (std::int64_t i = i0; i < i1; ++i) {
        RowWriter row(out.at(i, win.c0), stream, zeroed);
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const BandBlock& blk = blocks[b];
            if (blk.value < 0) {
                row.copy(w.tiles.data() + blk.tile * tile_size + (i - i0) * kGridBlock,
                         blk.k1 - blk.k0);
                continue;
            }
            // a run of blocks of one constant, written as one
            std::size_t e = b;
            while (e + 1 < blocks.size() && blocks[e + 1].value == blk.value) ++e;
            row.fill(static_cast<double>(blk.value), blocks[e].k1 - blk.k0);
            b = e;
        }
    }
}

}  // namespace

void render_grid(const Shape& shape, const GridWindow& win, double* out, int threads,
                 bool fresh) {
    if (win.r1 <= win.r0 || win.c1 <= win.c0) return;
    const Target target{out, win.r0, win.c0, win.cols()};
    const bool stream = prepare_to_stream(out, win.rows() * win.cols(), fresh);
    if (shape.pieces && sweep_grid(*shape.pieces, win, out, threads, stream, fresh)) return;
    const std::int64_t first = floor_to_block(win.r0, kGridBlock);
    const std::int64_t bands = (win.r1 - first + kGridBlock - 1) / kGridBlock;
    const FootprintFrame frame =
        frame_of({0.0, 0.0, win.map.m00, win.map.m01, win.map.m10, win.map.m11});
    for_each_piece(threads, bands, [&](std::int64_t b) {
        Walker& w = walker_for(shape);
        w.grid_frame = frame;
        block_box(win.map, 0, 1, 0, 1, w.pixel_bx, w.pixel_by);
        const std::int64_t i0 = std::max(win.r0, first + b * kGridBlock);
        const std::int64_t i1 = std::min(win.r1, first + (b + 1) * kGridBlock);
        render_band(w, win, target, i0, i1, stream, fresh);
        end_streaming(stream);
    });
}

// ---- per-pixel footprints --------------------------------------------------

namespace {

struct ListJob {
    const double *qx, *qy, *j00, *j01, *j10, *j11;
    double* out;
};

// Running bounds of pairs of footprints (pairs.hpp): centres' minima and
// maxima and the largest half-extents (times two) along x and y; two pairs
// at a time keep two chains of each reduction going.
struct PairBounds {
    Pair xmin, xmax, ymin, ymax, ex, ey;

    PairBounds(const ListJob& L, std::int64_t n)
        : xmin(load_pair(L.qx + n)), xmax(xmin), ymin(load_pair(L.qy + n)), ymax(ymin),
          ex(pair_abs(load_pair(L.j00 + n)) + pair_abs(load_pair(L.j01 + n))),
          ey(pair_abs(load_pair(L.j10 + n)) + pair_abs(load_pair(L.j11 + n))) {}

    void add(const ListJob& L, std::int64_t n) {
        const Pair qx = load_pair(L.qx + n), qy = load_pair(L.qy + n);
        xmin = pair_min(xmin, qx);
        xmax = pair_max(xmax, qx);
        ymin = pair_min(ymin, qy);
        ymax = pair_max(ymax, qy);
        ex = pair_max(ex, pair_abs(load_pair(L.j00 + n)) + pair_abs(load_pair(L.j01 + n)));
        ey = pair_max(ey, pair_abs(load_pair(L.j10 + n)) + pair_abs(load_pair(L.j11 + n)));
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

RunBounds run_bounds(const ListJob& L, std::int64_t n0, std::int64_t n1) {
    RunBounds r;
    std::int64_t n = n0;
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

// One footprint under `program`: its own box folded, then its exact area
// where a boundary may still cross it.
void walk_footprint(Walker& w, const ListJob& L, const std::vector<std::int32_t>& program,
                    int depth, std::int64_t n) {
    const RunBox box = run_bounds(L, n, n + 1).box();
    const int folded = w.fold(program, depth, box.x, box.y, box.bx, box.by);
    if (folded >= 0) {
        L.out[n] = static_cast<double>(folded);
        return;
    }
    const Footprint f{L.qx[n], L.qy[n], L.j00[n], L.j01[n], L.j10[n], L.j11[n]};
    L.out[n] = exact_fraction(*w.ws, *w.shape, w.residual[depth], f, frame_of(f));
}

// Footprints [n0, n1) inside `box`, under `program`: folded as a whole,
// then in parts of kPartRun (their bounds in one more pass over the
// inputs), then footprint by footprint where a part is still crossed.
constexpr std::int64_t kPartRun = 8;

void walk_list(Walker& w, const ListJob& L, const std::vector<std::int32_t>& program, int depth,
               std::int64_t n0, std::int64_t n1, const RunBox& box) {
    const auto [x, y, bx, by] = box;
    const int folded = w.fold(program, depth, x, y, bx, by);
    if (folded >= 0) {
        std::fill(L.out + n0, L.out + n1, static_cast<double>(folded));
        return;
    }
    const std::vector<std::int32_t>& rest = w.residual[depth];
    for (std::int64_t p0 = n0; p0 < n1; p0 += kPartRun) {
        const std::int64_t p1 = std::min(n1, p0 + kPartRun);
        const RunBox part = run_bounds(L, p0, p1).box();
        const int value = w.fold(rest, depth + 1, part.x, part.y, part.bx, part.by);
        if (value >= 0) {
            std::fill(L.out + p0, L.out + p1, static_cast<double>(value));
            continue;
        }
        for (std::int64_t n = p0; n < p1; ++n) walk_footprint(w, L, w.residual[depth + 1], depth + 2, n);
    }
}

// A group of runs: the runs' bounds in the one pass over the inputs (or
// from those kept with the pixel set), the whole program classified once
// against their union, and each run only against the primitives that still
// cross the group (at the edge of an aperture one or two of them), so most
// of the classifying is shared.
void walk_group(Walker& w, const ListJob& L, const double* kept, std::int64_t n0,
                std::int64_t n1) {
    RunBounds runs[kGroupRuns];
    RunBounds all;
    int count = 0;
    for (std::int64_t r0 = n0; r0 < n1; r0 += kRunBlock, ++count) {
        if (kept) {
            const double* b = kept + kRunBoundsSize * (r0 / kRunBlock);
            runs[count] = {b[0], b[1], b[2], b[3], b[4], b[5]};
        } else {
            runs[count] = run_bounds(L, r0, std::min(n1, r0 + kRunBlock));
        }
        all.merge(runs[count]);
    }
    const RunBox box = all.box();
    const int folded = w.fold(w.shape->program, 0, box.x, box.y, box.bx, box.by);
    if (folded >= 0) {
        std::fill(L.out + n0, L.out + n1, static_cast<double>(folded));
        return;
    }
    const std::vector<std::int32_t>& rest = w.residual[0];
    // Each run folded: the footprints of those that stay crossed are read
    // next, so ask for all of them at once, that their lines arrive
    // together, not run after run and part after part (measured: a fifth
    // less time for a pupil on 2048^2 footprints).
    int settled[kGroupRuns];
    for (int k = 0; k < count; ++k) {
        const RunBox b = runs[k].box();
        settled[k] = w.fold(rest, 1, b.x, b.y, b.bx, b.by);
        if (settled[k] >= 0) continue;
        const std::int64_t r0 = n0 + k * kRunBlock, r1 = std::min(n1, r0 + kRunBlock);
        for (const double* a : {L.qx, L.qy, L.j00, L.j01, L.j10, L.j11})
            prefetch_items(a + r0, r1 - r0, sizeof(double));
    }
    for (int k = 0; k < count; ++k) {
        const std::int64_t r0 = n0 + k * kRunBlock, r1 = std::min(n1, r0 + kRunBlock);
        if (settled[k] >= 0) std::fill(L.out + r0, L.out + r1, static_cast<double>(settled[k]));
        else walk_list(w, L, rest, 1, r0, r1, runs[k].box());
    }
}

}  // namespace

void render_footprints(const Shape& shape, const double* qx, const double* qy,
                       const double* j00, const double* j01, const double* j10,
                       const double* j11, std::int64_t n, double* out, int threads,
                       const double* kept) {
    if (n <= 0) return;
    const ListJob L{qx, qy, j00, j01, j10, j11, out};
    const std::int64_t groups = (n + kGroupBlock - 1) / kGroupBlock;
    for_each_piece(threads, groups, [&](std::int64_t g) {
        walk_group(walker_for(shape), L, kept, g * kGroupBlock,
                   std::min(n, (g + 1) * kGroupBlock));
    });
}

void footprint_run_bounds(const double* qx, const double* qy, const double* j00,
                          const double* j01, const double* j10, const double* j11,
                          std::int64_t n, double* bounds) {
    const ListJob L{qx, qy, j00, j01, j10, j11, nullptr};
    for (std::int64_t r0 = 0; r0 < n; r0 += kRunBlock) {
        const RunBounds r = run_bounds(L, r0, std::min(n, r0 + kRunBlock));
        double* b = bounds + kRunBoundsSize * (r0 / kRunBlock);
        b[0] = r.xmin, b[1] = r.xmax, b[2] = r.ymin, b[3] = r.ymax, b[4] = r.ex, b[5] = r.ey;
    }
}

// ---- quadrilateral footprints ---------------------------------------------
//
// Tiles of kQuadTile x kQuadTile pixels of the corner grid, on fixed
// multiples of it, each bounded by the box of its corners (grown as a
// run's): folded as a whole, then in parts of kQuadPart x kQuadPart, then
// pixel by pixel where a part is still crossed.

namespace {

constexpr std::int64_t kQuadTile = 32;
constexpr std::int64_t kQuadPart = 8;

// The box of the corners of pixels [i0, i1) x [k0, k1).
RunBox corner_box(const CornerGrid& g, std::int64_t i0, std::int64_t i1, std::int64_t k0,
                  std::int64_t k1) {
    RunBounds r;
    for (std::int64_t i = i0; i <= i1; ++i) {
        const double* x = g.x + g.at(i, k0);
        const double* y = g.y + g.at(i, k0);
        for (std::int64_t k = 0; k <= k1 - k0; ++k) {
            r.xmin = std::min(r.xmin, x[k]);
            r.xmax = std::max(r.xmax, x[k]);
            r.ymin = std::min(r.ymin, y[k]);
            r.ymax = std::max(r.ymax, y[k]);
        }
    }
    return r.box();
}

struct QuadJob {
    const CornerGrid& grid;
    double* out;

    double& at(std::int64_t i, std::int64_t k) const { return out[i * grid.cols + k]; }

    void fill(std::int64_t i0, std::int64_t i1, std::int64_t k0, std::int64_t k1, int v) const {
        for (std::int64_t i = i0; i < i1; ++i)
            std::fill(&at(i, k0), &at(i, k0) + (k1 - k0), static_cast<double>(v));
    }
};

void walk_quad(Walker& w, const QuadJob& J, const std::vector<std::int32_t>& program, int depth,
               std::int64_t i, std::int64_t k) {
    const RunBox box = corner_box(J.grid, i, i + 1, k, k + 1);
    const int folded = w.fold(program, depth, box.x, box.y, box.bx, box.by);
    if (folded >= 0) {
        J.at(i, k) = static_cast<double>(folded);
        return;
    }
    double cx[4], cy[4];
    J.grid.quad(i, k, cx, cy);
    J.at(i, k) = quad_fraction(*w.ws, *w.shape, w.residual[depth], quad_frames(cx, cy));
}

void walk_quad_tile(Walker& w, const QuadJob& J, std::int64_t i0, std::int64_t i1,
                    std::int64_t k0, std::int64_t k1) {
    const RunBox box = corner_box(J.grid, i0, i1, k0, k1);
    const int folded = w.fold(w.shape->program, 0, box.x, box.y, box.bx, box.by);
    if (folded >= 0) return J.fill(i0, i1, k0, k1, folded);
    const std::vector<std::int32_t>& rest = w.residual[0];
    for (std::int64_t a0 = i0; a0 < i1; a0 += kQuadPart) {
        const std::int64_t a1 = std::min(i1, a0 + kQuadPart);
        for (std::int64_t b0 = k0; b0 < k1; b0 += kQuadPart) {
            const std::int64_t b1 = std::min(k1, b0 + kQuadPart);
            const RunBox part = corner_box(J.grid, a0, a1, b0, b1);
            const int value = w.fold(rest, 1, part.x, part.y, part.bx, part.by);
            if (value >= 0) {
                J.fill(a0, a1, b0, b1, value);
                continue;
            }
            for (std::int64_t i = a0; i < a1; ++i)
                for (std::int64_t k = b0; k < b1; ++k) walk_quad(w, J, w.residual[1], 2, i, k);
        }
    }
}

}  // namespace

void render_quads(const Shape& shape, const CornerGrid& grid, double* out, int threads) {
    if (grid.rows <= 0 || grid.cols <= 0) return;
    const QuadJob J{grid, out};
    const std::int64_t ti = (grid.rows + kQuadTile - 1) / kQuadTile;
    const std::int64_t tk = (grid.cols + kQuadTile - 1) / kQuadTile;
    for_each_piece(threads, ti * tk, [&](std::int64_t t) {
        const std::int64_t i0 = (t / tk) * kQuadTile, k0 = (t % tk) * kQuadTile;
        walk_quad_tile(walker_for(shape), J, i0, std::min(grid.rows, i0 + kQuadTile), k0,
                       std::min(grid.cols, k0 + kQuadTile));
    });
}

}  // namespace trovel
