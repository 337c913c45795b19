#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "identity/identity_set.hpp"
#include "identity/subcircuit_reference.hpp"
#include "model/gate.hpp"
#include "prover/rewrite_step.hpp"
#include "prover/step_memo.hpp"

using namespace tsl;

namespace {

Instr32 G(Gate16 g, std::uint8_t a, std::uint8_t b = NO_QUBIT) { return Instr32(g, a, b); }
Circ C(std::vector<Instr32> v, std::uint8_t n) { return Circ::create(std::move(v), Permut32::identity(n)); }
IdentityCirc I(std::vector<Instr32> v, std::uint8_t n) { return C(std::move(v), n).rotate_representative(); }

// One class of equivalent circuits on n qubits, entered as the prover's
// build enters it: each member's canonical form maps to the other members
// carried into that form's frame.
void add_class(RuleMap& map, const std::vector<Circ>& members) {
    for (const Circ& c : members) {
        auto [key, perm] = Circ::new_no_perm(c.instrs).representative_with_perm();
        std::vector<Circ> list;
        for (const Circ& o : members)
            if (o.instrs != c.instrs) list.push_back(o.permut(perm));
        map.insert(std::move(key), std::move(list));
    }
}

RuleMap sample_rules() {
    RuleMap map;
    add_class(map, {C({}, 1), C({G(gates::H, 0), G(gates::H, 0)}, 1), C({G(gates::X, 0), G(gates::X, 0)}, 1),
                    C({G(gates::Z, 0), G(gates::Z, 0), G(gates::Z, 0), G(gates::Z, 0)}, 1)});
    add_class(map, {C({}, 2), C({G(gates::CX, 0, 1), G(gates::CX, 0, 1)}, 2)});
    add_class(map, {C({G(gates::X, 0), G(gates::CX, 0, 1)}, 2),
                    C({G(gates::CX, 0, 1), G(gates::X, 0), G(gates::X, 1)}, 2)});
    return map;
}

std::vector<std::string> texts(const std::vector<IdentityCirc>& v) {
    std::vector<std::string> out;
    for (const auto& id : v) out.push_back(id.to_string());
    return out;
}

// The step written out plainly, one split after the other.
std::vector<TransitionPair> slow_pairs(const RuleMap& rules, const IdentityCirc& id, std::uint64_t extra) {
    std::vector<TransitionPair> out;
    for (const auto& [c1, c2] : IdentitySubcircuit::par_subcircuit_splits(id)) {
        auto [rep, perm] = c1.representative_with_perm();
        const Circ rev = rep.inverse();
        const Circ rest = c2.permut(perm);
        const std::vector<Circ>* list = rules.find(rep);
        if (!list) continue;
        for (const Circ& c : *list) {
            if (c.len() > rep.len() + extra) continue;
            IdentityCirc rule = (c + rev).rotate_representative();
            out.emplace_back((c + rest).rotate_representative(), std::move(rule));
        }
    }
    return out;
}

}  // namespace

TEST_CASE(identity_set_compact_members) {
    IdentitySet s;
    const IdentityCirc a = I({G(gates::H, 0), G(gates::H, 0)}, 1);
    const IdentityCirc b = I({G(gates::X, 0), G(gates::X, 0)}, 1);
    const IdentityCirc e;
    CHECK(s.insert(a));
    CHECK(!s.insert(a));
    CHECK(s.insert(e));
    CHECK(s.insert(b));
    CHECK(s.contains(a) && s.contains(b) && s.contains(e));
    CHECK(!s.contains(IdentityCirc::from_stored(Circ::from_parts({}, Permut32::identity(1)))));
    CHECK_EQ(s.size(), std::size_t{3});
    const auto v = s.to_vector();  // insertion order
    CHECK(v.size() == 3 && v[0] == a && v[1] == e && v[2] == b);
    // Growth keeps every member.
    IdentitySet big;
    std::vector<IdentityCirc> all;
    for (int i = 0; i < 3000; ++i) {
        std::vector<Instr32> ins;
        for (int k = 0; k < 1 + i % 7; ++k) ins.push_back(G((i >> k) & 1 ? gates::X : gates::H, 0));
        all.push_back(IdentityCirc::from_stored(Circ::from_parts(ins, Permut32(static_cast<std::uint32_t>(i)))));
        big.insert(all.back());
    }
    CHECK_EQ(big.size(), std::size_t{3000});
    bool every = true;
    for (const auto& id : all) every = every && big.contains(id);
    CHECK(every);
    IdentitySet copy;
    for (std::size_t i = all.size(); i-- > 0;) copy.insert(all[i]);
    CHECK(copy == big);
}

TEST_CASE(rule_map_replaces_lists_in_place) {
    RuleMap m;
    m.insert(C({G(gates::H, 0)}, 1), {C({}, 1)});
    m.insert(C({}, 1), {});
    m.insert(C({G(gates::H, 0)}, 1), {C({G(gates::X, 0)}, 1)});
    CHECK_EQ(m.size(), std::size_t{2});
    CHECK(m.entries()[0].key == C({G(gates::H, 0)}, 1));
    CHECK(*m.find(C({G(gates::H, 0)}, 1)) == std::vector<Circ>{C({G(gates::X, 0)}, 1)});
    CHECK(m.has_key_len(0) && m.has_key_len(1) && !m.has_key_len(2));
}

// The pre-tests of the step follow lists that become empty or non-empty
// when a key is inserted again.
TEST_CASE(rule_map_pretests_follow_replaced_lists) {
    auto sig = [](const Circ& c) {
        std::uint64_t s = 0;
        for (const Instr32& in : c.instrs) s += RuleMap::gate_signature(in);
        return s;
    };
    const Circ hh = C({G(gates::H, 0), G(gates::H, 0)}, 1);
    const Circ cxcx = C({G(gates::CX, 0, 1), G(gates::CX, 0, 1)}, 2);
    RuleMap m;
    CHECK(!m.may_replace(sig(hh)));
    CHECK_EQ(m.longest_live_key(), std::size_t{0});
    m.insert(hh, {C({}, 1)});
    m.insert(cxcx, {});
    CHECK(m.may_replace(sig(hh)) && !m.may_replace(sig(cxcx)));
    CHECK_EQ(m.longest_live_key(), std::size_t{2});
    m.insert(hh, {});
    m.insert(cxcx, {C({}, 2)});
    CHECK(!m.may_replace(sig(hh)) && m.may_replace(sig(cxcx)));
    // Swap gates are folded away by the canonical forms: no weight.
    CHECK_EQ(RuleMap::gate_signature(G(gates::SWAP, 0, 1)), std::uint64_t{0});
    CHECK(*m.find_index(CircView{cxcx.instrs, cxcx.perm}) == 1 && !m.find_index(CircView{{}, Permut32(0)}));
}

// Rule identities kept beside the map give the same step as fresh ones, in a
// copy of the map too, and a replaced list does not reuse the old ones.
TEST_CASE(kept_rule_identities_match_fresh_ones) {
    RuleMap rules = sample_rules();
    // h h, then x(0) cx(0, 1) followed by the inverse of its equivalent cx(0, 1) x(0) x(1).
    const IdentityCirc id = I({G(gates::H, 0), G(gates::H, 0), G(gates::X, 0), G(gates::CX, 0, 1), G(gates::X, 1),
                               G(gates::X, 0), G(gates::CX, 0, 1)},
                              2);
    const auto first = par_transition_pairs(rules, id, 3);
    CHECK(!first.empty());
    CHECK(par_transition_pairs(rules, id, 3) == first);
    const RuleMap copy = rules;
    CHECK(par_transition_pairs(copy, id, 3) == first);
    // h h is now replaced by x x only: its rule identities change.
    const Circ hh = C({G(gates::H, 0), G(gates::H, 0)}, 1);
    rules.insert(hh, {C({G(gates::X, 0), G(gates::X, 0)}, 1)});
    RuleMap fresh = sample_rules();
    fresh.insert(hh, {C({G(gates::X, 0), G(gates::X, 0)}, 1)});
    CHECK(par_transition_pairs(rules, id, 3) == par_transition_pairs(fresh, id, 3));
}

TEST_CASE(empty_and_unmatched_identities) {
    const RuleMap rules = sample_rules();
    IdentitySet proved;
    CHECK(par_apply_rules(rules, proved, IdentityCirc(), 3).empty());
    CHECK(par_transition_pairs(rules, IdentityCirc(), 3).empty());
    // y(0) y(0): no subcircuit has a rule.
    CHECK(par_transition_pairs(rules, I({G(gates::Y, 0), G(gates::Y, 0)}, 1), 3).empty());
}

TEST_CASE(allowance_and_proved_rules) {
    const RuleMap rules = sample_rules();
    const IdentityCirc hh = I({G(gates::H, 0), G(gates::H, 0)}, 1);
    // Allowance 0: the empty circuit and x x replace h h; z z z z needs 2 more.
    auto pairs0 = par_transition_pairs(rules, hh, 0);
    CHECK(pairs0.size() == 2);
    CHECK_EQ(pairs0[0].rewritten.to_string(), std::string("Identity { (0) }"));
    CHECK_EQ(pairs0[0].rule.to_string(), std::string("Identity { h(0) h(0) (0) }"));
    CHECK_EQ(pairs0[1].rewritten.to_string(), std::string("Identity { x(0) x(0) (0) }"));
    CHECK_EQ(pairs0[1].rule.to_string(), std::string("Identity { h(0) h(0) x(0) x(0) (0) }"));
    CHECK(par_transition_pairs(rules, hh, 1).size() == 2);
    auto pairs2 = par_transition_pairs(rules, hh, 2);
    CHECK(pairs2.size() == 3);
    CHECK_EQ(pairs2[2].rewritten.to_string(), std::string("Identity { z(0) z(0) z(0) z(0) (0) }"));

    // Only rules whose rule identity is proved are applied.
    IdentitySet proved;
    CHECK(par_apply_rules(rules, proved, hh, 3).empty());
    proved.insert(pairs0[1].rule);
    CHECK(texts(par_apply_rules(rules, proved, hh, 3)) == std::vector<std::string>{"Identity { x(0) x(0) (0) }"});
    proved.insert(hh);
    CHECK(texts(par_apply_rules(rules, proved, hh, 3)) ==
          (std::vector<std::string>{"Identity { (0) }", "Identity { x(0) x(0) (0) }"}));
}

TEST_CASE(bounded_total_length) {
    // A cap below the identity's own length admits only shrinking rules:
    // len(c) + 2 <= 2 + 0.
    const RuleMap rules = sample_rules();
    const IdentityCirc hh = I({G(gates::H, 0), G(gates::H, 0)}, 1);
    auto pairs = transition_pairs_within(rules, hh, 0);
    CHECK(pairs.size() == 1);
    CHECK_EQ(pairs[0].rewritten.to_string(), std::string("Identity { (0) }"));
    // A huge allowance saturates instead of wrapping.
    CHECK(par_transition_pairs(rules, hh, UINT64_MAX).size() == 3);
}

// Swap gates, which the canonical forms fold away, count for neither the
// gates nor the length a subset is matched by.
TEST_CASE(identities_with_swap_gates_match_plain_step) {
    const RuleMap rules = sample_rules();
    // swap h(0) swap is h(1): the whole is h(1) h(1) cx cx.
    const IdentityCirc id = IdentityCirc::unchecked(C({G(gates::SWAP, 0, 1), G(gates::H, 0), G(gates::SWAP, 0, 1),
                                                       G(gates::H, 1), G(gates::CX, 0, 1), G(gates::CX, 0, 1)},
                                                      2));
    for (std::uint64_t extra : {0, 1, 3}) {
        const auto slow = slow_pairs(rules, id, extra);
        CHECK(!slow.empty());
        CHECK(par_transition_pairs(rules, id, extra) == slow);
    }
}

TEST_CASE(matches_plain_sequential_step) {
    const RuleMap rules = sample_rules();
    const IdentityCirc id = I({G(gates::H, 0), G(gates::H, 0), G(gates::CX, 0, 1), G(gates::X, 1), G(gates::X, 1),
                               G(gates::CX, 0, 1), G(gates::X, 0), G(gates::X, 0), G(gates::Z, 1), G(gates::Z, 1),
                               G(gates::Z, 1), G(gates::Z, 1)},
                              2);
    for (std::uint64_t extra : {0, 1, 3}) {
        const auto fast = par_transition_pairs(rules, id, extra);
        const auto slow = slow_pairs(rules, id, extra);
        CHECK(!slow.empty());
        CHECK(fast == slow);
        CHECK(par_transition_pairs(rules, id, extra) == fast);  // same order every run
        IdentitySet proved;
        for (const auto& p : fast) proved.insert(p.rule);
        std::vector<IdentityCirc> expect;
        for (const auto& p : fast) expect.push_back(p.rewritten);
        CHECK(par_apply_rules(rules, proved, id, extra) == expect);
        // Remembered lookups give the same rewrites, on first and later use.
        StepMemo memo;
        memo.settle();
        for (int run = 0; run < 2; ++run)
            CHECK(apply_rules_within(rules, proved, id, id.len() + extra, &memo) == expect);
    }
}

TEST_CASE(length_limits) {
    const RuleMap rules = sample_rules();
    IdentitySet proved;
    std::vector<Instr32> v19, v20;
    for (int i = 0; i < 19; ++i) v19.push_back(G(i % 2 ? gates::X : gates::H, 0));
    v20 = v19;
    v20.push_back(G(gates::H, 0));
    // Stored as given: the step reads wires, not the identity property.
    const IdentityCirc id19 = IdentityCirc::from_stored(C(v19, 1));
    CHECK(par_apply_rules(rules, proved, id19, 0).empty());
    CHECK_PANICS(par_apply_rules(rules, proved, IdentityCirc::from_stored(C(v20, 1)), 0),
                 "index out of bounds: the len is 20 but the index is 20");
    CHECK_PANICS(par_transition_pairs(RuleMap(), IdentityCirc::from_stored(C(v20, 1)), 0),
                 "index out of bounds: the len is 20 but the index is 20");
}

TEST_CASE(worker_panic_reaches_caller) {
    // A rule that is not equivalent to its key fails the identity check.
    RuleMap bad;
    bad.insert(C({G(gates::H, 0), G(gates::H, 0)}, 1), {C({G(gates::X, 0)}, 1)});
    const IdentityCirc hh = I({G(gates::H, 0), G(gates::H, 0)}, 1);
    bool panicked = false;
    try {
        par_transition_pairs(bad, hh, 3);
    } catch (const Panic& p) {
        panicked = p.message().rfind("IdentityCirc: circuit is not identity ", 0) == 0;
    }
    CHECK(panicked);
}

CHECK_MAIN()
