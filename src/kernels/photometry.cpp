// Aperture photometry of many sources in one call: for each source, the
// exact fraction f of every footprint inside its aperture (the renderer's,
// on the source's own window of pixels only), and the sums over the usable
// pixels of image f, (error f)^2 and f times the footprint's area.
//
// A lazy grid's window is the pixels whose grid squares may meet the
// aperture's box, carried to grid coordinates by the inverse map; it is
// rendered with the map's origin moved by minus the source's position, so
// that the aperture itself never moves and its description is read once.
// The window may reach beyond the image: pixels there are the grid's all
// the same, and an aperture that covers any of them is partial.  Per-pixel
// footprints are found through an index of blocks of pixels by their
// bounding boxes; there an aperture is partial when the fractions of all
// the image's pixels fall short of its exact area.  Pixels masked, or whose
// image or error value is not finite, are left out, and an aperture that
// covers any of them is partial too.
//
// Sources are split over threads; each source's sums are formed in one
// order whatever thread takes it, so the results have the same bits for
// any thread count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/bindings.hpp"
#include "kernels/threads.hpp"
#include "render/description.hpp"

namespace trovel {
namespace {

// An image or error array of float64 or float32, row-major (ny, nx).
struct Values {
    const double* f64 = nullptr;
    const float* f32 = nullptr;

    bool given() const { return f64 || f32; }
    double at(std::int64_t n) const { return f64 ? f64[n] : static_cast<double>(f32[n]); }
};

struct Sums;

// A run of n pixels of a row, from pixel `first`, with their fractions f:
// the usable ones added to the sums (and their fractions to `covered`).
using RowAdder = void (*)(const struct Inputs&, Sums&, double& covered, const double* f,
                          std::int64_t first, std::int64_t n);

struct Inputs {
    std::int64_t ny, nx;
    Values image, error;
    const std::uint8_t* mask;   // 1 where a pixel is excluded; null when none is
    RowAdder adder = nullptr;   // the loop for these arrays' types

    void add_row(Sums& s, double& covered, const double* f, std::int64_t first,
                 std::int64_t n) const {
        adder(*this, s, covered, f, first, n);
    }
};

// What one source gathers.
struct Sums {
    double sum = 0.0, error2 = 0.0, area = 0.0;
    bool partial = false;

    // Pixel n of the image, of footprint area a, covered by the fraction f.
    void add(const Inputs& in, std::int64_t n, double f, double a) {
        const double v = in.image.at(n);
        const double e = in.error.given() ? in.error.at(n) : 0.0;
        if ((in.mask && in.mask[n]) || !std::isfinite(v) || !std::isfinite(e)) {
            partial = true;
            return;
        }
        sum += v * f;
        error2 += (e * f) * (e * f);
        area += f * a;
    }
};

// The row loop for an image of type T, with or without a mask and errors:
// one instance each, so that the loop holds no test of what was given.
template <class T, bool kMask, bool kError>
void add_row_of(const Inputs& in, Sums& s, double& covered, const double* f, std::int64_t first,
                std::int64_t n) {
    const T* v = static_cast<const T*>(in.image.f64 ? static_cast<const void*>(in.image.f64)
                                                     : static_cast<const void*>(in.image.f32)) + first;
    const T* e = nullptr;
    if constexpr (kError)
        e = static_cast<const T*>(in.error.f64 ? static_cast<const void*>(in.error.f64)
                                               : static_cast<const void*>(in.error.f32)) + first;
    const std::uint8_t* mask = kMask ? in.mask + first : nullptr;
    for (std::int64_t j = 0; j < n; ++j) {
        const double fj = f[j];
        if (fj == 0.0) continue;
        const double vj = static_cast<double>(v[j]);
        const double ej = kError ? static_cast<double>(e[j]) : 0.0;
        if ((kMask && mask[j]) || !std::isfinite(vj) || (kError && !std::isfinite(ej))) {
            s.partial = true;
            continue;
        }
        s.sum += vj * fj;
        if constexpr (kError) s.error2 += (ej * fj) * (ej * fj);
        covered += fj;
    }
}

template <class T>
RowAdder adder_for(bool mask, bool error) {
    return mask ? (error ? &add_row_of<T, true, true> : &add_row_of<T, true, false>)
                : (error ? &add_row_of<T, false, true> : &add_row_of<T, false, false>);
}

// Sources whose aperture's exact area the fractions fall short of by more
// than this (relative) reach beyond the footprints: far above the rounding
// of a sum of fractions, far below any pixel's share.
constexpr double kMissingArea = 1e-9;
// Sources per piece of work handed to a thread.
constexpr std::int64_t kSourcesPerPiece = 64;

// ---- discs on axis-aligned grids ------------------------------------------------
// The field's daily job: small discs and annuli on a grid of rectangles.  The
// area of the disc of radius r (about the origin) inside the rectangle
// [xl, xr] x [a, b] is G(b, xr) - G(b, xl) - G(a, xr) + G(a, xl), where
// G(h, u) is the area of the disc below y = h and left of x = u: the
// integral from -r to u of the length of the vertical chord below h.  That
// chord is 2 s(t), h + s(t) or 0 (s(t) = sqrt(r^2 - t^2)) on pieces ending
// at +-sqrt(r^2 - h^2), so G is a sum of linear terms and of
// S(u) = integral from 0 to u of s = (u s(u) + r^2 asin(u / r)) / 2, which
// depends on u alone: evaluated once per column boundary of a window and
// shared by all its rows.  Rounding stays near r^2 ulp, so the fast path
// takes discs of up to kRowDiscRadius pixels.
constexpr double kRowDiscRadius = 32.0;
constexpr double kQuarterPi = 0.7853981633974483;   // S(r) = pi r^2 / 4

// S(u) for the disc of radius r, u clamped to [-r, r].
double chord_integral(double u, double r) {
    const double v = std::clamp(u, -r, r);
    return 0.5 * (v * std::sqrt((r - v) * (r + v)) + r * r * std::asin(v / r));
}

// G(h, .) for one row boundary h.
struct DiscLevel {
    double h, r, th, St, Sr;   // the pieces end at -th and th; St = S(th); Sr = S(r)
    bool empty, full, upper;   // h <= -r; h >= r; h > 0

    DiscLevel(double h_, double r_) : h(h_), r(r_) {
        empty = h <= -r;
        full = h >= r;
        upper = h > 0.0;
        th = empty || full ? r : std::sqrt((r - h) * (r + h));
        St = chord_integral(th, r);
        Sr = kQuarterPi * r * r;
    }

    // G(h, u), given S(u).
    double G(double u, double Su) const {
        if (empty) return 0.0;
        if (full || u <= -th) return upper ? 2.0 * (Su + Sr) : 0.0;
        const double below = upper ? 2.0 * (Sr - St) : 0.0;     // the chords over [-r, -th]
        if (u <= th) return below + h * (u + th) + (Su + St);  // chords h + s over [-th, u]
        return below + 2.0 * (h * th + St) + (upper ? 2.0 * (Su - St) : 0.0);
    }
};

// One row of pixels between the levels lo and hi (lo.h < hi.h), pixel k
// spanning [edge[k], edge[k + 1]]: 0 beyond the band's widest chord, 1
// within its narrowest, the band's area between G's differences elsewhere.
// With `hole`, the fractions are taken from the row's instead (a disc
// inside the one the row holds), and pixels the disc misses are left as
// they are.
void fill_disc_row(const DiscLevel& lo, const DiscLevel& hi, const double* edge, const double* S,
                   std::int64_t cols, double r, double area, double* row, bool hole) {
    const double a = lo.h, b = hi.h;
    if (b <= -r || a >= r) {
        if (!hole) std::fill(row, row + cols, 0.0);
        return;
    }
    // Every point of the row's band lies within `inner` of the vertical
    // through the centre where the whole band is inside the disc, and
    // within `outer` where any of it is.
    const double far = std::max(std::fabs(a), std::fabs(b));
    const double near = a < 0.0 && b > 0.0 ? 0.0 : std::min(std::fabs(a), std::fabs(b));
    const double inner = far < r ? std::sqrt((r - far) * (r + far)) : -1.0;
    const double outer = std::sqrt((r - near) * (r + near));
    std::int64_t k0 = 0, k1 = cols;   // the columns the widest chord reaches
    while (k0 < cols && edge[k0 + 1] <= -outer) ++k0;
    while (k1 > k0 && edge[k1 - 1] >= outer) --k1;
    if (!hole) {
        std::fill(row, row + k0, 0.0);
        std::fill(row + k1, row + cols, 0.0);
    }
    const auto put = [&](std::int64_t k, double f) { row[k] = hole ? std::max(0.0, row[k] - f) : f; };
    // the band's area left of boundary j, G(b, x_j) - G(a, x_j), kept for
    // the next pixel, whose left boundary it is
    std::int64_t known = -1;
    double known_area = 0.0;
    for (std::int64_t k = k0; k < k1; ++k) {
        if (edge[k] > -inner && edge[k + 1] < inner) {
            put(k, 1.0);   // all four corners inside: the whole pixel (the disc is convex)
            continue;
        }
        const double left = known == k ? known_area : hi.G(edge[k], S[k]) - lo.G(edge[k], S[k]);
        known = k + 1;
        known_area = hi.G(edge[k + 1], S[k + 1]) - lo.G(edge[k + 1], S[k + 1]);
        put(k, std::clamp((known_area - left) / area, 0.0, 1.0));
    }
}

// The fraction of each pixel of the window (of an axis-aligned map) inside
// the disc (cx, cy, r), into out (rows, cols); false when the map is not
// axis-aligned or the disc too large for the fast path.
bool disc_on_axis_grid(const GridWindow& w, double cx, double cy, double r, double* out,
                       std::vector<double>& column_S, bool hole = false) {
    const GridMap& m = w.map;
    if (m.m01 != 0.0 || m.m10 != 0.0 || !(r <= kRowDiscRadius * std::min(std::fabs(m.m00),
                                                                         std::fabs(m.m11))))
        return false;
    const std::int64_t cols = w.cols();
    // Column boundaries relative to the centre, ascending: for a mirrored
    // map the disc is measured mirrored too (it is symmetric), so pixel k
    // always spans [edge[k], edge[k + 1]].  S at each.
    const double sx = m.m00 > 0.0 ? 1.0 : -1.0, sy = m.m11 > 0.0 ? 1.0 : -1.0;
    column_S.resize(static_cast<std::size_t>(2 * (cols + 1)));
    double* edge = column_S.data();
    double* S = edge + cols + 1;
    for (std::int64_t k = 0; k <= cols; ++k) {
        edge[k] = sx * (m.m00 * (double(w.c0 + k) - 0.5) + (m.x0 - cx));
        S[k] = chord_integral(edge[k], r);
    }
    const double area = std::fabs(m.m00 * m.m11);
    // row boundaries are shared: each row's upper level is the next one's lower
    const auto level_at = [&](double t) { return DiscLevel(sy * (m.m11 * t + (m.y0 - cy)), r); };
    DiscLevel lo = level_at(double(w.r0) - 0.5);
    for (std::int64_t i = w.r0; i < w.r1; ++i) {
        double* row = out + (i - w.r0) * cols;
        const DiscLevel hi = level_at(double(i) + 0.5);
        fill_disc_row(lo, hi, edge, S, cols, r, area, row, hole);
        lo = hi;
    }
    return true;
}

// ---- a lazy grid -----------------------------------------------------------

// The window of grid pixels whose squares may meet the box moved by o: the
// box's corners in grid coordinates, by the inverse map, with a pixel more
// on each side for the rounding.
GridWindow window_of(const GridMap& m, const ShapeDescription::Box& b, double ox, double oy) {
    const double det = m.m00 * m.m11 - m.m01 * m.m10;
    const double i00 = m.m11 / det, i01 = -m.m01 / det, i10 = -m.m10 / det, i11 = m.m00 / det;
    double kmin = INFINITY, kmax = -INFINITY, imin = INFINITY, imax = -INFINITY;
    for (const double x : {b.xmin, b.xmax}) {
        for (const double y : {b.ymin, b.ymax}) {
            const double dx = (x + ox) - m.x0, dy = (y + oy) - m.y0;
            const double k = i00 * dx + i01 * dy, i = i10 * dx + i11 * dy;
            kmin = std::min(kmin, k);
            kmax = std::max(kmax, k);
            imin = std::min(imin, i);
            imax = std::max(imax, i);
        }
    }
    // pixel k covers [k - 0.5, k + 0.5]: those meeting [kmin, kmax], widened
    // by far more than the rounding of the inverse map
    const double slack = 1e-9 * (std::fabs(kmin) + std::fabs(kmax) + std::fabs(imin) +
                                 std::fabs(imax) + 1.0);
    const auto lo = [&](double v) { return static_cast<std::int64_t>(std::floor(v - slack + 0.5)); };
    const auto hi = [&](double v) {
        return static_cast<std::int64_t>(std::ceil(v + slack - 0.5)) + 1;
    };
    return {{m.x0 - ox, m.y0 - oy, m.m00, m.m01, m.m10, m.m11}, lo(imin), hi(imax), lo(kmin),
            hi(kmax)};
}

// Asks for the image's (and error's, mask's) rows of the window before the
// fractions are computed: a source's window is a few scattered cache lines
// of a large image, whose fetching from memory would otherwise be most of
// the source's time.
void prefetch_window(const Inputs& in, const GridWindow& w) {
    const std::int64_t i0 = std::max<std::int64_t>(w.r0, 0), i1 = std::min(w.r1, in.ny);
    const std::int64_t k0 = std::max<std::int64_t>(w.c0, 0), k1 = std::min(w.c1, in.nx);
    if (k1 <= k0) return;
    const std::size_t line = 64;
    const auto rows = [&](const char* base, std::size_t item) {
        if (!base) return;
        for (std::int64_t i = i0; i < i1; ++i) {
            const char* first = base + item * std::size_t(i * in.nx + k0);
            const char* last = base + item * std::size_t(i * in.nx + k1 - 1);
            for (const char* p = first; p <= last + line - 1; p += line) __builtin_prefetch(p);
        }
    };
    rows(in.image.f64 ? reinterpret_cast<const char*>(in.image.f64)
                      : reinterpret_cast<const char*>(in.image.f32),
         in.image.f64 ? sizeof(double) : sizeof(float));
    if (in.error.given())
        rows(in.error.f64 ? reinterpret_cast<const char*>(in.error.f64)
                          : reinterpret_cast<const char*>(in.error.f32),
             in.error.f64 ? sizeof(double) : sizeof(float));
    rows(reinterpret_cast<const char*>(in.mask), 1);
}

// Whether a window's corners stay in a range whose indices a double holds
// exactly and an image's sums can afford: else the source is far off.
bool moderate(const GridWindow& w, const Inputs& in) {
    const double reach = 4.0 * double(std::max(in.ny, in.nx)) + 4096.0;
    return std::fabs(double(w.r0)) < reach && std::fabs(double(w.r1)) < reach &&
           std::fabs(double(w.c0)) < reach && std::fabs(double(w.c1)) < reach;
}

// A single disc, or a disc less a disc inside it (an annulus), by the fast
// path: false when the shape is neither or the fast path declines.
bool fractions_on_axis_grid(const ShapeDescription& d, const GridWindow& w, double* out,
                            std::vector<double>& scratch) {
    const std::vector<std::int32_t>& program = d.shape.program;
    const auto disc = [&](std::int32_t code) {
        return d.shape.prims[code].kind == PrimKind::Disc ? d.shape.prims[code].v : nullptr;
    };
    if (program.size() == 1 && disc(0))
        return disc_on_axis_grid(w, disc(0)[0], disc(0)[1], disc(0)[2], out, scratch);
    if (program.size() != 3 || program[2] != kDifference || program[0] < 0 || program[1] < 0)
        return false;
    const double* outer = disc(program[0]);
    const double* inner = disc(program[1]);
    if (!outer || !inner ||
        !(std::hypot(inner[0] - outer[0], inner[1] - outer[1]) + inner[2] <= outer[2]))
        return false;
    // the hole lies inside the disc: the annulus's fraction is their difference
    return disc_on_axis_grid(w, outer[0], outer[1], outer[2], out, scratch) &&
           disc_on_axis_grid(w, inner[0], inner[1], inner[2], out, scratch, true);
}

Sums measure_on_grid(const ShapeDescription& d, const GridMap& m, double ox, double oy,
                     const Inputs& in, double pixel_area, std::vector<double>& fractions,
                     std::vector<double>& scratch) {
    Sums s;
    if (!(std::isfinite(ox) && std::isfinite(oy))) {
        s.partial = true;
        return s;
    }
    GridWindow w = window_of(m, d.box, ox, oy);
    if (!moderate(w, in)) {
        // the aperture lies far beyond the image: nothing of it falls on a pixel
        s.partial = true;
        return s;
    }
    // A window entirely off the image holds no pixel of it: only partial.
    if (w.r1 <= 0 || w.c1 <= 0 || w.r0 >= in.ny || w.c0 >= in.nx) {
        s.partial = true;
        return s;
    }
    prefetch_window(in, w);
    fractions.resize(static_cast<std::size_t>(w.rows() * w.cols()));
    if (!fractions_on_axis_grid(d, w, fractions.data(), scratch)) render_grid(d.shape, w, fractions.data(), 1);
    const std::int64_t width = w.cols();
    const std::int64_t k0 = std::max<std::int64_t>(w.c0, 0), k1 = std::min(w.c1, in.nx);
    double covered = 0.0;
    for (std::int64_t i = w.r0; i < w.r1; ++i) {
        const double* f = fractions.data() + (i - w.r0) * width;
        if (i < 0 || i >= in.ny || k1 <= k0) {
            s.partial = s.partial || std::any_of(f, f + width, [](double v) { return v != 0.0; });
            continue;
        }
        // the parts of the row beyond the image's sides
        s.partial = s.partial || std::any_of(f, f + (k0 - w.c0), [](double v) { return v != 0.0; }) ||
                    std::any_of(f + (k1 - w.c0), f + width, [](double v) { return v != 0.0; });
        in.add_row(s, covered, f + (k0 - w.c0), i * in.nx + k0, k1 - k0);
    }
    s.area = covered * pixel_area;
    return s;
}

// ---- per-pixel footprints --------------------------------------------------

// Blocks of kIndexBlock x kIndexBlock pixels of the image, each with a box
// holding its footprints, and a grid of cells over the plane listing the
// blocks whose boxes meet each cell.
constexpr std::int64_t kIndexBlock = 16;

struct FootprintIndex {
    struct Block {
        std::int64_t i0, i1, k0, k1;
        double xmin, ymin, xmax, ymax;
    };

    std::vector<Block> blocks;
    double x0 = 0.0, y0 = 0.0, cell = 1.0;
    std::int64_t cx = 1, cy = 1;
    std::vector<std::int64_t> start, listed;   // cells' lists of blocks

    // The index of the blocks of an ny x nx image, box(i0, i1, k0, k1)
    // giving each block's.
    template <class BlockBox>
    FootprintIndex(std::int64_t ny, std::int64_t nx, BlockBox box);

    // The cells [a0, a1) x [b0, b1) of the box.
    void cells_of(double xmin, double ymin, double xmax, double ymax, std::int64_t& a0,
                  std::int64_t& a1, std::int64_t& b0, std::int64_t& b1) const {
        const auto clamp = [](double v, std::int64_t n) {
            return static_cast<std::int64_t>(std::clamp(v, 0.0, double(n)));
        };
        a0 = clamp(std::floor((xmin - x0) / cell), cx);
        a1 = clamp(std::floor((xmax - x0) / cell) + 1.0, cx);
        b0 = clamp(std::floor((ymin - y0) / cell), cy);
        b1 = clamp(std::floor((ymax - y0) / cell) + 1.0, cy);
    }
};

// A block's box: its footprints' centres grown by their half-extents.
FootprintIndex::Block block_box(const PixelArrays& p, std::int64_t nx, std::int64_t i0,
                                std::int64_t i1, std::int64_t k0, std::int64_t k1) {
    FootprintIndex::Block b{i0, i1, k0, k1, INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (std::int64_t i = i0; i < i1; ++i) {
        for (std::int64_t k = k0; k < k1; ++k) {
            const std::int64_t n = i * nx + k;
            const double ex = 0.5 * (std::fabs(p.j00[n]) + std::fabs(p.j01[n]));
            const double ey = 0.5 * (std::fabs(p.j10[n]) + std::fabs(p.j11[n]));
            b.xmin = std::min(b.xmin, p.qx[n] - ex);
            b.xmax = std::max(b.xmax, p.qx[n] + ex);
            b.ymin = std::min(b.ymin, p.qy[n] - ey);
            b.ymax = std::max(b.ymax, p.qy[n] + ey);
        }
    }
    return b;
}

// A block's box: the box of its pixels' corners.
FootprintIndex::Block corner_block_box(const CornerGrid& g, std::int64_t i0, std::int64_t i1,
                                       std::int64_t k0, std::int64_t k1) {
    FootprintIndex::Block b{i0, i1, k0, k1, INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (std::int64_t i = i0; i <= i1; ++i) {
        for (std::int64_t k = k0; k <= k1; ++k) {
            const std::int64_t n = g.at(i, k);
            b.xmin = std::min(b.xmin, g.x[n]);
            b.xmax = std::max(b.xmax, g.x[n]);
            b.ymin = std::min(b.ymin, g.y[n]);
            b.ymax = std::max(b.ymax, g.y[n]);
        }
    }
    return b;
}

template <class BlockBox>
FootprintIndex::FootprintIndex(std::int64_t ny, std::int64_t nx, BlockBox block_box) {
    double xmin = INFINITY, ymin = INFINITY, xmax = -INFINITY, ymax = -INFINITY, size = 0.0;
    for (std::int64_t i0 = 0; i0 < ny; i0 += kIndexBlock) {
        for (std::int64_t k0 = 0; k0 < nx; k0 += kIndexBlock) {
            const Block b = block_box(i0, std::min(ny, i0 + kIndexBlock), k0,
                                      std::min(nx, k0 + kIndexBlock));
            blocks.push_back(b);
            xmin = std::min(xmin, b.xmin);
            ymin = std::min(ymin, b.ymin);
            xmax = std::max(xmax, b.xmax);
            ymax = std::max(ymax, b.ymax);
            size += std::max(b.xmax - b.xmin, b.ymax - b.ymin);
        }
    }
    if (blocks.empty()) return;
    // cells of about a block's size: a few blocks each
    x0 = xmin;
    y0 = ymin;
    cell = std::max(size / double(blocks.size()), 1e-300);
    cx = std::clamp<std::int64_t>(static_cast<std::int64_t>((xmax - xmin) / cell) + 1, 1, 1 << 14);
    cy = std::clamp<std::int64_t>(static_cast<std::int64_t>((ymax - ymin) / cell) + 1, 1, 1 << 14);
    cell = std::max({cell, (xmax - xmin) / double(cx), (ymax - ymin) / double(cy)});
    std::vector<std::int64_t> count(static_cast<std::size_t>(cx * cy) + 1, 0);
    const auto for_cells = [&](const Block& b, auto visit) {
        std::int64_t a0, a1, b0, b1;
        cells_of(b.xmin, b.ymin, b.xmax, b.ymax, a0, a1, b0, b1);
        for (std::int64_t v = b0; v < b1; ++v)
            for (std::int64_t u = a0; u < a1; ++u) visit(v * cx + u);
    };
    for (const Block& b : blocks) for_cells(b, [&](std::int64_t c) { ++count[c + 1]; });
    for (std::size_t c = 1; c < count.size(); ++c) count[c] += count[c - 1];
    start = count;
    listed.resize(static_cast<std::size_t>(count.back()));
    for (std::size_t n = 0; n < blocks.size(); ++n)
        for_cells(blocks[n], [&](std::int64_t c) { listed[count[c]++] = std::int64_t(n); });
}

// A thread's scratch for per-pixel footprints.
struct FootprintScratch {
    std::vector<std::int64_t> candidates;
    std::vector<double> qx, qy, j00, j01, j10, j11, f;
    std::vector<std::int64_t> pixel;
};

// The blocks whose boxes meet the box, in ascending order (so that a
// source's sums are formed in one order), each once.
void candidate_blocks(const FootprintIndex& index, double xmin, double ymin, double xmax,
                      double ymax, std::vector<std::int64_t>& out) {
    out.clear();
    std::int64_t a0, a1, b0, b1;
    index.cells_of(xmin, ymin, xmax, ymax, a0, a1, b0, b1);
    for (std::int64_t v = b0; v < b1; ++v)
        for (std::int64_t u = a0; u < a1; ++u)
            for (std::int64_t at = index.start[v * index.cx + u];
                 at < index.start[v * index.cx + u + 1]; ++at) {
                const auto& b = index.blocks[index.listed[at]];
                if (b.xmax >= xmin && b.xmin <= xmax && b.ymax >= ymin && b.ymin <= ymax)
                    out.push_back(index.listed[at]);
            }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

Sums measure_on_footprints(const ShapeDescription& d, double shape_area, const PixelArrays& p,
                           const FootprintIndex& index, double ox, double oy, const Inputs& in,
                           FootprintScratch& s) {
    Sums sums;
    const auto& b = d.box;
    candidate_blocks(index, b.xmin + ox, b.ymin + oy, b.xmax + ox, b.ymax + oy, s.candidates);
    double covered = 0.0;
    for (const std::int64_t c : s.candidates) {
        const FootprintIndex::Block& blk = index.blocks[c];
        // the block's footprints, centres relative to the source
        s.qx.clear(), s.qy.clear(), s.j00.clear(), s.j01.clear(), s.j10.clear(), s.j11.clear();
        s.pixel.clear();
        for (std::int64_t i = blk.i0; i < blk.i1; ++i) {
            for (std::int64_t k = blk.k0; k < blk.k1; ++k) {
                const std::int64_t n = i * in.nx + k;
                s.qx.push_back(p.qx[n] - ox);
                s.qy.push_back(p.qy[n] - oy);
                s.j00.push_back(p.j00[n]);
                s.j01.push_back(p.j01[n]);
                s.j10.push_back(p.j10[n]);
                s.j11.push_back(p.j11[n]);
                s.pixel.push_back(n);
            }
        }
        const auto count = static_cast<std::int64_t>(s.pixel.size());
        s.f.resize(s.pixel.size());
        render_footprints(d.shape, s.qx.data(), s.qy.data(), s.j00.data(), s.j01.data(),
                          s.j10.data(), s.j11.data(), count, s.f.data(), 1);
        for (std::int64_t j = 0; j < count; ++j) {
            const double f = s.f[j];
            if (f == 0.0) continue;
            const double a = std::fabs(s.j00[j] * s.j11[j] - s.j01[j] * s.j10[j]);
            covered += f * a;
            sums.add(in, s.pixel[j], f, a);
        }
    }
    if (covered < shape_area * (1.0 - kMissingArea)) sums.partial = true;
    return sums;
}

// A thread's scratch for quadrilateral footprints: a block's corners
// relative to the source, and their fractions.
struct QuadScratch {
    std::vector<std::int64_t> candidates;
    std::vector<double> x, y, f;
};

// Twice the area of the quadrilateral through the corners, about the first.
double twice_quad_area(const double* x, const double* y) {
    double s = 0.0;
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        s += (x[i] - x[0]) * (y[k] - y[0]) - (y[i] - y[0]) * (x[k] - x[0]);
    }
    return std::fabs(s);
}

Sums measure_on_quads(const ShapeDescription& d, double shape_area, const CornerGrid& g,
                      const FootprintIndex& index, double ox, double oy, const Inputs& in,
                      QuadScratch& s) {
    Sums sums;
    const auto& b = d.box;
    candidate_blocks(index, b.xmin + ox, b.ymin + oy, b.xmax + ox, b.ymax + oy, s.candidates);
    double covered = 0.0;
    for (const std::int64_t c : s.candidates) {
        const FootprintIndex::Block& blk = index.blocks[c];
        const std::int64_t rows = blk.i1 - blk.i0, cols = blk.k1 - blk.k0;
        s.x.clear(), s.y.clear();
        for (std::int64_t i = blk.i0; i <= blk.i1; ++i) {
            for (std::int64_t k = blk.k0; k <= blk.k1; ++k) {
                s.x.push_back(g.x[g.at(i, k)] - ox);
                s.y.push_back(g.y[g.at(i, k)] - oy);
            }
        }
        const CornerGrid local{s.x.data(), s.y.data(), rows, cols, cols + 1};
        s.f.resize(static_cast<std::size_t>(rows * cols));
        render_quads(d.shape, local, s.f.data(), 1);
        for (std::int64_t i = 0; i < rows; ++i) {
            for (std::int64_t k = 0; k < cols; ++k) {
                const double f = s.f[i * cols + k];
                if (f == 0.0) continue;
                double qx[4], qy[4];
                local.quad(i, k, qx, qy);
                const double a = 0.5 * twice_quad_area(qx, qy);
                covered += f * a;
                sums.add(in, (blk.i0 + i) * in.nx + blk.k0 + k, f, a);
            }
        }
    }
    if (covered < shape_area * (1.0 - kMissingArea)) sums.partial = true;
    return sums;
}

// ---- the callable ----------------------------------------------------------

Values values_of(const py::array& a, std::int64_t ny, std::int64_t nx, const char* name) {
    Values v;
    if (a.ndim() != 2 || a.shape(0) != ny || a.shape(1) != nx || !(a.flags() & py::array::c_style))
        throw std::invalid_argument(std::string(name) + " must be C-contiguous, of the image's shape");
    if (py::isinstance<py::array_t<double>>(a)) v.f64 = static_cast<const double*>(a.data());
    else if (py::isinstance<py::array_t<float>>(a)) v.f32 = static_cast<const float*>(a.data());
    else throw std::invalid_argument(std::string(name) + " must be float64 or float32");
    return v;
}

// The image, and the error and mask when given (None otherwise).
Inputs inputs_of(std::int64_t ny, std::int64_t nx, const py::array& image,
                 const py::object& error, const py::object& mask) {
    Inputs in{ny, nx, values_of(image, ny, nx, "image"), {}, nullptr};
    if (!error.is_none()) in.error = values_of(error.cast<py::array>(), ny, nx, "error");
    if (!mask.is_none()) {
        const py::array m = mask.cast<py::array>();
        if (m.ndim() != 2 || m.shape(0) != ny || m.shape(1) != nx || m.itemsize() != 1 ||
            !(m.flags() & py::array::c_style))
            throw std::invalid_argument("mask must be a C-contiguous bool array of the image's shape");
        in.mask = static_cast<const std::uint8_t*>(m.data());
    }
    if (in.error.given() && (in.error.f64 != nullptr) != (in.image.f64 != nullptr))
        throw std::invalid_argument("error must have the image's dtype");
    in.adder = in.image.f64 ? adder_for<double>(in.mask != nullptr, in.error.given())
                            : adder_for<float>(in.mask != nullptr, in.error.given());
    return in;
}

struct Results {
    py::array_t<double> sum, error2, area;
    py::array_t<bool> partial;
};

// The aperture and offset of source s: one shape for all, or one each.
struct Sources {
    std::vector<const ShapeDescription*> shapes;
    const double* offsets;   // (n, 2), or null: no offset
    std::int64_t n;

    const ShapeDescription& shape(std::int64_t s) const { return *shapes[shapes.size() == 1 ? 0 : s]; }
    double ox(std::int64_t s) const { return offsets ? offsets[2 * s] : 0.0; }
    double oy(std::int64_t s) const { return offsets ? offsets[2 * s + 1] : 0.0; }
};

Sources sources_of(const py::list& shapes, const py::array_t<double, py::array::c_style>& offsets) {
    Sources src;
    for (const py::handle h : shapes) src.shapes.push_back(&h.cast<const ShapeDescription&>());
    if (src.shapes.empty()) throw std::invalid_argument("no aperture");
    if (offsets.size() > 0) {
        if (offsets.ndim() != 2 || offsets.shape(1) != 2)
            throw std::invalid_argument("offsets must have shape (n, 2)");
        src.offsets = offsets.data();
        src.n = offsets.shape(0);
        if (src.shapes.size() != 1) throw std::invalid_argument("offsets go with one aperture");
    } else {
        src.offsets = nullptr;
        src.n = static_cast<std::int64_t>(src.shapes.size());
    }
    return src;
}

template <class Measure>
py::tuple measure_all(const Sources& src, int threads, Measure measure) {
    Results r{py::array_t<double>(src.n), py::array_t<double>(src.n), py::array_t<double>(src.n),
              py::array_t<bool>(src.n)};
    double* sum = r.sum.mutable_data();
    double* error2 = r.error2.mutable_data();
    double* area = r.area.mutable_data();
    bool* partial = r.partial.mutable_data();
    {
        py::gil_scoped_release unlocked;
        const std::int64_t pieces = (src.n + kSourcesPerPiece - 1) / kSourcesPerPiece;
        for_each_piece(threads, pieces, [&](std::int64_t piece) {
            const std::int64_t s1 = std::min(src.n, (piece + 1) * kSourcesPerPiece);
            for (std::int64_t s = piece * kSourcesPerPiece; s < s1; ++s) {
                const Sums m = measure(s);
                sum[s] = m.sum;
                error2[s] = m.error2;
                area[s] = m.area;
                partial[s] = m.partial;
            }
        });
    }
    return py::make_tuple(r.sum, r.error2, r.area, r.partial);
}

py::tuple photometry_on_grid(const py::list& shapes,
                             const py::array_t<double, py::array::c_style>& offsets,
                             const GridWindow& pixels, const py::array& image,
                             const py::object& error, const py::object& mask, int threads) {
    const Inputs in = inputs_of(pixels.rows(), pixels.cols(), image, error, mask);
    const Sources src = sources_of(shapes, offsets);
    const GridMap m = pixels.map;
    const double pixel_area = std::fabs(m.m00 * m.m11 - m.m01 * m.m10);
    return measure_all(src, threads, [&](std::int64_t s) {
        thread_local std::vector<double> fractions, scratch;
        return measure_on_grid(src.shape(s), m, src.ox(s), src.oy(s), in, pixel_area, fractions,
                               scratch);
    });
}

py::tuple photometry_on_footprints(const py::list& shapes,
                                   const py::array_t<double, py::array::c_style>& offsets,
                                   const FootprintArrays& pixels, std::int64_t ny,
                                   std::int64_t nx, const py::array& image, const py::object& error,
                                   const py::object& mask, int threads) {
    if (ny < 0 || nx < 0 || std::size_t(ny * nx) != pixels.size())
        throw std::invalid_argument("the footprints must be the image's pixels");
    const Inputs in = inputs_of(ny, nx, image, error, mask);
    const Sources src = sources_of(shapes, offsets);
    const PixelArrays p = pixels.view();
    std::vector<double> areas;
    for (const ShapeDescription* d : src.shapes) areas.push_back(d->area());
    const FootprintIndex index(ny, nx, [&](std::int64_t i0, std::int64_t i1, std::int64_t k0,
                                           std::int64_t k1) {
        return block_box(p, nx, i0, i1, k0, k1);
    });
    return measure_all(src, threads, [&](std::int64_t s) {
        thread_local FootprintScratch scratch;
        return measure_on_footprints(src.shape(s), areas[areas.size() == 1 ? 0 : s], p, index,
                                     src.ox(s), src.oy(s), in, scratch);
    });
}

py::tuple photometry_on_corners(const py::list& shapes,
                                const py::array_t<double, py::array::c_style>& offsets,
                                const CornerArrays& pixels, const py::array& image,
                                const py::object& error, const py::object& mask, int threads) {
    const Inputs in = inputs_of(pixels.rows(), pixels.cols(), image, error, mask);
    const Sources src = sources_of(shapes, offsets);
    const CornerGrid g = pixels.grid();
    std::vector<double> areas;
    for (const ShapeDescription* d : src.shapes) areas.push_back(d->area());
    const FootprintIndex index(g.rows, g.cols, [&](std::int64_t i0, std::int64_t i1,
                                                   std::int64_t k0, std::int64_t k1) {
        return corner_block_box(g, i0, i1, k0, k1);
    });
    return measure_all(src, threads, [&](std::int64_t s) {
        thread_local QuadScratch scratch;
        return measure_on_quads(src.shape(s), areas[areas.size() == 1 ? 0 : s], g, index,
                                src.ox(s), src.oy(s), in, scratch);
    });
}

}  // namespace

void bind_photometry(py::module_& m) {
    m.def("photometry", &photometry_on_grid, py::arg("shapes"), py::arg("offsets"),
          py::arg("pixels"), py::arg("image"), py::arg("error"), py::arg("mask"),
          py::arg("threads"));
    m.def("photometry", &photometry_on_footprints, py::arg("shapes"), py::arg("offsets"),
          py::arg("pixels"), py::arg("ny"), py::arg("nx"), py::arg("image"), py::arg("error"),
          py::arg("mask"), py::arg("threads"));
    m.def("photometry", &photometry_on_corners, py::arg("shapes"), py::arg("offsets"),
          py::arg("pixels"), py::arg("image"), py::arg("error"), py::arg("mask"),
          py::arg("threads"));
}

}  // namespace trovel
