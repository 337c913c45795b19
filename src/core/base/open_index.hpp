// OpenIndex: an open-addressing table from 64-bit hashes to the indices of
// entries the caller keeps.
//
// A slot is empty or holds an entry's index beside some bits of its hash as
// a tag; `Layout` says how (PackedSlot, IndexTagSlot below).  The table has
// a power-of-two number of slots, 16 at first, doubling whenever one more
// entry would fill more than `MaxLoad` (a std::ratio) of them; a hash's run
// starts at the slot of its low bits and goes on to the next slot, wrapping
// at the end.  Hashes should be well spread already: they are used as they
// come.
//
// The entries stay with the caller, so a lookup takes a predicate on the
// index that compares the entry with what is looked up (called only when
// the tag matches), and growing takes the caller's entries again.
//
// Const members may be called from many threads at once while nobody
// changes the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ratio>
#include <vector>

namespace tsl {

// A slot in one 64-bit word: 0 when empty, else the hash's bits from
// `IndexBits` up as the tag, above the index plus one.
template <unsigned IndexBits>
struct PackedSlot {
    static_assert(IndexBits > 0 && IndexBits < 64);
    using Slot = std::uint64_t;
    using Index = std::uint64_t;
    static constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << IndexBits) - 1;
    static constexpr Index kMaxIndex = kIndexMask - 1;

    static bool empty(Slot s) { return !s; }
    static Slot make(std::uint64_t hash, Index index) { return (hash >> IndexBits) << IndexBits | (index + 1); }
    static bool tag_matches(Slot s, std::uint64_t hash) { return (s >> IndexBits) == (hash >> IndexBits); }
    static Index index(Slot s) { return (s & kIndexMask) - 1; }
};

// A slot of a 32-bit index (all ones when empty) and the hash's upper half
// as the tag.
struct IndexTagSlot {
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    struct Slot {
        std::uint32_t index = kNone;
        std::uint32_t tag = 0;
    };
    using Index = std::uint32_t;
    static constexpr Index kMaxIndex = kNone - 1;

    static bool empty(Slot s) { return s.index == kNone; }
    static Slot make(std::uint64_t hash, Index index) { return Slot{index, static_cast<std::uint32_t>(hash >> 32)}; }
    static bool tag_matches(Slot s, std::uint64_t hash) { return s.tag == static_cast<std::uint32_t>(hash >> 32); }
    static Index index(Slot s) { return s.index; }
};

// A value-initialised Layout::Slot is empty.
template <class Layout, class MaxLoad>
class OpenIndex {
    static_assert(MaxLoad::num > 0 && MaxLoad::num < MaxLoad::den);
    using Slot = typename Layout::Slot;

public:
    using Index = typename Layout::Index;
    // The largest index a slot can hold.
    static constexpr Index kMaxIndex = Layout::kMaxIndex;
    // What the lookups give for no entry: an index no slot holds.
    static constexpr Index kNone = kMaxIndex + 1;

    // Entries stored.
    std::size_t size() const { return size_; }
    // Slots allocated.
    std::size_t capacity() const { return slots_.size(); }
    std::size_t bytes() const { return slots_.size() * sizeof(Slot); }

    // The index stored under `hash` that same(index) accepts, or kNone.
    template <class Same>
    Index find(std::uint64_t hash, const Same& same) const {
        if (!mask_) return kNone;  // no slots yet
        for (std::size_t i = static_cast<std::size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            const Slot s = slots_[i];
            if (Layout::empty(s)) return kNone;
            if (Layout::tag_matches(s, hash) && same(Layout::index(s))) return Layout::index(s);
        }
    }

    // The slot of the index stored under `hash` that same(index) accepts,
    // else the empty slot that ends the hash's run.  The table must have
    // slots (make_room).
    template <class Same>
    std::size_t probe(std::uint64_t hash, const Same& same) const {
        for (std::size_t i = static_cast<std::size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            const Slot s = slots_[i];
            if (Layout::empty(s) || (Layout::tag_matches(s, hash) && same(Layout::index(s)))) return i;
        }
    }
    // What slot `slot` holds: kNone when it is empty.
    Index index_at(std::size_t slot) const {
        const Slot s = slots_[slot];
        return Layout::empty(s) ? kNone : Layout::index(s);
    }

    // Makes room for one more entry.  When it would pass the load limit, a
    // table of twice the slots is allocated and each(place) is called to
    // fill it: place(hash, index) for every entry, in the order the caller
    // chooses.  Nothing changes before the allocation succeeds.
    template <class Each>
    void make_room(Each&& each) {
        if ((size_ + 1) * kLoadDen <= slots_.size() * kLoadNum) return;
        const std::size_t cap = slots_.empty() ? 16 : slots_.size() * 2;
        std::vector<Slot> fresh(cap);
        const std::size_t mask = cap - 1;
        each([&](std::uint64_t hash, Index index) { fresh[first_empty(fresh, mask, hash)] = Layout::make(hash, index); });
        slots_.swap(fresh);
        mask_ = mask;
    }
    // The same, placing the stored indices again in the order of their
    // slots, hash_of(index) giving each one's hash.
    template <class HashOf>
    void make_room_in_slot_order(const HashOf& hash_of) {
        make_room([&](auto&& place) {
            for (const Slot s : slots_)
                if (!Layout::empty(s)) place(hash_of(Layout::index(s)), Layout::index(s));
        });
    }

    // Stores `index` (at most kMaxIndex) under `hash` in the empty slot
    // `slot` that probe gave for it, with no change to the table since.
    void fill(std::size_t slot, std::uint64_t hash, Index index) {
        slots_[slot] = Layout::make(hash, index);
        ++size_;
    }
    // Stores `index` under `hash`, in the first empty slot of the hash's run,
    // without looking for an equal entry.  Room must have been made.
    void insert_new(std::uint64_t hash, Index index) { fill(first_empty(slots_, mask_, hash), hash, index); }

private:
    static constexpr std::size_t kLoadNum = MaxLoad::num, kLoadDen = MaxLoad::den;

    static std::size_t first_empty(const std::vector<Slot>& slots, std::size_t mask, std::uint64_t hash) {
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        while (!Layout::empty(slots[i])) i = (i + 1) & mask;
        return i;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace tsl
