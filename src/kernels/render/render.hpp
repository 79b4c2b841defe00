// The exact aperture renderer: declarations shared by the files of
// src/kernels/render/.  A shape reaches the kernel as a flat description: a
// table of primitives (discs, ellipses and counter-clockwise simple
// polygons) and a postfix program over them, checked by the Python layer and
// again, cheaply, when it is read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "kernels/pixels.hpp"

namespace trovel {

enum class PrimKind : std::int32_t { Disc = 0, Polygon = 1, Ellipse = 2 };

// Program codes: a code >= 0 pushes that primitive's membership; these pop
// their operands and push the result.
constexpr std::int32_t kUnion = -1;
constexpr std::int32_t kIntersect = -2;
constexpr std::int32_t kDifference = -3;
constexpr std::int32_t kComplement = -4;
constexpr std::int32_t kSymmetricDifference = -5;   // a ^ b: in exactly one of them
constexpr std::int32_t kLowestCode = kSymmetricDifference;

// What is known of a primitive over a region of the plane: wholly outside,
// wholly inside, or possibly crossed by its boundary.
enum class State : std::uint8_t { Out = 0, In = 1, Crossed = 2 };

// A polygon's edges sorted into horizontal bands of equal height, so that
// the edges that may meet a box or a horizontal line are found without
// walking all of them.  Edge k runs from vertex k - 1 (n - 1 for k = 0) to
// vertex k, and is listed in every band its y-range meets.
struct EdgeBands {
    double y0 = 0.0, per_band = 0.0;     // band of y: floor((y - y0) * per_band)
    std::int32_t count = 0;
    std::vector<std::int32_t> start;     // count + 1 offsets into `edges`
    std::vector<std::int32_t> edges;
    std::vector<std::int32_t> first;     // per edge: the lowest band it is in

    // Appends to `out` each edge whose y-range may meet [ylo, yhi], once;
    // every edge when the range is not a pair of numbers.
    void near(double ylo, double yhi, std::vector<std::int32_t>& out) const;
};

// The vertex an edge starts from: edge k runs from it to vertex k.
inline std::int32_t previous_vertex(std::int32_t k, std::int32_t n) { return k == 0 ? n - 1 : k - 1; }

// An ellipse is the image of the open unit disc under u -> c + A u: its
// points P with |A^-1 (P - c)| < 1.  A is kept with det A > 0 (a column
// negated if need be: the same ellipse), so that the boundary
// t -> c + A (cos t, sin t) runs counter-clockwise.
struct EllipseMap {
    double a00 = 0.0, a01 = 0.0, a10 = 0.0, a11 = 0.0;   // A
    double i00 = 0.0, i01 = 0.0, i10 = 0.0, i11 = 0.0;   // A^-1
    double inv_norm = 0.0;                               // |A^-1|, Frobenius: bounds its stretch

    // (u, v) = A^-1 (x, y)
    void to_unit(double x, double y, double& u, double& v) const {
        u = i00 * x + i01 * y;
        v = i10 * x + i11 * y;
    }
};

struct Primitive {
    PrimKind kind;
    const double* v;     // disc: cx, cy, r; ellipse: cx, cy, a00, a01, a10, a11 (A, as given);
                         // polygon: x0, y0, x1, y1, ... (counter-clockwise)
    std::int32_t n;      // polygon vertex count
    double xmin, ymin, xmax, ymax;
    const EdgeBands* bands = nullptr;    // a polygon of many edges: its bands
    bool convex = false;                 // a convex polygon: the intersection of its edges' left sides
    EllipseMap ellipse;                  // an ellipse: A with det A > 0, and its inverse

    double x(std::int32_t k) const { return v[2 * k]; }
    double y(std::int32_t k) const { return v[2 * k + 1]; }
};

// A shape as a signed sum of convex polygons: its membership is
// sum_k coef[k] [P in piece k] almost everywhere.  Piece k's vertices,
// counter-clockwise, are xy[start[k]] to xy[start[k + 1]].
struct SignedPieces {
    std::vector<Point> xy;
    std::vector<std::int32_t> start, coef;

    std::size_t count() const { return coef.size(); }
};

struct Shape {
    std::vector<Primitive> prims;
    std::vector<std::int32_t> program;
    std::vector<EdgeBands> bands;        // per primitive, empty unless indexed
    std::shared_ptr<const SignedPieces> pieces;   // when the shape is one (signed_pieces)
};

// ---- pieces.cpp -----------------------------------------------------------
// The shape as a signed sum of convex pieces, when its primitives are all
// convex polygons, its program has no complement, and the pieces stay few
// (a few per primitive); else null.
std::shared_ptr<const SignedPieces> signed_pieces(const Shape& shape);

// Polygons of at least this many edges have their edges sorted into bands
// (index_edges, once the primitives are all in place).
constexpr std::int32_t kBandedEdges = 32;
void index_edges(Shape& shape);

// The widening of a band query whose coordinates were moved by a
// translation: far above the rounding of one subtraction, far below a band.
double translation_slack(double at, double reach);

// Calls visit(j, k) for each edge of polygon p (edge k runs from vertex j to
// vertex k) whose y-range may meet [ylo, yhi], in ascending k when
// `ordered`, until visit returns false; every edge when p has no bands.
// `scratch` holds the band's list.
template <class Visit>
void for_each_edge_near(const Primitive& p, double ylo, double yhi, bool ordered,
                        std::vector<std::int32_t>& scratch, Visit visit) {
    if (!p.bands) {
        for (std::int32_t k = 0; k < p.n; ++k)
            if (!visit(previous_vertex(k, p.n), k)) return;
        return;
    }
    scratch.clear();
    p.bands->near(ylo, yhi, scratch);
    if (ordered) std::sort(scratch.begin(), scratch.end());
    for (const std::int32_t k : scratch)
        if (!visit(previous_vertex(k, p.n), k)) return;
}

// Whether a program is one primitive, perhaps complemented: most of any
// boundary, with short ways through the classification and the areas.
inline bool single_primitive(const std::vector<std::int32_t>& program) {
    return program.size() == 1 || (program.size() == 2 && program[1] == kComplement);
}

// A footprint: centre q and the columns a = (j00, j10), b = (j01, j11) of J.
struct Footprint {
    double qx, qy, j00, j01, j10, j11;
};

// ---- program.cpp ----------------------------------------------------------
// The program with the primitives whose state is known folded in: 0 or 1
// when that makes it constant, else -1 with `residual` holding what
// remains.  `scratch` is reused storage.
int fold_program(const std::vector<std::int32_t>& program, const State* state,
                 std::vector<std::int32_t>& residual, std::vector<std::int32_t>& scratch);
// The distinct leaves of a program, at most `most` of them, into `leaves`
// with their count; false when there are more.
bool distinct_leaves(const std::vector<std::int32_t>& program, std::int32_t* leaves, int most,
                     int& count);
// The program's value in every cell of the Venn diagram of its leaves
// `leaves` (count <= 5, every leaf of the program among them): bit t is
// the value where exactly the leaves l with bit l of t set hold.
std::uint32_t truth_table(const std::vector<std::int32_t>& program, const std::int32_t* leaves,
                          int count, std::vector<std::uint32_t>& stack);
// The program's value for the primitives' memberships `value` (0 or 1 each).
bool run_program(const std::vector<std::int32_t>& program, const std::uint8_t* value,
                 std::vector<std::uint8_t>& stack);

// ---- classify.cpp ---------------------------------------------------------
// The edges of a convex polygon (of fewer than kBandedEdges edges) whose
// lines may pass through a box, one bit each, edge k at bit k; or
// kEdgesUnknown, where they were not sorted out.
using EdgeMask = std::uint32_t;
constexpr EdgeMask kEdgesUnknown = ~EdgeMask(0);

// The state of a primitive over the box of half-sizes (hx, hy) about (x, y):
// In or Out only when that is certain.  With `near`, a polygon found crossed
// leaves there the edges whose lines may pass through the box when it is
// convex, kEdgesUnknown when not; a disc or an ellipse leaves it as it was.
State classify(const Primitive& p, double x, double y, double hx, double hy,
               EdgeMask* near = nullptr);
// Whether the point (x, y), given relative to (tx, ty), lies inside the
// polygon, its vertices moved by the same translation one by one.
bool inside_translated_polygon(const Primitive& p, double tx, double ty, double x, double y);

// ---- exact_area.cpp -------------------------------------------------------
// A footprint about its centre, which depends on its Jacobian alone (so a
// grid's is computed once): corners counter-clockwise, in local units, the
// footprint's own scaled by s, a power of two (1 unless the footprint is of
// extreme size, so that no square of a coordinate overflows or underflows).
struct FootprintFrame {
    double px[4], py[4];
    double slack[4];           // the coincidence tolerance times each side's length
    double tol;                // the coincidence tolerance
    double scale;              // bounding radius
    double ex, ey;             // half extents of the bounding box
    double twice_area;         // twice the footprint's area, local units
    double s;
    int n = 4;                 // corners: 4, or 3 for half of a quadrilateral
};
FootprintFrame frame_of(const Footprint& f);

// A quadrilateral footprint (a pixel of a corner grid) about the mean of
// its corners (qx, qy): one convex frame, or two triangles cut along the
// diagonal from its one reflex corner.  The corners are given in order,
// either orientation, forming a simple quadrilateral.
struct QuadFrames {
    double qx, qy;
    int count;
    FootprintFrame frame[2];
};
QuadFrames quad_frames(const double* x, const double* y);

struct Workspace;
// Scratch of one thread's exact areas, for `shape`; kept from call to call.
Workspace& workspace_for(const Shape& shape);
// The fraction of the footprint inside the shape whose residual program
// (over the primitives that may cross it) is `program`; `frame` is
// frame_of(f).  `near`, when given, holds per primitive the edges classify
// found near a box that holds the footprint, for every leaf of the program.
double exact_fraction(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                      const Footprint& f, const FootprintFrame& frame,
                      const EdgeMask* near = nullptr);

// The fraction of a quadrilateral footprint inside the shape: its frames'
// areas inside over its area.
double quad_fraction(Workspace& ws, const Shape& shape, const std::vector<std::int32_t>& program,
                     const QuadFrames& q);

// ---- ellipse.cpp ----------------------------------------------------------
// A round boundary as the image of the unit circle, c + M (cos t, sin t),
// det M > 0, with M^-1 and its Frobenius norm.
struct Conic {
    double cx, cy, m00, m01, m10, m11, i00, i01, i10, i11, inv_norm;
};
// Two ellipses cross at most four times; room for more (roots of rounding
// near a tangency), since a cut too many only splits a piece in two.
constexpr int kMostRoundCrossings = 16;
// The points where two round boundaries cross within `reach` of the origin,
// into x and y (kMostRoundCrossings of room); their count.  Two crossings
// that bound a lens thinner than `tangent` times the sizes of the curves and
// the reach (a tangency, as far as rounding can tell) are left out together;
// no others are.
int round_crossings(const Conic& a, const Conic& b, double reach, double tangent, double* x,
                    double* y);

// ---- rows.cpp -------------------------------------------------------------
// Columns [start, stop) of a row of a grid.
struct Columns {
    std::int64_t start = 0, stop = 0;
};

// The columns of a row within [k0, k1) whose pixel boxes a primitive
// surely holds (`in`), and those it may meet (`maybe`, holding `in`); every
// other column it surely misses.
struct RowRuns {
    Columns in, maybe;
};

// One primitive's runs on the rows of a block, what the rows share worked
// out once: of a convex polygon, each edge's side value at the block's first
// row, its step per row and per column (the side is linear in both).
class BlockRuns {
public:
    // False when the primitive has no runs, or they cannot be sure.
    bool prepare(const Primitive& p, const GridMap& m, double bx, double by, std::int64_t i0,
                 std::int64_t i1, std::int64_t k0, std::int64_t k1);
    // The runs of row i; false when they cannot be sure.
    bool at(std::int64_t i, RowRuns& runs) const;

private:
    struct Edge {
        double a0, da, b, inv_b, reach;
    };
    const Primitive* p_ = nullptr;
    GridMap m_{};
    double bx_ = 0.0, by_ = 0.0, xlo_ = 0.0, xhi_ = 0.0, ylo_ = 0.0, yhi_ = 0.0;
    std::int64_t i0_ = 0, k0_ = 0, k1_ = 0;
    int edges_ = 0;
    Edge edge_[kBandedEdges];
};

// ---- sweep.cpp ------------------------------------------------------------
// The window's pixels of a shape given as signed pieces, row by row, each
// row swept once from the left; false, having written nothing, when the
// grid's map cannot carry the pieces into its index space.  `zeroed`: the
// output holds zeros already, which are left unwritten.
bool sweep_grid(const SignedPieces& pieces, const GridWindow& window, double* out, int threads,
                bool stream, bool zeroed);

// ---- drivers.cpp ----------------------------------------------------------
// `fresh`: out is a new array of zeros, never written.
void render_grid(const Shape& shape, const GridWindow& window, double* out, int threads,
                 bool fresh = false);
// Footprints [0, n): `kept`, when not null, holds footprint_run_bounds of
// them, which spares reading the footprints of runs no boundary comes near.
void render_footprints(const Shape& shape, const double* qx, const double* qy,
                       const double* j00, const double* j01, const double* j10,
                       const double* j11, std::int64_t n, double* out, int threads,
                       const double* kept = nullptr);
// footprint_run_bounds (pixels.hpp) writes, for each run, the centres'
// extremes and the largest half-extents (times two) along x and y: the
// same bounds whether kept or found again, so the results have the same bits.
// Pixel (i, k) of the corner grid into out[i * grid.cols + k].
void render_quads(const Shape& shape, const CornerGrid& grid, double* out, int threads);

}  // namespace trovel
