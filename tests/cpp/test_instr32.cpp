#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "model/gate.hpp"
#include "model/instr32.hpp"
#include "model/permut32.hpp"
#include "model/swap_network.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

std::vector<std::uint8_t> used(QArgs16 a) {
    std::vector<std::uint8_t> out;
    for (std::uint8_t q : a) out.push_back(q);
    return out;
}

const Instr32 cx01(gates::CX, 0, 1);

}  // namespace

TEST_CASE(qargs_slots) {
    CHECK_EQ(QArgs16(255, 7).len(), 0u);
    CHECK(used(QArgs16(255, 7)).empty());
    CHECK(!QArgs16(255, 7).contains(7));
    CHECK_EQ(QArgs16(3, 255).len(), 1u);
    CHECK_EQ(QArgs16(3, 4).len(), 2u);
    CHECK((used(QArgs16(3, 4)) == std::vector<std::uint8_t>{3, 4}));
    const QArgs16 three_four(3, 4);
    CHECK_EQ(three_four.as_slice().size(), 2u);
    CHECK_EQ(three_four.as_slice()[1], 4);
    CHECK_EQ(Instr32(gates::CX, 3, 4).qargs().as_slice().size(), 2u);
    CHECK(QArgs16(3, 4).contains(4));
    CHECK(!QArgs16(3, 255).contains(255));
    CHECK_EQ(QArgs16(3, 4)[1], 4);
    CHECK_PANICS(QArgs16(3, 255)[1], "Index out of bounds");
    CHECK_PANICS(QArgs16()[0], "Index out of bounds");
    // The unused second byte still counts for equality.
    CHECK(!(QArgs16(255, 7) == QArgs16(255, 255)));

    CHECK_EQ(QArgs16::from_bytes({}), QArgs16(255, 255));
    CHECK_EQ(QArgs16::from_bytes({5}), QArgs16(5, 255));
    CHECK_EQ(QArgs16::from_bytes({5, 6}), QArgs16(5, 6));
    CHECK_EQ(QArgs16::from_bytes({255, 6}), QArgs16(255, 6));  // bytes are not checked
    CHECK_PANICS(QArgs16::from_bytes({0, 1, 2}), "index out of bounds: the len is 2 but the index is 2");
}

TEST_CASE(text_forms) {
    CHECK_EQ(cx01.to_string(), "cx(0, 1)");
    CHECK_EQ(Instr32(gates::H, 2).to_string(), "h(2)");
    const Gate16 rz = *Gate16::from_name("rz(pi/3)");
    CHECK_EQ(Instr32(rz, 0).to_string(), "rz(pi/3)(0)");
    CHECK_EQ(Instr32(gates::X, QArgs16()).to_string(), "x()");
    CHECK_EQ(Instr32(gates::H, QArgs16(255, 7)).to_string(), "h()");
    CHECK_EQ(Instr32(gates::CX, 12, 200).to_string(), "cx(12, 200)");
    std::string s = "> ";
    cx01.write_to(s);
    CHECK_EQ(s, "> cx(0, 1)");
}

TEST_CASE(order_and_hash_feed) {
    std::vector<Instr32> v = {Instr32(gates::H, 1), cx01, Instr32(gates::H, 0), Instr32(gates::X, 0)};
    std::sort(v.begin(), v.end());
    std::vector<std::string> t;
    for (Instr32 i : v) t.push_back(i.to_string());
    CHECK((t == std::vector<std::string>{"cx(0, 1)", "h(0)", "x(0)", "h(1)"}));
    // Qubit bytes decide before the gate index, even a large one.
    CHECK(Instr32(Gate16(500), 0, 1) < Instr32(gates::I, 0, 2));
    CHECK(Instr32(gates::I, 0, 1) < Instr32(Gate16(500), 0, 1));
    CHECK(Instr32(gates::X, 1) == Instr32(gates::X, 1));
    CHECK(!(Instr32(gates::X, 1) == Instr32(gates::Z, 1)));

    // The gate index as two bytes, the length 2 as eight, then both bytes.
    const std::uint8_t cx_bytes[12] = {9, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ContentHasher h;
    cx01.hash(h);
    CHECK_EQ(h.finish(), content_hash_bytes(cx_bytes, 12));
    const std::uint8_t h_bytes[12] = {1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 255};
    ContentHasher g;
    Instr32(gates::H, 0).hash(g);
    CHECK_EQ(g.finish(), content_hash_bytes(h_bytes, 12));
}

TEST_CASE(checked_construction) {
    CHECK_EQ(Instr32::create(gates::CX, {0, 1}), cx01);
    CHECK_EQ(Instr32::create(gates::H, {3}), Instr32(gates::H, 3, 255));
    CHECK_EQ(Instr32::create(gates::H, {9}).qargs(), QArgs16(9, 255));  // 8 and above accepted
    CHECK_PANICS(Instr32::create(gates::CX, {0}), "Number of qubit arguments does not match gate arity");
    CHECK_PANICS(Instr32::create(gates::H, {0, 1}), "Number of qubit arguments does not match gate arity");
    CHECK_PANICS(Instr32::create(gates::CX, {1, 1}), "Qubit arguments must be unique");
    CHECK_PANICS(Instr32::create(gates::CX, {0, 255}), "Qubit index 255 is reserved for an empty slot");
    CHECK_PANICS(Instr32::create(gates::H, {255}), "Qubit index 255 is reserved for an empty slot");
    CHECK_PANICS(Instr32::create(gates::CX, {255, 255}), "Qubit arguments must be unique");
}

TEST_CASE(masks_and_queries) {
    CHECK_EQ(Instr32(gates::CX, 0, 2).arg_mask(), 5);
    CHECK_EQ(Instr32(gates::X, QArgs16()).arg_mask(), 0);
    CHECK_EQ(Instr32(gates::H, 9).arg_mask(), 2);  // q & 7
    CHECK_EQ(Instr32(gates::H, 255).arg_mask(), 0);
    CHECK_EQ(Instr32(gates::CX, 3, 1).largest_qubit(), 3);
    CHECK_EQ(Instr32(gates::X, QArgs16()).largest_qubit(), 0);
    CHECK_EQ(Instr32(gates::H, QArgs16(255, 7)).largest_qubit(), 0);
    CHECK(Instr32(gates::H, 0).disjoint(Instr32(gates::H, 1)));
    CHECK(!cx01.disjoint(Instr32(gates::H, 1)));

    const Instr32 c25(gates::CX, 2, 5);
    CHECK_EQ(c25.position_of_qubit(5), std::optional<std::uint8_t>(1));
    CHECK_EQ(c25.position_of_qubit(2), std::optional<std::uint8_t>(0));
    CHECK(!c25.position_of_qubit(3).has_value());
    CHECK(!c25.position_of_qubit(255).has_value());
    CHECK(!Instr32(gates::H, QArgs16(255, 7)).position_of_qubit(7).has_value());

    struct Case {
        std::uint8_t mask;
        Instr32 instr;
        std::optional<std::uint8_t> out;
    };
    const Case cases[] = {
        {0, cx01, 3},
        {0, Instr32(gates::CX, 1, 0), std::nullopt},
        {3, Instr32(gates::H, 2), 7},
        {1, Instr32(gates::H, 0), 1},
        {1, Instr32(gates::CX, 0, 2), std::nullopt},
        {5, Instr32(gates::H, 1), 7},
        {0, Instr32(gates::X, QArgs16()), 0},
        {0x7F, Instr32(gates::H, 7), 0xFF},
        {0xFF, Instr32(gates::H, 8), 0xFF},  // bit 0 already set
        {0, Instr32(gates::H, 8), std::nullopt},
    };
    for (const Case& c : cases) CHECK_EQ(c.instr.pass_mask(c.mask), c.out);
}

TEST_CASE(relabelling) {
    CHECK_EQ(cx01.apply_permutation(P({1, 2, 0})).to_string(), "cx(1, 2)");
    CHECK_EQ(cx01.permut(P({1, 2, 0})), Instr32(gates::CX, 1, 2));
    CHECK_EQ(Instr32(gates::H, 2).apply_permutation(P({1, 0})).to_string(), "h(0)");
    // Past the length the stored entry is taken.
    Permut32 p = P({1, 0});
    p.set(4, 6);
    CHECK_EQ(Instr32(gates::CX, 4, 0).apply_permutation(p), Instr32(gates::CX, 6, 1));
    // The qubit order of the result follows the slots.
    CHECK_EQ(Instr32(gates::CX, 1, 0).apply_permutation(P({2, 0, 1})), Instr32(gates::CX, 0, 2));
    // Unused slots stay empty.
    CHECK_EQ(Instr32(gates::H, QArgs16(255, 7)).apply_permutation(P({1, 0})).qargs(), QArgs16());
    CHECK_EQ(Instr32(gates::H, 3).apply_permutation(Permut32::identity(8)).qargs(), QArgs16(3, 255));

    CHECK_PANICS(Instr32(gates::H, 8).apply_permutation(P({1, 0})), "assertion failed: idx < 8");
    CHECK_PANICS(Instr32(gates::CX, 0, 9).permut(P({1, 0})), "assertion failed: idx < 8");
    // A relabelling that merges the two qubits is refused.
    CHECK_PANICS(Instr32(gates::CX, 0, 2).apply_permutation(P({0, 1})), "Qubit arguments must be unique");
    CHECK_PANICS(Instr32(gates::CX, 0, 1).permut(P({3, 5}).inv()), "Qubit arguments must be unique");
}

TEST_CASE(adjoint_and_swaps) {
    CHECK_EQ(Instr32(gates::T, 3).adjoint(), Instr32(gates::TDG, 3));
    CHECK_EQ(Instr32(gates::S, QArgs16(255, 7)).adjoint(), Instr32(gates::SDG, QArgs16(255, 7)));
    CHECK_EQ(cx01.adjoint(), cx01);

    std::vector<Instr32> out = {Instr32(gates::H, 0)};
    append_swap_instrs(P({1, 2, 0}), out);
    std::vector<std::string> t;
    for (Instr32 i : out) t.push_back(i.to_string());
    CHECK((t == std::vector<std::string>{"h(0)", "swap(0, 2)", "swap(1, 2)"}));
    std::vector<Instr32> none;
    append_swap_instrs(Permut32::identity(5), none);
    CHECK(none.empty());
}

CHECK_MAIN()
