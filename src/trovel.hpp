// Private header of the _trovel extension: the native functions that the
// binding table exports.  Every address argument is the integer address of
// caller-owned storage (float64 arrays, one-byte masks or int32 counters);
// nothing here checks sizes or validity, the Python layer does.
#pragma once

#include <cstdint>

namespace trovel {

using address = std::uint64_t;

// Triangle-pixel area
double clip_area(address tri, int i, int j);

}  // namespace trovel
