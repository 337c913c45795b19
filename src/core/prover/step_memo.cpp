#include "prover/step_memo.hpp"

namespace tsl {

std::optional<StepMemo::Lookup> StepMemo::LookupTable::find(const CircView& gathered, std::uint64_t hash) const {
    const std::optional<Stored> s = table_.find(gathered, hash);
    if (!s) return std::nullopt;
    return Lookup{s->entry == kNoEntry ? std::nullopt : std::optional<std::size_t>(s->entry), Permut32(s->renaming)};
}

void StepMemo::LookupTable::insert(const CircView& gathered, std::uint64_t hash, const Lookup& lookup) {
    if (lookup.entry && *lookup.entry >= kNoEntry) return;
    table_.insert(gathered, hash,
                  Stored{lookup.entry ? static_cast<std::uint32_t>(*lookup.entry) : kNoEntry, lookup.renaming.raw});
}

const IdentityCirc& StepMemo::CheckedSet::checked(const IdentityCirc& id) {
    const CircView view{id.circ.instrs, id.circ.perm};
    const std::uint64_t hash = CircFastHash{}(view);
    if (table_.find(view, hash)) return id;
    id.check();
    table_.insert(view, hash, Nothing{});
    return id;
}

}  // namespace tsl
