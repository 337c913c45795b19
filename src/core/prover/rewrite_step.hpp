// The rewrite step of the identity prover: from one identity, every identity
// obtained by replacing one connected, convex subcircuit with an equivalent
// circuit of the rule map, each justified by a rule identity (the
// replacement followed by the inverse of the replaced subcircuit's canonical
// form).
//
// Only the connected subsets of entry n of COMBINATIONS (n the identity's
// length) are visited: the wire table's search (subcircuit_split.hpp) finds
// them in independent parts, run on the process-wide pool, each splitting
// what it finds and looking it up; results come in the order of a
// sequential run over the entry: by subset, then by replacement.  Given a memo
// (step_memo.hpp), a step skips the rule lookups and identity checks that
// earlier steps of the same call have done.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <ratio>
#include <span>
#include <utility>
#include <vector>

#include "identity/circ.hpp"
#include "identity/circ_view.hpp"
#include "identity/identity_circ.hpp"
#include "identity/identity_set.hpp"
#include "prover/rule_map.hpp"

namespace tsl {

// A rewritten identity and the rule identity that justifies it.
struct TransitionPair {
    IdentityCirc rewritten;
    IdentityCirc rule;
    friend bool operator==(const TransitionPair&, const TransitionPair&) = default;
};

class StepMemo;

// A replacement c of a subcircuit whose canonical form has k instructions is
// used when len(c) + len(identity) <= k + max_size, which keeps every
// rewritten identity within max_size instructions.  For an identity of
// length L, max_size = L + additional_size gives the allowance of
// `additional_size` extra gates (sums saturate).
//
// Rewritten identities whose rule identity is in `proved`.  Panics with the
// index text for identities of 20 or more instructions.  A memo, when given,
// must only ever have been used with these rules; it only keeps what its
// owner has made room for (StepMemo::settle).
std::vector<IdentityCirc> apply_rules_within(const RuleMap& rules, const IdentitySet& proved,
                                             const IdentityCirc& id, std::uint64_t max_size,
                                             StepMemo* memo = nullptr);
// Every (rewritten identity, rule identity) pair.
std::vector<TransitionPair> transition_pairs_within(const RuleMap& rules, const IdentityCirc& id,
                                                    std::uint64_t max_size);

// The same with the allowance given as extra gates over each replaced
// subcircuit's canonical length.
std::vector<IdentityCirc> par_apply_rules(const RuleMap& rules, const IdentitySet& proved, const IdentityCirc& id,
                                          std::uint64_t additional_size);
std::vector<TransitionPair> par_transition_pairs(const RuleMap& rules, const IdentityCirc& id,
                                                 std::uint64_t additional_size);

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a + b < a ? UINT64_MAX : a + b;
}

}  // namespace tsl
