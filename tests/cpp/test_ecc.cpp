#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <random>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "check.hpp"
#include "model/gate.hpp"
#include "model/swap_network.hpp"
#include "search/ecc.hpp"
#include "search/ecc_file.hpp"
#include "search/quartz.hpp"
#include "search/raw_eccs.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Instr32 I1(Gate16 g, std::uint8_t q) { return Instr32(g, q); }
Instr32 I2(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32(g, a, b); }

std::string read_all(const std::string& p) {
    std::string out;
    FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

void write_all(const std::string& p, const std::string& bytes) {
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string hex(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

// Names in the scratch directory (temporary files must not linger).
std::vector<std::string> dir_entries() {
    std::vector<std::string> out;
    DIR* d = opendir(check::scratch_dir().c_str());
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// The error a call throws: kind and text, or "none".
template <class F>
std::string file_error(F f) {
    try {
        f();
    } catch (const FileError& e) {
        return std::string(e.kind == FileError::Os ? "Os: " : "Data: ") + e.what();
    }
    return "none";
}

// A gate named like the built-in h but with another matrix: its display name
// reads back as h, so it cannot be written by name.
Gate16 shadow_h() {
    GateMatrix m(2, 2);
    m.at(0, 0) = Complex{0.6, 0.0};
    m.at(0, 1) = Complex{0.8, 0.0};
    m.at(1, 0) = Complex{0.8, 0.0};
    m.at(1, 1) = Complex{-0.6, 0.0};
    return Gate16::create("h", {}, m);
}

// Two-qubit class of the swap examples: ([swap(0, 1)], (0 1)), ([], (1 0)).
ECC swap_class() { return ECC({{{I2(gates::SWAP, 0, 1)}, P({0, 1})}, {{}, P({1, 0})}}); }

}  // namespace

TEST_CASE(materialisation_appends_swaps_of_relative_permutation) {
    const ECC same({{{I1(gates::H, 0)}, P({1, 0})}, {{I1(gates::X, 1)}, P({1, 0})}});
    auto c = same.circuits();
    CHECK_EQ(c.size(), 2u);
    CHECK(c[0] == std::vector<Instr32>{I1(gates::H, 0)});
    CHECK(c[1] == std::vector<Instr32>{I1(gates::X, 1)});

    const ECC e({{{I1(gates::H, 0)}, P({0, 1})}, {{I2(gates::CX, 0, 1)}, P({1, 0})}});
    c = e.circuits();
    CHECK(c[0] == std::vector<Instr32>{I1(gates::H, 0)});
    CHECK((c[1] == std::vector<Instr32>{I2(gates::CX, 0, 1), I2(gates::SWAP, 0, 1)}));
    CHECK_EQ(e.to_string(), std::string("ECC {\n\th(0),\n\tcx(0, 1) swap(0, 1),\n}"));

    // Relative to a non-identity representative: (1 2 0) against (2 0 1)
    // needs the swaps that sort (1 2 0)^-1 * (2 0 1) = (1 2 0).
    const ECC three({{{}, P({1, 2, 0})}, {{}, P({2, 0, 1})}});
    c = three.circuits();
    CHECK(c[0].empty());
    std::vector<Instr32> expect;
    append_swap_instrs(P({1, 2, 0}).inv() * P({2, 0, 1}), expect);
    CHECK(!expect.empty());
    CHECK(c[1] == expect);
}

TEST_CASE(text_forms) {
    const ECC empty_circ({{{}, P({0})}, {{I1(gates::H, 0), I1(gates::H, 0)}, P({0})}});
    CHECK_EQ(empty_circ.to_string(), std::string("ECC {\n\t,\n\th(0) h(0),\n}"));
    const ECC single({{{I1(gates::X, 0)}, P({0})}});
    CHECK_EQ(ECCs({single, single}, 1).to_string(), std::string());
    CHECK_EQ(ECCs({}, 1).to_string(), std::string());
    CHECK_EQ(ECCs({empty_circ, single, empty_circ}, 1).to_string(),
             empty_circ.to_string() + " & " + empty_circ.to_string());
}

TEST_CASE(broken_classes_panic) {
    const ECC none;
    const char* oob = "index out of bounds: the len is 0 but the index is 0";
    CHECK_PANICS(none.circuits(), oob);
    CHECK_PANICS(none.to_string(), oob);
    CHECK_PANICS(ECC().simplify_permute(), oob);
    CHECK_PANICS(ECCs({none}, 1).check(), oob);
    CHECK_EQ(ECCs({none, none}, 1).to_string(), std::string());  // not shown: fewer than 2 circuits
    const ECC mixed({{{}, P({0, 1})}, {{}, P({0})}});
    const char* len = "assertion failed: self.len() == other.len()";
    CHECK_PANICS(mixed.circuits(), len);
    CHECK_PANICS(mixed.to_string(), len);
    CHECK_PANICS(ECCs({mixed}, 2).check(), len);
    CHECK_PANICS(quartz_document(ECCs({mixed}, 2)), len);
    // filter_single and equality cope with both.
    CHECK_EQ(ECCs({none, mixed}, 2).filter_single(), ECCs({mixed}, 2));
}

TEST_CASE(simplify_permute_takes_permutations_relative_to_first) {
    ECC e({{{I1(gates::H, 0)}, P({1, 2, 0})}, {{I1(gates::X, 2)}, P({2, 0, 1})}, {{}, P({1, 2, 0})}});
    const ECC s = e.simplify_permute();
    CHECK_EQ(s.circs[0].perm, P({0, 1, 2}));
    CHECK_EQ(s.circs[1].perm, P({1, 2, 0}).inv() * P({2, 0, 1}));
    CHECK_EQ(s.circs[2].perm, P({0, 1, 2}));
    CHECK(s.circs[1].instrs == e.circs[1].instrs);
    // The materialised circuits do not change.
    CHECK(s.circuits() == e.circuits());
}

TEST_CASE(class_order_and_equality) {
    const EccCircuit cx{{I2(gates::CX, 0, 1), I1(gates::H, 0)}, P({0, 1})};
    const EccCircuit x{{I1(gates::X, 0)}, P({0, 1})};
    // Instructions before length: cx(0, 1) < x(0).
    CHECK(ECC({cx}) < ECC({x}));
    // A prefix orders first, for instructions and for circuit lists.
    const EccCircuit cx_only{{I2(gates::CX, 0, 1)}, P({1, 0})};
    CHECK(ECC({cx_only}) < ECC({cx}));
    CHECK(ECC({x}) < ECC({x, cx}));
    // Equal instructions: the raw permutation word decides.
    CHECK(ECC({{{}, P({1, 0})}}) < ECC({{{}, P({0, 1})}}));  // raw 0x02000001 < 0x02000008
    CHECK(ECC({{{}, P({1, 0})}}) != ECC({{{}, P({0, 1})}}));
    // The second qubit byte counts even when the first slot is empty.
    CHECK(ECC({{{Instr32(gates::H, 255, 3)}, P({0})}}) != ECC({{{Instr32(gates::H, 255, 4)}, P({0})}}));
    CHECK(ECCs({ECC({x})}, 2) == ECCs({ECC({x})}, 2));
    CHECK(ECCs({ECC({x})}, 2) != ECCs({ECC({x})}, 3));
}

TEST_CASE(randomised_check_finds_broken_classes) {
    const ECC good({{{I1(gates::H, 0), I1(gates::H, 0)}, P({0, 1})}, {{}, P({0, 1})}});
    const ECC swapped({{{I2(gates::CX, 0, 1)}, P({0, 1})}, {{I2(gates::CX, 1, 0)}, P({1, 0})}});
    // cx(0, 1) then swap equals swap then cx(1, 0): as circuits relative to
    // each other, cx(1, 0) followed by a relabelling of its outputs.
    const ECC relabelled({{{I2(gates::CX, 0, 1), I2(gates::SWAP, 0, 1)}, P({0, 1})},
                          {{I2(gates::SWAP, 0, 1), I2(gates::CX, 1, 0)}, P({0, 1})}});
    const ECC bad({{{I1(gates::H, 0)}, P({0, 1})}, {{I1(gates::X, 0)}, P({0, 1})}});
    const ECC single({{{I1(gates::Y, 1)}, P({0, 1})}});
    const ECCs all({good, bad, relabelled, single, bad, swapped}, 2);
    const auto failed = all.check();
    CHECK_EQ(failed.size(), 3u);
    if (failed.size() == 3) {
        CHECK(failed[0] == bad);
        CHECK(failed[1] == bad);
        CHECK(failed[2] == swapped);
    }
    CHECK(ECCs({good, relabelled, single}, 2).check().empty());
    CHECK(ECCs({}, 0).check().empty());

    // A qubit outside the state fails inside gate application; large qubit
    // counts are refused before any state is drawn.
    CHECK_PANICS(ECCs({ECC({{{I1(gates::H, 2)}, P({0, 1})}})}, 2).check(),
                 "index out of bounds: the len is 4 but the index is 4");
    CHECK_PANICS(ECCs({good}, 9).check(), "ECCs.check supports at most 8 qubits, got 9");
    CHECK_PANICS(ECCs({good}, std::uint64_t{1} << 40).check(),
                 "ECCs.check supports at most 8 qubits, got 1099511627776");
}

Evaluator seeded_evaluator(std::uint64_t nqubits) {
    ChaCha12Rng::Seed seed{};
    seed[0] = 0x5A;
    ChaCha12Rng rng(seed);
    return Evaluator::from_random(rng, nqubits);
}

// A hand-filed class on four qubits whose members are stored longest first:
// m0 = x(0) h(1) with front = back = (1 0 2 3), then cx(3, 1) with back
// (1 0 2 3), h(2) and cx(1, 3).  The shortest, smallest member cx(1, 3) uses
// qubits {1, 3}: uniform_inv = (1 3 2 0), uniform = (3 0 2 1).
TEST_CASE(class_simplification_and_text_forms) {
    const Evaluator e = seeded_evaluator(4);
    const Permut32 id = Permut32::identity(4), sw = P({1, 0, 2, 3});
    RawECCs map(e);
    const std::uint64_t kx = 1, k = 2;
    const auto lx = map.add_entry(kx, id, id, InstrList::nil(), std::vector<Instr32>{I1(gates::X, 0)});
    CHECK(lx.has_value());
    if (!lx) return;
    CHECK(map.add_entry(k, sw, sw, *lx, std::vector<Instr32>{I1(gates::X, 0), I1(gates::H, 1)}).has_value());
    for (auto [f, b, in] : {std::tuple{id, sw, I2(gates::CX, 3, 1)}, std::tuple{id, id, I1(gates::H, 2)},
                            std::tuple{id, id, I2(gates::CX, 1, 3)}})
        CHECK(!map.add_entry(k, f, b, InstrList::nil(), std::vector<Instr32>{in}).has_value());
    const CircuitECC* c = map.find(k);
    CHECK(c != nullptr && c->circuits.size() == 4);
    if (!c || c->circuits.size() != 4) return;

    // Sorted by (length, instructions, permutation), then renumbered and not
    // sorted again: cx(3, 1) becomes cx(1, 0), which would sort before h(2).
    const ECC simplified = map.simplify_class(*c);
    const ECC want({{{I2(gates::CX, 0, 1)}, id},
                    {{I1(gates::H, 2)}, id},
                    {{I2(gates::CX, 1, 0)}, P({3, 1, 2, 0})},
                    {{I1(gates::X, 0), I1(gates::H, 3)}, id}});
    CHECK(simplified == want);
    // The root class first; cx(0, 1) orders before x(0) in the class order.
    const ECCs all = map.simplify();
    CHECK_EQ(all.nqubits, 4u);
    CHECK(all.eccs.size() == 3 && all.eccs[0] == ECC({{{}, id}}) && all.eccs[1] == want &&
          all.eccs[2] == ECC({{{I1(gates::X, 0)}, id}}));
    CHECK(map.simplify() == all);

    CHECK_EQ(map.member_display(c->circuits[0]), std::string("x(1) h(0) (0 1 2 3)"));
    CHECK_EQ(map.member_debug(c->circuits[0]), std::string("(1 0 2 3) x(0) h(1) (1 0 2 3)"));
    const CircuitECC& root = *map.find(e.initial_key());
    CHECK_EQ(map.member_display(root.circuits[0]), std::string(" (0 1 2 3)"));
    CHECK_EQ(map.member_debug(root.circuits[0]), std::string("(0 1 2 3)  (0 1 2 3)"));
    CHECK_EQ(map.class_display(*c), std::string("CircuitECC {x(1) h(0) (0 1 2 3), cx(3, 1) (1 0 2 3), "
                                                "h(2) (0 1 2 3), cx(1, 3) (0 1 2 3)}"));
    // The gate sets in the class frame: fronts through front_perm^-1, backs
    // (walked last to first) through back_perm.
    CHECK_EQ(map.class_debug(*c),
             std::string("CircuitECC { size: 2, front_gates: {x(1), h(0), cx(3, 1), h(2), cx(1, 3)}, "
                         "back_gates: {h(0), x(1), cx(3, 0), h(2), cx(1, 3)}, circuits: [(1 0 2 3) x(0) h(1) "
                         "(1 0 2 3), (0 1 2 3) cx(3, 1) (1 0 2 3), (0 1 2 3) h(2) (0 1 2 3), (0 1 2 3) cx(1, 3) "
                         "(0 1 2 3)] }"));
    CHECK_EQ(map.class_debug(root),
             std::string("CircuitECC { size: 0, front_gates: {}, back_gates: {}, circuits: [(0 1 2 3)  (0 1 2 3)] }"));
    // A member whose relabelled surface gate is already in the class's set is
    // not stored.
    CHECK(!map.add_entry(k, id, id, InstrList::nil(), std::vector<Instr32>{I1(gates::H, 2)}).has_value());
    CHECK_EQ(map.find(k)->circuits.size(), 4u);
}

TEST_CASE(gate_set_expansion_order) {
    auto texts = [](std::vector<Gate16> gs, std::uint64_t n) {
        std::vector<std::string> out;
        for (const Instr32& i : expand_gate_set(std::move(gs), n)) out.push_back(i.to_string());
        return out;
    };
    using V = std::vector<std::string>;
    CHECK(texts({gates::H, gates::CX}, 2) == (V{"h(0)", "h(1)", "cx(0, 1)", "cx(1, 0)"}));
    CHECK(texts({gates::CX, gates::H}, 3) ==
          (V{"h(0)", "h(1)", "cx(0, 1)", "cx(1, 0)", "h(2)", "cx(0, 2)", "cx(1, 2)", "cx(2, 0)", "cx(2, 1)"}));
    // Missing adjoints are appended (t gets tdg), present ones not; the
    // caller's duplicates stay.
    CHECK(texts({gates::T}, 2) == (V{"t(0)", "tdg(0)", "t(1)", "tdg(1)"}));
    CHECK(texts({gates::SDG, gates::S}, 1) == (V{"s(0)", "sdg(0)"}));
    CHECK(texts({gates::H, gates::H}, 1) == (V{"h(0)", "h(0)"}));
    CHECK(texts({}, 3).empty());
    GateMatrix m3(8, 8);
    for (unsigned i = 0; i < 8; ++i) m3.at(i, i) = Complex{1.0, 0.0};
    CHECK_PANICS(expand_gate_set({gates::H, Gate16::create("three_q", {}, m3)}, 3),
                 "Only 1 and 2 qubit instructions are supported");
}

TEST_CASE(postcard_bytes_of_the_examples) {
    struct Case {
        ECCs eccs;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {ECCs({ECC({{{}, Permut32::identity(2)}})}, 2), hex({0x01, 0x01, 0x00, 0x88, 0x80, 0x80, 0x10, 0x02})},
        {ECCs({ECC({{{I1(gates::H, 0)}, Permut32::identity(1)}})}, 1),
         hex({0x01, 0x01, 0x01, 0x01, 0x68, 0x00, 0xff, 0x80, 0x80, 0x80, 0x08, 0x01})},
        {ECCs({}, 3), hex({0x00, 0x03})},
        {ECCs({ECC({{{}, P({0})}, {{I1(gates::H, 0), I1(gates::H, 0)}, P({0})}}), ECC({{{I1(gates::H, 0)}, P({0})}})},
              1),
         hex({0x02, 0x02, 0x00, 0x80, 0x80, 0x80, 0x08, 0x02, 0x01, 0x68, 0x00, 0xff, 0x01, 0x68, 0x00, 0xff, 0x80,
              0x80, 0x80, 0x08, 0x01, 0x01, 0x01, 0x68, 0x00, 0xff, 0x80, 0x80, 0x80, 0x08, 0x01})},
    };
    const std::string p = check::scratch_path("examples.bin");
    for (const Case& c : cases) {
        save_eccs_postcard(c.eccs, p);
        CHECK(read_all(p) == c.bytes);
        CHECK(load_eccs_postcard(p) == c.eccs);
        // Trailing bytes are ignored.
        write_all(p, c.bytes + "\x05junk");
        CHECK(load_eccs_postcard(p) == c.eccs);
    }
}

TEST_CASE(postcard_round_trip_keeps_raw_values) {
    // Nothing is validated: odd permutation words, empty classes, qubit bytes
    // beyond nqubits and large counts survive a round trip unchanged.
    const ECCs odd({ECC(), ECC({{{Instr32(gates::CX, 7, 200), Instr32(gates::H, 255, 9)}, Permut32(0xFFFFFFFFu)},
                                {{}, Permut32(0x09000000u)}})},
                   std::uint64_t{0xFFFFFFFFFFFFFFFFull});
    const std::string p = check::scratch_path("odd.bin");
    save_eccs_postcard(odd, p);
    const std::string first = read_all(p);
    const ECCs back = load_eccs_postcard(p);
    CHECK(back == odd);
    save_eccs_postcard(back, p);
    CHECK(read_all(p) == first);

    // New files get mode 0o666 less the umask, as an ordinary create gives.
    const mode_t old_mask = umask(027);
    const std::string q = check::scratch_path("mode.json");
    unlink(p.c_str());
    save_eccs_postcard(odd, p);
    dump_quartz(ECCs({}, 1), q);
    umask(old_mask);
    struct stat st{}, sq{};
    CHECK(stat(p.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
    CHECK(stat(q.c_str(), &sq) == 0 && (sq.st_mode & 0777) == 0640);
    unlink(q.c_str());
}

TEST_CASE(postcard_decode_errors) {
    const std::string h = hex({0x01, 0x01, 0x01, 0x01, 0x68, 0x00, 0xff, 0x80, 0x80, 0x80, 0x08, 0x01});
    const std::string p = check::scratch_path("bad.bin");
    const std::string eof = "Data: Failed to read postcard data: Hit the end of buffer, expected more data";
    for (std::size_t cut = 0; cut < h.size(); ++cut) {
        write_all(p, h.substr(0, cut));
        CHECK_EQ(file_error([&] { load_eccs_postcard(p); }), eof);
    }
    const std::string varint =
        "Data: Failed to read postcard data: Found a varint that didn't terminate. Is the usize too big for this "
        "platform?";
    struct Case {
        std::string bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        // a count of eleven bytes, and a tenth byte above 1
        {std::string(10, '\x80') + '\x00', varint},
        {std::string(9, '\xff') + '\x02', varint},
        {std::string(9, '\xff') + '\x01' + '\x00', eof},  // 2^64 - 1 classes: the data ends
        // permutation word: a fifth byte above 0x0f
        {hex({0x01, 0x01, 0x00, 0xff, 0xff, 0xff, 0xff, 0x10, 0x01}), varint},
        {hex({0x01, 0x01, 0x00, 0xff, 0xff, 0xff, 0xff, 0x0f, 0x01}), "none"},
        // a name that is not UTF-8, and one longer than the scratch area
        {hex({0x01, 0x01, 0x01, 0x01, 0xc3, 0x00, 0xff, 0x80, 0x80, 0x80, 0x08, 0x01}),
         "Data: Failed to read postcard data: Tried to parse invalid utf-8"},
        {hex({0x01, 0x01, 0x01, 0x81, 0x40}) + std::string(8193, 'a'), eof},
        // non-minimal varints are accepted
        {hex({0x80, 0x00, 0x83, 0x00}), "none"},
    };
    for (const Case& c : cases) {
        write_all(p, c.bytes);
        CHECK_EQ(file_error([&] { load_eccs_postcard(p); }), c.error);
    }
    // An unknown gate panics at once, before the truncation after it.
    write_all(p, hex({0x01, 0x01, 0x01, 0x03, 'z', 'z', 'z', 0x00}));
    CHECK_PANICS(load_eccs_postcard(p), "Failed to deserialize Gate16 from zzz");
    // Opening: a missing file, a directory (which opens but cannot be read),
    // and a NUL in the path.
    CHECK_EQ(file_error([&] { load_eccs_postcard(check::scratch_path("missing.bin")); }),
             std::string("Os: Failed to open file: No such file or directory (os error 2)"));
    CHECK_EQ(file_error([&] { load_eccs_postcard(check::scratch_dir()); }), eof);
    CHECK_EQ(file_error([&] { load_eccs_postcard(std::string("a\0b", 3)); }),
             std::string("Os: Failed to open file: file name contained an unexpected NUL byte"));
}

TEST_CASE(failed_saves_leave_the_old_file) {
    const ECCs good({ECC({{{I1(gates::H, 0)}, P({0})}, {{I1(gates::X, 0)}, P({0})}})}, 1);
    const Gate16 fake = shadow_h();
    CHECK(fake != gates::H);
    const ECCs bad({ECC({{{I1(gates::X, 0)}, P({0})}, {{I1(fake, 0)}, P({0})}})}, 1);
    const std::string p = check::scratch_path("keep.bin");
    const std::string q = check::scratch_path("keep.json");
    save_eccs_postcard(good, p);
    dump_quartz(good, q);
    const std::string before = read_all(p), before_q = read_all(q);
    const auto entries = dir_entries();

    CHECK_EQ(file_error([&] { save_eccs_postcard(bad, p); }),
             std::string("Data: Failed to write postcard data: gate display name h is shared with another gate"));
    CHECK_EQ(file_error([&] { dump_quartz(bad, q); }),
             std::string("Data: Failed to write JSON: gate display name h is shared with another gate"));
    CHECK(read_all(p) == before);
    CHECK(read_all(q) == before_q);
    CHECK(dir_entries() == entries);

    // A directory as the target, a missing directory and a NUL byte.
    mkdir(check::scratch_path("sub").c_str(), 0777);
    CHECK_EQ(file_error([&] { save_eccs_postcard(good, check::scratch_path("sub")); }),
             std::string("Os: Failed to create file: Is a directory (os error 21)"));
    CHECK_EQ(file_error([&] { dump_quartz(good, check::scratch_path("sub")); }),
             std::string("Os: Failed to create file: Is a directory (os error 21)"));
    CHECK_EQ(file_error([&] { save_eccs_postcard(good, check::scratch_path("nope/x.bin")); }),
             std::string("Os: Failed to create file: No such file or directory (os error 2)"));
    CHECK_EQ(file_error([&] { dump_quartz(good, std::string("x\0y", 3)); }),
             std::string("Os: Failed to create file: file name contained an unexpected NUL byte"));
    rmdir(check::scratch_path("sub").c_str());
    CHECK(dir_entries() == entries);
}

TEST_CASE(quartz_examples) {
    CHECK_EQ(quartz_document(ECCs({}, 2)), std::string("[[[0],[0]],{}]"));
    const ECC single({{{I1(gates::H, 0)}, P({0, 1})}});
    CHECK_EQ(quartz_document(ECCs({single, ECC()}, 2)), std::string("[[[0],[0]],{}]"));

    const std::string sw = "[\"swap\",[\"Q0\",\"Q1\"],[\"Q0\",\"Q1\"]]";
    CHECK_EQ(quartz_document(ECCs({swap_class()}, 2)),
             "[[[0],[0]],{\"0_0\":[[[2,1],[" + sw + "]],[[2,1],[" + sw + "]]],\"0_1\":[[[2,2],[" + sw + "," + sw +
                 "]],[[1,0],[]]]}]");

    // Equal permutations: one variant, no swaps; q counts from qubit 0.
    const ECC h2({{{I1(gates::H, 2)}, P({0, 1, 2})}, {{}, P({0, 1, 2})}});
    CHECK_EQ(quartz_document(ECCs({single, single, single, ECC(), h2}, 3)),
             std::string("[[[0],[0]],{\"4_0\":[[[3,1],[[\"h\",[\"Q2\"],[\"Q2\"]]]],[[1,0],[]]]}]"));

    // Keys in byte order: positions 16, 1, 26 and 10 give 10_0 < 1_0 < 1a_0 < a_0;
    // within a class 0_1 < 0_10 < 0_2.
    std::vector<ECC> many(27, single);
    const ECC two({{{}, P({0, 1})}, {{}, P({0, 1})}});
    many[1] = many[10] = many[16] = many[26] = two;
    const std::string doc = quartz_document(ECCs(many, 2));
    const std::string m = "[[[1,0],[]],[[1,0],[]]]";
    CHECK_EQ(doc, "[[[0],[0]],{\"10_0\":" + m + ",\"1_0\":" + m + ",\"1a_0\":" + m + ",\"a_0\":" + m + "}]");
    std::vector<EccCircuit> circs;
    for (const Permut32 p : Permut32::all(4).subspan(0, 11)) circs.push_back({{}, p});
    const std::string doc11 = quartz_document(ECCs({ECC(circs)}, 4));
    const auto k1 = doc11.find("\"0_1\""), k10 = doc11.find("\"0_10\""), k2 = doc11.find("\"0_2\"");
    CHECK(k1 < k10 && k10 < k2 && k2 != std::string::npos);
}

TEST_CASE(quartz_escapes_names) {
    std::string s;
    append_json_string(s, std::string("a\"b\\c\b\t\n\f\r\x01\x1f\x7f/\xe2\x80\xa0", 17));
    CHECK_EQ(s, std::string("\"a\\\"b\\\\c\\b\\t\\n\\f\\r\\u0001\\u001f\x7f/\xe2\x80\xa0\""));

    GateMatrix m(2, 2);
    m.at(0, 0) = Complex{0.0, 1.0};
    m.at(1, 1) = Complex{0.0, -1.0};
    const Gate16 odd = Gate16::create("q\"\n", {"a\\b"}, m);
    const ECC e({{{I1(odd, 0)}, P({0})}, {{}, P({0})}});
    const std::string doc = quartz_document(ECCs({e}, 1));
    CHECK(doc.find("[\"q\\\"\\n(a\\\\b)\",[\"Q0\"],[\"Q0\"]]") != std::string::npos);

    const std::string p = check::scratch_path("escaped.json");
    dump_quartz(ECCs({e}, 1), p);
    CHECK(read_all(p) == doc);
    unlink(p.c_str());
}

// Random and mutated files: loading and every later use either work, throw
// FileError or panic, and a loaded value survives a save and a reload.
TEST_CASE(fuzzed_files_never_crash) {
    std::mt19937 rng(12345);
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    const char* names[] = {"h", "x", "t", "cx", "swap", "cz"};
    auto varint = [](std::string& out, std::uint64_t v) {
        while (v >= 0x80) {
            out.push_back(static_cast<char>((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<char>(v));
    };
    auto valid = [&] {
        std::string b;
        const unsigned nclasses = pick(4);
        varint(b, nclasses);
        for (unsigned i = 0; i < nclasses; ++i) {
            const unsigned ncircs = pick(4);
            varint(b, ncircs);
            for (unsigned j = 0; j < ncircs; ++j) {
                const unsigned ninstrs = pick(4);
                varint(b, ninstrs);
                for (unsigned k = 0; k < ninstrs; ++k) {
                    const std::string n = names[pick(6)];
                    varint(b, n.size());
                    b += n;
                    const std::uint8_t qs[] = {0, 1, 2, 7, 255};
                    b.push_back(static_cast<char>(qs[pick(5)]));
                    b.push_back(static_cast<char>(qs[pick(5)]));
                }
                varint(b, pick(2) ? rng() : Permut32::all(3)[pick(6)].raw);
            }
        }
        const std::uint64_t nq[] = {0, 1, 2, 3, 9, std::uint64_t{1} << 40};
        varint(b, nq[pick(6)]);
        return b;
    };
    const std::string in = check::scratch_path("fuzz.bin"), out = check::scratch_path("fuzz.out"), json = check::scratch_path("fuzz.json");
    int loaded = 0;
    for (int n = 0; n < 1500; ++n) {
        std::string data;
        if (n % 3 == 0) {
            for (unsigned k = pick(24); k > 0; --k) data.push_back(static_cast<char>(rng()));
        } else {
            data = valid();
            if (n % 3 == 2 && !data.empty())
                for (unsigned k = 1 + pick(3); k > 0; --k) {
                    const std::size_t pos = pick(static_cast<unsigned>(data.size()));
                    switch (pick(3)) {
                        case 0: data[pos] = static_cast<char>(rng()); break;
                        case 1: data.insert(pos, 1, static_cast<char>(rng())); break;
                        default: data.resize(pos);
                    }
                    if (data.empty()) break;
                }
        }
        write_all(in, data);
        ECCs e;
        try {
            e = load_eccs_postcard(in);
        } catch (const FileError&) {
            continue;
        } catch (const Panic&) {
            continue;
        }
        ++loaded;
        auto attempt = [](auto f) {
            try {
                f();
            } catch (const Panic&) {
            } catch (const FileError&) {
            }
        };
        attempt([&] { (void)e.to_string(); });
        attempt([&] { (void)e.check(); });
        attempt([&] { dump_quartz(e, json); });
        for (const ECC& c : e.eccs) {
            attempt([&] { (void)c.circuits(); });
            attempt([&] { (void)ECC(c).simplify_permute(); });
        }
        save_eccs_postcard(e, out);
        CHECK(load_eccs_postcard(out) == e);
    }
    CHECK(loaded > 150);
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(json.c_str());
}

CHECK_MAIN()
