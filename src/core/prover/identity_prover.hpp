// The identity prover: a rule map built from equivalence classes, the
// identities taken as assumptions, and the identities known to follow from
// them.  Adding an identity runs a bounded search through the rewrite step
// (rules whose rule identity is proved); when the search meets a proved
// identity, or a shorter one (added first), the identity is derived,
// otherwise it is assumed.  Everything the search visited is then proved.
//
// Searches keep one first-in-first-out queue per size level, created when
// first needed, and a compact visited set whose members the queues refer to
// by offset.  Sizes and allowances saturate instead of wrapping.
//
// Every search of one call (a build, or a call from Python and the searches
// it starts) shares the rewrite step's memo: the operations take it as
// `memo`, and make their own when given none.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "identity/identity_circ.hpp"
#include "identity/identity_set.hpp"
#include "prover/rewrite_step.hpp"
#include "search/ecc.hpp"

namespace tsl {

// What the search of add_identity_search found: the identities it visited,
// and whether it added an assumption.
struct AddSearchResult {
    IdentitySet visited;
    bool assumed;
};

// What a query found: none when it proved the identity, else the identity
// at which it gave up; and the identities it visited.
struct QueryResult {
    std::optional<IdentityCirc> unproved;
    IdentitySet visited;
};

class IdentityProver {
public:
    std::vector<IdentityCirc> assume;
    IdentitySet proved;
    RuleMap circ_map;
    // Whether every value above is in this process's canonical forms, which
    // follow the order in which it created its gates: true for a prover
    // built here, false for one loaded from a file that did not tell how a
    // value it holds orders two of its gates (prover/loaded_forms.hpp).  A
    // save records the gate order only where this holds.
    bool forms_follow_this_process = true;

    // Allowance and state limit of the identities added by the build.
    static constexpr std::uint64_t kBuildAdditionalSize = 3;
    static constexpr std::uint64_t kBuildCountLimit = 50000000;

    // Writes "Building identity prover from {} ECCs" and "Proving
    // Identities" to standard error, each followed by a progress bar (drawn
    // on a terminal only).
    static IdentityProver build_from_eccs(const ECCs& eccs);

    // True when an assumption was added on the identity's behalf.
    bool add_identity(const IdentityCirc& id, std::uint64_t additional_size, std::uint64_t count_limit,
                      StepMemo* memo = nullptr);
    // The search alone.  Does not test the start identity against `proved`
    // and does not record what it visited.  Gives up once it has queued
    // more than `count_limit` identities besides the start.
    AddSearchResult add_identity_search(const IdentityCirc& id, std::uint64_t additional_size,
                                        std::uint64_t count_limit, StepMemo* memo = nullptr);
    // The same walk without changing the prover; gives up once it has
    // visited more than `count_limit` identities, the start included.
    QueryResult prove_identity_with_visited(const IdentityCirc& id, std::uint64_t additional_size,
                                            std::uint64_t count_limit, StepMemo* memo = nullptr) const;
    std::optional<IdentityCirc> prove_identity(const IdentityCirc& id, std::uint64_t additional_size,
                                               std::uint64_t count_limit) const {
        return prove_identity_with_visited(id, additional_size, count_limit).unproved;
    }

    // The rewrite step on this prover's rules.
    std::vector<IdentityCirc> par_apply_rules(const IdentityCirc& id, std::uint64_t additional_size) const;
    std::vector<TransitionPair> par_transition_pairs(const IdentityCirc& id, std::uint64_t additional_size) const;

    std::vector<IdentityCirc> get_assumed() const { return assume; }

    // Field by field: assume in order, proved as a set, circ_map as a map.
    friend bool operator==(const IdentityProver& a, const IdentityProver& b) {
        return a.assume == b.assume && a.proved == b.proved && a.circ_map == b.circ_map;
    }

private:
    // Creates here the adjoints that rewrite steps on `id` and on what they
    // lead to can need (GateSet::create_adjoints): those of the rules' gates
    // and of the identity's; nothing when given a memo.  Every operation
    // that hands work to the pool calls it first.
    void create_adjoints_for(const IdentityCirc& id, const StepMemo* memo) const;
};

}  // namespace tsl
