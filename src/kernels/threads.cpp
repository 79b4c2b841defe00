// The pool of worker threads behind run_threads.  Starting a thread for
// each call cost about 40 us of every threaded call (and each new thread its
// scratch storage anew); the workers here are started once, as calls first
// need them, and wait for shares of later calls.  They never touch Python
// objects, so they may outlive the interpreter: the pool is never torn down.
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include "kernels/threads.hpp"

namespace trovel {
namespace {

// One run_on_pool: its job, each share's failure, and the shares handed to
// the pool that are not done yet (guarded by the pool's mutex).
struct Call {
    void (*job)(void*, int);
    void* context;
    std::vector<std::exception_ptr> failed;
    int unfinished = 0;
    std::condition_variable done;

    void run(int t) noexcept {
        try {
            job(context, t);
        } catch (...) {
            failed[t] = std::current_exception();
        }
    }
};

struct Share {
    Call* call;
    int t;
};

class Pool {
public:
    void run(int threads, void (*job)(void*, int), void* context) {
        Call call{job, context, std::vector<std::exception_ptr>(threads)};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (int t = 1; t < threads; ++t) queue_.push_back({&call, t});
            call.unfinished = threads - 1;
            start_workers();
        }
        wake_.notify_all();
        call.run(0);
        std::unique_lock<std::mutex> lock(mutex_);
        take_back(call, lock);
        call.done.wait(lock, [&] { return call.unfinished == 0; });
        lock.unlock();
        for (const std::exception_ptr& e : call.failed)
            if (e) std::rethrow_exception(e);
    }

private:
    // Enough workers for the shares queued beyond the idle ones, as far as
    // threads can be started (the caller takes back what is left).
    void start_workers() {
        auto wanted = static_cast<int>(queue_.size()) - idle_;
        for (; wanted > 0 && workers_ < kMaxThreads; --wanted) {
            try {
                std::thread(&Pool::work, this).detach();
            } catch (...) {
                return;
            }
            ++workers_;
            ++idle_;   // counted idle until it takes a share
        }
    }

    // The call's shares that no worker has taken, run by the caller.
    void take_back(Call& call, std::unique_lock<std::mutex>& lock) {
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->call != &call) {
                ++it;
                continue;
            }
            const int t = it->t;
            queue_.erase(it);
            lock.unlock();
            call.run(t);
            lock.lock();
            --call.unfinished;
            it = queue_.begin();
        }
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            const Share share = queue_.front();
            queue_.pop_front();
            --idle_;
            lock.unlock();
            share.call->run(share.t);
            lock.lock();
            ++idle_;
            if (--share.call->unfinished == 0) share.call->done.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Share> queue_;
    int workers_ = 0, idle_ = 0;
};

Pool* make_pool() { return new Pool; }

Pool*& pool() {
    static Pool* p = [] {
#if defined(__unix__) || defined(__APPLE__)
        // A forked child has none of the parent's workers, and perhaps a
        // lock held by one of them: it starts a pool of its own.
        pthread_atfork(nullptr, nullptr, [] { pool() = make_pool(); });
#endif
        return make_pool();
    }();
    return p;
}

}  // namespace

void run_on_pool(int threads, void (*job)(void*, int), void* context) {
    pool()->run(threads, job, context);
}

}  // namespace trovel
