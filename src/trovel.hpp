// Private header of the _trovel extension: the native functions that the
// binding table exports.  Every address argument is the integer address of
// caller-owned storage (float64 arrays, one-byte masks or int32 counters);
// nothing here checks sizes or validity, the Python layer does.
#pragma once

#include <cstdint>

namespace trovel {

using address = std::uint64_t;

// Triangle lists cut by a circle or a strut; both return the number of
// triangle records written to `out` and only increment the two int32
// counters.
int clip_triangles_to_circle(address triangles, int count, double cx, double cy, double radius,
                             int keep_inside, double margin, address out, address dropped,
                             address clipped);
int clip_triangles_to_strut(address triangles, int count, double x1, double y1, double a1,
                            double b1, double x2, double y2, double a2, double b2, double cx,
                            double cy, double length, double margin, address out, address dropped,
                            address clipped);

// Triangle-pixel area
double clip_area(address tri, int i, int j);

}  // namespace trovel
