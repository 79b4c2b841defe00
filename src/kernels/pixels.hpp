// The pixel sets the project's drivers read: a window of a lazy affine grid
// (its map and a range of rows and columns) or per-pixel footprints (arrays
// of grid positions, footprint centres and Jacobians).  The checked layer
// builds one of them per call, from whichever pixel set it was given, and
// hands it to the capability's driver.
#pragma once

#include <cstdint>

#include "trovel/trovel.hpp"

namespace trovel {

// The affine map of a lazy grid: pixel (row i, column k) has grid position
// (k, i), footprint centre (m00 k + m01 i + x0, m10 k + m11 i + y0) and the
// Jacobian ((m00, m01), (m10, m11)).
struct GridMap {
    double x0, y0, m00, m01, m10, m11;
};

// The footprint centre of grid position (k, i), evaluated as
// (m00 k + m01 i) + x0: the one formula of every driver and of the grid's
// materialised arrays, so that they all agree bit for bit.
inline Point grid_centre(const GridMap& m, double k, double i) {
    return {(m.m00 * k + m.m01 * i) + m.x0, (m.m10 * k + m.m11 * i) + m.y0};
}

// The renderer bounds per-pixel footprints in runs of kFootprintRun, each
// by kRunBoundsSize doubles (footprint_run_bounds, render/drivers.cpp); a
// pixel set made once and used many times keeps them.
constexpr std::int64_t kFootprintRun = 64;
constexpr std::int64_t kRunBoundsSize = 6;
void footprint_run_bounds(const double* qx, const double* qy, const double* j00,
                          const double* j01, const double* j10, const double* j11,
                          std::int64_t n, double* bounds);

// Rows [r0, r1) by columns [c0, c1) of a lazy grid; a result of the window
// is (r1 - r0, c1 - c0), row-major.
struct GridWindow {
    GridMap map;
    std::int64_t r0, r1, c0, c1;

    std::int64_t rows() const { return r1 - r0; }
    std::int64_t cols() const { return c1 - c0; }
};

// Quadrilateral footprints: rows x cols pixels whose corners, (rows + 1)
// x (cols + 1) points row-major with `stride` between rows, are given in
// the plane.  Pixel (i, k) runs through corners (i, k), (i, k + 1),
// (i + 1, k + 1), (i + 1, k).
struct CornerGrid {
    const double* x;
    const double* y;
    std::int64_t rows, cols, stride;

    std::int64_t at(std::int64_t i, std::int64_t k) const { return i * stride + k; }

    // Pixel (i, k)'s corners in order, into cx and cy.
    void quad(std::int64_t i, std::int64_t k, double* cx, double* cy) const {
        const std::int64_t a = at(i, k), b = a + stride;
        cx[0] = x[a], cx[1] = x[a + 1], cx[2] = x[b + 1], cx[3] = x[b];
        cy[0] = y[a], cy[1] = y[a + 1], cy[2] = y[b + 1], cy[3] = y[b];
    }
};

// Twice the signed area of the quadrilateral through the four corners, the
// shoelace sum about the first (so that its products are of its size).
inline double twice_quad_area(const double* x, const double* y) {
    double s = 0.0;
    for (int i = 0; i < 4; ++i) {
        const int k = (i + 1) & 3;
        s += (x[i] - x[0]) * (y[k] - y[0]) - (y[i] - y[0]) * (x[k] - x[0]);
    }
    return s;
}

}  // namespace trovel
