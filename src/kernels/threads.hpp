// Threads of the project's own drivers.  Every driver splits its work into
// pieces whose results do not depend on which thread computes them or in
// what order, so that the bits are the same for any thread count.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace trovel {

// More threads than this would only queue for the same cores.
constexpr int kMaxThreads = 64;

// The thread count to use for `pieces` pieces of work: at least 1, at most
// `asked`, `pieces` and kMaxThreads.
inline int thread_count(int asked, std::int64_t pieces) {
    return static_cast<int>(
        std::max<std::int64_t>(1, std::min<std::int64_t>({asked, pieces, kMaxThreads})));
}

// Runs job(t) for t in [0, threads) and rethrows the first failure.  A
// thread that cannot be started leaves its share to the calling thread.
template <class Job>
void run_threads(int threads, Job job) {
    if (threads <= 1) {
        job(0);
        return;
    }
    std::vector<std::thread> pool;
    std::vector<std::exception_ptr> failed(threads);
    auto run = [&](int t) {
        try {
            job(t);
        } catch (...) {
            failed[t] = std::current_exception();
        }
    };
    pool.reserve(threads);
    for (int t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(run, t);
        } catch (...) {
            run(t);
        }
    }
    run(0);
    for (auto& th : pool) th.join();
    for (auto& e : failed)
        if (e) std::rethrow_exception(e);
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
