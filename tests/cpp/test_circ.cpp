#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <unistd.h>
#include <string>
#include <vector>

#include "check.hpp"
#include "identity/circ.hpp"
#include "identity/circ_serial.hpp"
#include "identity/identity_circ.hpp"
#include "model/gate.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Instr32 G(Gate16 g, std::uint8_t a, std::uint8_t b = NO_QUBIT) { return Instr32(g, a, b); }
Circ C(std::vector<Instr32> v, std::initializer_list<std::uint8_t> p) { return Circ::create(std::move(v), P(p)); }
std::string S(const Circ& c) { return c.to_string(); }
std::vector<std::uint64_t> V(const WireNeighbours& w) { return {w.begin(), w.end()}; }

// The text of the panic `f` raises, or none.
template <class F>
std::optional<std::string> panic_text(F f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return std::nullopt;
}

}  // namespace

TEST_CASE(construction_checks_qubits) {
    CHECK_EQ(S(C({G(gates::H, 0), G(gates::CX, 0, 1)}, {0, 1})), "Circuit { h(0) cx(0, 1) (0 1) }");
    CHECK_PANICS(C({G(gates::H, 0), G(gates::CX, 0, 1)}, {0}),
                 "Permutation length must be greater than the max qubit index.");
    CHECK_EQ(S(Circ::create({}, Permut32(0))), "Circuit { () }");
    CHECK_EQ(S(Circ::create({}, P({2, 0, 1}))), "Circuit { (2 0 1) }");
    // An instruction without qubits passes any permutation.
    CHECK_EQ(Circ::create({Instr32(gates::X, QArgs16())}, Permut32(0)).len(), 1u);

    CHECK_EQ(S(Circ::new_no_perm({})), "Circuit { () }");
    CHECK_EQ(S(Circ::new_no_perm({G(gates::X, 2)})), "Circuit { x(2) (0 1 2) }");
    CHECK_PANICS(Circ::new_no_perm({G(gates::X, 8)}), "Permutation length must be less than or equal to 8");
    CHECK_EQ(Circ::new_no_perm({G(gates::X, 2)}).nqubits(), 3);
}

TEST_CASE(texts) {
    const Circ c = C({G(gates::H, 0), G(gates::CX, 0, 1)}, {0, 1});
    CHECK_EQ(c.debug_string(), "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }");
    CHECK_EQ(Circ().debug_string(), "Circ { instrs: [], perm: () }");
    const IdentityCirc id = IdentityCirc::from_stored(C({G(gates::H, 0), G(gates::H, 0)}, {0}));
    CHECK_EQ(id.to_string(), "Identity { h(0) h(0) (0) }");
    CHECK_EQ(id.debug_string(), "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })");
    CHECK_EQ(IdentityCirc().to_string(), "Identity { () }");
}

TEST_CASE(join_and_inverse) {
    const Circ a = C({G(gates::H, 0), G(gates::CX, 0, 1)}, {0, 1});
    const Circ b = C({G(gates::X, 2)}, {1, 0, 2});
    CHECK_EQ(S(a + b), "Circuit { h(0) cx(0, 1) x(2) (1 0 2) }");
    CHECK_EQ(S(b + a), "Circuit { x(2) h(1) cx(1, 0) (1 0 2) }");
    CHECK_EQ(S(a.inverse()), "Circuit { cx(0, 1) h(0) (0 1) }");
    CHECK_EQ(S(a + a.inverse()), "Circuit { h(0) cx(0, 1) cx(0, 1) h(0) (0 1) }");
    CHECK_EQ(S(C({G(gates::T, 0), G(gates::S, 1)}, {1, 0}).inverse()), "Circuit { sdg(0) tdg(1) (1 0) }");
    const Circ c = C({G(gates::T, 0), G(gates::CX, 2, 0), G(gates::SDG, 1)}, {2, 0, 1});
    CHECK(c.inverse().inverse() == c);
    // The joined circuit with its inverse is an identity.
    CHECK(IdentityCirc::unchecked(c + c.inverse()).check());
}

TEST_CASE(permut_rotate) {
    const Circ c = C({G(gates::H, 0), G(gates::X, 1)}, {1, 0});
    CHECK_EQ(S(c.permut(P({1, 0}))), "Circuit { h(1) x(0) (1 0) }");
    CHECK_EQ(S(c.permut(P({0}))), S(c));  // padded with fixed points
    CHECK_EQ(S(C({G(gates::H, 0)}, {0, 1})), "Circuit { h(0) (0 1) }");
    CHECK_EQ(S(C({G(gates::H, 0)}, {0}).permut(P({1, 0}))), "Circuit { h(1) (0 1) }");

    CHECK_EQ(S(c.rotate(0)), S(c));
    CHECK_EQ(S(c.rotate(1)), "Circuit { x(1) h(1) (1 0) }");
    CHECK_EQ(S(c.rotate(-1)), "Circuit { x(0) h(0) (1 0) }");
    CHECK_EQ(S(c.rotate(2)), "Circuit { h(1) x(0) (1 0) }");
    CHECK_EQ(S(c.rotate(-2)), "Circuit { h(1) x(0) (1 0) }");
    CHECK_PANICS(c.rotate(3), "range start index 3 out of range for slice of length 2");
    CHECK_PANICS(c.rotate(-3), "range start index 18446744073709551615 out of range for slice of length 2");
    CHECK_PANICS(c.rotate(INT64_MIN),
                 "range start index 9223372036854775810 out of range for slice of length 2");
}

TEST_CASE(swaps) {
    CHECK_EQ(S(C({G(gates::SWAP, 0, 1)}, {0, 1}).remove_swaps()), "Circuit { (1 0) }");
    const std::vector<Instr32> w = C({}, {1, 0}).instrs_with_swaps();
    CHECK_EQ(w.size(), 1u);
    CHECK(w[0] == G(gates::SWAP, 0, 1));
    // Gates behind a swap follow their wire.
    const Circ c = C({G(gates::SWAP, 0, 2), G(gates::CX, 0, 1), G(gates::H, 2)}, {1, 2, 0});
    const Circ r = c.remove_swaps();
    CHECK_EQ(S(r), "Circuit { cx(2, 1) h(0) (0 2 1) }");
    // Round trip through the materialised swaps.
    const Circ d = C({G(gates::H, 0), G(gates::CX, 2, 1)}, {2, 0, 1});
    CHECK(Circ::create(d.instrs_with_swaps(), Permut32::identity(3)).remove_swaps() == d);
    CHECK(IdentityCirc::unchecked(c + r.inverse()).check());
    // Stored values that bypassed the checks.
    CHECK_PANICS(Circ::from_parts({Instr32(gates::SWAP, QArgs16(0, 255))}, P({0, 1})).remove_swaps(),
                 "Index out of bounds");
    CHECK_PANICS(Circ::from_parts({G(gates::H, 3)}, P({0, 1})).remove_swaps(),
                 "index out of bounds: the len is 2 but the index is 3");
    // Entries past a stored length are dropped, with or without swaps; a
    // length above 8 cannot be packed.
    const Permut32 odd(1u | 2u << 6 | 2u << 24);
    CHECK_EQ(Circ::from_parts({G(gates::H, 0)}, odd).remove_swaps().perm.raw, 1u | 2u << 24);
    CHECK_EQ(Circ::from_parts({G(gates::SWAP, 0, 1)}, odd).remove_swaps().perm.raw, 1u << 3 | 2u << 24);
    CHECK_PANICS(Circ::from_parts({G(gates::H, 0)}, Permut32(0x00FAC688u | 9u << 24)).remove_swaps(),
                 "Permutation values must be less than 8");
    // A swap with both qubits out of range names its first qubit.
    CHECK_PANICS(Circ::from_parts({G(gates::SWAP, 3, 4)}, P({0, 1})).remove_swaps(),
                 "index out of bounds: the len is 2 but the index is 3");
}

TEST_CASE(order_and_hash) {
    const Circ cx = C({G(gates::CX, 0, 1)}, {0, 1});
    const Circ h0 = C({G(gates::H, 0)}, {0, 1});
    const Circ x0 = C({G(gates::X, 0)}, {0, 1});
    const Circ h1 = C({G(gates::H, 1)}, {0, 1});
    const Circ two = C({G(gates::I, 0), G(gates::I, 0)}, {0});
    CHECK(cx < h0);
    CHECK(h0 < x0);
    CHECK(x0 < h1);
    CHECK(h1 < two);
    CHECK(C({}, {0, 1, 2, 3}) < cx);
    CHECK(C({G(gates::H, 0)}, {1, 0}) < C({G(gates::H, 0)}, {0, 1}));  // raw words 0x02000001 < 0x02000008
    CHECK((h0 <=> C({G(gates::H, 0)}, {0, 1})) == 0);

    // Feed: count, gate index, pair length, both bytes, raw word.
    ContentHasher h;
    h.u64(1);
    h.u16(1);
    h.u64(2);
    h.u8(0);
    h.u8(255);
    h.u32(P({0, 1}).raw);
    CHECK_EQ(h0.hash_value(), h.finish());
    CHECK(h0.hash_value() != C({G(gates::H, 0)}, {1, 0}).hash_value());
    CHECK_EQ(IdentityCirc::from_stored(h0).hash_value(), h0.hash_value());
}

TEST_CASE(identity_check) {
    CHECK(IdentityCirc().check());
    CHECK(IdentityCirc::unchecked(C({G(gates::X, 0), G(gates::X, 0)}, {0, 1})).check());
    const IdentityCirc hh = IdentityCirc::unchecked(C({G(gates::H, 0), G(gates::H, 0)}, {0}));
    CHECK(hh.check());
    CHECK(hh.check());
    // swap followed by the exchange it undoes.
    CHECK(IdentityCirc::unchecked(C({G(gates::SWAP, 0, 1)}, {1, 0})).check());
    const auto text = panic_text([] { IdentityCirc::unchecked(C({G(gates::H, 0)}, {0})); });
    CHECK(text && text->starts_with("IdentityCirc: circuit is not identity [") &&
          text->ends_with("] Identity { h(0) (0) }"));
    // No instructions but a qubit exchange: not an identity.
    CHECK(panic_text([] { IdentityCirc::from_stored(C({}, {1, 0})).check(); }));
    // A stored length field past 8 is refused before allocating.
    CHECK_PANICS(IdentityCirc::from_stored(Circ::from_parts({}, Permut32(40u << 24))).check(),
                 "Permutation length must be less than or equal to 8");
}

TEST_CASE(wire_queries) {
    using W = std::vector<std::uint64_t>;
    const IdentityCirc a = IdentityCirc::unchecked(
        C({G(gates::H, 0), G(gates::X, 1), G(gates::H, 0), G(gates::X, 1)}, {0, 1}));
    // cx(0, 1) h(0) h(1) h(0) h(1) cx(0, 1): each wire of the first cx meets one gate.
    const IdentityCirc b = IdentityCirc::unchecked(
        C({G(gates::CX, 0, 1), G(gates::H, 0), G(gates::H, 1), G(gates::H, 0), G(gates::H, 1), G(gates::CX, 0, 1)},
          {0, 1}));
    struct Case {
        IdentityCirc id;
        std::size_t instr;
        W forward, backward;  // the next and previous gate on each argument's wire
    } cases[] = {
        {a, 0, {2}, {2}},
        {a, 1, {3}, {3}},
        {a, 3, {1}, {1}},
        {IdentityCirc::unchecked(C({G(gates::SWAP, 0, 1)}, {1, 0})), 0, {0, 0}, {0, 0}},
        {b, 0, {1, 2}, {5, 5}},
        {b, 5, {0, 0}, {3, 4}},
        // A wire whose only gate is the queried one names that gate.
        {IdentityCirc::unchecked(C({G(gates::X, 0), G(gates::X, 0), G(gates::Z, 1), G(gates::Z, 1)}, {0, 1, 2})), 0,
         {1}, {1}},
        {IdentityCirc::unchecked(C({G(gates::I, 1)}, {0, 1})), 0, {0}, {0}},
        {IdentityCirc::from_stored(C({Instr32(gates::I, QArgs16())}, {0})), 0, {}, {}},
    };
    for (const Case& c : cases) {
        CHECK_EQ(V(c.id.qargs_forward(c.instr)), c.forward);
        CHECK_EQ(V(c.id.qargs_backward(c.instr)), c.backward);
    }
    CHECK_PANICS(a.qargs_forward(4), "index out of bounds: the len is 4 but the index is 4");
    CHECK_PANICS(a.qargs_backward(4), "index out of bounds: the len is 4 but the index is 4");

    // A stored value that is not an identity: the wire cannot be followed.
    const IdentityCirc bad = IdentityCirc::from_stored(Circ::from_parts({G(gates::H, 0), G(gates::H, 1)}, P({1, 0})));
    CHECK_PANICS(bad.qargs_forward(0), "Identity { h(0) h(1) (1 0) } [18446744073709551615]");
    CHECK_PANICS(bad.qargs_backward(1),
                 "a Identity { h(0) h(1) (1 0) } Circ { instrs: [h(0), h(0)], perm: (1 0) } 1");
}

namespace {

std::string temp_path() { return check::scratch_path("circ.bin"); }

std::string save(const std::vector<Circ>& cs) {
    const std::string path = temp_path();
    AtomicWriteFile f(path);
    PostcardWriter w(f);
    GateNameCache names;
    for (const Circ& c : cs) write_circ(w, c, names);
    w.flush();
    CHECK(f.finish());
    CHECK(f.commit());
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string& bytes) {
    std::ofstream out(temp_path(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string hex(const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char ch : s) {
        std::snprintf(buf, sizeof buf, "%02x ", ch);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

}  // namespace

TEST_CASE(postcard_form) {
    const Circ c = C({G(gates::H, 0), G(gates::CX, 0, 1)}, {0, 1});
    CHECK_EQ(hex(save({c})), "02 01 68 00 ff 02 63 78 00 01 88 80 80 10");
    CHECK_EQ(hex(save({Circ()})), "00 00");
    std::vector<Instr32> many(128, G(gates::X, 0));
    CHECK_EQ(hex(save({Circ::create(many, P({0}))}).substr(0, 2)), "80 01");

    // Two values back to back: each read stops exactly after its own bytes.
    const Circ odd = Circ::from_parts({G(gates::H, 7), Instr32(gates::Z, QArgs16(255, 3))}, Permut32(0xFF123456u));
    const std::string bytes = save({c, odd, Circ::create(many, P({0}))});
    {
        ReadFile f(temp_path());
        PostcardReader r(f);
        GateLookupCache gates;
        CHECK(read_circ(r, gates) == c);
        CHECK(read_identity(r, gates).circ == odd);  // taken as stored
        CHECK(read_circ(r, gates).len() == 128);
        bool ended = false;
        try {
            r.u8();
        } catch (const PostcardError& e) {
            ended = e.kind == PostcardError::UnexpectedEnd;
        }
        CHECK(ended);
    }
    // Every truncation fails with the end-of-data error, and so does a huge
    // count, which reserves nothing up front.
    const std::string one = save({c});
    std::vector<std::string> short_data = {std::string("\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 9)};
    for (std::size_t cut = 0; cut < one.size(); ++cut) short_data.push_back(one.substr(0, cut));
    for (const std::string& data : short_data) {
        put(data);
        ReadFile f(temp_path());
        PostcardReader r(f);
        GateLookupCache gates;
        bool ended = false;
        try {
            read_circ(r, gates);
        } catch (const PostcardError& e) {
            ended = e.kind == PostcardError::UnexpectedEnd;
        }
        CHECK(ended);
    }
    put(std::string("\x01\x03zzz\x00\xff\x00", 8));
    {
        ReadFile f(temp_path());
        PostcardReader r(f);
        GateLookupCache gates;
        CHECK_PANICS(read_circ(r, gates), "Failed to deserialize Gate16 from zzz");
    }
    std::remove(temp_path().c_str());
}

CHECK_MAIN()
