#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <source_location>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "failing_allocation.hpp"
#include "base/panic.hpp"
#include "base/worker_pool.hpp"

using namespace tsl;

namespace {

const std::size_t kPoolSizes[] = {0, 1, 2, 4, 7};

// The text of the exception a call throws ("" when it throws none).
template <class F>
std::string thrown_text(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// The signals blocked on the calling thread.
std::vector<int> blocked_signals() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    std::vector<int> out;
    for (int s = 1; s <= SIGRTMAX; ++s)
        if (sigismember(&mask, s) == 1) out.push_back(s);
    return out;
}

// Whether a job over `n` indices runs each of them once.
bool runs_every_index(WorkerPool& pool, std::size_t n) {
    std::vector<std::atomic<int>> hits(n);
    pool.parallel_for(n, [&](std::size_t i) { hits[i] += 1; });
    for (auto& h : hits)
        if (h.load() != 1) return false;
    return true;
}

// Runs `start` with SIGUSR1 blocked on this thread and checks that it
// leaves that mask as it found it.
template <class F>
void check_mask_kept(F&& start) {
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &old);
    const std::vector<int> before = blocked_signals();
    start();
    CHECK_EQ(blocked_signals(), before);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

// A count no system provides starts the pool's most workers, and a count
// that cannot even be reserved is no error either.
TEST_CASE(impossible_counts_give_a_working_pool) {
    const std::size_t most = std::max(WorkerPool::kMaxWorkers, usable_processors());
    for (std::size_t count : {std::size_t{99999999999}, SIZE_MAX}) {
        check_mask_kept([&] {
            WorkerPool pool(count);
            CHECK(pool.num_threads() >= 1 && pool.num_threads() <= most);
            CHECK(runs_every_index(pool, 5000));
        });
    }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// The address space this process has mapped, in bytes.
std::size_t mapped_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// What a pool asked for far more workers than fit under an address-space
// limit `extra` bytes above this process's mapped size gives, in a child
// process: 0 when every check holds, else the number of the first that failed.
int start_under_address_limit(std::size_t extra, std::size_t least_workers) {
    const std::size_t limit = mapped_bytes() + extra;
    const rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) return 1;
    WorkerPool pool(SIZE_MAX);
    if (pool.num_threads() < least_workers) return 6;
    // The workers' stacks did not take the room: the caller can still get a
    // large block, a quarter of the room there was.
    try {
        std::unique_ptr<char[]> block(new char[std::max(extra / 4, std::size_t{48} << 20)]);
    } catch (const std::bad_alloc&) {
        return 2;
    }
    // Workers that allocate until nothing is left fail with std::bad_alloc,
    // carried back to the caller.
    const std::size_t tasks = 4 * pool.num_threads();
    bool out_of_memory = false;
    try {
        pool.parallel_for(tasks, [](std::size_t) {
            std::vector<std::unique_ptr<char[]>> held;
            held.reserve(1 << 16);
            for (;;) held.emplace_back(new char[std::size_t{1} << 20]);
        });
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (...) {
        return 3;
    }
    if (!out_of_memory) return 4;
    // And the pool still runs jobs on all its workers.
    if (!runs_every_index(pool, 20000)) return 5;
    return 0;
}

}  // namespace

// Under an address-space limit, a count beyond what fits starts no more
// workers than leave room for the jobs, and a job that runs out of memory
// fails as an allocation does.  (Without the sanitizers, whose shadow memory
// does not fit under such a limit.)
TEST_CASE(an_address_space_limit_leaves_room_for_jobs) {
    struct Case {
        std::size_t mib;            // room above the mapped size
        std::size_t least_workers;  // room for a few stacks of any default size
    };
    const std::size_t two = std::min(std::size_t{2}, usable_processors());
    for (const Case c : {Case{100, 1}, Case{300, 1}, Case{1000, two}}) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(start_under_address_limit(c.mib << 20, c.least_workers));
        int status = 0;
        CHECK_EQ(::waitpid(child, &status, 0), child);
        const std::string outcome = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                                      : "signal " + std::to_string(WTERMSIG(status));
        if (outcome != "exit 0")
            check::fail(__FILE__, __LINE__, std::to_string(c.mib) + " MiB above the mapped size: " + outcome);
    }
}
#endif

// Whichever allocation fails while the pool starts, the pool runs jobs and
// the caller's signal mask is what it was.  Where the list of workers cannot
// reserve its room, it grows as they start, and every worker is kept.  A
// worker that cannot be started (no memory for its thread) counts as a thread
// the system refused: the pool keeps half of the workers that started before
// it, rounded up, and no more than the usable processors, and stops the
// others (none started: jobs run on the caller).  With at most threads - 1
// started, that is at most threads / 2.
TEST_CASE(a_failing_allocation_while_starting_keeps_every_worker_or_half_of_those_started) {
    const std::size_t threads = 4;
    bool completed = false;
    for (long k = 0; k < 100 && !completed; ++k) {
        check_mask_kept([&] {
            check::fail_allocation_after(k);
            WorkerPool pool(threads);
            completed = !check::allocation_failure_spent();
            check::stop_failing_allocations();
            CHECK(pool.num_threads() == threads ||
                  pool.num_threads() <= std::min(threads / 2, usable_processors()));
            if (completed) CHECK_EQ(pool.num_threads(), threads);
            CHECK(runs_every_index(pool, 1000));
        });
    }
    CHECK(completed);
}

TEST_CASE(panic_on_a_worker_names_the_worker) {
    WorkerPool pool(2);
    std::atomic<std::uint_least32_t> line{0};
    std::atomic<bool> ran_on_caller{false};
    const std::string caller = current_thread_name();
    try {
        pool.parallel_for(8, [&](std::size_t i) {
            if (current_thread_name() == caller) ran_on_caller = true;
            if (i == 3) {
                line = std::source_location::current().line(); panic("worker " + std::to_string(i));
            }
        });
        CHECK(!"the panic reached the caller");
    } catch (const Panic& p) {
        CHECK_EQ(p.message(), std::string("worker 3"));
        CHECK(p.thread_name() == "tsl-worker-0" || p.thread_name() == "tsl-worker-1");
        CHECK_EQ(p.report(), "thread '" + p.thread_name() + "' panicked at tests/cpp/test_worker_pool.cpp:" +
                                 std::to_string(line.load()) + ":\nworker 3\n");
    }
    CHECK(!ran_on_caller);
}

TEST_CASE(pool_size_from_environment) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;
    };
    const std::size_t d = 6;  // the default
    const Case cases[] = {
        {nullptr, nullptr, d},   {"3", nullptr, 3},      {"3", "5", 3},        {"+2", nullptr, 2},
        {"0", "5", d},           {"00", "5", d},         {"x", "5", 5},        {"", "5", 5},
        {" 2", "5", 5},          {"2 ", nullptr, d},     {"-1", "4", 4},       {"+", "4", 4},
        {"4x", nullptr, d},      {nullptr, "0", d},      {nullptr, "7", 7},    {nullptr, "-3", d},
        {"99999999999999999999999", "4", 4},             {"18446744073709551615", nullptr, SIZE_MAX},
    };
    for (const Case& c : cases) {
        if (pool_size_from_env(c.num_threads, c.rs_num_cpus, d) != c.expected)
            check::fail(__FILE__, __LINE__,
                        std::string("pool size for '") + (c.num_threads ? c.num_threads : "<unset>") + "', '" +
                            (c.rs_num_cpus ? c.rs_num_cpus : "<unset>") + "'");
    }
    CHECK(usable_processors() >= 1);
    CHECK_EQ(WorkerPool::global().num_threads(),
             pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                usable_processors()));
}

TEST_CASE(every_index_runs_once_and_results_keep_order) {
    for (std::size_t threads : kPoolSizes) {
        WorkerPool pool(threads);
        CHECK_EQ(pool.num_threads(), threads ? threads : 1);
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{1000},
                              std::size_t{100003}}) {
            std::vector<std::atomic<int>> hits(n);
            pool.parallel_for(n, [&](std::size_t i) { hits[i].fetch_add(1, std::memory_order_relaxed); });
            bool once = true;
            for (auto& h : hits) once = once && h.load() == 1;
            CHECK(once);

            const auto squares = pool.parallel_map<std::string>(n, [](std::size_t i) { return std::to_string(i * i); });
            bool ordered = squares.size() == n;
            for (std::size_t i = 0; ordered && i < n; ++i) ordered = squares[i] == std::to_string(i * i);
            CHECK(ordered);

            const auto odd = pool.parallel_map<bool>(n, [](std::size_t i) { return i % 2 == 1; });
            bool odd_ok = odd.size() == n;
            for (std::size_t i = 0; odd_ok && i < n; ++i) odd_ok = odd[i] == (i % 2 == 1);
            CHECK(odd_ok);

            const auto thirds = pool.parallel_filter_map<std::size_t>(
                n, [](std::size_t i) -> std::optional<std::size_t> {
                    if (i % 3) return std::nullopt;
                    return i;
                });
            bool filtered = thirds.size() == (n + 2) / 3;
            for (std::size_t k = 0; filtered && k < thirds.size(); ++k) filtered = thirds[k] == 3 * k;
            CHECK(filtered);
        }
    }
}

// Whatever the thread count and timing, the exception that comes back is
// the one of the lowest failing index, and every lower index has run.
TEST_CASE(the_lowest_failing_index_wins) {
    const std::size_t n = 3000;
    for (std::size_t threads : kPoolSizes) {
        WorkerPool pool(threads);
        for (int round = 0; round < 20; ++round) {
            const std::size_t low = 40 + static_cast<std::size_t>(round) * 97;
            std::vector<std::atomic<bool>> ran(n);
            const std::string text = thrown_text([&] {
                pool.parallel_for(n, [&](std::size_t i) {
                    ran[i].store(true);
                    // The low failure is slow, so higher ones fail first.
                    if (i == low) {
                        std::this_thread::sleep_for(std::chrono::microseconds(300));
                        panic("failure at " + std::to_string(i));
                    }
                    if (i > low && i % 5 == 0) panic("failure at " + std::to_string(i));
                });
            });
            CHECK_EQ(text, "failure at " + std::to_string(low));
            bool lower_ran = true;
            for (std::size_t i = 0; i < low; ++i) lower_ran = lower_ran && ran[i].load();
            CHECK(lower_ran);
        }
        // Exceptions other than panics come back as they are.
        bool runtime = false;
        try {
            pool.parallel_for(10, [](std::size_t i) {
                if (i == 3) throw std::runtime_error("plain");
            });
        } catch (const std::runtime_error& e) {
            runtime = std::string(e.what()) == "plain";
        }
        CHECK(runtime);
        // The pool is usable after a failure.
        std::atomic<std::size_t> sum{0};
        pool.parallel_for(100, [&](std::size_t i) { sum += i; });
        CHECK_EQ(sum.load(), std::size_t{4950});
    }
}

TEST_CASE(chunked_for_each_stops_after_the_failing_chunk) {
    for (std::size_t threads : kPoolSizes) {
        WorkerPool pool(threads);
        const std::size_t n = 10, chunk = 4;
        std::vector<std::atomic<bool>> ran(n);
        const std::string text = thrown_text([&] {
            pool.parallel_for_chunked(n, chunk, [&](std::size_t i) {
                ran[i].store(true);
                if (i == 5 || i == 6) panic("chunk failure " + std::to_string(i));
            });
        });
        CHECK_EQ(text, "chunk failure 5");
        for (std::size_t i = 0; i < 6; ++i) CHECK(ran[i].load());
        for (std::size_t i = 8; i < n; ++i) CHECK(!ran[i].load());

        std::vector<std::atomic<int>> hits(n);
        pool.parallel_for_chunked(n, chunk, [&](std::size_t i) { hits[i] += 1; });
        for (auto& h : hits) CHECK_EQ(h.load(), 1);
    }
}

// Work runs on the pool's own threads, which persist between jobs along with
// their thread_local state; the submitting thread only waits.
TEST_CASE(workers_are_persistent_threads) {
    for (std::size_t threads : {std::size_t{1}, std::size_t{3}}) {
        WorkerPool pool(threads);
        std::mutex m;
        std::set<std::thread::id> ids;
        std::atomic<bool> on_caller{false}, not_worker{false};
        std::atomic<long> max_count{0};
        for (int job = 0; job < 50; ++job) {
            pool.parallel_for(64, [&](std::size_t) {
                thread_local long count = 0;
                ++count;
                long seen = max_count.load();
                while (count > seen && !max_count.compare_exchange_weak(seen, count)) {
                }
                if (!WorkerPool::on_worker_thread()) not_worker = true;
                std::lock_guard<std::mutex> lk(m);
                ids.insert(std::this_thread::get_id());
            });
        }
        const auto caller = std::this_thread::get_id();
        for (const auto& id : ids) on_caller = on_caller || id == caller;
        CHECK(!on_caller.load());
        CHECK(!not_worker.load());
        CHECK(ids.size() <= threads);
        // 50 jobs of 64 items on at most 3 threads: some thread's counter
        // outlived its first job.
        CHECK(max_count.load() > 64);
        CHECK(!WorkerPool::on_worker_thread());
    }
}

TEST_CASE(idle_workers_sleep) {
    // Workers look for the next job a little while after one ends, then
    // sleep: over a quiet spell the process uses almost no processor time.
    auto process_seconds = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    };
    WorkerPool pool(3);
    std::atomic<std::size_t> ran{0};
    pool.parallel_for(30, [&](std::size_t) { ++ran; });
    CHECK_EQ(ran.load(), std::size_t{30});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double before = process_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK(process_seconds() - before < 0.1);
    // A sleeping pool still takes the next job.
    pool.parallel_for(30, [&](std::size_t) { ++ran; });
    CHECK_EQ(ran.load(), std::size_t{60});
}

TEST_CASE(nested_and_concurrent_jobs_complete) {
    WorkerPool pool(2);
    // A job started from a worker runs there, with the same outcome.
    std::vector<std::atomic<int>> hits(20 * 30);
    pool.parallel_for(20, [&](std::size_t i) {
        pool.parallel_for(30, [&](std::size_t j) { hits[i * 30 + j] += 1; });
    });
    for (auto& h : hits) CHECK_EQ(h.load(), 1);
    const std::string nested = thrown_text([&] {
        pool.parallel_for(4, [&](std::size_t) {
            pool.parallel_for(9, [](std::size_t j) {
                if (j >= 2) panic("inner " + std::to_string(j));
            });
        });
    });
    CHECK_EQ(nested, "inner 2");

    // Two threads submitting to one pool: the jobs run one after the other.
    std::atomic<std::size_t> a{0}, b{0};
    std::thread other([&] {
        for (int k = 0; k < 200; ++k) pool.parallel_for(50, [&](std::size_t i) { a += i; });
    });
    for (int k = 0; k < 200; ++k) pool.parallel_for(50, [&](std::size_t i) { b += i; });
    other.join();
    CHECK_EQ(a.load(), std::size_t{200 * 1225});
    CHECK_EQ(b.load(), std::size_t{200 * 1225});
}

CHECK_MAIN()
