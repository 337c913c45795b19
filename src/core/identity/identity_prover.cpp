#include "identity/identity_prover.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "base/fd_output.hpp"
#include "base/progress_bar.hpp"
#include "base/worker_pool.hpp"
#include "identity/search_expander.hpp"
#include "identity/step_memo.hpp"

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
        prover.add_identity_using(id, kBuildAdditionalSize, kBuildCountLimit, memo);
        bar.inc();
    }
    bar.finish();
    return prover;
}

bool IdentityProver::add_identity(const IdentityCirc& id, std::uint64_t additional_size,
                                  std::uint64_t count_limit) {
    StepMemo memo;
    return add_identity_using(id, additional_size, count_limit, memo);
}

bool IdentityProver::add_identity_using(const IdentityCirc& id, std::uint64_t additional_size,
                                        std::uint64_t count_limit, StepMemo& memo) {
    if (id.len() == 0 || proved.contains(id)) return false;
    auto [visited, assumed] = add_identity_search_using(id, additional_size, count_limit, memo);
    proved.insert_all(visited);
    return assumed;
}

AddSearchResult IdentityProver::add_identity_search(const IdentityCirc& id, std::uint64_t additional_size,
                                                    std::uint64_t count_limit) {
    StepMemo memo;
    return add_identity_search_using(id, additional_size, count_limit, memo);
}

AddSearchResult IdentityProver::add_identity_search_using(const IdentityCirc& id, std::uint64_t additional_size,
                                                          std::uint64_t count_limit, StepMemo& memo) {
    const std::size_t min_size = id.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    IdentitySet visited;
    LevelQueues queues(min_size);
    SearchExpander expander(circ_map, proved, max_size, memo);
    std::uint64_t counter = 0;
    queues.push(min_size, visited.insert_get(id).offset);
    while (auto off = queues.pop()) {
        for (const IdentityCirc& new_id : expander.rewrites_of(*off, visited, queues)) {
            const auto [new_off, fresh] = visited.insert_get(new_id);
            if (!fresh) continue;
            if (new_id.len() < min_size) {
                const bool assumed = add_identity_using(new_id, additional_size, count_limit, memo);
                return {std::move(visited), assumed};
            }
            if (proved.contains(new_id)) return {std::move(visited), false};
            queues.push(new_id.len(), new_off);
            ++counter;
            if (counter > count_limit) {
                assume.push_back(id);
                return {std::move(visited), true};
            }
        }
    }
    assume.push_back(id);
    return {std::move(visited), true};
}

QueryResult IdentityProver::prove_identity_with_visited(const IdentityCirc& id, std::uint64_t additional_size,
                                                       std::uint64_t count_limit) const {
    StepMemo memo;
    return prove_identity_using(id, additional_size, count_limit, memo);
}

QueryResult IdentityProver::prove_identity_using(const IdentityCirc& id, std::uint64_t additional_size,
                                                std::uint64_t count_limit, StepMemo& memo) const {
    const std::size_t min_size = id.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    IdentitySet visited;
    LevelQueues queues(min_size);
    SearchExpander expander(circ_map, proved, max_size, memo);
    queues.push(min_size, visited.insert_get(id).offset);
    while (auto off = queues.pop()) {
        for (const IdentityCirc& new_id : expander.rewrites_of(*off, visited, queues)) {
            const auto [new_off, fresh] = visited.insert_get(new_id);
            if (!fresh) continue;
            if (new_id.len() < min_size) {
                // A shorter identity that is empty or already proved settles
                // the query; any other is queried in its own right.
                if (new_id.len() == 0 || proved.contains(new_id)) return {std::nullopt, std::move(visited)};
                auto [result, inner] = prove_identity_using(new_id, additional_size, count_limit, memo);
                visited.insert_all(inner);
                return {std::move(result), std::move(visited)};
            }
            if (proved.contains(new_id)) return {std::nullopt, std::move(visited)};
            queues.push(new_id.len(), new_off);
            if (visited.size() > count_limit) return {id, std::move(visited)};
        }
    }
    return {id, std::move(visited)};
}

}  // namespace tsl
