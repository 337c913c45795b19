// The process-wide worker pool: persistent threads that run index-parallel
// jobs while the submitting thread waits.
//
// A job is a range of indices 0 .. n-1 and a function called once per index.
// Indices are handed out in increasing order, in batches that shrink as the
// range runs out.  When a call throws, the exception is kept and carried
// back to the submitting thread; indices above the lowest failing index found
// so far are skipped, every lower index still runs.  So the exception that
// reaches the caller is always the one of the lowest failing index, whatever
// the number of threads, and a pool of one thread gives exactly the results
// and the exception of a pool of many.
//
// Workers never touch Python objects.  They are started once and live for the
// life of the pool, so their thread_local scratch state lives as long.  In a
// pool of several, a worker that has finished its share of a job keeps
// looking for the next one for about a millisecond, giving way to any other
// thread that wants its processor, before it sleeps.  A job submitted from
// inside a worker, from a process forked after the pool started, or to a
// pool without workers runs on the calling thread, index by index, with the
// same outcome.  Jobs from different threads run one after the other.
//
// The global pool is built on first use; its size comes from
// RAYON_NUM_THREADS (1 or more: that many; 0: the default), else
// RAYON_RS_NUM_CPUS (more than 0), else the number of usable processors.
// Values that do not parse as an unsigned decimal count are ignored.  A
// count the system cannot provide gives half of the workers it did start, at
// most as many as the usable processors, and leaves the rest of the room to
// the jobs: no call fails because of the count.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace tsl {

// A non-owning reference to a callable taking an index.
class IndexTask {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, IndexTask>)
    explicit IndexTask(F& f)
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, std::size_t i) { (*static_cast<F*>(o))(i); }) {}

    void operator()(std::size_t i) const { call_(obj_, i); }

private:
    void* obj_;
    void (*call_)(void*, std::size_t);
};

class WorkerPool {
public:
    // A pool of `nthreads` workers (0 runs every job on the calling thread),
    // but no more than kMaxWorkers, or than the usable processors where those
    // are more.  If the system refuses to start some of them (no thread or no
    // memory left), the pool keeps half of those that started (rounded up),
    // at most as many as the usable processors, and stops the others, so that
    // the jobs have room to run; without any, jobs run on the calling thread.
    // Returns once every worker kept has started.  Throws nothing, and leaves
    // the calling thread's signal mask as it found it.
    explicit WorkerPool(std::size_t nthreads) noexcept;
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The most workers a pool starts on a machine of fewer processors.  Far
    // more workers than processors gain nothing, and each one costs a
    // thread, its stack and a wake-up per job; a count beyond every real
    // need (RAYON_NUM_THREADS=99999999999) must not take all the threads
    // the system has.
    static constexpr std::size_t kMaxWorkers = 1024;

    // The process-wide pool, built on first use and never torn down.
    static WorkerPool& global();

    // Worker threads of this pool (1 for a pool without workers: the caller).
    std::size_t num_threads() const { return workers_.empty() ? 1 : workers_.size(); }

    // Whether the current thread is a worker of some pool.
    static bool on_worker_thread();

    // Calls fn(i) for every i in 0 .. n-1 on the workers and waits.  Rethrows
    // the exception of the lowest failing index.
    template <class F>
    void parallel_for(std::size_t n, F&& fn) {
        run(n, IndexTask(fn));
    }

    // fn(i) for every i, results in index order.
    template <class R, class F>
    std::vector<R> parallel_map(std::size_t n, F&& fn) {
        std::vector<std::optional<R>> slots(n);
        auto body = [&](std::size_t i) { slots[i].emplace(fn(i)); };
        run(n, IndexTask(body));
        std::vector<R> out;
        out.reserve(n);
        for (auto& s : slots) out.push_back(std::move(*s));
        return out;
    }

    // The results fn(i) that hold a value, in index order.
    template <class R, class F>
    std::vector<R> parallel_filter_map(std::size_t n, F&& fn) {
        std::vector<std::optional<R>> slots(n);
        auto body = [&](std::size_t i) { slots[i] = fn(i); };
        run(n, IndexTask(body));
        std::vector<R> out;
        for (auto& s : slots)
            if (s) out.push_back(std::move(*s));
        return out;
    }

    // fn(i) for every i in 0 .. n-1, in consecutive chunks of `chunk` indices
    // (the last may be shorter); each chunk runs on the workers and is waited
    // for before the next starts.  An exception ends the call once its chunk
    // has wound down; no further chunk starts.
    template <class F>
    void parallel_for_chunked(std::size_t n, std::size_t chunk, F&& fn) {
        if (chunk == 0) chunk = 1;
        for (std::size_t start = 0; start < n; start += chunk) {
            const std::size_t len = n - start < chunk ? n - start : chunk;
            auto body = [&](std::size_t i) { fn(start + i); };
            run(len, IndexTask(body));
        }
    }

private:
    struct Job;

    void run(std::size_t n, IndexTask task);
    // How far the constructor is: starting workers; knows which it keeps
    // (the others end); lets those set themselves up.
    enum class StartPhase { starting, kept_known, set_up };

    void set_start_phase(StartPhase phase, std::size_t keep);
    void worker_main(std::size_t id);
    void work(Job& job);

    std::vector<std::thread> workers_;
    int pid_ = 0;                // process that started the workers
    std::mutex submit_;          // one job at a time
    std::mutex m_;               // guards the fields below
    std::condition_variable wake_;
    std::condition_variable done_;
    std::atomic<std::uint64_t> generation_{0};  // changed under m_, polled without it
    Job* job_ = nullptr;
    std::size_t participants_ = 0;
    std::atomic<bool> stop_{false};             // changed under m_, polled without it
    StartPhase start_phase_ = StartPhase::starting;
    std::size_t admitted_ = 0;  // workers 0 .. admitted_-1 are kept; set with the phase
    std::size_t ready_ = 0;     // kept workers that have set themselves up
};

// The number of threads asked for by the two environment values (either may
// be null: unset), given the default count.
std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t default_count);

// A count in the form of an unsigned decimal integer: an optional '+', then
// one or more digits, nothing else, no overflow.
std::optional<std::size_t> parse_thread_count(const char* text);

// Processors this process may run on (at least 1).
std::size_t usable_processors();

// The global pool's entry points.
template <class F>
void parallel_for(std::size_t n, F&& fn) {
    WorkerPool::global().parallel_for(n, std::forward<F>(fn));
}
template <class R, class F>
std::vector<R> parallel_map(std::size_t n, F&& fn) {
    return WorkerPool::global().parallel_map<R>(n, std::forward<F>(fn));
}
template <class R, class F>
std::vector<R> parallel_filter_map(std::size_t n, F&& fn) {
    return WorkerPool::global().parallel_filter_map<R>(n, std::forward<F>(fn));
}
template <class F>
void parallel_for_chunked(std::size_t n, std::size_t chunk, F&& fn) {
    WorkerPool::global().parallel_for_chunked(n, chunk, std::forward<F>(fn));
}

}  // namespace tsl
