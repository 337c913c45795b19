#include <algorithm>
#include <string>
#include <vector>

#include "check.hpp"
#include "model/gate.hpp"
#include "base/worker_pool.hpp"
#include "search/equivalence_check.hpp"
#include "search/raw_eccs.hpp"

using namespace tsl;

namespace {

Instr32 h(std::uint8_t q) { return Instr32(gates::H, q); }
Instr32 x(std::uint8_t q) { return Instr32(gates::X, q); }
Instr32 z(std::uint8_t q) { return Instr32(gates::Z, q); }
Instr32 cx(std::uint8_t a, std::uint8_t b) { return Instr32(gates::CX, a, b); }

std::vector<Instr32> repeat(std::vector<Instr32> unit, std::size_t times) {
    std::vector<Instr32> out;
    for (std::size_t k = 0; k < times; ++k) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

Evaluator make_evaluator(std::uint8_t seed_byte, std::uint64_t nqubits) {
    ChaCha12Rng::Seed seed{};
    seed[0] = seed_byte;
    seed[7] = 0xC3;
    ChaCha12Rng rng(seed);
    return Evaluator::from_random(rng, nqubits);
}

RawECCs generate(const Evaluator& e, std::vector<Gate16> gates, std::uint64_t max_size) {
    return RawECCs::search(e, expand_gate_set(std::move(gates), e.nqubits()), max_size).first;
}

template <class F>
std::string panic_text(F&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "";
}

}  // namespace

TEST_CASE(presence_masks_cover_any_length) {
    struct Case {
        std::size_t k;
        std::string binary;
    };
    const Case cases[] = {{0, "0"}, {1, "1"}, {3, "111"}, {63, std::string(63, '1')},
                          {64, std::string(64, '1')}, {65, std::string(65, '1')}, {130, std::string(130, '1')}};
    for (const Case& c : cases) {
        const PresenceMask m(c.k);
        CHECK_EQ(m.to_binary(), c.binary);
        CHECK(!m.test(c.k));
        if (c.k) CHECK(m.test(c.k - 1));
    }
    PresenceMask m(130);
    for (std::size_t i = 0; i < 129; ++i) m.reset(i);
    CHECK_EQ(m.to_binary(), "1" + std::string(129, '0'));
    m.reset(129);
    CHECK_EQ(m.to_binary(), "0");
    CHECK(m == PresenceMask(0));
}

TEST_CASE(surface_scan) {
    const std::vector<Instr32> circ = {h(0), cx(0, 1), x(1), h(2), h(32), x(3)};
    // cx(0, 1) is behind h(0) but still marks qubit 1; qubit 32 counts as 0.
    auto all = circuit_get_surface_gates_hashmap(circ, PresenceMask(circ.size()));
    std::vector<std::pair<Instr32, std::uint32_t>> got;
    for (const auto& e : all) got.emplace_back(e.instr, e.pos);
    CHECK((got == std::vector<std::pair<Instr32, std::uint32_t>>{{h(0), 0}, {h(2), 3}, {x(3), 5}}));

    PresenceMask without_first(circ.size());
    without_first.reset(0);
    got.clear();
    for (const auto& e : circuit_get_surface_gates_hashmap(circ, without_first)) got.emplace_back(e.instr, e.pos);
    CHECK((got == std::vector<std::pair<Instr32, std::uint32_t>>{{cx(0, 1), 1}, {h(2), 3}, {x(3), 5}}));

    // An instruction on no qubit is always on the surface; a repeat of it
    // moves its position.
    const Instr32 bare(gates::X, QArgs16());
    const std::vector<Instr32> bares = {bare, h(0), bare};
    got.clear();
    for (const auto& e : circuit_get_surface_gates_hashmap(bares, PresenceMask(3))) got.emplace_back(e.instr, e.pos);
    CHECK((got == std::vector<std::pair<Instr32, std::uint32_t>>{{bare, 2}, {h(0), 1}}));
}

TEST_CASE(reductions) {
    const Permut32 id1 = Permut32::identity(1), id2 = Permut32::identity(2);
    struct Case {
        EccCircuit c1, c2;
        std::size_t removed;
        std::vector<Instr32> left1, left2;
    };
    const std::vector<Case> cases = {
        // Commuting gates in either order: all common front gates.
        {{{h(0), x(1)}, id2}, {{x(1), h(0)}, id2}, 2, {}, {}},
        // One gate that is both a common front and back gate goes once.
        {{{h(0)}, id1}, {{h(0)}, id1}, 1, {}, {}},
        // Common front cx, then a differing middle, then common back h(2).
        {{{cx(0, 1), x(0), h(2)}, Permut32::identity(3)},
         {{cx(0, 1), h(1), h(2)}, Permut32::identity(3)},
         2,
         {x(0)},
         {h(1)}},
        // The back gates are compared after each circuit's permutation:
        // x(1) under (1 0) is x(0).
        {{{h(0), x(1)}, Permut32::from_iter({1, 0})}, {{h(0), x(0)}, id2}, 2, {}, {}},
        // Nothing in common.
        {{{h(0)}, id1}, {{x(0)}, id1}, 0, {h(0)}, {x(0)}},
        // Longer than a 64-bit mask.
        {{repeat({h(0), x(1)}, 40), id2}, {repeat({x(1), h(0)}, 40), id2}, 80, {}, {}},
    };
    for (Case c : cases) {
        CHECK_EQ(reduce_equivalence(c.c1, c.c2), c.removed);
        CHECK(c.c1.instrs == c.left1);
        CHECK(c.c2.instrs == c.left2);
    }

    // The second h(0) is exposed once the first is removed, but has no partner.
    EccCircuit a{{h(0)}, id1}, b{{h(0), h(0)}, id1};
    CHECK_PANICS(reduce_equivalence(a, b), "mask1f: 0, mask1b: 0, mask2f: 10, mask2b: 10");
    EccCircuit la{repeat({h(0)}, 65), id1}, lb{repeat({h(0)}, 66), id1};
    const std::string wide = "1" + std::string(65, '0');
    CHECK_PANICS(reduce_equivalence(la, lb), "mask1f: 0, mask1b: 0, mask2f: " + wide + ", mask2b: " + wide);

    std::vector<Instr32> list = {h(0), h(1), h(2), h(3)};
    PresenceMask front(4), back(4);
    front.reset(1);
    back.reset(0);  // the last instruction
    CHECK_EQ(retain_by_masks(list, front, back), std::size_t{2});
    CHECK((list == std::vector<Instr32>{h(0), h(2)}));
}

TEST_CASE(export_and_canonical_forms) {
    const Evaluator e = make_evaluator(1, 1);
    const RawECCs map = generate(e, {gates::H}, 1);  // root and {h}
    const CircuitECC* hc = map.find(e.evaluate(std::vector<Instr32>{h(0)}).true_back_state.hash_value());
    CHECK(hc != nullptr);
    if (!hc) return;
    const CircTriple& m = hc->circuits[0];
    const std::vector<Instr32> raw = map.instructions(m.circ);

    // A query equal to a member in the class frame gives two empty lists.
    auto [c1, c2] = export_equivalence(map, *hc, m.front_perm, raw, m.back_perm);
    CHECK(c1.instrs.empty() && c2.instrs.empty());
    CHECK_EQ(c1.perm, m.back_perm * m.front_perm);
    CHECK_EQ(c2.perm, c1.perm);

    const Permut32 id1 = Permut32::identity(1);
    CHECK_PANICS(export_equivalence(map, *hc, id1, std::vector<Instr32>{x(0)}, id1),
                 "No equivalence found during export_equivalence: h(0) (0) = x(0) (0)");

    // The canonical form of a member is the class's smallest member.
    const EccCircuit canon = checked_equivalent(map, std::vector<Instr32>{h(0)}, id1, e);
    CHECK((canon.instrs == std::vector<Instr32>{h(0)}));
    CHECK_EQ(canon.perm, id1);
    const EccCircuit empty = checked_equivalent(map, std::vector<Instr32>{}, id1, e);
    CHECK(empty.instrs.empty());
    CHECK_EQ(empty.perm, id1);
    CHECK_PANICS(checked_equivalent(map, std::vector<Instr32>{x(0)}, id1, e), "no entry found for key");

    // Two qubits: every member of every class canonicalises to the same form
    // as its class's representative does.
    const Evaluator e2 = make_evaluator(2, 2);
    const RawECCs map2 = generate(e2, {gates::H, gates::CX}, 3);
    bool agree = true;
    for (std::size_t i = 0; i < map2.num_classes(); ++i) {
        const ECC cls = map2.simplify_class(map2.class_at(i));
        for (const EccCircuit& member : cls.circs) {
            const EccCircuit f = checked_equivalent(map2, member.instrs, member.perm, e2);
            const EccCircuit again = checked_equivalent(map2, member.instrs, member.perm, e2);
            agree = agree && f == again;
        }
    }
    CHECK(agree);
}

// A hand-made map whose class of h x holds h z instead: the prefix h x is
// proved equivalent to h z, leaving x against z, which canonicalise apart.
TEST_CASE(disagreeing_canonical_forms) {
    const Evaluator e = make_evaluator(5, 1);
    const Permut32 id1 = Permut32::identity(1);
    auto key = [&](std::vector<Instr32> c) { return e.evaluate(c).true_back_state.hash_value(); };
    RawECCs map(e);
    const auto lh = map.add_entry(key({h(0)}), id1, id1, InstrList::nil(), std::vector<Instr32>{h(0)});
    map.add_entry(key({x(0)}), id1, id1, InstrList::nil(), std::vector<Instr32>{x(0)});
    map.add_entry(key({z(0)}), id1, id1, InstrList::nil(), std::vector<Instr32>{z(0)});
    CHECK(lh.has_value());
    if (!lh) return;
    map.add_entry(key({h(0), x(0)}), id1, id1, *lh, std::vector<Instr32>{h(0), z(0)});
    CHECK_PANICS(checked_equivalent(map, std::vector<Instr32>{h(0), x(0)}, id1, e),
                 "Non-deterministic equivalence detected during checked equivalence: \n "
                 "CircuitECC {h(0) z(0) (0)} vs h(0) x(0) \n z(0) (0) vs x(0) (0) \n z(0) (0) vs x(0) (0)");
}

TEST_CASE(identity_subset_check) {
    WorkerPool one(1), four(4);
    WorkerPool* pools[] = {&one, &four};

    // A fresh map against another fresh map of the same evaluator.
    const Evaluator e1 = make_evaluator(3, 2);
    for (WorkerPool* p : pools) check_identity_subset(RawECCs(e1), RawECCs(e1), e1, *p);

    struct Case {
        std::uint64_t nqubits;
        std::vector<Gate16> gates;
        std::uint64_t max_size;
    };
    const Case cases[] = {{1, {gates::H, gates::T}, 5},
                          {2, {gates::H, gates::CX}, 3},
                          {2, {gates::H, gates::S, gates::CX}, 3},
                          {3, {gates::H, gates::CX}, 2}};
    for (const Case& c : cases) {
        const Evaluator e = make_evaluator(static_cast<std::uint8_t>(10 + c.nqubits), c.nqubits);
        const RawECCs map = generate(e, c.gates, c.max_size);
        for (WorkerPool* p : pools) check_identity_subset(map, map, e, *p);
    }

    // The same classes found in another order: representatives differ, so
    // prefixes are proved equivalent through reductions and recursion.
    {
        const Evaluator e = make_evaluator(6, 2);
        auto instrs = expand_gate_set({gates::H, gates::T, gates::CX}, 2);
        const RawECCs forward = RawECCs::search(e, instrs, 3).first;
        std::reverse(instrs.begin(), instrs.end());
        const RawECCs backward = RawECCs::search(e, instrs, 3).first;
        for (WorkerPool* p : pools) {
            check_identity_subset(forward, backward, e, *p);
            check_identity_subset(backward, forward, e, *p);
        }
    }

    // A map over more gates than the reference knows: the same panic with
    // any number of threads.  Up to one instruction, the first class the
    // reference lacks is that of cx.
    const Evaluator e = make_evaluator(4, 2);
    const RawECCs small = generate(e, {gates::H}, 2);
    const RawECCs large1 = generate(e, {gates::H, gates::CX}, 1);
    for (WorkerPool* p : pools)
        CHECK_EQ(panic_text([&] { check_identity_subset(large1, small, e, *p); }),
                 "assertion failed: ecc1.contains_key(&bv.hash_value())");
    // Up to two, the root class (class 0) already holds cx cx, whose key the
    // reference knows but which no member of its root class explains.
    const RawECCs large2 = generate(e, {gates::H, gates::CX}, 2);
    for (WorkerPool* p : pools)
        CHECK_EQ(panic_text([&] { check_identity_subset(large2, small, e, *p); }),
                 "No equivalence found during export_equivalence:  (0 1), h(0) h(0) (0 1), h(1) h(1) (0 1) = "
                 "cx(0, 1), cx(0, 1) (0 1)");
    check_identity_subset(small, large2, e, four);
}

CHECK_MAIN()
