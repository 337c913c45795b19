#include "base/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <exception>

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

// Room the pool keeps free while it starts, so that the start cannot leave
// the process without memory.  Workers start until the count is reached or
// the system refuses a thread, and under an address-space limit (RLIMIT_AS,
// or the commit limit of strict overcommit) the stacks of the last ones can
// take all that is left.  What a thread needs after that does not always fail
// cleanly: glibc allocates a thread's block of a loaded library's
// thread_local storage (this library's, and the C++ runtime's, which holds
// the exception-handling state every throw uses) at the thread's first access
// to it, and ends the process ("cannot allocate memory for thread-local data:
// ABORT", exit status 127) when it cannot.  There is no call that asks for
// that block and hears "no", so a worker that cannot get it cannot be found
// and stopped; instead the pool makes sure the room is there.  It holds
// kSetupRoom + kJobRoom while it starts workers; gives back kSetupRoom before
// the workers it keeps touch their thread-local storage (a few KiB each with
// their first allocations); and gives back kJobRoom once they all have, so
// that the jobs find that much free even where every worker's first
// allocation made it a malloc arena (64 MiB of address space each in glibc).
// After that a worker's allocations fail as allocations do, with
// std::bad_alloc, and its throws need no new memory.
constexpr std::size_t kSetupRoom = std::size_t{16} << 20;
constexpr std::size_t kJobRoom = std::size_t{64} << 20;

// Address space held for later: a private writable mapping, so it counts
// against a commit limit as well as against RLIMIT_AS, never touched, so it
// costs no memory.
class AddressReserve {
public:
    explicit AddressReserve(std::size_t bytes) noexcept
        : size_(bytes), p_(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
        if (p_ == MAP_FAILED) size_ = 0;
    }
    ~AddressReserve() { release(size_); }
    AddressReserve(const AddressReserve&) = delete;
    AddressReserve& operator=(const AddressReserve&) = delete;

    bool held() const { return size_ > 0; }
    // Gives back the first `bytes` (a multiple of the page size) of what is held.
    void release(std::size_t bytes) noexcept {
        bytes = std::min(bytes, size_);
        if (bytes == 0) return;
        ::munmap(p_, bytes);
        p_ = static_cast<char*>(p_) + bytes;
        size_ -= bytes;
    }

private:
    std::size_t size_;
    void* p_;
};

// Makes the calling thread's thread-local storage exist: this library's
// block, and the C++ runtime's, which a throw would otherwise allocate at
// the moment an allocation has just failed.  (The runtime call is pure: the
// volatile stores keep the compiler from dropping the accesses.)
void allocate_thread_locals() noexcept {
    volatile bool worker = t_on_worker;
    volatile int in_flight = std::uncaught_exceptions();
    static_cast<void>(worker);
    static_cast<void>(in_flight);
}

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
    if (nthreads == 0) return;
    allocate_thread_locals();  // the caller's, while there is room for them
    // Without even the reserve the process is at the end of its memory:
    // every job runs on the caller.
    AddressReserve reserve(kSetupRoom + kJobRoom);
    if (!reserve.held()) return;
    bool refused = false;
    {
        // Workers take no asynchronous signals (a thread starts with the mask
        // of the one that starts it): those go to the threads that wait for
        // them, such as the interpreter's main thread.
        const AsyncSignalsBlocked blocked;
        try {
            workers_.reserve(nthreads);
        } catch (...) {
            // The vector grows as workers start.
        }
        for (std::size_t i = 0; i < nthreads; ++i) {
            try {
                workers_.emplace_back([this, i] { worker_main(i); });
            } catch (...) {
                refused = true;  // no thread, or no memory for one
                break;
            }
            name_worker(workers_.back().native_handle(), i);
        }
    }
    // When the system refused a thread, the workers that started may have
    // taken all the room there was, and the jobs need room in proportion to
    // the workers that run them.  The pool keeps half of them (rounded up),
    // and no more than the usable processors, and stops the others, which end
    // before they touch their thread-local storage, so that their stacks go
    // back.  (glibc keeps the stacks of ended threads mapped for reuse up to
    // about 40 MiB: the reserve is what covers the case where that is all the
    // stopped workers give back.)  The bound by the processors is for glibc's
    // malloc: a thread's first allocation gives it an arena of its own, 64 MiB
    // of address space, while there are fewer than 8 per processor.  Where
    // there is no room for one, the thread gets none and each of its
    // allocations tries again, mapping 64 MiB for a moment each time (so that
    // an allocation on another thread can fail for want of room that is free
    // a moment later) before it maps the block on its own.  The fewer such
    // threads there are, the less that costs; a pool of as many workers as
    // processors is the one the process gets without a count.
    const std::size_t keep =
        refused ? std::min((workers_.size() + 1) / 2, usable_processors()) : workers_.size();
    set_start_phase(StartPhase::kept_known, keep);
    for (std::size_t i = keep; i < workers_.size(); ++i) workers_[i].join();
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(keep), workers_.end());
    reserve.release(kSetupRoom);
    set_start_phase(StartPhase::set_up, keep);
    {
        std::unique_lock<std::mutex> lk(m_);
        done_.wait(lk, [&] { return ready_ == admitted_; });
    }
    // reserve's destructor gives back kJobRoom.
}

void WorkerPool::set_start_phase(StartPhase phase, std::size_t keep) {
    {
        std::lock_guard<std::mutex> lk(m_);
        admitted_ = keep;
        start_phase_ = phase;
    }
    wake_.notify_all();
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

void WorkerPool::worker_main(std::size_t id) {
    {
        std::unique_lock<std::mutex> lk(m_);
        wake_.wait(lk, [&] { return start_phase_ != StartPhase::starting; });
        if (id >= admitted_) return;  // stopped before it touched its thread-local storage
        wake_.wait(lk, [&] { return start_phase_ == StartPhase::set_up; });
    }
    allocate_thread_locals();
    t_on_worker = true;
    name_worker(pthread_self(), id);
    // A lone worker need not look for jobs before it sleeps (see kIdlePoll).
    const bool poll = admitted_ > 1;
    {
        std::lock_guard<std::mutex> lk(m_);
        if (++ready_ == admitted_) done_.notify_all();
    }
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
