// HashTable64: a map keyed by the 64-bit content hash of its keys.
//
// Each entry (K, V) is stored under the content hash of K, and the hash is the
// bucket hash itself (no second hashing).  `insert` refuses a key that differs
// from the stored one under the same hash; the lookups by hash compare no keys.
// K provides `void hash(ContentHasher&) const` and operator==.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/content_hash.hpp"
#include "base/panic.hpp"

namespace tsl {

// The key is already a good hash.
struct IdentityHash64 {
    std::size_t operator()(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h); }
};

template <class K>
std::uint64_t content_hash_of(const K& key) {
    ContentHasher h;
    key.hash(h);
    return h.finish();
}

template <class K, class V>
class HashTable64 {
public:
    using Entry = std::pair<K, V>;
    // A stored key and its changeable value.
    using EntryMut = std::pair<const K&, V&>;

    HashTable64() = default;

    // Stores (key, value) under the content hash h of key.  When an equal key
    // is already stored, both are replaced and the old value is returned; a
    // different key under h panics and leaves the table unchanged.
    std::pair<std::uint64_t, std::optional<V>> insert(K key, V value) {
        const std::uint64_t h = content_hash_of(key);
        auto it = map_.find(h);
        if (it == map_.end()) {
            map_.emplace(h, Entry(std::move(key), std::move(value)));
            return {h, std::nullopt};
        }
        if (!(it->second.first == key)) panic("Hash collision detected in HashTable64");
        std::optional<V> old(std::move(it->second.second));
        it->second.first = std::move(key);
        it->second.second = std::move(value);
        return {h, std::move(old)};
    }

    // The entry stored under h, or null.
    const Entry* address(std::uint64_t h) const {
        auto it = map_.find(h);
        return it == map_.end() ? nullptr : &it->second;
    }

    std::optional<EntryMut> address_mut(std::uint64_t h) {
        auto it = map_.find(h);
        if (it == map_.end()) return std::nullopt;
        return EntryMut(it->second.first, it->second.second);
    }

    // The entry under h; when absent, `dflt` is stored under h first, as given
    // (its key is neither hashed nor compared).  Otherwise `dflt` is dropped.
    EntryMut address_or(std::uint64_t h, Entry dflt) {
        auto it = map_.try_emplace(h, std::move(dflt)).first;
        return EntryMut(it->second.first, it->second.second);
    }
    EntryMut address_or(std::uint64_t h, K key, V value) {
        return address_or(h, Entry(std::move(key), std::move(value)));
    }

    bool contains(std::uint64_t h) const { return map_.find(h) != map_.end(); }
    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    void reserve(std::size_t n) { map_.reserve(n); }
    void clear() { map_.clear(); }

    // Entries as (hash, (K, V)), in no particular order.
    auto begin() const { return map_.begin(); }
    auto end() const { return map_.end(); }

private:
    std::unordered_map<std::uint64_t, Entry, IdentityHash64> map_;
};

}  // namespace tsl
