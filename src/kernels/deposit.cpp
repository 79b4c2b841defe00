// The frame deposit: weighted triangles added onto an (ny, nx) image whose
// pixel (row i, column k) is the rectangle of sides (sx, sy) centred on
// (x0 + sx k, y0 + sy i), rows along +y, by their exact overlap with each
// pixel; and the value of their parts beyond the image's border.
//
// Each triangle is measured in pixel units about a reference pixel near it,
// its local offsets formed with error-free transformations, so that its
// vertices carry one rounding relative to their distance from that pixel
// (a few pixels), not to their distance from the frame's origin.  The cuts
// are those of _trovel's deposit (pixel_area.hpp): column strips, then rows.
//
// Three passes, the lock released:
// 1. survey, over fixed chunks of triangles: each triangle's fate (skipped,
//    wholly outside, inside, across the border), its rows, and the value it
//    puts beyond the border, summed in triangle order within a chunk;
// 2. a batch of triangles at a time, each carried into its own pixel units
//    and listed under the bands of image rows it reaches, in triangle order
//    (no lists for a single band: it takes them all, in order);
// 3. deposit of the batch, one band at a time: a band's pixels receive their
//    additions in triangle order, each the same product whichever band
//    computes it.
// So the image and `outside` (the chunks' sums added in chunk order) have
// the same bits for every thread count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/bindings.hpp"
#include "kernels/threads.hpp"
#include "trovel/pixel_area.hpp"

namespace trovel {
namespace {

using namespace pixel_clip;

// --- error-free transformations -----------------------------------------------

// The exact value hi + lo.
struct TwoDoubles {
    double hi, lo;
};

// Knuth's TwoSum: a + b == s + e exactly, s the rounded sum (barring overflow).
inline TwoDoubles two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// Dekker's split: a == hi + lo, each half of at most 26 significant bits
// (for |a| < 2^995, where 2^27 + 1 times a cannot overflow).
inline TwoDoubles split(double a) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double c = kSplitter * a;
    const double hi = c - (c - a);
    return {hi, a - hi};
}

// Dekker's TwoProduct without a fused multiply-add: a * b == p + e exactly,
// p the rounded product (barring overflow and underflow).  The halves'
// products are exact, so e is the rounding of p recovered term by term.
inline TwoDoubles two_product(double a, double b) {
    const double p = a * b;
    const TwoDoubles x = split(a), y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

// --- the frame ----------------------------------------------------------------

// One axis of the frame: pixel m is centred on origin + side * m, for
// m in [0, count).  side == unit * 2^e with unit in [1, 2): offsets scaled
// by 2^-e keep their bits, and Dekker's split of unit * m cannot overflow
// whatever the side.  2^-e is held as two factors, each a normal double
// (e runs from -1074 to 1023).
struct Axis {
    double origin, side;
    std::int64_t count;
    double unit, down1, down2;
    bool unit_side;     // side == 1: the scalings below are by 1, and skipped
    bool whole_pixels;  // side == 1 and a whole origin below 2^52 in size
};

Axis make_axis(double origin, double side, std::int64_t count) {
    int e;
    std::frexp(side, &e);  // side == f * 2^e, f in [0.5, 1)
    e -= 1;
    const bool unit_side = side == 1.0;
    const bool whole = unit_side && std::fabs(origin) < 0x1p52 && std::floor(origin) == origin;
    return {origin, side, count, std::ldexp(side, -e), std::ldexp(1.0, -(e / 2)),
            std::ldexp(1.0, -(e - e / 2)), unit_side, whole};
}

struct Frame {
    Axis x, y;          // columns run along x, rows along y
    double pixel_area;  // sx * sy: one pixel in the triangles' units
};

// A triangle that reaches the image with a coordinate further than this from
// the origin, in pixels, is refused: there a double holds no fraction of a
// pixel, and nothing about its overlap would be measured.
constexpr double kMaxPixelReach = 0x1p52;

// Triangles per chunk of the survey: the chunks, not the threads, fix the
// order in which `outside` is summed.
constexpr std::int64_t kChunk = 4096;

// Bands of rows per thread: a few, so that a band crowded with triangles,
// or a thread held up, does not leave the other threads idle at the end.
// There are never more than kMaxBands: threads never exceed kMaxThreads.
constexpr std::int64_t kBandsPerThread = 4;
constexpr std::int64_t kMaxBands = kBandsPerThread * kMaxThreads;

// --- where a triangle falls, in rough pixel coordinates ---------------------------

// The box of a triangle in pixel coordinates (x - origin) / side, rounded
// at most twice and so within 2^-51 |f| of the exact value; it can be infinite
// (never NaN for finite input), and rounding is monotone, so the box's
// bounds are the rounded bounds.
struct RoughBox {
    double x_lo, x_hi, y_lo, y_hi;
};

inline double rough(double v, const Axis& a) {
    return a.unit_side ? v - a.origin : (v - a.origin) / a.side;
}

RoughBox rough_box(const double* tri, const Frame& f) {
    const double x0 = rough(tri[0], f.x), x1 = rough(tri[2], f.x), x2 = rough(tri[4], f.x);
    const double y0 = rough(tri[1], f.y), y1 = rough(tri[3], f.y), y2 = rough(tri[5], f.y);
    return {std::min({x0, x1, x2}), std::max({x0, x1, x2}), std::min({y0, y1, y2}),
            std::max({y0, y1, y2})};
}

// How far the rough coordinates of a box [lo, hi] may lie from the exact
// ones and from those carried through the local frame below (whose
// reference pixel lies within the box, up to half a pixel): each is within
// 2^-50 (M + 1) of the exact value, M = max(|lo|, |hi|), so 2^-44 (M + 1)
// bounds their difference with room to spare; finite even for infinite M.
// With it, the rows listed for a triangle hold every row it deposits into
// whatever the bands, so no band misses a part of it.
inline double slack(double lo, double hi) {
    return 0x1p-44 * (std::min(std::max(std::fabs(lo), std::fabs(hi)), 0x1p60) + 1.0);
}

enum class Fate { kOutside, kInside, kAcross, kRefused };

// Where a triangle's box lies: wholly beyond one border line (the border of
// an axis lies at -0.5 and count - 0.5 in pixels), wholly inside, across;
// refused when it reaches the image from beyond kMaxPixelReach.
Fate place(const RoughBox& b, const Frame& f) {
    const double right = static_cast<double>(f.x.count) - 0.5;
    const double top = static_cast<double>(f.y.count) - 0.5;
    const double ex = slack(b.x_lo, b.x_hi), ey = slack(b.y_lo, b.y_hi);
    if (b.x_hi + ex < -0.5 || b.x_lo - ex > right || b.y_hi + ey < -0.5 || b.y_lo - ey > top)
        return Fate::kOutside;
    if (!(std::max({-b.x_lo, b.x_hi, -b.y_lo, b.y_hi}) <= kMaxPixelReach)) return Fate::kRefused;
    if (b.x_lo - ex >= -0.5 && b.x_hi + ex <= right && b.y_lo - ey >= -0.5 && b.y_hi + ey <= top)
        return Fate::kInside;
    return Fate::kAcross;
}

// What the survey keeps of a triangle that reaches the image: the image
// rows [row_lo, row_hi] it may reach (empty when row_hi < row_lo) and its
// reference pixel (column k0, row i0), about which it is measured.
struct Placed {
    std::int32_t row_lo, row_hi, k0, i0;
};

// The reference pixel along one axis: the image's pixel nearest to the
// middle of the triangle's box, so that its vertices lie a few pixels from
// it (|f| <= kMaxPixelReach, so nothing overflows).
inline std::int32_t reference_pixel(double lo, double hi, const Axis& a) {
    const double m = std::floor((lo + hi) * 0.5 + 0.5);
    return static_cast<std::int32_t>(std::clamp(m, 0.0, static_cast<double>(a.count - 1)));
}

// The rows of a triangle's box, clamped to the image and widened by the
// slack, so that they hold every row its local box (below) gives.
Placed placed(const RoughBox& b, const Frame& f) {
    const double last = static_cast<double>(f.y.count - 1);
    const double e = slack(b.y_lo, b.y_hi);
    const double lo = std::max(std::floor(b.y_lo - e + 0.5), 0.0);
    const double hi = std::min(std::floor(b.y_hi + e + 0.5), last);
    const std::int32_t k0 = reference_pixel(b.x_lo, b.x_hi, f.x);
    const std::int32_t i0 = reference_pixel(b.y_lo, b.y_hi, f.y);
    if (hi < lo) return {0, -1, k0, i0};
    return {static_cast<std::int32_t>(lo), static_cast<std::int32_t>(hi), k0, i0};
}

// --- a triangle in its own pixel units ------------------------------------------

// The triangle in pixels about its reference pixel (column k0, row i0):
// pixel (k0 + k, i0 + j) is the unit square about (k, j).
struct LocalTriangle {
    double v[6];
    std::int32_t k0, i0;
};

// The offset of v from the centre of pixel m along axis a, in pixels:
// ((v - origin) - side * m) / side, where side * m == (unit * m) 2^e.
//   v - origin     == d.hi + d.lo                       (TwoSum, exact)
//   scaled by 2^-e == s + r                             (powers of two, exact)
//   unit * m       == p.hi + p.lo                       (TwoProduct, exact)
//   s - p.hi       == h.hi + h.lo                       (TwoSum, exact)
//   offset         == ((h.hi + (h.lo + (r - p.lo))) / unit
// The only roundings are in the last line, relative to the offset itself.
// (Tiny parts of d.lo may underflow once scaled: below 2^-1074 pixels.)
// With side == 1, e == 0, unit == 1 and p == (m, 0): the same value without
// the scalings, the same bits.  With a whole origin too, origin + m is a
// whole number below 2^53, exact, and the offset v - (origin + m) is
// rounded once (passed in as centre).
inline double pixel_offset(double v, const Axis& a, const TwoDoubles& p, double centre) {
    if (a.whole_pixels) return v - centre;
    const TwoDoubles d = two_sum(v, -a.origin);
    if (a.unit_side) {
        const TwoDoubles h = two_sum(d.hi, -p.hi);
        return h.hi + (h.lo + d.lo);
    }
    const double s = d.hi * a.down1 * a.down2;
    const double r = d.lo * a.down1 * a.down2;
    const TwoDoubles h = two_sum(s, -p.hi);
    return (h.hi + (h.lo + (r - p.lo))) / a.unit;
}

// unit * m exactly, for the reference pixel m: (m, 0) when unit == 1.
inline TwoDoubles reference_product(const Axis& a, std::int64_t m) {
    const double dm = static_cast<double>(m);
    return a.unit_side ? TwoDoubles{dm, 0.0} : two_product(a.unit, dm);
}

LocalTriangle to_local(const double* tri, const Placed& at, const Frame& f) {
    LocalTriangle t;
    t.k0 = at.k0;
    t.i0 = at.i0;
    const TwoDoubles px = reference_product(f.x, t.k0);
    const TwoDoubles py = reference_product(f.y, t.i0);
    const double cx = f.x.origin + static_cast<double>(t.k0);
    const double cy = f.y.origin + static_cast<double>(t.i0);
    for (int k = 0; k < 3; ++k) {
        t.v[2 * k] = pixel_offset(tri[2 * k], f.x, px, cx);
        t.v[2 * k + 1] = pixel_offset(tri[2 * k + 1], f.y, py, cy);
    }
    return t;
}

// Half the absolute shoelace sum of a polygon taken about the point
// (cx, cy): with a point near the polygon the products have the polygon's
// own size, not its distance from the coordinates' origin.  A pixel's piece
// is taken about the pixel's centre, within half a pixel of every vertex,
// so each difference is exact (Sterbenz).
inline double area_about(const double* v, int n, double cx, double cy) {
    double s = 0.0;
    double px = v[2 * (n - 1)] - cx, py = v[2 * (n - 1) + 1] - cy;
    for (int k = 0; k < n; ++k) {
        const double qx = v[2 * k] - cx, qy = v[2 * k + 1] - cy;
        s += px * qy - qx * py;
        px = qx;
        py = qy;
    }
    return std::fabs(s) * 0.5;
}

// --- beyond the border ----------------------------------------------------------

// Cuts the part of `rest` (n >= 3 vertices) beyond the line coordinate ==
// bound off it: on the side of smaller coordinates for beyond == -1, of
// larger for beyond == 1.  Adds that part's area to *outer, leaves in
// `rest` the part on the image's side and returns its count (0 when no area
// remains).  Four cuts of a triangle hold at most kMaxClipVertices.
template <int axis, int beyond>
int peel(double* rest, int n, double bound, double* outer) {
    double piece[2 * kMaxClipVertices];
    const int m = cut_by_axis_line<axis, beyond>(rest, n, piece, bound);
    if (m > 2) *outer += area_about(piece, m, piece[0], piece[1]);
    double kept[2 * kMaxClipVertices];
    const int k = cut_by_axis_line<axis, -beyond>(rest, n, kept, bound);
    if (k <= 2) return 0;
    std::memcpy(rest, kept, sizeof(double) * 2 * k);
    return k;
}

// The area, in pixels, of the parts of a triangle beyond the image's four
// border lines: peeled off left, right, bottom, top in turn, each line cut
// only when the triangle reaches past it.  The parts do not overlap, and
// with the pixels' areas they make up the triangle.
double area_beyond_border(const LocalTriangle& t, const Frame& f) {
    const double left = static_cast<double>(-t.k0) - 0.5;
    const double right = static_cast<double>(f.x.count - 1 - t.k0) + 0.5;
    const double bottom = static_cast<double>(-t.i0) - 0.5;
    const double top = static_cast<double>(f.y.count - 1 - t.i0) + 0.5;
    const double* v = t.v;
    const double x_lo = std::min({v[0], v[2], v[4]}), x_hi = std::max({v[0], v[2], v[4]});
    const double y_lo = std::min({v[1], v[3], v[5]}), y_hi = std::max({v[1], v[3], v[5]});
    double rest[2 * kMaxClipVertices];
    std::memcpy(rest, v, sizeof t.v);
    double outer = 0.0;
    int n = 3;
    if (x_lo < left) n = peel<0, -1>(rest, n, left, &outer);
    if (n > 0 && x_hi > right) n = peel<0, 1>(rest, n, right, &outer);
    if (n > 0 && y_lo < bottom) n = peel<1, -1>(rest, n, bottom, &outer);
    if (n > 0 && y_hi > top) peel<1, 1>(rest, n, top, &outer);
    return outer;
}

// A triangle's area in its own units, as trovel.triangle_areas forms it.
inline double triangle_area(const double* t) {
    const double ax = t[2] - t[0], ay = t[3] - t[1];
    const double bx = t[4] - t[0], by = t[5] - t[1];
    return 0.5 * std::fabs(ax * by - bx * ay);
}

// --- onto the pixels ------------------------------------------------------------

// Image pixels [lo, hi] along one axis that a local triangle's box meets,
// clamped to the image (empty when hi < lo): floor, so a coordinate on a
// border k + 0.5 counts to pixel k + 1, as in _trovel's deposit.
struct Span {
    std::int64_t lo, hi;
};

Span local_span(double lo, double hi, std::int64_t ref, std::int64_t count) {
    const double r = static_cast<double>(ref);
    const double a = std::max(std::floor(lo + 0.5) + r, 0.0);
    const double b = std::min(std::floor(hi + 0.5) + r, static_cast<double>(count - 1));
    if (b < a) return {0, -1};
    return {static_cast<std::int64_t>(a), static_cast<std::int64_t>(b)};
}

// Moves a column strip of n vertices by -column along x.  Its vertices lie
// within half a pixel of the column's middle, so each difference is exact
// (Sterbenz), and the row cuts and areas that follow work on x values below
// one half.
inline void centre_strip(double* strip, int n, int column) {
    const double x = static_cast<double>(column);
    for (int k = 0; k < n; ++k) strip[2 * k] -= x;
}

// Adds area * w to every pixel of image rows [r0, r1) that the triangle
// overlaps, as _trovel's deposit walks them: by columns, the strip left by a
// column's two cuts serving all its rows; rows wholly above or below the
// strip are passed over.  Each piece is measured about its pixel's centre.
// Local indices fit an int: the image has at most 2^31 - 1 columns and rows.
void deposit_rows(const LocalTriangle& t, double w, const Frame& f, std::int64_t r0,
                  std::int64_t r1, double* image) {
    const double* v = t.v;
    const Span cols = local_span(std::min({v[0], v[2], v[4]}), std::max({v[0], v[2], v[4]}),
                                 t.k0, f.x.count);
    Span rows = local_span(std::min({v[1], v[3], v[5]}), std::max({v[1], v[3], v[5]}), t.i0,
                           f.y.count);
    rows = {std::max(rows.lo, r0), std::min(rows.hi, r1 - 1)};
    if (rows.hi < rows.lo) return;
    const std::int64_t nx = f.x.count;
    double strip[2 * kMaxClipVertices];
    double below[2 * kMaxClipVertices];
    double above[2 * kMaxClipVertices];
    for (std::int64_t k = cols.lo; k <= cols.hi; ++k) {
        const int kl = static_cast<int>(k - t.k0);
        const int m = column_strip(v, kl, strip);
        if (m == 0) continue;
        centre_strip(strip, m, kl);
        bool has_nan;
        const YSpan span = vertex_y_span(strip, m, &has_nan);
        const bool moderate = !has_nan && span.min >= -kModerateY;
        for (std::int64_t i = rows.lo; i <= rows.hi; ++i) {
            const int jl = static_cast<int>(i - t.i0);
            const double dj = static_cast<double>(jl);
            if (span.min > dj + 0.5) continue;  // the strip lies above this row
            if (span.max < dj - 0.5) break;     // below this row and all later ones
            const double* piece = nullptr;
            const int n = strip_in_row(strip, m, jl, moderate ? span.min : -kInf,
                                       moderate ? span.max : kInf, below, above, &piece);
            if (n == 0) continue;
            const double a = area_about(piece, n, 0.0, dj);
            if (a > 0.0) {
                double* e = image + i * nx + k;
                *e = a * w + *e;
            }
        }
    }
}

// --- the passes -----------------------------------------------------------------

struct Inputs {
    const double* records;  // n records (x0, y0, x1, y1, x2, y2)
    const double* values;
    const double* divisors;
    std::int64_t n;
};

inline bool finite_record(const double* t) {
    for (int k = 0; k < 6; ++k)
        if (!std::isfinite(t[k])) return false;
    return true;
}

// Bands of 2^shift image rows (a power of two: a row's band is a shift
// away); the last may be shorter.  At most `wanted` of them.
struct Bands {
    std::int64_t count;
    int shift;
    std::int64_t of(std::int64_t row) const { return row >> shift; }
    std::int64_t start(std::int64_t band) const { return band << shift; }
};

Bands make_bands(std::int64_t ny, int threads) {
    const std::int64_t wanted = threads == 1 ? 1 : std::min(ny, kBandsPerThread * threads);
    int shift = 0;
    while ((wanted << shift) < ny) ++shift;
    return {((ny - 1) >> shift) + 1, shift};
}

// What the survey learns: where each triangle is placed (no rows when it
// deposits nothing), and per chunk the value beyond the border, the first
// refused triangle (-1 for none) and, per band, how many triangles it lists
// there.  `placed` is left unfilled until each chunk writes its own part: a
// fill by the calling thread would be a serial pass over 16 bytes a triangle.
struct Survey {
    std::unique_ptr<Placed[]> placed;
    std::vector<double> outside;
    std::vector<std::int64_t> refused;
    std::vector<std::int64_t> listed;  // chunk-major: chunk c, band b at c * bands + b
};

// The survey of chunk c.  A triangle with divisor <= 0 (not NaN: a NaN
// divisor is deposited and turns its pixels NaN) or a non-finite vertex
// adds nothing; one wholly outside adds its whole value beyond the border;
// one across the border the value of its parts beyond it.
void survey_chunk(const Inputs& in, const Frame& f, const Bands& bands, std::int64_t c,
                  Survey& s) {
    const std::int64_t end = std::min(in.n, (c + 1) * kChunk);
    double outside = 0.0;
    // Counted here and stored once: chunks on other threads store theirs a
    // few bytes away, and a store per triangle would bounce the cache line.
    std::int64_t listed[kMaxBands] = {};
    for (std::int64_t t = c * kChunk; t < end; ++t) {
        s.placed[t] = {0, -1, 0, 0};
        const double d = in.divisors[t];
        const double* rec = in.records + 6 * t;
        if (d <= 0.0 || !finite_record(rec)) continue;
        const double q = in.values[t] / d;
        const RoughBox box = rough_box(rec, f);
        const Fate fate = place(box, f);
        if (fate == Fate::kOutside) {
            outside += q * triangle_area(rec);
            continue;
        }
        if (fate == Fate::kRefused) {
            if (s.refused[c] < 0) s.refused[c] = t;
            continue;
        }
        const Placed at = placed(box, f);
        if (fate == Fate::kAcross)
            outside += q * f.pixel_area * area_beyond_border(to_local(rec, at, f), f);
        s.placed[t] = at;
        if (at.row_hi >= at.row_lo)
            for (std::int64_t b = bands.of(at.row_lo); b <= bands.of(at.row_hi); ++b) ++listed[b];
    }
    s.outside[c] = outside;
    std::copy(listed, listed + bands.count, s.listed.data() + c * bands.count);
}

// A triangle as a band deposits it: in its own pixel units, with its
// weight.  One cache line, so that a band reads its list in order instead
// of gathering its triangles from all over the caller's arrays (a band's
// triangles are scattered through them, and with a few bands each would
// read most of every array).
struct Listed {
    LocalTriangle t;
    double w;
};
static_assert(sizeof(Listed) == 64, "a listed triangle fills one cache line");

// Chunks of a batch: the triangles are listed and deposited a batch at a
// time, so that the lists take 64 bytes for each triangle of one batch, not
// of the whole input, and a pixel still receives its additions in triangle
// order (batch after batch, and in order within each band's list).
constexpr std::int64_t kBatchChunks = 32;

// Triangle t's weight: what a pixel gains per unit of overlap in its own
// units, the overlap being measured in pixels.
inline double weight(const Inputs& in, const Frame& f, std::int64_t t) {
    return in.values[t] / in.divisors[t] * f.pixel_area;
}

// The triangles of chunks [c0, c1) listed by band, each band's in triangle
// order: band b's list is items[begin[b], begin[b + 1]).  Chunk c writes
// its triangles from the offsets that the earlier chunks leave it, so the
// chunks fill in parallel (and `items`, reused from batch to batch, is left
// unfilled until then).
struct Lists {
    std::unique_ptr<Listed[]> items;
    std::int64_t room = 0;
    std::vector<std::int64_t> begin;
};

void list_batch(const Inputs& in, const Frame& f, const Survey& s, const Bands& bands,
                std::int64_t c0, std::int64_t c1, int threads, Lists& out) {
    const std::int64_t chunks = c1 - c0;
    out.begin.assign(bands.count + 1, 0);
    std::vector<std::int64_t> cursor(chunks * bands.count);
    std::int64_t total = 0;
    for (std::int64_t b = 0; b < bands.count; ++b) {
        out.begin[b] = total;
        for (std::int64_t c = 0; c < chunks; ++c) {
            cursor[c * bands.count + b] = total;
            total += s.listed[(c0 + c) * bands.count + b];
        }
    }
    out.begin[bands.count] = total;
    if (total > out.room) {
        out.items.reset(new Listed[total]);
        out.room = total;
    }
    for_each_piece(threads, chunks, [&](std::int64_t c) {
        std::int64_t at[kMaxBands];  // a copy of the chunk's cursors, as in survey_chunk
        std::copy(cursor.data() + c * bands.count, cursor.data() + (c + 1) * bands.count, at);
        const std::int64_t end = std::min(in.n, (c0 + c + 1) * kChunk);
        for (std::int64_t t = (c0 + c) * kChunk; t < end; ++t) {
            const Placed& r = s.placed[t];
            if (r.row_hi < r.row_lo) continue;
            const Listed item{to_local(in.records + 6 * t, r, f), weight(in, f, t)};
            for (std::int64_t b = bands.of(r.row_lo); b <= bands.of(r.row_hi); ++b)
                out.items[at[b]++] = item;
        }
    });
}

// Every placed triangle onto its rows.  With one band, in triangle order
// straight from the caller's arrays; with more, a batch at a time, listed
// by band and the bands deposited in parallel.
void deposit_bands(const Inputs& in, const Frame& f, const Bands& bands, const Survey& s,
                   std::int64_t chunks, int threads, double* image) {
    if (bands.count == 1) {
        for (std::int64_t t = 0; t < in.n; ++t)
            if (s.placed[t].row_hi >= s.placed[t].row_lo)
                deposit_rows(to_local(in.records + 6 * t, s.placed[t], f), weight(in, f, t), f,
                             0, f.y.count, image);
        return;
    }
    Lists lists;
    for (std::int64_t c0 = 0; c0 < chunks; c0 += kBatchChunks) {
        list_batch(in, f, s, bands, c0, std::min(chunks, c0 + kBatchChunks), threads, lists);
        for_each_piece(threads, bands.count, [&](std::int64_t b) {
            const std::int64_t r0 = bands.start(b);
            const std::int64_t r1 = std::min(bands.start(b + 1), f.y.count);
            for (std::int64_t at = lists.begin[b]; at < lists.begin[b + 1]; ++at)
                deposit_rows(lists.items[at].t, lists.items[at].w, f, r0, r1, image);
        });
    }
}

struct Result {
    double outside;
    std::int64_t refused;  // the first refused triangle, or -1
};

Result deposit_frame(const Inputs& in, const Frame& f, double* image, int asked) {
    const std::int64_t chunks = (in.n + kChunk - 1) / kChunk;
    const int threads = thread_count(asked, chunks);
    const Bands bands = make_bands(f.y.count, threads);
    Survey s{std::unique_ptr<Placed[]>(new Placed[in.n]), std::vector<double>(chunks, 0.0),
             std::vector<std::int64_t>(chunks, -1),
             std::vector<std::int64_t>(chunks * bands.count, 0)};
    for_each_piece(threads, chunks, [&](std::int64_t c) { survey_chunk(in, f, bands, c, s); });
    Result r{0.0, -1};
    for (std::int64_t c = 0; c < chunks; ++c) {
        r.outside += s.outside[c];
        if (r.refused < 0) r.refused = s.refused[c];
    }
    if (r.refused < 0) deposit_bands(in, f, bands, s, chunks, threads, image);
    return r;  // a refusal comes before any pixel is written
}

// --- the binding ----------------------------------------------------------------

constexpr std::int64_t kMaxCount = std::numeric_limits<std::int32_t>::max();

Frame checked_frame(double x0, double y0, double sx, double sy, const py::array& image) {
    if (!(std::isfinite(x0) && std::isfinite(y0)))
        throw std::invalid_argument("origin must be finite");
    const double area = sx * sy;
    if (!(sx > 0.0 && sy > 0.0 && std::isfinite(sx) && std::isfinite(sy) && area > 0.0 &&
          std::isfinite(area)))
        throw std::invalid_argument("scale must be positive, with a finite positive product");
    if (image.ndim() != 2 || image.shape(0) < 1 || image.shape(1) < 1 ||
        image.shape(0) > kMaxCount || image.shape(1) > kMaxCount)
        throw std::invalid_argument("image must be 2-d, with 1 to 2**31 - 1 rows and columns");
    return {make_axis(x0, sx, image.shape(1)), make_axis(y0, sy, image.shape(0)), area};
}

double deposit(const ExactReals& triangles, const ExactReals& values,
               const ExactReals& divisors, py::array image, double x0, double y0, double sx,
               double sy, int threads) {
    if (triangles.ndim() != 2 || triangles.shape(1) != 6)
        throw std::invalid_argument("triangles must have shape (n, 6)");
    const py::ssize_t n = triangles.shape(0);
    if (n > kMaxCount) throw std::invalid_argument("at most 2**31 - 1 triangles fit one call");
    if (values.ndim() != 1 || values.shape(0) != n || divisors.ndim() != 1 ||
        divisors.shape(0) != n)
        throw std::invalid_argument("values and divisors must hold one number per triangle");
    if (threads < 1) throw std::invalid_argument("threads must be at least 1");
    const Frame f = checked_frame(x0, y0, sx, sy, image);
    const py::ssize_t dims[2] = {image.shape(0), image.shape(1)};
    double* pixels = checked_out(image, 2, dims);
    const Inputs in{triangles.data(), values.data(), divisors.data(), n};
    Result r;
    {
        py::gil_scoped_release unlocked;
        r = deposit_frame(in, f, pixels, threads);
    }
    if (r.refused >= 0)
        throw std::invalid_argument(
            "triangle " + std::to_string(r.refused) +
            " reaches into the image with a vertex more than 2**52 pixels from its origin: "
            "its coordinates in pixels overflow a double's precision");
    return r.outside;
}

}  // namespace

void bind_deposit(py::module_& m) {
    m.def("deposit", &deposit, py::arg("triangles").noconvert(), py::arg("values").noconvert(),
          py::arg("divisors").noconvert(), py::arg("image"), py::arg("x0"), py::arg("y0"),
          py::arg("sx"), py::arg("sy"), py::arg("threads"));
}

}  // namespace trovel
