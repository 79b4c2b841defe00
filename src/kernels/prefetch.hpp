// Asking for cache lines ahead of their reads, where the reads are a few
// scattered lines of large arrays whose fetching from memory would otherwise
// be most of the time they take.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovel {

// Asks for the cache line at p, into the second-level cache: the lines
// asked for at once are often more than the first level can have on their
// way.  GCC drops a loop of __builtin_prefetch as dead code (it has no
// effect the language sees), so on the machines the wheels are built for
// the instruction is written out.
inline void prefetch_line(const char* p) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm volatile("prefetcht1 (%0)" : : "r"(p));
#elif defined(__GNUC__) && defined(__aarch64__)
    asm volatile("prfm pldl2keep, [%0]" : : "r"(p));
#else
    __builtin_prefetch(p, 0, 2);
#endif
}

// Asks for the lines of the n items of `size` bytes from p on.
inline void prefetch_items(const void* p, std::int64_t n, std::size_t size) {
    constexpr std::size_t kLine = 64;
    if (n <= 0) return;
    const char* first = static_cast<const char*>(p);
    const char* last = first + size * static_cast<std::size_t>(n - 1);
    for (const char* q = first; q <= last + kLine - 1; q += kLine) prefetch_line(q);
}

}  // namespace trovel
