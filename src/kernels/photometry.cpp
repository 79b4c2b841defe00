// Aperture photometry of many sources in one call: for each source, the
// exact fraction f of every footprint inside its aperture (the renderer's,
// or for a disc, an ellipse or an annulus of them on an axis-aligned grid a
// closed form equal to it to rounding; on the source's own window of pixels
// only), and the sums over the usable pixels of image f, (error f)^2 and
// f times the footprint's area.
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
#include "kernels/conic_window.hpp"
#include "kernels/prefetch.hpp"
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
// one instance each, so that the loop holds no test of what was given.  A
// pixel left out, or of fraction 0, adds zeros, which leaves every sum as it
// is: so the loop needs no branch, and each sum is the one of adding only
// the pixels used, in order.
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
    double sum = s.sum, error2 = s.error2, cov = covered;
    bool missed = false;
    for (std::int64_t j = 0; j < n; ++j) {
        const double fj = f[j];
        const double vj = static_cast<double>(v[j]);
        const double ej = kError ? static_cast<double>(e[j]) : 0.0;
        const bool usable = !(kMask && mask[j]) && std::isfinite(vj) && (!kError || std::isfinite(ej));
        missed = missed || (!usable && fj != 0.0);
        const double g = usable ? fj : 0.0;
        sum += (usable ? vj : 0.0) * g;
        if constexpr (kError) {
            const double eg = (usable ? ej : 0.0) * g;
            error2 += eg * eg;
        }
        cov += g;
    }
    s.sum = sum;
    s.error2 = error2;
    covered = cov;
    s.partial = s.partial || missed;
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
// How many sources ahead a thread asks for the pixels it will read: one
// source's fractions take about as long as its lines take to arrive.
constexpr std::int64_t kPrefetchAhead = 2;

// ---- a lazy grid -----------------------------------------------------------

// The windows of a lazy grid's sources: the pixels whose squares may meet
// an aperture's box moved by a source's offset, found through the inverse
// map (formed once for all sources).
struct GridPlacer {
    GridMap m;
    double i00, i01, i10, i11;

    explicit GridPlacer(const GridMap& map) : m(map) {
        const double det = m.m00 * m.m11 - m.m01 * m.m10;
        i00 = m.m11 / det;
        i01 = -m.m01 / det;
        i10 = -m.m10 / det;
        i11 = m.m00 / det;
    }

    // The box's corners in grid coordinates, with a pixel more on each side
    // for the rounding; the map's origin moved by minus the offset.
    GridWindow window(double xmin, double ymin, double xmax, double ymax, double ox,
                      double oy) const {
        double kmin = INFINITY, kmax = -INFINITY, imin = INFINITY, imax = -INFINITY;
        for (const double x : {xmin, xmax}) {
            for (const double y : {ymin, ymax}) {
                const double dx = (x + ox) - m.x0, dy = (y + oy) - m.y0;
                const double k = i00 * dx + i01 * dy, i = i10 * dx + i11 * dy;
                kmin = std::min(kmin, k);
                kmax = std::max(kmax, k);
                imin = std::min(imin, i);
                imax = std::max(imax, i);
            }
        }
        // pixel k covers [k - 0.5, k + 0.5]: those meeting [kmin, kmax],
        // widened by far more than the rounding of the inverse map
        const double slack = 1e-9 * (std::fabs(kmin) + std::fabs(kmax) + std::fabs(imin) +
                                     std::fabs(imax) + 1.0);
        const auto lo = [&](double v) { return static_cast<std::int64_t>(std::floor(v - slack + 0.5)); };
        const auto hi = [&](double v) {
            return static_cast<std::int64_t>(std::ceil(v + slack - 0.5)) + 1;
        };
        return {{m.x0 - ox, m.y0 - oy, m.m00, m.m01, m.m10, m.m11}, lo(imin), hi(imax),
                lo(kmin), hi(kmax)};
    }

    GridWindow window(const ShapeDescription::Box& b, double ox, double oy) const {
        return window(b.xmin, b.ymin, b.xmax, b.ymax, ox, oy);
    }
};

// Asks for the image's (and error's, mask's) rows of the window before they
// are read: a source's window is a few scattered cache lines of a large
// image, whose fetching from memory would otherwise be most of the source's
// time.
void prefetch_window(const Inputs& in, const GridWindow& w) {
    const std::int64_t i0 = std::max<std::int64_t>(w.r0, 0), i1 = std::min(w.r1, in.ny);
    const std::int64_t k0 = std::max<std::int64_t>(w.c0, 0), k1 = std::min(w.c1, in.nx);
    if (k1 <= k0) return;
    const auto rows = [&](const char* base, std::size_t item) {
        if (!base) return;
        for (std::int64_t i = i0; i < i1; ++i)
            prefetch_items(base + item * std::size_t(i * in.nx + k0), k1 - k0, item);
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

// The field's daily job, small discs, ellipses and annuli on a grid of
// rectangles, takes the closed form of conic_window.cpp: one ellipse (a
// disc among them), or one less another inside it.  `count` is 0 where the
// general renderer takes the aperture.
struct ClosedForm {
    int count = 0;
    ConicForm outer, inner;
    const Primitive* hole = nullptr;   // the inner one, for its box
};

// The closed form of a disc or an ellipse on the axis-aligned map m.
bool conic_of(const Primitive& p, const GridMap& m, ConicForm& out) {
    const double px = std::fabs(m.m00), py = std::fabs(m.m11);
    if (p.kind == PrimKind::Disc) return disc_form(p.v[0], p.v[1], p.v[2], px, py, out);
    if (p.kind != PrimKind::Ellipse) return false;
    const EllipseMap& e = p.ellipse;
    return ellipse_form(p.v[0], p.v[1], e.a00 * e.a00 + e.a01 * e.a01,
                        e.a00 * e.a10 + e.a01 * e.a11, e.a10 * e.a10 + e.a11 * e.a11,
                        e.a00 * e.a11 - e.a01 * e.a10, px, py, (m.m00 > 0.0) != (m.m11 > 0.0),
                        out);
}

ClosedForm closed_form_of(const ShapeDescription& d, const GridMap& m) {
    ClosedForm f;
    const std::vector<std::int32_t>& program = d.shape.program;
    const std::vector<Primitive>& prims = d.shape.prims;
    if (m.m01 != 0.0 || m.m10 != 0.0 || m.m00 == 0.0 || m.m11 == 0.0) return f;
    if (program.size() == 1 && program[0] >= 0 && conic_of(prims[program[0]], m, f.outer)) {
        f.count = 1;
    } else if (program.size() == 3 && program[2] == kDifference && program[0] >= 0 &&
               program[1] >= 0 && conic_of(prims[program[0]], m, f.outer) &&
               conic_of(prims[program[1]], m, f.inner) && inside_form(f.inner, f.outer)) {
        // the hole lies inside: the annulus's fraction is their difference
        f.count = 2;
        f.hole = &prims[program[1]];
    }
    return f;
}

// A thread's scratch for the sources on a lazy grid.
struct GridScratch {
    std::vector<double> fractions;
    std::vector<std::int64_t> spans;   // per row of a window: its columns of non-zero fractions
    ConicScratch conic;
};

// The fractions of the window w of the aperture (rows x cols into
// s.fractions) and each row's span.
void window_fractions(const ShapeDescription& d, const ClosedForm& form, const GridPlacer& place,
                      const GridWindow& w, double ox, double oy, GridScratch& s) {
    s.fractions.resize(static_cast<std::size_t>(w.rows() * w.cols()));
    s.spans.resize(static_cast<std::size_t>(2 * w.rows()));
    double* out = s.fractions.data();
    if (form.count == 0) {
        render_grid(d.shape, w, out, 1);
        for (std::int64_t i = 0; i < w.rows(); ++i) {
            s.spans[2 * i] = 0;
            s.spans[2 * i + 1] = w.cols();
        }
        return;
    }
    conic_fractions(w, form.outer, out, w.cols(), s.conic, false, s.spans.data());
    if (form.count == 1) return;
    // the hole, on its own part of the window
    const Primitive& h = *form.hole;
    GridWindow hw = place.window(h.xmin, h.ymin, h.xmax, h.ymax, ox, oy);
    hw.r0 = std::max(hw.r0, w.r0);
    hw.r1 = std::min(hw.r1, w.r1);
    hw.c0 = std::max(hw.c0, w.c0);
    hw.c1 = std::min(hw.c1, w.c1);
    if (hw.r1 > hw.r0 && hw.c1 > hw.c0)
        conic_fractions(hw, form.inner, out + (hw.r0 - w.r0) * w.cols() + (hw.c0 - w.c0),
                        w.cols(), s.conic, true, nullptr);
}

// The window of a source, or none (r1 = r0) when the source holds no pixel
// of the image (it is then partial): a position not finite, or an aperture
// far beyond the image or wholly off it.
GridWindow source_window(const ShapeDescription& d, const GridPlacer& place, double ox,
                         double oy, const Inputs& in) {
    GridWindow none{place.m, 0, 0, 0, 0};
    if (!(std::isfinite(ox) && std::isfinite(oy))) return none;
    const GridWindow w = place.window(d.box, ox, oy);
    if (!moderate(w, in) || w.r1 <= 0 || w.c1 <= 0 || w.r0 >= in.ny || w.c0 >= in.nx) return none;
    return w;
}

// The sums of one source on a lazy grid.  Only each row's span is read:
// the zeros beyond it would add nothing.
Sums measure_on_grid(const ShapeDescription& d, const ClosedForm& form, const GridPlacer& place,
                     double ox, double oy, const Inputs& in, double pixel_area, GridScratch& s) {
    Sums sums;
    const GridWindow w = source_window(d, place, ox, oy, in);
    if (w.r1 == w.r0) {
        sums.partial = true;
        return sums;
    }
    window_fractions(d, form, place, w, ox, oy, s);
    // the window's columns on the image
    const std::int64_t on0 = std::max<std::int64_t>(w.c0, 0) - w.c0;
    const std::int64_t on1 = std::min(w.c1, in.nx) - w.c0;
    const auto any = [](const double* a, const double* b) {
        return std::any_of(a, b, [](double v) { return v != 0.0; });
    };
    double covered = 0.0;
    for (std::int64_t i = w.r0; i < w.r1; ++i) {
        const double* f = s.fractions.data() + (i - w.r0) * w.cols();
        const std::int64_t a = s.spans[2 * (i - w.r0)], b = s.spans[2 * (i - w.r0) + 1];
        if (i < 0 || i >= in.ny || on1 <= on0) {
            sums.partial = sums.partial || any(f + a, f + std::max(a, b));
            continue;
        }
        const std::int64_t lo = std::max(a, on0), hi = std::min(b, on1);
        // the parts of the span beyond the image's sides
        sums.partial = sums.partial || any(f + a, f + std::min(b, on0)) ||
                       any(f + std::max(a, on1), f + b);
        if (hi > lo) in.add_row(sums, covered, f + lo, i * in.nx + w.c0 + lo, hi - lo);
    }
    sums.area = covered * pixel_area;
    return sums;
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
                const double a = 0.5 * std::fabs(twice_quad_area(qx, qy));
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

// Measures every source, split over threads.  A thread takes its sources
// one after the other, and ahead(s + kPrefetchAhead) is called before
// measure(s), so that the pixels of the sources next are on their way from
// memory meanwhile.
template <class Measure, class Ahead>
py::tuple measure_all(const Sources& src, int threads, Measure measure, Ahead ahead) {
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
                if (s == piece * kSourcesPerPiece)
                    for (std::int64_t t = s; t < std::min(s1, s + kPrefetchAhead); ++t) ahead(t);
                if (s + kPrefetchAhead < s1) ahead(s + kPrefetchAhead);
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
    const GridPlacer place(m);
    // one aperture for all: its closed form once; one each: each its own
    const ClosedForm shared = closed_form_of(src.shape(0), m);
    const bool one = src.shapes.size() == 1;
    return measure_all(
        src, threads,
        [&](std::int64_t s) {
            thread_local GridScratch scratch;
            const ShapeDescription& d = src.shape(s);
            return measure_on_grid(d, one ? shared : closed_form_of(d, m), place, src.ox(s),
                                   src.oy(s), in, pixel_area, scratch);
        },
        [&](std::int64_t s) {
            const GridWindow w = source_window(src.shape(s), place, src.ox(s), src.oy(s), in);
            if (w.r1 > w.r0) prefetch_window(in, w);
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
    }, [](std::int64_t) {});
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
    }, [](std::int64_t) {});
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
