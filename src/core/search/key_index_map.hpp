// An open-addressing map from 64-bit search keys to dense indices.
//
// Keys are content hashes, already uniformly spread, so a key is its own
// hash.  A slot holds the index and the key's upper half as a tag; the full
// key lives with the caller's entry and is compared through `key_of`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace tsl {

class KeyIndexMap {
public:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

    // Index stored for `key`, or kEmpty.  KeyOf(index) -> the entry's key.
    template <class KeyOf>
    std::uint32_t find(std::uint64_t key, const KeyOf& key_of) const {
        if (!cap_) return kEmpty;
        const auto tag = static_cast<std::uint32_t>(key >> 32);
        for (std::size_t i = key & mask_;; i = (i + 1) & mask_) {
            const Slot s = slots_[i];
            if (s.index == kEmpty) return kEmpty;
            if (s.tag == tag && key_of(s.index) == key) return s.index;
        }
    }

    // Stores `index` under `key`, which must not be present.
    template <class KeyOf>
    void insert_new(std::uint64_t key, std::uint32_t index, const KeyOf& key_of) {
        if ((size_ + 1) * 4 > cap_ * 3) grow(key_of);
        place(key, index);
        ++size_;
    }

    std::size_t size() const { return size_; }
    std::size_t bytes() const { return cap_ * sizeof(Slot); }

private:
    struct Slot {
        std::uint32_t index = kEmpty;
        std::uint32_t tag = 0;
    };

    void place(std::uint64_t key, std::uint32_t index) {
        std::size_t i = key & mask_;
        while (slots_[i].index != kEmpty) i = (i + 1) & mask_;
        slots_[i] = Slot{index, static_cast<std::uint32_t>(key >> 32)};
    }

    // The new array is allocated before anything changes, so a failed
    // allocation leaves the map as it was.
    template <class KeyOf>
    void grow(const KeyOf& key_of) {
        const std::size_t cap = cap_ ? cap_ * 2 : 16;
        std::unique_ptr<Slot[]> fresh = std::make_unique<Slot[]>(cap);
        std::unique_ptr<Slot[]> old = std::exchange(slots_, std::move(fresh));
        const std::size_t old_cap = std::exchange(cap_, cap);
        mask_ = cap - 1;
        for (std::size_t i = 0; i < old_cap; ++i)
            if (old[i].index != kEmpty) place(key_of(old[i].index), old[i].index);
    }

    std::unique_ptr<Slot[]> slots_;
    std::size_t cap_ = 0;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace tsl
