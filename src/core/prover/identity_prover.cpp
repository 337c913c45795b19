#include "prover/identity_prover.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "base/fd_output.hpp"
#include "base/progress_bar.hpp"
#include "base/worker_pool.hpp"
#include "prover/search_expander.hpp"
#include "prover/step_memo.hpp"

namespace tsl {

namespace {

// What one class adds to a new prover: a rule map entry per member (its
// canonical form and the other members in that form's frame) and the
// identities that relate each further member to the first.
struct ClassRules {
    std::vector<RuleMap::Entry> entries;
    std::vector<IdentityCirc> identities;
};

ClassRules rules_of_class(const ECC& source) {
    ClassRules out;
    const ECC ecc = source.simplify_permute();
    for (const EccCircuit& member : ecc.circs) {
        auto [key, perm] = Circ::new_no_perm(member.instrs).representative_with_perm();
        const Permut32 p_inv = member.perm.inv();
        std::vector<Circ> list;
        for (const EccCircuit& other : ecc.circs) {
            if (other.instrs == member.instrs) continue;
            list.push_back(Circ::create(other.instrs, p_inv * other.perm).permut(perm));
        }
        out.entries.emplace_back(std::move(key), std::move(list));
    }
    const Circ initial = Circ::create(ecc.circs[0].instrs, ecc.circs[0].perm).inverse();
    for (std::size_t j = 1; j < ecc.circs.size(); ++j)
        out.identities.push_back(
            (initial + Circ::create(ecc.circs[j].instrs, ecc.circs[j].perm)).rotate_representative());
    return out;
}

}  // namespace

IdentityProver IdentityProver::build_from_eccs(const ECCs& eccs) {
    IdentityProver prover;
    write_stderr_text("Building identity prover from " + std::to_string(eccs.eccs.size()) + " ECCs\n");
    // Identities are made of the classes' gates and their adjoints, and so
    // is everything the rewrite steps on them produce.
    GateSet gates;
    for (const ECC& ecc : eccs.eccs)
        for (const EccCircuit& member : ecc.circs) gates.add_gates_of(member.instrs);
    gates.create_adjoints();
    std::vector<IdentityCirc> identities;
    {
        // The classes are worked on the pool, then entered in their order.  A
        // class that failed there is worked again here, so that its panic
        // is raised (and reported) on this thread, after the classes before
        // it, as when every class is worked here.
        const std::size_t n = eccs.eccs.size();
        std::vector<std::optional<ClassRules>> worked(n);
        parallel_for(n, [&](std::size_t i) {
            try {
                worked[i] = rules_of_class(eccs.eccs[i]);
            } catch (...) {
            }
        });
        ProgressBar bar(n);
        for (std::size_t i = 0; i < n; ++i) {
            ClassRules rules = worked[i] ? std::move(*worked[i]) : rules_of_class(eccs.eccs[i]);
            worked[i].reset();
            for (RuleMap::Entry& e : rules.entries) prover.circ_map.insert(std::move(e.key), std::move(e.replacements));
            for (IdentityCirc& id : rules.identities) identities.push_back(std::move(id));
            bar.inc();
        }
        bar.finish();
    }
    std::sort(identities.begin(), identities.end());
    identities.erase(std::unique(identities.begin(), identities.end()), identities.end());

    write_stderr_text("Proving Identities\n");
    ProgressBar bar(identities.size());
    StepMemo memo;
    for (const IdentityCirc& id : identities) {
        prover.add_identity(id, kBuildAdditionalSize, kBuildCountLimit, &memo);
        bar.inc();
    }
    bar.finish();
    return prover;
}

namespace {

// How a search ended: at a proved identity, at one shorter than its start,
// or without either (over its limit, or with its queues exhausted).
enum class SearchEnd { kProved, kShorter, kGaveUp };

struct Searched {
    IdentitySet visited;
    SearchEnd end = SearchEnd::kGaveUp;
    IdentityCirc shorter;  // kShorter: the shorter identity met
};

// The search both operations run: from `id` through the rewrite step (rules
// whose rule identity is in `proved`), the lowest size level first, up to
// `additional_size` gates longer than `id`.  It stops at the first identity
// it meets that is shorter than `id` or proved, and gives up when its queues
// run out or when, right after it queues an identity, the identities it
// visited, less `uncounted` of them, outnumber `count_limit`.
Searched search(const RuleMap& rules, const IdentitySet& proved, const IdentityCirc& id,
                std::uint64_t additional_size, std::uint64_t count_limit, std::size_t uncounted, StepMemo& memo) {
    const std::size_t min_size = id.len();
    Searched s;
    LevelQueues queues(min_size);
    SearchExpander expander(rules, proved, saturating_add(min_size, additional_size), memo);
    queues.push(min_size, s.visited.insert_get(id).offset);
    while (const std::optional<IdentitySet::Offset> off = queues.pop()) {
        for (IdentityCirc& new_id : expander.rewrites_of(*off, s.visited, queues)) {
            const auto [new_off, added] = s.visited.insert_get(new_id);
            if (!added) continue;
            if (new_id.len() < min_size) {
                s.end = SearchEnd::kShorter;
                s.shorter = std::move(new_id);
                return s;
            }
            if (proved.contains(new_id)) {
                s.end = SearchEnd::kProved;
                return s;
            }
            queues.push(new_id.len(), new_off);
            if (s.visited.size() - uncounted > count_limit) return s;
        }
    }
    return s;
}

}  // namespace

void IdentityProver::create_adjoints_for(const IdentityCirc& id, const StepMemo* memo) const {
    // A memo comes from a call that has created them already: a build, or
    // the search that met `id`.
    if (memo) return;
    GateSet gates = circ_map.gates();
    gates.add_gates_of(id.circ.instrs);
    gates.create_adjoints();
}

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& id,
                                                          std::uint64_t additional_size) const {
    create_adjoints_for(id, nullptr);
    return tsl::par_apply_rules(circ_map, proved, id, additional_size);
}

std::vector<TransitionPair> IdentityProver::par_transition_pairs(const IdentityCirc& id,
                                                                 std::uint64_t additional_size) const {
    create_adjoints_for(id, nullptr);
    return tsl::par_transition_pairs(circ_map, id, additional_size);
}

bool IdentityProver::add_identity(const IdentityCirc& id, std::uint64_t additional_size,
                                  std::uint64_t count_limit, StepMemo* memo) {
    if (id.len() == 0 || proved.contains(id)) return false;
    AddSearchResult r = add_identity_search(id, additional_size, count_limit, memo);
    proved.insert_all(r.visited);
    return r.assumed;
}

AddSearchResult IdentityProver::add_identity_search(const IdentityCirc& id, std::uint64_t additional_size,
                                                    std::uint64_t count_limit, StepMemo* memo) {
    create_adjoints_for(id, memo);
    std::optional<StepMemo> own;
    StepMemo& m = memo ? *memo : own.emplace();
    // Every identity the search queued counts, the start aside.
    Searched s = search(circ_map, proved, id, additional_size, count_limit, 1, m);
    if (s.end == SearchEnd::kProved) return {std::move(s.visited), false};
    if (s.end == SearchEnd::kShorter) {
        // The shorter identity is added first; this one follows from it.
        const bool assumed = add_identity(s.shorter, additional_size, count_limit, &m);
        return {std::move(s.visited), assumed};
    }
    assume.push_back(id);
    return {std::move(s.visited), true};
}

QueryResult IdentityProver::prove_identity_with_visited(const IdentityCirc& id, std::uint64_t additional_size,
                                                       std::uint64_t count_limit, StepMemo* memo) const {
    create_adjoints_for(id, memo);
    std::optional<StepMemo> own;
    StepMemo& m = memo ? *memo : own.emplace();
    // Every identity the search visited counts, the start included.
    Searched s = search(circ_map, proved, id, additional_size, count_limit, 0, m);
    if (s.end == SearchEnd::kProved) return {std::nullopt, std::move(s.visited)};
    if (s.end == SearchEnd::kShorter) {
        // A shorter identity that is empty or already proved settles the
        // query; any other is queried in its own right.
        if (s.shorter.len() == 0 || proved.contains(s.shorter)) return {std::nullopt, std::move(s.visited)};
        QueryResult inner = prove_identity_with_visited(s.shorter, additional_size, count_limit, &m);
        s.visited.insert_all(inner.visited);
        return {std::move(inner.unproved), std::move(s.visited)};
    }
    return {id, std::move(s.visited)};
}

}  // namespace tsl
