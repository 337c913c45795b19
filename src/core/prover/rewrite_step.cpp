#include "prover/rewrite_step.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "base/panic.hpp"
#include "base/worker_pool.hpp"
#include "identity/canonical_form.hpp"
#include "identity/subcircuit_split.hpp"
#include "prover/step_memo.hpp"

namespace tsl {

namespace {

// Runs `per_split(parts, out)` for every split of a connected, convex subset
// whose gates some rule key with replacements has.  The connected subsets
// are searched in independent parts on the pool, each part splitting and
// looking up what it finds; the outputs are then put in the order of the
// subsets in COMBINATIONS, as a sequential run over its entry gives them.
template <class T, class PerSplit>
std::vector<T> for_each_split(const RuleMap& rules, const IdentityCirc& id, PerSplit&& per_split) {
    // Identities too long for the table of subsets panic with its index text.
    if (id.len() >= kSplitLimit) panic_index_oob(kSplitLimit, id.len());
    if (rules.empty()) return {};
    const WireTable table(id);
    // A subset longer than every key with replacements, swaps aside, finds
    // none.
    const std::size_t max_size =
        std::min(max_selection(id.len()),
                 rules.longest_live_key() + static_cast<std::size_t>(std::popcount(table.swap_mask())));
    const std::vector<WireTable::SearchPart> search_parts = table.search_parts(max_size);
    // The canonical form keeps the gates of a subset (swaps aside), so a
    // subset whose summed gate signature no key with replacements has is
    // skipped before it is split.
    std::array<std::uint64_t, 64> signature{};
    for (std::size_t i = 0; i < id.len(); ++i) signature[i] = RuleMap::gate_signature(id.circ.instrs[i]);

    struct Found {
        std::uint64_t mask;
        std::size_t begin, end;  // its outputs in the part's values
    };
    struct PartOutput {
        std::vector<T> values;
        std::vector<Found> found;
    };
    std::vector<PartOutput> outputs(search_parts.size());
    parallel_for(search_parts.size(), [&](std::size_t pi) {
        PartOutput& out = outputs[pi];
        SplitParts parts;
        table.search(search_parts[pi], max_size, signature.data(),
                     [&](std::uint64_t mask, std::uint64_t sig, const WireTable::PortCounts& ports) {
            if (!rules.may_replace(sig) || !table.is_convex(mask, ports) || !table.split_into(mask, parts)) return;
            const std::size_t begin = out.values.size();
            per_split(parts, out.values);
            if (out.values.size() > begin) out.found.push_back({mask, begin, out.values.size()});
        });
    });

    struct Placed {
        std::uint64_t mask;
        PartOutput* part;
        const Found* found;
    };
    std::vector<Placed> order;
    std::size_t total = 0;
    for (PartOutput& o : outputs) {
        total += o.values.size();
        for (const Found& f : o.found) order.push_back({f.mask, &o, &f});
    }
    std::sort(order.begin(), order.end(),
              [](const Placed& a, const Placed& b) { return WireTable::order_before(a.mask, b.mask); });
    std::vector<T> result;
    result.reserve(total);
    for (const Placed& p : order)
        for (std::size_t i = p.found->begin; i < p.found->end; ++i) result.push_back(std::move(p.part->values[i]));
    return result;
}

// The rule map entry of the gathered subcircuit c1 (the identity permutation
// of the identity's qubit count) and the renaming that brings c1 to the
// entry's key, its canonical form; from the memo when it holds them.
StepMemo::Lookup look_up(const RuleMap& rules, const SplitParts& parts, std::uint8_t qubits,
                         StepMemo* memo) {
    const CircView gathered{parts.gathered(), Permut32::identity(qubits)};
    const std::uint64_t hash = memo ? CircFastHash{}(gathered) : 0;
    if (memo)
        if (const std::optional<StepMemo::Lookup> known = memo->lookups.find(gathered, hash)) return *known;
    InstrBuffer<64> key;
    const CanonicalForm form = representative_with_perm_into(gathered.instrs, gathered.perm, key.data());
    const StepMemo::Lookup found{rules.find_index(CircView{{key.data(), form.len}, form.perm}), form.renaming};
    if (memo) memo->lookups.insert(gathered, hash, found);
    return found;
}

// Looks the gathered subcircuit c1 up and calls use(rule, c, c2_permuted) for
// each replacement c within the bound, `rule()` giving its rule identity; the
// relabelled rest is only built when a key matches.
template <class Use>
void for_each_replacement(const RuleMap& rules, const SplitParts& parts, Permut32 id_perm, std::size_t id_len,
                          std::uint64_t max_size, StepMemo* memo, Use&& use) {
    const StepMemo::Lookup found = look_up(rules, parts, id_perm.len(), memo);
    if (!found.entry) return;
    const std::size_t entry = *found.entry;
    const auto& [key, list] = rules.entries()[entry];
    if (list.empty()) return;
    const std::span<const Instr32> rest = parts.rest();
    const Circ c2_permuted = Circ::from_parts({rest.begin(), rest.end()}, id_perm).permut(found.renaming);
    const std::uint64_t bound = saturating_add(key.len(), max_size);
    std::optional<Circ> c1_reversed;  // the inverse of c1's canonical form, built once when needed
    IdentityCirc scratch;
    for (std::size_t j = 0; j < list.size(); ++j) {
        const Circ& c = list[j];
        if (saturating_add(c.len(), id_len) > bound) continue;
        auto rule = [&]() -> const IdentityCirc& {
            return rules.rule_identity(entry, j, scratch, [&] {
                if (!c1_reversed) c1_reversed = key.inverse();
                return (c + *c1_reversed).rotate_representative();
            });
        };
        use(rule, c, c2_permuted);
    }
}

}  // namespace

std::vector<IdentityCirc> apply_rules_within(const RuleMap& rules, const IdentitySet& proved,
                                             const IdentityCirc& id, std::uint64_t max_size,
                                             StepMemo* memo) {
    const std::size_t n = id.len();
    return for_each_split<IdentityCirc>(rules, id, [&](const SplitParts& parts, std::vector<IdentityCirc>& out) {
        for_each_replacement(rules, parts, id.circ.perm, n, max_size, memo, [&](auto&& rule, const Circ& c, const Circ& rest) {
            if (!proved.contains(rule())) return;
            if (!memo) {
                out.push_back((c + rest).rotate_representative());
                return;
            }
            // rotate_representative, with the check run only until it passes.
            out.push_back(IdentityCirc::from_stored(rotated_form(c + rest)));
            memo->checked.checked(out.back());
        });
    });
}

std::vector<TransitionPair> transition_pairs_within(const RuleMap& rules, const IdentityCirc& id,
                                                    std::uint64_t max_size) {
    const std::size_t n = id.len();
    return for_each_split<TransitionPair>(rules, id, [&](const SplitParts& parts, std::vector<TransitionPair>& out) {
        for_each_replacement(rules, parts, id.circ.perm, n, max_size, nullptr, [&](auto&& rule, const Circ& c, const Circ& rest) {
            IdentityCirc rule_id = rule();
            IdentityCirc rewritten = (c + rest).rotate_representative();
            out.emplace_back(std::move(rewritten), std::move(rule_id));
        });
    });
}

std::vector<IdentityCirc> par_apply_rules(const RuleMap& rules, const IdentitySet& proved, const IdentityCirc& id,
                                          std::uint64_t additional_size) {
    return apply_rules_within(rules, proved, id, saturating_add(id.len(), additional_size));
}

std::vector<TransitionPair> par_transition_pairs(const RuleMap& rules, const IdentityCirc& id,
                                                 std::uint64_t additional_size) {
    return transition_pairs_within(rules, id, saturating_add(id.len(), additional_size));
}

}  // namespace tsl
