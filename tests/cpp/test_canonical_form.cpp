#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "identity/canonical_form.hpp"
#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"
#include "model/gate.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Instr32 G(Gate16 g, std::uint8_t a, std::uint8_t b = NO_QUBIT) { return Instr32(g, a, b); }
Circ C(std::vector<Instr32> v, std::initializer_list<std::uint8_t> p) { return Circ::create(std::move(v), P(p)); }
std::string S(const Circ& c) { return c.to_string(); }

// The least candidate written out with Circ operations, for comparison with
// the buffered search.
Circ slow_representative(const Circ& c) {
    const Circ circ = compact_qubits(c).remove_swaps();
    if (circ.is_empty()) return circ;
    Circ best;
    bool first = true;
    for (Permut32 p : Permut32::all(circ.nqubits())) {
        Circ cand = compact_qubits(reorder_instrs(circ.permut(p)));
        if (first || cand < best) best = cand;
        first = false;
    }
    return best;
}

Circ slow_rotate_representative(const Circ& c) {
    const Circ circ = compact_qubits(c).remove_swaps();
    if (circ.is_empty()) return circ;
    Circ best;
    bool first = true;
    for (Permut32 p : Permut32::all(circ.nqubits())) {
        const Circ c2 = circ.permut(p);
        for (std::size_t i = 0; i < c2.len(); ++i) {
            if (!c2.instrs[i].qargs().contains(0)) continue;
            Circ cand = compact_qubits(reorder_instrs(c2.rotate(static_cast<std::int64_t>(i))));
            if (first || cand < best) best = cand;
            first = false;
        }
    }
    return best;
}

// A small deterministic generator for circuit fixtures.
struct Lcg {
    std::uint64_t s;
    unsigned next(unsigned n) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((s >> 33) % n);
    }
};

constexpr Gate16 kOne[] = {gates::H, gates::X, gates::T, gates::S, gates::Z};
constexpr Gate16 kTwo[] = {gates::CX, gates::CZ, gates::SWAP};

// A third of the instructions two-qubit ones (when there are two qubits),
// then a random permutation.
Circ random_circ(Lcg& r, unsigned nq, unsigned len, std::span<const Gate16> one = kOne,
                 std::span<const Gate16> two = kTwo) {
    std::vector<Instr32> v;
    for (unsigned i = 0; i < len; ++i) {
        const auto a = static_cast<std::uint8_t>(r.next(nq));
        if (nq > 1 && r.next(3) == 0) {
            auto b = static_cast<std::uint8_t>(r.next(nq - 1));
            if (b >= a) ++b;
            v.push_back(G(two[r.next(static_cast<unsigned>(two.size()))], a, b));
        } else {
            v.push_back(G(one[r.next(static_cast<unsigned>(one.size()))], a));
        }
    }
    std::vector<std::uint8_t> p(nq);
    for (unsigned i = 0; i < nq; ++i) p[i] = static_cast<std::uint8_t>(i);
    for (unsigned i = nq; i > 1; --i) std::swap(p[i - 1], p[r.next(i)]);
    return Circ::create(std::move(v), Permut32::from_iter(p));
}

}  // namespace

TEST_CASE(normalising_steps) {
    CHECK_EQ(S(compact_qubits(C({G(gates::H, 0)}, {0, 1, 2}))), "Circuit { h(0) (0) }");
    CHECK_EQ(S(compact_qubits(C({G(gates::H, 0)}, {0, 2, 1}))), "Circuit { h(0) (0 2 1) }");
    CHECK_EQ(S(compact_qubits(C({}, {0, 1, 2}))), "Circuit { (0 1 2) }");
    CHECK_EQ(S(compact_qubits(C({}, {1, 0, 2}))), "Circuit { (1 0) }");
    CHECK(affected_qubits(C({G(gates::H, 2)}, {1, 0, 2, 3})) == (std::vector<std::uint8_t>{2, 0, 1}));

    CHECK_EQ(S(reorder_instrs(C({G(gates::X, 2), G(gates::H, 0), G(gates::CX, 0, 1), G(gates::H, 1)}, {0, 1, 2}))),
             "Circuit { h(0) cx(0, 1) h(1) x(2) (0 1 2) }");
    CHECK_EQ(S(reorder_instrs(C({G(gates::H, 2), G(gates::CX, 0, 2), G(gates::H, 1)}, {0, 1, 2}))),
             "Circuit { h(2) cx(0, 2) h(1) (0 1 2) }");
    CHECK_EQ(S(reorder_instrs(C({G(gates::H, 1), G(gates::H, 2), G(gates::CX, 0, 2)}, {0, 1, 2}))),
             "Circuit { h(1) h(2) cx(0, 2) (0 1 2) }");
    // A qubit-less instruction never blocks; equal neighbours stay.
    const Instr32 bare(gates::X, QArgs16());
    CHECK_EQ(S(reorder_instrs(C({bare, G(gates::H, 0)}, {0}))), "Circuit { h(0) x() (0) }");
}

TEST_CASE(representatives) {
    CHECK_EQ(S(C({G(gates::H, 1)}, {0, 1}).representative()), "Circuit { h(0) (0) }");
    auto [r, p] = C({G(gates::H, 1)}, {0, 1}).representative_with_perm();
    CHECK_EQ(S(r), "Circuit { h(0) (0) }");
    CHECK_EQ(p.to_string(), "(1 0)");
    auto [r2, p2] = C({G(gates::CX, 1, 0), G(gates::H, 2)}, {0, 1, 2}).representative_with_perm();
    CHECK_EQ(S(r2), "Circuit { cx(0, 1) h(2) (0 1 2) }");
    CHECK_EQ(p2.to_string(), "(1 0 2)");

    const Circ sw = C({G(gates::SWAP, 0, 1)}, {0, 1});
    CHECK_EQ(S(sw.representative()), "Circuit { (1 0) }");
    auto [r3, p3] = sw.representative_with_perm();
    CHECK_EQ(S(r3), "Circuit { (1 0) }");
    CHECK_EQ(p3.raw, 0u);
    bool panicked = false;
    try {
        sw.rotate_representative();
    } catch (const Panic& e) {
        panicked = e.message().rfind("IdentityCirc: circuit is not identity ", 0) == 0;
    }
    CHECK(panicked);
}

TEST_CASE(rotate_representatives) {
    CHECK_EQ(C({G(gates::Z, 0), G(gates::H, 0), G(gates::X, 0), G(gates::H, 0)}, {0}).rotate_representative().to_string(),
             "Identity { h(0) x(0) h(0) z(0) (0) }");
    CHECK_EQ(C({G(gates::CX, 1, 0), G(gates::CX, 1, 0)}, {0, 1}).rotate_representative().to_string(),
             "Identity { cx(0, 1) cx(0, 1) (0 1) }");
    CHECK_EQ(C({G(gates::SWAP, 0, 1), G(gates::X, 0), G(gates::SWAP, 0, 1), G(gates::X, 1)}, {0, 1})
                 .rotate_representative()
                 .to_string(),
             "Identity { x(0) x(0) (0) }");
    CHECK_EQ(C({}, {0, 1}).rotate_representative().to_string(), "Identity { (0 1) }");
    CHECK_EQ(Circ().rotate_representative().to_string(), "Identity { () }");
    const Instr32 bare(gates::I, QArgs16());
    CHECK_PANICS(C({bare}, {0}).rotate_representative(), "called `Option::unwrap()` on a `None` value");
    // Qubit-less instructions over the empty permutation: one renaming, no rotation start.
    CHECK_EQ(S(Circ::create({bare}, Permut32(0)).representative()), "Circuit { i() () }");
    CHECK_PANICS(Circ::create({bare}, Permut32(0)).rotate_representative(),
                 "called `Option::unwrap()` on a `None` value");
}

// The buffered searches agree with the forms written out with Circ
// operations, and the forms are invariant under renaming and rotation.
TEST_CASE(forms_match_reference_and_invariants) {
    Lcg rng{12345};
    for (int round = 0; round < 60; ++round) {
        const unsigned nq = 1 + rng.next(4);
        const Circ c = random_circ(rng, nq, 1 + rng.next(7));
        CHECK(c.representative() == slow_representative(c));
        if (static_cast<unsigned>(c.representative().nqubits()) == nq)  // every qubit used
            for (Permut32 p : Permut32::all(nq)) CHECK(c.permut(p).representative() == c.representative());
        const Circ id = c + c.inverse();
        const IdentityCirc rep = id.rotate_representative();
        CHECK(rep.circ == slow_rotate_representative(id));
        const auto L = static_cast<std::int64_t>(id.len());
        for (std::int64_t k = -L; k <= L; k += 1 + rng.next(3))
            CHECK(id.rotate(k).rotate_representative() == rep);
        for (Permut32 p : Permut32::all(id.nqubits())) {
            if (rng.next(4) != 0) continue;
            CHECK(id.permut(p).rotate_representative() == rep);
        }
        // A tie on the circuit keeps the smallest renaming word.
        auto [rc, rp] = c.representative_with_perm();
        CHECK(rc == c.representative());
        const Circ prepared = compact_qubits(c).remove_swaps();
        if (!prepared.is_empty()) {
            std::uint32_t least = 0xFFFFFFFFu;
            for (Permut32 p : Permut32::all(prepared.nqubits()))
                if (compact_qubits(reorder_instrs(prepared.permut(p))) == rc) least = std::min(least, p.raw);
            CHECK_EQ(rp.raw, least);
        }
    }
}

// Identities of the prover's sizes (up to 16 instructions on 2 to 4
// qubits), with swaps and trailing permutations mixed in (and qubit-less
// gates in the plain forms): the pruned searches give the least candidate of
// every renaming and rotation, and the smallest renaming word among tied
// renamings.
TEST_CASE(pruned_search_matches_reference_on_identities) {
    Lcg rng{20261210};
    const Gate16 one[] = {gates::H, gates::X, gates::T, gates::TDG};
    const Gate16 two[] = {gates::CX, gates::CX, gates::CZ, gates::SWAP};
    for (int round = 0; round < 400; ++round) {
        const unsigned nq = 2 + rng.next(3);
        const Circ c = random_circ(rng, nq, 1 + rng.next(8), one, two);
        const Circ id = c + c.inverse();
        const auto perms = Permut32::all(nq);
        const Circ turned = id.rotate(static_cast<std::int64_t>(rng.next(static_cast<unsigned>(id.len()) + 1)));
        const Circ renamed = turned.permut(perms[rng.next(static_cast<unsigned>(perms.size()))]);
        std::vector<Instr32> with_bare = renamed.instrs;
        with_bare.insert(with_bare.begin() + rng.next(static_cast<unsigned>(with_bare.size()) + 1),
                         Instr32(gates::I, QArgs16()));
        const Circ bare = Circ::create(std::move(with_bare), renamed.perm);
        for (const Circ& x : {c, id, renamed, bare}) {
            CHECK(x.representative() == slow_representative(x));
            auto [rc, rp] = x.representative_with_perm();
            const Circ prepared = compact_qubits(x).remove_swaps();
            std::uint32_t least = prepared.is_empty() ? 0 : 0xFFFFFFFFu;
            if (!prepared.is_empty())
                for (Permut32 q : Permut32::all(prepared.nqubits()))
                    if (compact_qubits(reorder_instrs(prepared.permut(q))) == rc) least = std::min(least, q.raw);
            CHECK_EQ(rp.raw, least);
        }
        const Circ want = slow_rotate_representative(id);
        CHECK(id.rotate_representative().circ == want);
        CHECK(renamed.rotate_representative().circ == slow_rotate_representative(renamed));
        // (An identity whose instructions all fold into the permutation keeps
        // its permutation unminimised, so only the others are invariant.)
        if (!want.is_empty()) CHECK(renamed.rotate_representative().circ == want);
    }
}

TEST_CASE(long_circuits_use_heap_buffers) {
    std::vector<Instr32> v;
    for (int i = 0; i < 100; ++i) v.push_back(G(i % 2 ? gates::H : gates::X, static_cast<std::uint8_t>(i % 3)));
    const Circ c = Circ::create(std::move(v), P({0, 1, 2}));
    CHECK(c.representative() == slow_representative(c));
    const Circ id = c + c.inverse();
    CHECK(id.rotate_representative().circ == slow_rotate_representative(id));
}

CHECK_MAIN()
