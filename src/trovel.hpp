// Private header of the _trovel extension: the native functions that the
// binding table exports.  Every address argument is the integer address of
// caller-owned storage (float64 arrays, one-byte masks or int32 counters);
// nothing here checks sizes or validity, the Python layer does.
#pragma once

#include <cstdint>

namespace trovel {

using address = std::uint64_t;

// Polygon mask over a grid
void poly_grid_contains(address poly_x, address poly_y, address vertex_count, address grid_x,
                        address grid_y, address mask, address nx, address ny);

// Triangle-pixel area
void accumulate_triangles(address triangles, address values, address divisors, address image,
                          int count, int size);
double clip_area(address tri, int i, int j);

}  // namespace trovel
