// Streaming stores for large outputs: they spare reading the old contents
// of the output into the cache first.  Where the machine has them (x86 with
// SSE2) unless the build asks for the portable path (TROVEL_PORTABLE); both
// paths store the same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

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

// Faults in the pages of a fresh output of n elements (a new array never
// written) ahead of its writes, in one call (Linux 5.14 and later; its
// contents are left as they are).  The kernel then clears them all at once
// instead of at each page's first store, and the output streams as a
// reused one does: measured side by side on a 2048^2 render, about 13% less
// time than plain stores into pages faulted one by one.  False, having done
// nothing that matters, where the system cannot.
inline bool populate_for_writing(double* out, std::int64_t n) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return false;
    const auto at = reinterpret_cast<std::uintptr_t>(out);
    const std::uintptr_t start = at - at % static_cast<std::uintptr_t>(page);
    const std::uintptr_t end = at + static_cast<std::uintptr_t>(n) * sizeof(double);
    return madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE) == 0;
#else
    (void)out;
    (void)n;
    return false;
#endif
}

// Whether an output of n elements streams, a fresh one faulted in first when
// it is large enough to stream (populate_for_writing).  A fresh one that
// cannot be is written with plain stores: the kernel clears each of its
// pages on the first write and leaves them in the cache, where plain stores
// then land, while streaming ones would push them out again (measured: 10
// to 15% slower).
inline bool prepare_to_stream(double* out, std::int64_t n, bool fresh) {
    if (n < kStreamingOutput) return false;
    return !fresh || populate_for_writing(out, n);
}

// Orders a thread's streaming stores before whatever it does next.
inline void end_streaming(bool stream) {
#if TROVEL_STREAMING_STORES
    if (stream) _mm_sfence();
#endif
    (void)stream;
}

// n copies of v from p on, with plain stores: where the machine has them,
// four 16-byte stores a turn, so that the loop's speed does not hang on
// where it falls in the code (a loop of one store a turn was measured at
// two speeds in builds of the same source).
inline void fill_run(double* p, std::int64_t n, double v) {
#if TROVEL_STREAMING_STORES
    const __m128d pair = _mm_set1_pd(v);
    std::int64_t k = 0;
    for (; k + 8 <= n; k += 8) {
        _mm_storeu_pd(p + k, pair);
        _mm_storeu_pd(p + k + 2, pair);
        _mm_storeu_pd(p + k + 4, pair);
        _mm_storeu_pd(p + k + 6, pair);
    }
    for (; k < n; ++k) p[k] = v;
#else
    std::fill(p, p + n, v);
#endif
}

// Writes a row from left to right: runs of a constant and copies, as plain
// stores or streaming ones.  Streaming stores go in aligned pairs (16
// bytes): an element left over at the end of a piece is held and paired
// with the first of the next, since a plain store into a line being
// streamed would fetch the line and break up its write.  Only the row's
// own ends may be stored alone.
//
// A row of an output that holds zeros already (a new one) may be told so:
// its stretches of zeros are then passed over, not stored.
class RowWriter {
public:
    RowWriter(double* row, bool stream, bool zeroed = false)
        : at_(row), stream_(stream), zeroed_(zeroed) {}
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;
    ~RowWriter() {
        if (held_) at_[-1] = held_value_;
    }

    void fill(double v, std::int64_t n) {
        if (zeroed_ && v == 0.0) return skip_zeros(n);
#if TROVEL_STREAMING_STORES
        if (stream_) {
            const __m128d pair = _mm_set1_pd(v);
            const std::int64_t k = stream_pairs(start(v, n), n, [&](std::int64_t) { return pair; });
            finish(k, n, v);
            return;
        }
#endif
        fill_run(at_, n, v);
        at_ += n;
    }

    // Passes over n elements that hold zeros already (a new output's): none
    // is stored, but where streaming pairs the element held before them
    // and the last of them with their zero neighbours.
    void skip_zeros(std::int64_t n) {
        if (n <= 0) return;
#if TROVEL_STREAMING_STORES
        if (stream_) {
            if (held_) {
                _mm_stream_pd(at_ - 1, _mm_set_pd(0.0, held_value_));
                held_ = false;
                ++at_;
                --n;
            }
            at_ += n;
            if (n > 0 && reinterpret_cast<std::uintptr_t>(at_) % 16 != 0) {
                held_ = true;
                held_value_ = 0.0;
            }
            return;
        }
#endif
        at_ += n;
    }

    void copy(const double* from, std::int64_t n) {
#if TROVEL_STREAMING_STORES
        if (stream_) {
            const std::int64_t k = stream_pairs(n > 0 ? start(from[0], n) : 0, n,
                                                [&](std::int64_t j) { return _mm_loadu_pd(from + j); });
            finish(k, n, k < n ? from[k] : 0.0);
            return;
        }
#endif
        std::memcpy(at_, from, static_cast<std::size_t>(n) * sizeof(double));
        at_ += n;
    }

private:
#if TROVEL_STREAMING_STORES
    // Stores the piece's first element, v, if it cannot start a pair: with
    // the element held before it, or alone at an unaligned start of the
    // row.  The elements it took: 0 or 1.
    std::int64_t start(double v, std::int64_t n) {
        if (n <= 0) return 0;
        if (held_) {
            _mm_stream_pd(at_ - 1, _mm_set_pd(v, held_value_));
            held_ = false;
            return 1;
        }
        if (reinterpret_cast<std::uintptr_t>(at_) % 16 == 0) return 0;
        at_[0] = v;
        return 1;
    }

    // Where the first whole cache line at or after element k begins (k
    // itself 16-byte aligned), at most n: from there on each line is
    // written by four stores in a row, which keeps every write-combining
    // buffer full (lines written piecemeal by a slower loop were measured
    // to halve the write speed).
    std::int64_t line_start(std::int64_t k, std::int64_t n) const {
        const auto offset = reinterpret_cast<std::uintptr_t>(at_ + k) % 64;
        return std::min(n, k + static_cast<std::int64_t>((64 - offset) % 64 / sizeof(double)));
    }

    // Streams the pairs pair(j) of elements [k, n), k 16-byte aligned, up to
    // the last whole pair: up to the first cache line, then line by line, then
    // the pairs left.  Where the pairs ended.
    template <class Pair>
    std::int64_t stream_pairs(std::int64_t k, std::int64_t n, Pair pair) {
        for (const std::int64_t lines = line_start(k, n); k + 2 <= lines; k += 2)
            _mm_stream_pd(at_ + k, pair(k));
        for (; k + 8 <= n; k += 8) {
            _mm_stream_pd(at_ + k, pair(k));
            _mm_stream_pd(at_ + k + 2, pair(k + 2));
            _mm_stream_pd(at_ + k + 4, pair(k + 4));
            _mm_stream_pd(at_ + k + 6, pair(k + 6));
        }
        for (; k + 2 <= n; k += 2) _mm_stream_pd(at_ + k, pair(k));
        return k;
    }

    // Holds the piece's last element, v, when it is left over at k.
    void finish(std::int64_t k, std::int64_t n, double v) {
        if (k < n) {
            held_ = true;
            held_value_ = v;
        }
        at_ += n;
    }
#endif

    double* at_;
    bool stream_;
    bool zeroed_;                // the row holds zeros where nothing was stored
    bool held_ = false;          // the element before at_ is still to be stored
    double held_value_ = 0.0;
};

}  // namespace trovel
