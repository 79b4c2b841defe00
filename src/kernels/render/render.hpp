// Exact aperture renderer: private declarations shared by the files of
// src/render/.  A shape reaches the kernel as a flat description: a table
// of primitives (discs and counter-clockwise simple polygons) and a postfix
// program over them, checked by the Python layer and again, cheaply, here.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/pixels.hpp"

namespace trovel_render {

enum PrimKind : int32_t { kDisc = 0, kPolygon = 1 };

// Program codes: a code >= 0 pushes that primitive's membership.
enum Op : int32_t { kUnion = -1, kIntersect = -2, kDifference = -3, kComplement = -4 };

// Conservative state of a primitive over a region of the plane.
enum State : int8_t { kOut = 0, kIn = 1, kCrossed = 2 };

// A polygon's edges sorted into horizontal bands of equal height, so that
// the edges that may meet a box or a horizontal line are found without
// walking all of them.  Edge k runs from vertex k - 1 (n - 1 for k = 0) to
// vertex k, and is listed in every band its y-range meets.
struct EdgeBands {
    double y0 = 0.0, per_band = 0.0;   // band of y: floor((y - y0) * per_band)
    int32_t count = 0;
    std::vector<int32_t> start;        // count + 1 offsets into `edges`
    std::vector<int32_t> edges;
    std::vector<int32_t> first;        // per edge: the lowest band it is in

    // Appends to `out` each edge whose y-range may meet [ylo, yhi], once;
    // every edge when the range is not a pair of numbers.
    void near(double ylo, double yhi, std::vector<int32_t>& out) const;
};

// The vertex an edge starts from: edge k runs from it to vertex k.
inline int32_t previous_vertex(int32_t k, int32_t n) { return k == 0 ? n - 1 : k - 1; }

struct Primitive {
    int32_t kind;
    const double* v;     // disc: cx, cy, r; polygon: x0, y0, x1, y1, ... (counter-clockwise)
    int32_t n;           // polygon vertex count
    double xmin, ymin, xmax, ymax;
    const EdgeBands* bands = nullptr;  // a polygon of many edges: its bands
};

struct Shape {
    std::vector<Primitive> prims;
    std::vector<int32_t> program;
    std::vector<EdgeBands> bands;      // per primitive, empty unless indexed
};

// Sorts the edges of every polygon of at least kBandedEdges edges into
// bands; call once the primitives are all in place.
constexpr int32_t kBandedEdges = 32;
void index_edges(Shape& shape);

// A query's widening for coordinates moved by a translation: far above the
// rounding of one subtraction, far below a band.
double translation_slack(double at, double reach);

// A footprint: centre q and the columns a = (j00, j10), b = (j01, j11) of J.
struct Footprint {
    double qx, qy, j00, j01, j10, j11;
};

// ---- program.cpp ----------------------------------------------------------
// Partial evaluation: primitives whose state is known are folded in.  Returns
// 0 or 1 when the result is constant, -1 otherwise with `residual` holding
// the program that remains.  `scratch` is reused storage.
int fold_program(const std::vector<int32_t>& program, const int8_t* state,
                 std::vector<int32_t>& residual, std::vector<int32_t>& scratch);
bool run_program(const std::vector<int32_t>& program, const uint8_t* value,
                 std::vector<uint8_t>& stack);

// ---- classify.cpp ---------------------------------------------------------
// State of a primitive over the box of half-sizes (hx, hy) about (x, y): kIn
// or kOut only when that is certain.
State classify(const Primitive& p, double x, double y, double hx, double hy);
// The same test of the point (x, y) given relative to (tx, ty), the
// vertices moved by the same translation one by one.
bool inside_translated_polygon(const Primitive& p, double tx, double ty, double x, double y);

// ---- exact_area.cpp -------------------------------------------------------
struct Workspace;
Workspace* new_workspace(const Shape& shape);
void free_workspace(Workspace* ws);
// Fraction of the footprint inside the shape whose residual program (over the
// primitives that may cross it) is `program`.
double exact_fraction(Workspace& ws, const Shape& shape, const std::vector<int32_t>& program,
                      const Footprint& f);

// ---- drivers.cpp ----------------------------------------------------------
using trovel::GridMap;
void render_grid(const Shape& shape, const GridMap& map, int64_t r0, int64_t r1, int64_t c0,
                 int64_t c1, double* out, int threads);
void render_footprints(const Shape& shape, const double* qx, const double* qy,
                       const double* j00, const double* j01, const double* j10,
                       const double* j11, int64_t n, double* out, int threads);

}  // namespace trovel_render
