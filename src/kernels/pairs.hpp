// Two doubles side by side: GCC and Clang vector extensions, which compile
// to the target's SIMD registers (SSE2 on baseline x86-64) without
// intrinsics.  Only comparisons, selections, sign clearing and the four
// operations lane by lane, so each lane computes what the scalar code
// would, bit for bit.
#pragma once

#include <cstdint>
#include <cstring>

namespace trovel {

typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef std::int64_t PairBits __attribute__((vector_size(2 * sizeof(double))));

// Two consecutive doubles, at any alignment.
inline Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// The same choices as std::min and std::max, lane by lane.
inline Pair pair_min(Pair a, Pair b) { return b < a ? b : a; }
inline Pair pair_max(Pair a, Pair b) { return a < b ? b : a; }
inline Pair pair_abs(Pair a) { return (Pair)((PairBits)a & INT64_MAX); }

}  // namespace trovel
