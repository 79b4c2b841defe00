// Streaming stores for large outputs: they spare reading the old contents
// of the output into the cache first.  Where the machine has them (x86 with
// SSE2) unless the build asks for the portable path (TROVEL_PORTABLE); both
// paths store the same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(TROVEL_PORTABLE)
#define TROVEL_STREAMING_STORES 1
#include <emmintrin.h>
#else
#define TROVEL_STREAMING_STORES 0
#endif

namespace trovel {

// Outputs of this many elements or more are written with streaming stores;
// smaller ones stay in the cache for the caller.
constexpr std::int64_t kStreamingOutput = std::int64_t(1) << 20;

// Whether an output of n elements streams.  A fresh output (a new array
// never written) does not: the kernel clears each of its pages on the first
// write and leaves them in the cache, where plain stores then land, while
// streaming ones would push them out again (measured: 10 to 15% slower).
inline bool streams(std::int64_t n, bool fresh) { return !fresh && n >= kStreamingOutput; }

// Orders a thread's streaming stores before whatever it does next.
inline void end_streaming(bool stream) {
#if TROVEL_STREAMING_STORES
    if (stream) _mm_sfence();
#endif
    (void)stream;
}

// Writes a row from left to right: runs of a constant and copies, as plain
// stores or streaming ones (which need 16-byte alignment: an odd element
// at either end of a piece is stored on its own).
class RowWriter {
public:
    RowWriter(double* row, bool stream) : at_(row), stream_(stream) {}

    void fill(double v, std::int64_t n) {
#if TROVEL_STREAMING_STORES
        if (stream_) {
            const __m128d pair = _mm_set1_pd(v);
            std::int64_t k = lead(n);
            if (k) at_[0] = v;
            for (; k + 2 <= n; k += 2) _mm_stream_pd(at_ + k, pair);
            if (k < n) at_[k] = v;
            at_ += n;
            return;
        }
#endif
        std::fill(at_, at_ + n, v);
        at_ += n;
    }

    void copy(const double* from, std::int64_t n) {
#if TROVEL_STREAMING_STORES
        if (stream_) {
            std::int64_t k = lead(n);
            if (k) at_[0] = from[0];
            for (; k + 2 <= n; k += 2) _mm_stream_pd(at_ + k, _mm_loadu_pd(from + k));
            if (k < n) at_[k] = from[k];
            at_ += n;
            return;
        }
#endif
        std::memcpy(at_, from, static_cast<std::size_t>(n) * sizeof(double));
        at_ += n;
    }

private:
    // The elements before the first 16-byte boundary: 0 or 1.
    std::int64_t lead(std::int64_t n) const {
        return n > 0 && reinterpret_cast<std::uintptr_t>(at_) % 16 != 0 ? 1 : 0;
    }

    double* at_;
    bool stream_;
};

}  // namespace trovel
