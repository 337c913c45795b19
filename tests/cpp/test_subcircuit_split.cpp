#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "identity/subcircuit_reference.hpp"
#include "identity/subcircuit_split.hpp"
#include "model/gate.hpp"

using namespace tsl;

namespace {

Instr32 G(Gate16 g, std::uint8_t a, std::uint8_t b = NO_QUBIT) { return Instr32(g, a, b); }
// Wire structure only: the selections do not need the identity property.
IdentityCirc I(std::vector<Instr32> v, std::uint8_t n) {
    return IdentityCirc::from_stored(Circ::create(std::move(v), Permut32::identity(n)));
}
std::vector<bool> flags(std::size_t n, const std::vector<int>& on) {
    std::vector<bool> f(n, false);
    for (int i : on) f[static_cast<std::size_t>(i)] = true;
    return f;
}
std::string entry_text(std::size_t n) {
    std::string s;
    for (std::uint32_t m : Combinations::get().entry(n)) {
        s += '[';
        bool first = true;
        for (std::uint8_t i : Combinations::indices(m)) {
            if (!first) s += ',';
            s += std::to_string(i);
            first = false;
        }
        s += ']';
    }
    return s;
}

}  // namespace

TEST_CASE(combinations_entries_in_order) {
    CHECK_EQ(entry_text(0), std::string("[]"));
    CHECK_EQ(entry_text(1), std::string("[][0]"));
    CHECK_EQ(entry_text(2), std::string("[][0][1][0,1]"));
    CHECK_EQ(entry_text(3), std::string("[][0][1][2][0,1][0,2][1,2]"));
    CHECK_EQ(entry_text(4),
             std::string("[][0][1][2][3][0,1][0,2][0,3][1,2][1,3][2,3][0,1,2][0,1,3][0,2,3][1,2,3]"));
    const std::size_t sizes[20] = {1,    2,    4,     7,     15,    26,    57,     99,     219,    382,
                                   848,  1486, 3302,  5812,  12911, 22819, 50643,  89846,  199140, 354522};
    for (std::size_t n = 0; n < 20; ++n) CHECK_EQ(Combinations::get().entry(n).size(), sizes[n]);
    // Sizes ascending, each size lexicographic: masks of one size grow as
    // their reversed bit strings, so check the index lists directly for n = 7.
    const auto e = Combinations::get().entry(7);
    for (std::size_t i = 1; i < e.size(); ++i) {
        const auto a = Combinations::indices(e[i - 1]), b = Combinations::indices(e[i]);
        CHECK(a.size() < b.size() || (a.size() == b.size() && a < b));
    }
    CHECK_PANICS(Combinations::get().entry(20), "index out of bounds: the len is 20 but the index is 20");
}

// Selections of small identities: whether they are connected, and the split
// of those that are.  Every connected selection here is convex.
TEST_CASE(selections_and_their_splits) {
    const IdentityCirc hxhx = I({G(gates::H, 0), G(gates::X, 1), G(gates::H, 0), G(gates::X, 1)}, 2);
    // One wire: the two h's are split by x(0); x(0) and the second h(0) are neighbours.
    const IdentityCirc hxhz = I({G(gates::H, 0), G(gates::X, 0), G(gates::H, 0), G(gates::Z, 0)}, 1);
    // Selecting both cx gates leaves h(0) inside on wire 0 and x(1) inside on
    // wire 1, blocking both phases.
    const IdentityCirc blocked = I({G(gates::CX, 0, 1), G(gates::H, 0), G(gates::CX, 0, 1), G(gates::X, 1)}, 2);
    const IdentityCirc swapped = IdentityCirc::from_stored(
        Circ::create({G(gates::CX, 0, 1), G(gates::CX, 1, 0)}, Permut32::from_iter({1, 0})));
    // On a swapped frame, t(1) leads through (1 0) back to h(0): phase 1
    // takes instruction 0, then rotates; the halves still join to a
    // rearrangement.
    const IdentityCirc wrapped = IdentityCirc::from_stored(Circ::create(
        {G(gates::H, 0), G(gates::X, 1), G(gates::Z, 0), G(gates::T, 1)}, Permut32::from_iter({1, 0})));
    struct Case {
        const IdentityCirc& id;
        std::vector<int> selected;
        bool connected;
        const char* gathered;  // the split, with `rest`; nullptr for none
        const char* rest;
    } cases[] = {
        {hxhx, {0, 2}, true, "Circuit { h(0) h(0) (0 1) }", "Circuit { x(1) x(1) (0 1) }"},
        {hxhx, {0, 1}, false, nullptr, nullptr},  // different wires: no chain links them
        {hxhx, {}, true, nullptr, nullptr},       // nothing selected: no split
        {hxhz, {0, 2}, false, nullptr, nullptr},
        {hxhz, {1, 2}, true, "Circuit { x(0) h(0) (0) }", "Circuit { z(0) h(0) (0) }"},
        {blocked, {0, 2}, true, nullptr, nullptr},
        {swapped, {0, 1}, true, "Circuit { cx(0, 1) cx(1, 0) (0 1) }", "Circuit { (1 0) }"},
        {wrapped, {0, 3}, true, "Circuit { h(0) t(1) (0 1) }", "Circuit { z(0) x(0) (1 0) }"},
    };
    for (const Case& c : cases) {
        const IdentitySubcircuit sel(c.id, flags(c.id.len(), c.selected));
        CHECK_EQ(sel.is_connected(), c.connected);
        if (!c.connected) continue;
        CHECK(sel.is_convex());
        const auto s = sel.split();
        CHECK_EQ(s.has_value(), c.gathered != nullptr);
        if (s && c.gathered) {
            CHECK_EQ(s->gathered.to_string(), std::string(c.gathered));
            CHECK_EQ(s->rest.to_string(), std::string(c.rest));
        }
    }
}

TEST_CASE(ports) {
    const IdentityCirc hxhx = I({G(gates::H, 0), G(gates::X, 1), G(gates::H, 0), G(gates::X, 1)}, 2);
    const IdentitySubcircuit inner(hxhx, flags(4, {0, 2}));
    CHECK(inner.inputs().empty());
    CHECK(inner.outputs().empty());
    // cx(0, 1) h(0) cx(0, 1) x(1), both cx gates selected: each meets an
    // unselected gate on each wire, once before and once after.
    const IdentityCirc id = I({G(gates::CX, 0, 1), G(gates::H, 0), G(gates::CX, 0, 1), G(gates::X, 1)}, 2);
    const IdentitySubcircuit sel(id, flags(4, {0, 2}));
    CHECK(sel.inputs() == (std::vector<Port>{{1, 0, 1}, {0, 2, 0}}));
    CHECK(sel.outputs() == (std::vector<Port>{{0, 0, 0}, {1, 2, 1}}));
}

TEST_CASE(parallel_splits_match_sequential_order) {
    const IdentityCirc id = I({G(gates::H, 0), G(gates::CX, 0, 1), G(gates::X, 1), G(gates::H, 0),
                               G(gates::CX, 0, 1), G(gates::X, 1), G(gates::Z, 0)},
                              2);
    const std::vector<Split> par = IdentitySubcircuit::par_subcircuit_splits(id);
    std::vector<Split> seq;
    for (std::uint32_t m : Combinations::get().entry(id.len())) {
        std::vector<bool> f(id.len(), false);
        for (std::uint8_t i : Combinations::indices(m)) f[i] = true;
        IdentitySubcircuit sel(id, f);
        if (sel.is_connected() && sel.is_convex())
            if (auto s = sel.split()) seq.push_back(*s);
    }
    CHECK(!seq.empty());
    CHECK(par == seq);
    // The empty identity has only the empty subset: no split.
    CHECK(IdentitySubcircuit::par_subcircuit_splits(IdentityCirc()).empty());
}

// The connected selections visited directly are exactly those of the
// table's entry that pass is_connected, in the entry's order, and the port
// counts the search carries tell the convex ones.
TEST_CASE(connected_subsets_match_filtered_entry) {
    std::uint64_t seed = 7;
    auto next = [&](unsigned n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((seed >> 33) % n);
    };
    const Gate16 one[] = {gates::H, gates::X, gates::T};
    const Gate16 two[] = {gates::CX, gates::CZ, gates::SWAP};
    for (int round = 0; round < 40; ++round) {
        const unsigned nq = 1 + next(4);
        const unsigned len = 1 + next(round < 30 ? 12 : 19);
        std::vector<Instr32> v;
        for (unsigned i = 0; i < len; ++i) {
            const auto a = static_cast<std::uint8_t>(next(nq));
            if (nq > 1 && next(2) == 0) {
                auto b = static_cast<std::uint8_t>(next(nq - 1));
                if (b >= a) ++b;
                v.push_back(G(two[next(3)], a, b));
            } else {
                v.push_back(G(one[next(3)], a));
            }
        }
        const IdentityCirc id = I(v, static_cast<std::uint8_t>(nq));
        const WireTable table(id);
        std::vector<std::uint64_t> expected;
        for (std::uint32_t m : Combinations::get().entry(len))
            if (m && table.is_connected(m)) expected.push_back(m);
        CHECK(connected_subsets(table, Combinations::max_subset(len)) == expected);
        // A smaller size bound keeps the leading sizes.
        std::vector<std::uint64_t> upto2;
        for (std::uint64_t m : expected)
            if (std::popcount(m) <= 2) upto2.push_back(m);
        CHECK(connected_subsets(table, 2) == upto2);
        // The port counts carried through the search give is_convex.
        const std::size_t max = Combinations::max_subset(len);
        const std::vector<std::uint64_t> no_weight(len, 0);
        std::size_t convex = 0;
        for (const WireTable::SearchPart& part : table.search_parts(max))
            table.search(part, max, no_weight.data(),
                         [&](std::uint64_t m, std::uint64_t, const WireTable::PortCounts& ports) {
                             CHECK_EQ(table.is_convex(m, ports), table.is_convex(m));
                             convex += table.is_convex(m);
                         });
        CHECK(convex > 0);
    }
    CHECK(connected_subsets(WireTable(IdentityCirc()), 1).empty());
}

TEST_CASE(nineteen_instructions_processed_twenty_panic) {
    std::vector<Instr32> v19(19, G(gates::X, 0));
    const IdentityCirc id19 = I(v19, 1);
    const auto splits = IdentitySubcircuit::par_subcircuit_splits(id19);
    // On one wire the connected selections are the cyclic runs: 19 per
    // length 1 .. 10.
    CHECK_EQ(splits.size(), std::size_t{19 * 10});
    std::vector<Instr32> v20(20, G(gates::X, 0));
    CHECK_PANICS(IdentitySubcircuit::par_subcircuit_splits(I(v20, 1)),
                 "index out of bounds: the len is 20 but the index is 20");
}

CHECK_MAIN()
