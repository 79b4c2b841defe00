// Threads of the project's own drivers.  Every driver splits its work into
// pieces whose results do not depend on which thread computes them or in
// what order, so that the bits are the same for any thread count.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace trovel {

// More threads than this would only queue for the same cores.
constexpr int kMaxThreads = 64;

// The thread count to use for `pieces` pieces of work: at least 1, at most
// `asked`, `pieces` and kMaxThreads.
inline int thread_count(int asked, std::int64_t pieces) {
    return static_cast<int>(
        std::max<std::int64_t>(1, std::min<std::int64_t>({asked, pieces, kMaxThreads})));
}

// Runs call(context, t) for t in [1, threads) on the workers of a pool
// kept from call to call, and call(context, 0) on the calling thread; a
// share no worker has taken by the time the caller is done with its own is
// run by the caller, so a call never waits on a busy pool (nor on itself,
// from within a worker).  Rethrows the failure of the lowest t.
void run_on_pool(int threads, void (*call)(void*, int), void* context);

// Runs job(t) for t in [0, threads) and rethrows the first failure.
template <class Job>
void run_threads(int threads, Job job) {
    if (threads <= 1) {
        job(0);
        return;
    }
    run_on_pool(threads, [](void* c, int t) { (*static_cast<Job*>(c))(t); }, &job);
}

// Runs piece(p) for every p in [0, pieces) on `threads` threads, each taking
// the next piece not yet taken: for work whose pieces differ in cost.
template <class Piece>
void for_each_piece(int threads, std::int64_t pieces, Piece piece) {
    std::atomic<std::int64_t> next{0};
    run_threads(thread_count(threads, pieces), [&](int) {
        for (std::int64_t p = next++; p < pieces; p = next++) piece(p);
    });
}

}  // namespace trovel
