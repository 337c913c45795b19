#include "identity/rule_lookup_cache.hpp"

#include <algorithm>

#include "base/worker_pool.hpp"

namespace tsl {

RuleLookupCache::RuleLookupCache() : shards_(WorkerPool::global().num_threads() + 1) {}

RuleLookupCache::Shard* RuleLookupCache::shard() {
    const std::size_t slot = WorkerPool::thread_slot();
    return slot < shards_.size() ? &shards_[slot] : nullptr;
}

std::size_t RuleLookupCache::Shard::slot_of(const CircView& gathered, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = hash >> 32 << 32;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::uint64_t s = slots_[i];
        if (!s) return i;
        if ((s & ~std::uint64_t{0xFFFFFFFF}) != tag) continue;
        const Record& r = records_[(s & 0xFFFFFFFF) - 1];
        if (CircKeyEqual{}(CircView{{arena_.data() + r.offset, r.len}, r.perm}, gathered)) return i;
    }
}

const RuleLookupCache::Lookup* RuleLookupCache::Shard::find(const CircView& gathered, std::uint64_t hash) const {
    if (slots_.empty()) return nullptr;
    const std::uint64_t s = slots_[slot_of(gathered, hash)];
    return s ? &records_[(s & 0xFFFFFFFF) - 1].lookup : nullptr;
}

void RuleLookupCache::Shard::place(std::size_t index, std::uint64_t hash) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i]) i = (i + 1) & mask;
    slots_[i] = (hash >> 32 << 32) | (index + 1);
}

void RuleLookupCache::Shard::insert(const CircView& gathered, std::uint64_t hash, const Lookup& lookup) {
    if (records_.size() >= kMaxEntries) {
        arena_.clear();
        records_.clear();
        slots_.clear();
    }
    if (records_.size() * 2 >= slots_.size()) {
        // Rehash from the records: each keeps its hash in its slot tag only,
        // so the hash is computed again.
        slots_.assign(std::max<std::size_t>(1024, slots_.size() * 2), 0);
        for (std::size_t k = 0; k < records_.size(); ++k) {
            const Record& r = records_[k];
            place(k, CircFastHash{}(CircView{{arena_.data() + r.offset, r.len}, r.perm}));
        }
    }
    records_.push_back({arena_.size(), gathered.instrs.size(), gathered.perm, lookup});
    arena_.insert(arena_.end(), gathered.instrs.begin(), gathered.instrs.end());
    place(records_.size() - 1, hash);
}

}  // namespace tsl
