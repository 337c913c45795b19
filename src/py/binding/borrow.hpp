// Borrow flags of module objects: free, shared by a count of readers, or
// exclusively held by one writer.  Guards give the borrow back on every exit.
#pragma once

#include <atomic>
#include <utility>

#include "binding/errors.hpp"

namespace tpy {

class BorrowFlag {
public:
    void acquire_shared() {
        int v = state_.load(std::memory_order_relaxed);
        do {
            if (v < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!state_.compare_exchange_weak(v, v + 1, std::memory_order_acquire));
    }
    void acquire_exclusive() {
        int expected = 0;
        if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire))
            raise(PyExc_RuntimeError, "Already borrowed");
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

private:
    std::atomic<int> state_{0};
};

template <bool Exclusive>
class BorrowGuard {
public:
    BorrowGuard() = default;
    explicit BorrowGuard(BorrowFlag* f) : flag_(f) {
        if (!flag_) return;
        if constexpr (Exclusive)
            flag_->acquire_exclusive();
        else
            flag_->acquire_shared();
    }
    BorrowGuard(BorrowGuard&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
    BorrowGuard& operator=(BorrowGuard&&) = delete;
    ~BorrowGuard() {
        if (!flag_) return;
        if constexpr (Exclusive)
            flag_->release_exclusive();
        else
            flag_->release_shared();
    }

private:
    BorrowFlag* flag_ = nullptr;
};

}  // namespace tpy
