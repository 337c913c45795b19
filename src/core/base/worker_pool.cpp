#include "base/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

#include "base/panic.hpp"

namespace tsl {

namespace {

thread_local bool t_on_worker = false;

// How long a worker of a pool of several keeps looking for the next job
// before it sleeps.  A search hands out one job after another, most of them
// a few tens of microseconds apart, and the processor of a sleeping worker
// may be halted: on a virtual machine, waking it again can take a few
// hundred microseconds, longer than many of the jobs.  A lone worker need
// not look: it takes over the processor its caller leaves to wait for the
// job.
constexpr std::chrono::microseconds kIdlePoll{1000};

// Polls `ready` until it holds or `limit` has passed; between polls the
// thread lets any other thread that is ready to run have its processor.
template <class Ready>
void poll_for(std::chrono::microseconds limit, Ready&& ready) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (unsigned i = 1; !ready(); ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 16 == 0) {
            sched_yield();
            if (std::chrono::steady_clock::now() >= until) return;
        }
    }
}

// A panic that lost to one of a lower index still gets its report.
void report_discarded(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const Panic& p) {
        report_panic(p);
    } catch (...) {
    }
}

// Names thread `t` as worker `id` for the operating system (the kernel
// keeps at most 15 characters; the name is cut there).  The pool names each
// worker as soon as it exists, and the worker names itself again as it
// starts: either way it carries its name before it runs a task, so a panic
// raised on it reports the worker and not the thread that started the pool.
void name_worker(pthread_t t, std::size_t id) noexcept {
    char name[32];
    std::snprintf(name, sizeof name, "tsl-worker-%zu", id);
    name[15] = '\0';
    pthread_setname_np(t, name);
}

// Blocks the asynchronous signals on this thread for its lifetime, then
// restores the mask it found, however the scope is left.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, s);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

}  // namespace

struct WorkerPool::Job {
    Job(std::size_t n_, IndexTask task_, std::size_t threads_) : n(n_), task(task_), threads(threads_) {}

    const std::size_t n;
    const IndexTask task;
    const std::size_t threads;        // workers taking part
    std::atomic<std::size_t> next{0};  // first index not handed out
    std::atomic<std::size_t> fail_at{SIZE_MAX};
    std::mutex err_m;
    std::exception_ptr error;  // the exception of index fail_at
    std::size_t finished = 0;  // workers done; guarded by the pool's m_

    void fail(std::size_t i, std::exception_ptr e) {
        std::exception_ptr discarded;
        {
            std::lock_guard<std::mutex> lk(err_m);
            if (i < fail_at.load(std::memory_order_relaxed)) {
                discarded = std::move(error);
                error = std::move(e);
                fail_at.store(i, std::memory_order_relaxed);
            } else {
                discarded = std::move(e);
            }
        }
        if (discarded) report_discarded(discarded);
    }
};

WorkerPool::WorkerPool(std::size_t nthreads) noexcept : pid_(static_cast<int>(::getpid())) {
    if (nthreads > kMaxWorkers) nthreads = std::max(kMaxWorkers, usable_processors());
    // Workers take no asynchronous signals (a thread starts with the mask of
    // the one that starts it): those go to the threads that wait for them,
    // such as the interpreter's main thread.
    const AsyncSignalsBlocked blocked;
    try {
        workers_.reserve(nthreads);
    } catch (...) {
        // The vector grows as workers start.
    }
    for (std::size_t i = 0; i < nthreads; ++i) {
        try {
            workers_.emplace_back([this, i, poll = nthreads > 1] { worker_main(i, poll); });
        } catch (...) {
            break;  // no thread, or no memory for one: keep the workers that started
        }
        name_worker(workers_.back().native_handle(), i);
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lk(m_);
        stop_ = true;
    }
    wake_.notify_all();
    const bool own_process = static_cast<int>(::getpid()) == pid_;
    for (auto& t : workers_) {
        if (own_process)
            t.join();
        else
            t.detach();  // the threads were not carried over by fork
    }
}

WorkerPool& WorkerPool::global() {
    static WorkerPool* pool = new WorkerPool(
        pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), usable_processors()));
    return *pool;
}

bool WorkerPool::on_worker_thread() { return t_on_worker; }

void WorkerPool::run(std::size_t n, IndexTask task) {
    if (n == 0) return;
    // A single task gains nothing from a hand-over; running it here saves
    // waking a worker and gives the same result.
    if (n == 1 || workers_.empty() || t_on_worker || static_cast<int>(::getpid()) != pid_) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    std::lock_guard<std::mutex> submit(submit_);
    Job job(n, task, workers_.size() < n ? workers_.size() : n);
    {
        std::lock_guard<std::mutex> lk(m_);
        job_ = &job;
        participants_ = job.threads;
        ++generation_;
    }
    wake_.notify_all();
    {
        std::unique_lock<std::mutex> lk(m_);
        done_.wait(lk, [&] { return job.finished == job.threads; });
        job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
}

void WorkerPool::worker_main(std::size_t id, bool poll) {
    t_on_worker = true;
    name_worker(pthread_self(), id);
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        if (poll) {
            lk.unlock();
            poll_for(kIdlePoll, [&] {
                return stop_.load(std::memory_order_relaxed) || generation_.load(std::memory_order_relaxed) != seen;
            });
            lk.lock();
        }
        wake_.wait(lk, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        if (id >= participants_) continue;
        Job* job = job_;
        lk.unlock();
        work(*job);
        lk.lock();
        if (++job->finished == job->threads) done_.notify_all();
    }
}

void WorkerPool::work(Job& job) {
    const std::size_t n = job.n;
    // Batches shrink with what is left, so late batches balance the load.
    const std::size_t divisor = 8 * job.threads;
    for (;;) {
        std::size_t begin = job.next.load(std::memory_order_relaxed);
        std::size_t end;
        do {
            if (begin >= n || begin > job.fail_at.load(std::memory_order_relaxed)) return;
            const std::size_t take = (n - begin) / divisor;
            end = begin + (take ? take : 1);
        } while (!job.next.compare_exchange_weak(begin, end, std::memory_order_relaxed));
        for (std::size_t i = begin; i < end; ++i) {
            if (i > job.fail_at.load(std::memory_order_relaxed)) break;
            try {
                job.task(i);
            } catch (...) {
                job.fail(i, std::current_exception());
                break;
            }
        }
    }
}

std::optional<std::size_t> parse_thread_count(const char* text) {
    if (!text) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (!*p) return std::nullopt;
    std::size_t v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const std::size_t d = static_cast<std::size_t>(*p - '0');
        if (v > (SIZE_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t default_count) {
    if (auto n = parse_thread_count(rayon_num_threads)) return *n > 0 ? *n : default_count;
    if (auto n = parse_thread_count(rayon_rs_num_cpus); n && *n > 0) return *n;
    return default_count;
}

std::size_t usable_processors() {
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return count > 0 ? static_cast<std::size_t>(count) : 1;
        }
        const int err = errno;
        CPU_FREE(set);
        if (err != EINVAL) break;
    }
    const unsigned h = std::thread::hardware_concurrency();
    return h ? h : 1;
}

}  // namespace tsl
