// A table from short circuits to small values that the threads of a pool
// read and fill at once, without locks.
//
// Each slot holds one circuit of up to MaxLen instructions, its permutation
// and its value in one or two cache lines.  A slot is claimed by one
// compare-and-swap on its tag, filled, then published by storing its final
// tag; readers only look at slots whose final tag they have seen, and a slot
// is never written again while the table is in use.  So a lookup never waits
// and never sees half a value.  Two threads that insert the same circuit at
// once may both keep it: later lookups find one of the copies, and both
// carry the same value.
//
// The table never grows or empties while threads use it: an insert that
// would make it more than half full is dropped.  Between uses, with no other
// thread touching it, `settle` makes room: it grows the table (re-placing
// what it holds) while it is below its largest size, and starts it over when
// it is full at that size.  A table starts without slots; the first `settle`
// gives it its smallest size.  Longer circuits are never kept.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "identity/rewrite_step.hpp"
#include "model/instr32.hpp"

namespace tsl {

template <std::size_t MaxLen, class Value>
class CircMemoTable {
public:
    static constexpr std::size_t kMaxLen = MaxLen;

    // min_slots and max_slots are powers of two.
    CircMemoTable(std::size_t min_slots, std::size_t max_slots) : min_slots_(min_slots), max_slots_(max_slots) {}

    // The value kept for the circuit (`hash` is CircFastHash of it).
    std::optional<Value> find(const CircView& c, std::uint64_t hash) const {
        if (!slots_ || c.instrs.size() > MaxLen) return std::nullopt;
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            const std::uint32_t t = s.tag.load(std::memory_order_acquire);
            if (t == 0) return std::nullopt;
            if (t == tag && holds(s, c)) return s.value;
        }
    }

    // Keeps the value for the circuit, unless the table has no room.
    void insert(const CircView& c, std::uint64_t hash, const Value& value) {
        if (!slots_ || c.instrs.size() > MaxLen) return;
        // A slot is counted before it is claimed, so at most half the slots
        // are ever claimed and every probe meets an empty one.
        if (count_.fetch_add(1, std::memory_order_relaxed) + 1 > (mask_ + 1) / 2) {
            count_.fetch_sub(1, std::memory_order_relaxed);
            full_.store(true, std::memory_order_relaxed);
            return;
        }
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            std::uint32_t t = s.tag.load(std::memory_order_acquire);
            if (t == 0 && s.tag.compare_exchange_strong(t, kBusy, std::memory_order_acquire)) {
                fill(s, c, value);
                s.tag.store(tag, std::memory_order_release);
                return;
            }
            if (t == tag && holds(s, c)) {
                count_.fetch_sub(1, std::memory_order_relaxed);
                return;
            }
        }
    }

    // Makes room for what comes next; only while no other thread uses the
    // table.
    void settle() {
        const std::size_t slots = slots_ ? mask_ + 1 : 0;
        const std::size_t count = count_.load(std::memory_order_relaxed);
        const bool full = full_.exchange(false, std::memory_order_relaxed);
        if (slots == 0) {
            reset(min_slots_);
        } else if (slots < max_slots_ && (full || count * 4 > slots)) {
            // Room for twice what it holds; four times its size when inserts
            // were dropped.
            std::size_t size = std::min(max_slots_, slots * (full ? 4 : 2));
            while (size < max_slots_ && count * 4 > size) size *= 2;
            regrow(size);
        } else if (full) {
            reset(slots);
        }
    }

    // Circuits held (with the rare duplicate counted twice).
    std::size_t size() const { return count_.load(std::memory_order_relaxed); }
    std::size_t slots() const { return slots_ ? mask_ + 1 : 0; }

private:
    struct alignas(64) Slot {
        std::atomic<std::uint32_t> tag{0};  // 0: empty; kBusy: being filled
        std::uint32_t len = 0;
        std::uint32_t perm = 0;
        [[no_unique_address]] Value value{};
        Instr32 instrs[MaxLen];
    };
    static constexpr std::uint32_t kBusy = 2;  // final tags are odd
    static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32) | 1u; }

    static bool holds(const Slot& s, const CircView& c) {
        if (s.len != c.instrs.size() || s.perm != c.perm.raw) return false;
        for (std::size_t i = 0; i < s.len; ++i)
            if (!(s.instrs[i] == c.instrs[i])) return false;
        return true;
    }

    static void fill(Slot& s, const CircView& c, const Value& value) {
        s.len = static_cast<std::uint32_t>(c.instrs.size());
        s.perm = c.perm.raw;
        s.value = value;
        std::copy(c.instrs.begin(), c.instrs.end(), s.instrs);
    }

    void reset(std::size_t size) {
        slots_ = std::make_unique<Slot[]>(size);
        mask_ = size - 1;
        count_.store(0, std::memory_order_relaxed);
    }

    void regrow(std::size_t size) {
        std::unique_ptr<Slot[]> old = std::move(slots_);
        const std::size_t old_size = mask_ + 1;
        reset(size);
        for (std::size_t j = 0; j < old_size; ++j) {
            const Slot& s = old[j];
            if (s.tag.load(std::memory_order_relaxed) == 0) continue;
            const CircView held{{s.instrs, s.len}, Permut32(s.perm)};
            place(held, CircFastHash{}(held), s.value);
        }
    }

    // insert, for a table no other thread uses and known to have room.
    void place(const CircView& c, std::uint64_t hash, const Value& value) {
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            const std::uint32_t t = s.tag.load(std::memory_order_relaxed);
            if (t == 0) {
                fill(s, c, value);
                s.tag.store(tag_of(hash), std::memory_order_relaxed);
                count_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            if (t == tag_of(hash) && holds(s, c)) return;  // a duplicate of one placed
        }
    }

    std::size_t min_slots_, max_slots_;
    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> full_{false};
};

}  // namespace tsl
