#include "identity/step_memo.hpp"

#include <algorithm>

#include "base/worker_pool.hpp"

namespace tsl {

StepMemo::StepMemo() : shards_(WorkerPool::global().num_threads() + 1) {}

StepMemo::Shard* StepMemo::shard() {
    const std::size_t slot = WorkerPool::thread_slot();
    return slot < shards_.size() ? &shards_[slot] : nullptr;
}

bool StepMemo::LookupTable::holds(const Slot& slot, const CircView& gathered, std::uint32_t tag) const {
    if (slot.tag != tag || slot.len != gathered.instrs.size() || slot.perm != gathered.perm.raw) return false;
    for (std::size_t i = 0; i < slot.len; ++i)
        if (!(slot.instrs[i] == gathered.instrs[i])) return false;
    return true;
}

// The slot holding the circuit, or the empty slot where it would go.
std::size_t StepMemo::LookupTable::slot_of(const CircView& gathered, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask)
        if (!slots_[i].tag || holds(slots_[i], gathered, tag)) return i;
}

std::optional<StepMemo::Lookup> StepMemo::LookupTable::find(const CircView& gathered,
                                                                    std::uint64_t hash) const {
    if (slots_.empty() || gathered.instrs.size() > kMaxLen) return std::nullopt;
    const Slot& slot = slots_[slot_of(gathered, hash)];
    if (!slot.tag) return std::nullopt;
    return Lookup{slot.entry == kNoEntry ? std::nullopt : std::optional<std::size_t>(slot.entry),
                  Permut32(slot.renaming)};
}

void StepMemo::LookupTable::insert(const CircView& gathered, std::uint64_t hash, const Lookup& lookup) {
    if (gathered.instrs.size() > kMaxLen || (lookup.entry && *lookup.entry >= kNoEntry)) return;
    if ((count_ + 1) * 2 > slots_.size()) {
        std::vector<Slot> old;
        if (slots_.size() < kMaxSlots) old.swap(slots_);
        // Growing re-places the held circuits; a full table starts over.
        const std::size_t size = old.empty() ? (slots_.empty() ? 1024 : slots_.size()) : old.size() * 2;
        slots_.assign(size, Slot{});
        count_ = 0;
        for (const Slot& s : old) {
            if (!s.tag) continue;
            const CircView held{{s.instrs, s.len}, Permut32(s.perm)};
            slots_[slot_of(held, CircFastHash{}(held))] = s;
            ++count_;
        }
    }
    Slot& slot = slots_[slot_of(gathered, hash)];
    slot.tag = tag_of(hash);
    slot.len = static_cast<std::uint32_t>(gathered.instrs.size());
    slot.perm = gathered.perm.raw;
    slot.entry = lookup.entry ? static_cast<std::uint32_t>(*lookup.entry) : kNoEntry;
    slot.renaming = lookup.renaming.raw;
    std::copy(gathered.instrs.begin(), gathered.instrs.end(), slot.instrs);
    ++count_;
}

const IdentityCirc& StepMemo::CheckedSet::checked(const IdentityCirc& id) {
    if (passed_.contains(id)) return id;
    id.check();
    if (passed_.size() >= kMaxMembers) passed_ = IdentitySet();
    passed_.insert(id);
    return id;
}

}  // namespace tsl
