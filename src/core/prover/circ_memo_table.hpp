// A table from short circuits to small values that the threads of a pool
// read and fill at once, without locks.
//
// Each slot holds one circuit of up to MaxLen instructions, its permutation
// and its value, in one cache line where they fit.  A slot is claimed by one
// compare-and-swap on its tag, filled, then published by storing its final
// tag; readers only look at slots whose final tag they have seen, and a slot
// is never written again while the table is in use.  So a lookup never waits
// and never sees half a value.  Two threads that insert the same circuit at
// once may both keep it: later lookups find one of the copies, and both
// carry the same value.
//
// The table never grows or empties while threads use it: an insert that
// would make it more than half full is dropped.  Between uses, with no other
// thread touching it, `settle` makes room: past three eighths full it grows
// the table while it is below its largest size, re-placing what it holds on
// the pool, and it starts the table over when it is full at that size.  New
// slots come from the system as zeroed pages, each backed by a first write
// on the pool before the table uses it.  A table starts without slots; the
// first `settle` gives it its smallest size.  Longer circuits are never
// kept, and a table whose memory the system refuses keeps nothing until the
// next settle.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <type_traits>

#include "base/worker_pool.hpp"
#include "identity/circ_view.hpp"
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
        for (std::size_t i = hash & (slot_count_ - 1);; i = (i + 1) & (slot_count_ - 1)) {
            const Slot& s = slots_[i];
            const std::uint32_t t = tag_ref(s).load(std::memory_order_acquire);
            if (t == 0) return std::nullopt;
            if (t == tag && CircKeyEqual{}(held(s), c)) return s.value;
        }
    }

    // Keeps the value for the circuit, unless the table has no room.
    void insert(const CircView& c, std::uint64_t hash, const Value& value) {
        if (!slots_ || c.instrs.size() > MaxLen) return;
        // A slot is counted before it is claimed, so at most half the slots
        // are ever claimed and every probe meets an empty one.
        if (count_.fetch_add(1, std::memory_order_relaxed) + 1 > slot_count_ / 2) {
            count_.fetch_sub(1, std::memory_order_relaxed);
            full_.store(true, std::memory_order_relaxed);
            return;
        }
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t i = hash & (slot_count_ - 1);; i = (i + 1) & (slot_count_ - 1)) {
            Slot& s = slots_[i];
            std::uint32_t t = tag_ref(s).load(std::memory_order_acquire);
            if (t == 0 && tag_ref(s).compare_exchange_strong(t, kBusy, std::memory_order_acquire)) {
                s.len = static_cast<std::uint32_t>(c.instrs.size());
                s.perm = c.perm.raw;
                s.value = value;
                for (std::size_t k = 0; k < c.instrs.size(); ++k) s.instrs[k] = c.instrs[k];
                tag_ref(s).store(tag, std::memory_order_release);
                return;
            }
            if (t == tag && CircKeyEqual{}(held(s), c)) {
                count_.fetch_sub(1, std::memory_order_relaxed);
                return;
            }
        }
    }

    // Makes room for what comes next; only while no other thread uses the
    // table.
    void settle() {
        const std::size_t count = count_.load(std::memory_order_relaxed);
        const bool full = full_.exchange(false, std::memory_order_relaxed);
        if (!slots_) {
            allocate(slot_count_ ? slot_count_ : min_slots_);
        } else if (slot_count_ < max_slots_ && (full || count * 8 > slot_count_ * 3)) {
            // Twice the size (four times when inserts were dropped), and more
            // while that is still past three eighths full.
            std::size_t size = std::min(max_slots_, slot_count_ * (full ? 4 : 2));
            while (size < max_slots_ && count * 8 > size * 3) size *= 2;
            regrow(size);
        } else if (full) {
            allocate(slot_count_);
        }
    }

private:
    // One cache line where the slot fits in it, else a multiple of half a
    // line.  Plain data: zeroed memory holds empty slots.
    static constexpr std::size_t kSlotAlign = 12 + sizeof(Value) + 4 * MaxLen <= 64 ? 64 : 32;
    struct alignas(kSlotAlign) Slot {
        std::uint32_t tag;  // 0: empty; kBusy: being filled; read and written atomically
        std::uint32_t len;
        std::uint32_t perm;
        [[no_unique_address]] Value value;
        Instr32 instrs[MaxLen];
    };
    static_assert(std::is_trivially_copyable_v<Slot> && std::is_trivially_destructible_v<Slot>);
    static constexpr std::uint32_t kBusy = 2;  // final tags are odd
    static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32) | 1u; }
    static std::atomic_ref<std::uint32_t> tag_ref(const Slot& s) {
        return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(s.tag));
    }

    // The circuit a published slot holds.
    static CircView held(const Slot& s) { return {{s.instrs, s.len}, Permut32(s.perm)}; }

    struct Free {
        void operator()(void* p) const { std::free(p); }
    };

    // A fresh table of `size` empty slots (none if the system refuses).
    void allocate(std::size_t size) {
        block_.reset();
        slots_ = nullptr;
        slot_count_ = size;
        count_.store(0, std::memory_order_relaxed);
        // calloc hands large blocks over as fresh zeroed pages, without
        // writing them.  Zero bytes are empty slots.
        const std::size_t bytes = size * sizeof(Slot) + alignof(Slot);
        void* block = std::calloc(bytes, 1);
        if (!block) return;
        block_.reset(block);
        write_each_page(static_cast<unsigned char*>(block), bytes);
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(block);
        slots_ = reinterpret_cast<Slot*>((at + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot));
    }

    // Backs every page of a zeroed block by writing a zero to it, spread
    // over the pool.  A page whose first touch is a read maps the shared
    // zero page, and the first write to it then has to replace that mapping
    // and flush it from every processor the process runs on.
    static void write_each_page(unsigned char* block, std::size_t bytes) {
        constexpr std::uintptr_t kPage = 4096;
        constexpr std::size_t kPagesPerTask = 64;
        const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(block);
        const std::uintptr_t first_page = begin / kPage, pages = (begin + bytes - 1) / kPage - first_page + 1;
        parallel_for((pages + kPagesPerTask - 1) / kPagesPerTask, [&](std::size_t task) {
            const std::size_t end = std::min<std::size_t>(pages, (task + 1) * kPagesPerTask);
            for (std::size_t page = task * kPagesPerTask; page < end; ++page) {
                const std::uintptr_t at = std::max(begin, (first_page + page) * kPage);
                *static_cast<volatile unsigned char*>(block + (at - begin)) = 0;
            }
        });
    }

    void regrow(std::size_t size) {
        const std::unique_ptr<void, Free> old_block = std::move(block_);
        const Slot* old = slots_;
        const std::size_t old_size = slot_count_;
        allocate(size);
        if (!slots_) return;
        constexpr std::size_t kChunk = 4096;
        parallel_for((old_size + kChunk - 1) / kChunk, [&](std::size_t chunk) {
            const std::size_t end = std::min(old_size, (chunk + 1) * kChunk);
            for (std::size_t j = chunk * kChunk; j < end; ++j) {
                const Slot& s = old[j];
                if (s.tag == 0) continue;
                insert(held(s), CircFastHash{}(held(s)), s.value);
            }
        });
    }

    std::size_t min_slots_, max_slots_;
    std::size_t slot_count_ = 0;
    std::unique_ptr<void, Free> block_;
    Slot* slots_ = nullptr;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> full_{false};
};

}  // namespace tsl
