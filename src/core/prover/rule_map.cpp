#include "prover/rule_map.hpp"

#include <algorithm>

namespace tsl {

std::uint64_t RuleMap::signature_of(const Circ& key) {
    std::uint64_t sig = 0;
    for (const Instr32& in : key.instrs) sig += gate_signature(in);
    return sig;
}

void RuleMap::insert(Circ key, std::vector<Circ> list) {
    gates_.add_gates_of(key.instrs);
    for (const Circ& c : list) gates_.add_gates_of(c.instrs);
    std::uint32_t& live = live_[bucket(signature_of(key))];
    std::size_t& live_len = live_lens_[std::min<std::size_t>(key.len(), 63)];
    if (!list.empty()) ++live, ++live_len;
    const std::uint64_t hash = CircFastHash{}(key);
    if (const std::optional<std::size_t> i = find_index(CircView{key.instrs, key.perm}, hash)) {
        std::vector<Circ>& old = entries_[*i].replacements;
        if (!old.empty()) --live, --live_len;
        rule_ids_[*i] = RuleIdentityCache(list.size());
        old = std::move(list);
        return;
    }
    // Entries are placed again in their order.
    index_.make_room([&](auto&& place) {
        for (std::size_t i = 0; i < entries_.size(); ++i) place(hashes_[i], i);
    });
    const std::size_t len = key.len();
    key_lens_ |= std::uint64_t{1} << (len < 63 ? len : 63);
    rule_ids_.emplace_back(list.size());
    entries_.emplace_back(std::move(key), std::move(list));
    hashes_.push_back(hash);
    index_.insert_new(hash, entries_.size() - 1);
}

std::optional<std::size_t> RuleMap::find_index(const CircView& key, std::uint64_t hash) const {
    const std::size_t i = index_.find(hash, [&](std::size_t j) { return CircKeyEqual{}(entries_[j].key, key); });
    if (i == Index::kNone) return std::nullopt;
    return i;
}

const std::vector<Circ>* RuleMap::find(const CircView& key) const {
    const std::optional<std::size_t> i = find_index(key);
    return i ? &entries_[*i].replacements : nullptr;
}

bool operator==(const RuleMap& a, const RuleMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, list] : a.entries_) {
        const std::vector<Circ>* other = b.find(key);
        if (!other || *other != list) return false;
    }
    return true;
}

}  // namespace tsl
