// IdentitySet: a compact set of identity circuits.
//
// Members are stored back to back in one arena of 32-bit words (the
// instruction count, the raw permutation word, then the instructions), and
// an open-addressing table holds their arena offsets with a few bits of their
// hash.  A member costs (2 + length) * 4 bytes plus one table slot, and no
// allocation of its own.  Iteration follows insertion order, so everything
// derived from a set depends only on what was inserted and in which order.
//
// Const members may be called from many threads at once while nobody
// inserts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ratio>
#include <vector>

#include "base/open_index.hpp"
#include "identity/identity_circ.hpp"

namespace tsl {

class IdentitySet {
public:
    using Offset = std::uint64_t;
    // Where a member is stored, and whether the insertion added it.
    struct Inserted {
        Offset offset;
        bool added;
    };

    IdentitySet() = default;

    std::size_t size() const { return index_.size(); }
    bool empty() const { return index_.size() == 0; }

    // Inserts a copy; false when an equal identity is present.
    bool insert(const IdentityCirc& id) { return insert_get(id).added; }
    Inserted insert_get(const IdentityCirc& id);
    bool contains(const IdentityCirc& id) const;
    void insert_all(const IdentitySet& other);

    // The member stored at `off` (an offset from insert_get or for_each).
    IdentityCirc at(Offset off) const;
    std::size_t len_at(Offset off) const { return arena_[off]; }

    // fn(offset) for every member, in insertion order.
    template <class F>
    void for_each_offset(F&& fn) const {
        for (Offset off = 0; off < arena_.size(); off += 2 + arena_[off]) fn(off);
    }
    template <class F>
    void for_each(F&& fn) const {
        for_each_offset([&](Offset off) { fn(at(off)); });
    }
    std::vector<IdentityCirc> to_vector() const;

    // Same members, whatever the insertion order.
    friend bool operator==(const IdentitySet& a, const IdentitySet& b);

private:
    // A member as its stored words: count, permutation, instructions.
    struct Record {
        std::uint32_t count;
        std::uint32_t perm;
        const void* instrs;  // count 4-byte instructions
    };
    static Record record_of(const Circ& c);
    Record record_at(Offset off) const;
    static std::uint64_t hash_of(const Record& r);
    bool same(Offset off, const Record& r) const;
    Inserted insert_record(const Record& r);

    std::vector<std::uint32_t> arena_;
    // The members' offsets under their hashes, at most three quarters full.
    using Index = OpenIndex<PackedSlot<40>, std::ratio<3, 4>>;
    Index index_;
};

}  // namespace tsl
