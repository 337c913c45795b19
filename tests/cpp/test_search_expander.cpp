#include <cstdint>
#include <vector>

#include "check.hpp"
#include "identity/identity_set.hpp"
#include "model/gate.hpp"
#include "prover/rewrite_step.hpp"
#include "prover/search_expander.hpp"
#include "prover/step_memo.hpp"

using namespace tsl;

namespace {

Instr32 G(Gate16 g, std::uint8_t a, std::uint8_t b = NO_QUBIT) { return Instr32(g, a, b); }
Circ C(std::vector<Instr32> v, std::uint8_t n) { return Circ::create(std::move(v), Permut32::identity(n)); }
IdentityCirc I(std::vector<Instr32> v, std::uint8_t n) { return C(std::move(v), n).rotate_representative(); }

// h h = x x = (empty) on one qubit, cx cx = (empty) on two; every rule
// identity proved.
struct Fixture {
    RuleMap rules;
    IdentitySet proved;

    Fixture() {
        const Circ hh = C({G(gates::H, 0), G(gates::H, 0)}, 1), xx = C({G(gates::X, 0), G(gates::X, 0)}, 1);
        rules.insert(hh.representative(), {C({}, 1), xx});
        rules.insert(xx.representative(), {C({}, 1), hh});
        rules.insert(C({G(gates::CX, 0, 1), G(gates::CX, 0, 1)}, 2).representative(), {C({}, 2)});
        for (const auto& [key, list] : rules.entries())
            for (const Circ& c : list) proved.insert((c + key.inverse()).rotate_representative());
    }
};

std::vector<IdentityCirc> sample_identities() {
    return {
        I({G(gates::H, 0), G(gates::H, 0), G(gates::X, 1), G(gates::X, 1)}, 2),
        I({G(gates::H, 0), G(gates::H, 0), G(gates::CX, 0, 1), G(gates::CX, 0, 1)}, 2),
        I({G(gates::X, 0), G(gates::X, 0), G(gates::X, 1), G(gates::X, 1)}, 2),
        I({G(gates::CX, 0, 1), G(gates::H, 1), G(gates::H, 1), G(gates::CX, 0, 1)}, 2),
        I({G(gates::CX, 1, 0), G(gates::X, 0), G(gates::X, 0), G(gates::CX, 1, 0)}, 2),
    };
}

// The step's rewrites with those already visited left out.
std::vector<IdentityCirc> unvisited(const std::vector<IdentityCirc>& v, const IdentitySet& visited) {
    std::vector<IdentityCirc> out;
    for (const IdentityCirc& r : v)
        if (!visited.contains(r)) out.push_back(r);
    return out;
}

}  // namespace

// Whatever the batches, each identity taken gets the rewrites of the step on
// its own, in order, less some that the search has visited (it skips them);
// the identities themselves come in the queues' order.
TEST_CASE(rewrites_match_the_step_identity_by_identity) {
    const Fixture f;
    const std::vector<IdentityCirc> ids = sample_identities();
    IdentitySet visited;
    LevelQueues queues(4);
    for (const IdentityCirc& id : ids) queues.push(id.len(), visited.insert_get(id).offset);
    StepMemo memo;
    SearchExpander expander(f.rules, f.proved, 7, memo);
    std::size_t taken = 0, dropped = 0;
    while (auto off = queues.pop()) {
        const IdentityCirc id = visited.at(*off);
        const std::vector<IdentityCirc> got = expander.rewrites_of(*off, visited, queues);
        const std::vector<IdentityCirc> step = apply_rules_within(f.rules, f.proved, id, 7);
        CHECK(!step.empty());
        CHECK(unvisited(got, visited) == unvisited(step, visited));
        std::size_t k = 0;  // got is step with members left out
        for (const IdentityCirc& r : step)
            if (k < got.size() && got[k] == r) ++k;
        CHECK_EQ(k, got.size());
        dropped += step.size() - got.size();
        ++taken;
    }
    CHECK_EQ(taken, ids.size());
    CHECK(dropped > 0);
}

// An identity the step panics on (20 instructions) is expanded ahead with
// the one before it; the panic comes when the search takes it, not before.
TEST_CASE(panic_ahead_waits_for_its_identity) {
    const Fixture f;
    const std::vector<IdentityCirc> ids = sample_identities();
    std::vector<Instr32> v20;
    for (int i = 0; i < 20; ++i) v20.push_back(G(gates::H, 0));
    const IdentityCirc long_id = IdentityCirc::from_stored(C(v20, 1));

    IdentitySet visited;
    LevelQueues queues(4);
    for (const IdentityCirc& id : {ids[0], ids[1]}) queues.push(id.len(), visited.insert_get(id).offset);
    queues.push(long_id.len(), visited.insert_get(long_id).offset);
    StepMemo memo;
    SearchExpander expander(f.rules, f.proved, 23, memo);
    for (int i = 0; i < 2; ++i) {
        const auto off = queues.pop();
        CHECK(unvisited(expander.rewrites_of(*off, visited, queues), visited) ==
              unvisited(apply_rules_within(f.rules, f.proved, visited.at(*off), 23), visited));
    }
    const auto off = queues.pop();
    CHECK_PANICS(expander.rewrites_of(*off, visited, queues), "index out of bounds: the len is 20 but the index is 20");
}

// The queues hand out the lowest level first, each level in order, and show
// the same order ahead of time.
TEST_CASE(level_queues_order) {
    LevelQueues q(3);
    q.push(5, 50);
    q.push(4, 40);
    q.push(5, 51);
    q.push(3, 30);
    std::vector<IdentitySet::Offset> ahead;
    q.for_each_next([&](IdentitySet::Offset o) { return ahead.push_back(o), true; });
    CHECK(ahead == (std::vector<IdentitySet::Offset>{30, 40, 50, 51}));
    CHECK_EQ(*q.pop(), IdentitySet::Offset{30});
    q.push(3, 31);
    std::vector<IdentitySet::Offset> popped;
    while (auto o = q.pop()) popped.push_back(*o);
    CHECK(popped == (std::vector<IdentitySet::Offset>{31, 40, 50, 51}));
}

CHECK_MAIN()
