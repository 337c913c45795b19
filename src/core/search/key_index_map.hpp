// An open-addressing map from 64-bit search keys to dense indices.
//
// Keys are content hashes, already uniformly spread, so a key is its own
// hash.  A slot holds the index and the key's upper half as a tag; the full
// key lives with the caller's entry and is compared through `key_of`.
#pragma once

#include <cstdint>
#include <ratio>

#include "base/open_index.hpp"

namespace tsl {

class KeyIndexMap {
    // At most three quarters full.
    using Slots = OpenIndex<IndexTagSlot, std::ratio<3, 4>>;

public:
    static constexpr std::uint32_t kEmpty = Slots::kNone;

    // Index stored for `key`, or kEmpty.  KeyOf(index) -> the entry's key.
    template <class KeyOf>
    std::uint32_t find(std::uint64_t key, const KeyOf& key_of) const {
        return slots_.find(key, [&](std::uint32_t i) { return key_of(i) == key; });
    }

    // Stores `index` (not kEmpty) under `key`, which must not be present.
    // A failed allocation leaves the map as it was.
    template <class KeyOf>
    void insert_new(std::uint64_t key, std::uint32_t index, const KeyOf& key_of) {
        slots_.make_room_in_slot_order(key_of);
        slots_.insert_new(key, index);
    }

    std::size_t size() const { return slots_.size(); }
    std::size_t bytes() const { return slots_.bytes(); }

private:
    Slots slots_;
};

}  // namespace tsl
