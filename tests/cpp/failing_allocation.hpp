// Allocation failures on demand: this header replaces the global allocation
// functions of the program that includes it (include it in one file of the
// program only), so that the k-th allocation of the current thread after
// fail_allocation_after(k) throws std::bad_alloc.
#pragma once

#include <cstdlib>
#include <new>

namespace check {

// Allocations left on this thread before one fails; negative: none fails.
inline thread_local long t_allocations_left = -1;

inline void fail_allocation_after(long k) { t_allocations_left = k; }
inline void stop_failing_allocations() { t_allocations_left = -1; }
// Whether the armed failure has happened (or none was armed).
inline bool allocation_failure_spent() { return t_allocations_left < 0; }

inline void* allocate(std::size_t n) {
    if (t_allocations_left == 0) {
        t_allocations_left = -1;
        throw std::bad_alloc();
    }
    if (t_allocations_left > 0) --t_allocations_left;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

// Runs `op` with its k-th allocation failing, k = 0, 1, ..., calling
// `after_failure` after each attempt that failed, until `op` completes.
// Returns the number of failed attempts.
template <class Op, class Check>
int with_each_allocation_failing(Op&& op, Check&& after_failure) {
    for (long k = 0;; ++k) {
        fail_allocation_after(k);
        try {
            op();
        } catch (const std::bad_alloc&) {
            stop_failing_allocations();
            after_failure();
            continue;
        }
        stop_failing_allocations();
        return static_cast<int>(k);
    }
}

}  // namespace check

// Every form of the replaceable allocation functions goes through malloc and
// free, so the sanitizers' own allocator never sees half of a pair.
void* operator new(std::size_t n) { return check::allocate(n); }
void* operator new[](std::size_t n) { return check::allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
