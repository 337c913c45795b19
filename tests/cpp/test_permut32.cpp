#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "check.hpp"
#include "base/file_io.hpp"
#include "model/permut32.hpp"
#include "base/postcard.hpp"
#include "model/swap_network.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

std::vector<std::uint8_t> entries(Permut32 p) {
    std::vector<std::uint8_t> out;
    for (std::uint8_t v : p) out.push_back(v);
    return out;
}

std::vector<SwapPair> swaps(Permut32 p) {
    std::vector<SwapPair> out;
    for (SwapPair s : p.generate_swaps()) out.push_back(s);
    return out;
}

// Words with every length field, including the ones a damaged file may hold.
std::vector<std::uint32_t> odd_words() {
    std::vector<std::uint32_t> w;
    std::mt19937 rng(7);
    for (std::uint32_t len = 0; len < 256; ++len) {
        w.push_back(len << 24);
        w.push_back((len << 24) | 0x00FFFFFFu);
        w.push_back((len << 24) | (rng() & 0x00FFFFFFu));
    }
    return w;
}

}  // namespace

TEST_CASE(packing_and_text) {
    static_assert(Permut32::identity(8).raw == 0x08FAC688u);
    static_assert(Permut32::identity(0).raw == 0);
    const Permut32 p = P({1, 2, 0});
    CHECK_EQ(p.raw, 50331665u);
    CHECK_EQ(p.raw, 0x03000011u);
    CHECK_EQ(p.to_string(), "(1 2 0)");
    CHECK_EQ(Permut32::identity(0).to_string(), "()");
    CHECK_EQ(Permut32::identity(8).to_string(), "(0 1 2 3 4 5 6 7)");
    CHECK_EQ(Permut32::identity(8).len(), 8);
    CHECK_EQ(Permut32::from_iter(std::vector<int>{}).raw, 0u);
    CHECK_EQ(Permut32::from_iter({7, 6, 5, 4, 3, 2, 1, 0}).to_string(), "(7 6 5 4 3 2 1 0)");
    // Partial relabelling: accepted as a length-2 value.
    const Permut32 q = P({3, 5});
    CHECK_EQ(q.raw, (2u << 24) | 3u | (5u << 3));
    CHECK_EQ(q.to_string(), "(3 5)");
    CHECK_EQ(Permut32::from_iter_unchecked({1, 2, 0}), p);
    CHECK_PANICS(Permut32::identity(9), "Permutation length must be less than or equal to 8");
}

TEST_CASE(checked_packing_refusals) {
    CHECK_PANICS(P({0, 0}), "Permutation values must be unique");
    CHECK_PANICS(P({8}), "Permutation values must be less than 8");
    // Range is checked before uniqueness, value by value.
    CHECK_PANICS(P({9, 9}), "Permutation values must be less than 8");
    CHECK_PANICS(P({1, 1, 9}), "Permutation values must be unique");
    CHECK_PANICS(Permut32::from_iter(std::vector<int>{0, -1}), "Permutation values must be less than 8");
    CHECK_PANICS(P({0, 1, 2, 3, 4, 5, 6, 7, 0}), "Permutation values must be unique");
}

TEST_CASE(fields) {
    Permut32 p = P({1, 0});
    CHECK_EQ(p.at(5), 0);
    CHECK_EQ(p.at(1), 0);
    CHECK_EQ(p.at(0), 1);
    CHECK_PANICS(p.at(8), "assertion failed: idx < 8");
    p.set(5, 6);
    CHECK_EQ(p.at(5), 6);
    CHECK_EQ(p.to_string(), "(1 0)");
    // set_len keeps entries.
    p.set_len(6);
    CHECK_EQ(p.to_string(), "(1 0 0 0 0 6)");
    CHECK_EQ(Permut32::shrink(p, 1).to_string(), "(1)");
    CHECK_EQ(Permut32::shrink(p, 1).at(5), 6);
    CHECK_EQ(Permut32::swap_inputs(P({1, 2, 0}), 0, 2).to_string(), "(0 2 1)");
    CHECK_PANICS(p.set(8, 0), "assertion failed: idx < 8");
}

TEST_CASE(composition_and_inverse) {
    CHECK_EQ((P({1, 2, 0}) * P({1, 0, 2})).to_string(), "(2 1 0)");
    CHECK_PANICS(P({1, 2, 0}) * P({1, 0}), "assertion failed: self.len() == other.len()");
    CHECK_EQ((Permut32::identity(0) * Permut32::identity(0)).raw, 0u);
    CHECK_EQ(P({1, 2, 0}).inv().to_string(), "(2 0 1)");
    CHECK_EQ(P({1, 2, 0}).inverse(), P({2, 0, 1}));
    CHECK_EQ(Permut32::identity(8).inv(), Permut32::identity(8));
    CHECK_EQ(Permut32::identity(0).inv().raw, 0u);
    // Garbage above the length does not reach the empty inverse.
    CHECK_EQ(Permut32(0x00ABCDEFu).inv().raw, 0u);
    // The inverse of a partial relabelling writes at the positions it names.
    const Permut32 q = P({3, 5}).inv();
    CHECK_EQ(q.raw, (2u << 24) | (1u << 15));
    CHECK_EQ(q.to_string(), "(0 0)");
    // Composition reads a's entry wherever b points, partial values included.
    Permut32 a = P({1, 0});
    a.set(3, 7);
    CHECK_EQ((a * P({3, 0})).to_string(), "(7 1)");

    for (unsigned n = 0; n <= 8; ++n) {
        const auto all = Permut32::all(n);
        std::mt19937 rng(n);
        for (std::size_t k = 0; k < std::min<std::size_t>(all.size(), 500); ++k) {
            const Permut32 p = all[rng() % all.size()], r = all[rng() % all.size()];
            CHECK((p * p.inv()).is_identity());
            CHECK((p.inv() * p).is_identity());
            CHECK_EQ((p * r).len(), n);
            for (unsigned i = 0; i < n; ++i) CHECK_EQ((p * r).at(i), p.at(r.at(i)));
            // permut_bv turns composition into function composition.
            for (unsigned bv = 0; bv < (1u << n); ++bv)
                CHECK_EQ((p * r).permut_bv(bv), p.permut_bv(r.permut_bv(bv)));
        }
    }
}

TEST_CASE(coordinate_permute_and_extension) {
    auto [a, b] = P({1, 0}).coordinate_permute(P({2, 0, 1}));
    CHECK_EQ(a.to_string(), "(1 0 2)");
    CHECK_EQ(b.to_string(), "(2 0 1)");
    auto [c, d] = P({2, 0, 1}).coordinate_permute(P({1, 0}));
    CHECK_EQ(c.to_string(), "(2 0 1)");
    CHECK_EQ(d.to_string(), "(1 0 2)");
    // Garbage in the shorter one's unused entries is not carried over.
    Permut32 g = P({1, 0});
    g.set(6, 5);
    auto [e, f] = g.coordinate_permute(Permut32::identity(4));
    CHECK_EQ(e.raw, P({1, 0, 2, 3}).raw);
    CHECK_EQ(f, Permut32::identity(4));
    // Equal lengths: both unchanged, unused bits included.
    auto [x, y] = g.coordinate_permute(P({0, 1}));
    CHECK_EQ(x.raw, g.raw);
    CHECK_EQ(y, P({0, 1}));

    CHECK_EQ(Permut32::from_iter_with_ext(4, {1, 3}).to_string(), "(1 3 2 0)");
    CHECK_EQ(Permut32::from_iter_with_ext(2, {0, 1, 2}).to_string(), "(0 1)");
    CHECK_EQ(Permut32::from_iter_with_ext(3, {}).to_string(), "(0 1 2)");
    CHECK_EQ(Permut32::from_iter_with_ext(0, {5}).raw, 0u);
    CHECK_EQ(Permut32::from_iter_with_ext(8, {7}).to_string(), "(7 1 2 3 4 5 6 0)");
    CHECK_PANICS(Permut32::from_iter_with_ext(3, {1, 1}), "Permutation values must be unique");
    // The fill takes i while free; i = 1 is taken by the value already.
    CHECK_EQ(Permut32::from_iter_with_ext(3, {1}).to_string(), "(1 0 2)");
}

TEST_CASE(basis_index_map_and_identity_test) {
    const Permut32 p = P({1, 2, 0});
    const std::uint8_t expect[8] = {0, 2, 4, 6, 1, 3, 5, 7};
    for (unsigned i = 0; i < 8; ++i) CHECK_EQ(p.permut_bv(i), expect[i]);
    CHECK_EQ(p.permut_bv(0xF8), 0);  // bits at n and above are dropped
    for (unsigned n = 0; n <= 8; ++n)
        for (unsigned bv = 0; bv < (1u << n); ++bv) CHECK_EQ(Permut32::identity(n).permut_bv(bv), bv);
    CHECK_EQ(Permut32::identity(0).permut_bv(0xFF), 0);

    CHECK(Permut32::identity(0).is_identity());
    for (unsigned n = 0; n <= 8; ++n) CHECK(Permut32::identity(n).is_identity());
    CHECK(!P({1, 0}).is_identity());
    Permut32 g = P({0, 1});
    g.set(4, 7);  // unused entries do not matter
    CHECK(g.is_identity());
    // Exactly one permutation of each length is an identity.
    for (unsigned n = 0; n <= 8; ++n) {
        auto all = Permut32::all(n);
        CHECK_EQ(std::count_if(all.begin(), all.end(), [](Permut32 q) { return q.is_identity(); }), 1);
    }
}

TEST_CASE(iteration) {
    CHECK((entries(P({1, 2, 0})) == std::vector<std::uint8_t>{1, 2, 0}));
    CHECK(entries(Permut32::identity(0)).empty());
    Permut32Iter it = P({4, 6}).iter();
    CHECK_EQ(it.next(), std::optional<std::uint8_t>(4));
    CHECK_EQ(it.next(), std::optional<std::uint8_t>(6));
    CHECK(!it.next().has_value());
    CHECK(!it.next().has_value());
}

TEST_CASE(heap_order) {
    const auto text = [](std::span<const Permut32> list) {
        std::vector<std::string> t;
        for (Permut32 p : list) t.push_back(p.to_string());
        return t;
    };
    CHECK((text(Permut32::all(0)) == std::vector<std::string>{"()"}));
    CHECK((text(Permut32::all(1)) == std::vector<std::string>{"(0)"}));
    CHECK((text(Permut32::all(2)) == std::vector<std::string>{"(0 1)", "(1 0)"}));
    CHECK((text(Permut32::all(3)) ==
           std::vector<std::string>{"(0 1 2)", "(1 0 2)", "(2 0 1)", "(0 2 1)", "(1 2 0)", "(2 1 0)"}));
    const auto four = text(Permut32::all(4));
    CHECK((std::vector<std::string>(four.begin(), four.begin() + 12) ==
           std::vector<std::string>{"(0 1 2 3)", "(1 0 2 3)", "(2 0 1 3)", "(0 2 1 3)", "(1 2 0 3)",
                                    "(2 1 0 3)", "(3 1 0 2)", "(1 3 0 2)", "(0 3 1 2)", "(3 0 1 2)",
                                    "(1 0 3 2)", "(0 1 3 2)"}));
    const auto eight = Permut32::all(8);
    CHECK_EQ(eight[0].to_string(), "(0 1 2 3 4 5 6 7)");
    CHECK_EQ(eight[1].to_string(), "(1 0 2 3 4 5 6 7)");
    CHECK_EQ(eight[2].to_string(), "(2 0 1 3 4 5 6 7)");
    CHECK_EQ(eight.back().to_string(), "(5 6 1 2 3 4 7 0)");

    const std::size_t sizes[9] = {1, 1, 2, 6, 24, 120, 720, 5040, 40320};
    std::size_t total = 0;
    for (unsigned n = 0; n <= 8; ++n) {
        auto list = Permut32::all(n);
        CHECK_EQ(list.size(), sizes[n]);
        total += list.size();
        std::set<std::uint32_t> distinct;
        for (Permut32 p : list) {
            CHECK_EQ(p.len(), n);
            CHECK_EQ(p.raw & ~(0xFFu << 24) & ~((1u << (3 * n)) - 1), 0u);
            // Each is a genuine permutation: its entries use every value below n.
            unsigned seen = 0;
            for (std::uint8_t v : p) seen |= 1u << v;
            CHECK_EQ(seen, (1u << n) - 1);
            distinct.insert(p.raw);
        }
        CHECK_EQ(distinct.size(), sizes[n]);
    }
    CHECK_EQ(total, 46234u);
    CHECK_EQ(Permut32::all(8).data(), eight.data());  // built once
    CHECK_PANICS(Permut32::all(9), "index out of bounds: the len is 9 but the index is 9");
    CHECK_PANICS(Permut32::all(200), "index out of bounds: the len is 9 but the index is 200");
}

TEST_CASE(long_length_fields_stay_in_the_word) {
    // Words as a damaged file may hold them: every operation works on the
    // first eight entries and keeps to the 32-bit word (run under UBSan).
    for (std::uint32_t w : odd_words()) {
        const Permut32 p(w);
        const unsigned n = std::min<unsigned>(p.len(), 8);
        CHECK_EQ(entries(p).size(), n);
        CHECK_EQ(p.to_string().size(), n == 0 ? 2 : 2 * n + 1);
        (void)p.inv();
        (void)(p * p);
        (void)p.permut_bv(0xFF);
        (void)p.is_identity();
        (void)p.coordinate_permute(Permut32::identity(3));
        (void)Permut32::identity(2).coordinate_permute(p);
        CHECK_EQ(p.inv().len(), p.len());
        SwapSequence s = p.generate_swaps();
        while (s.next()) {
        }
        for (unsigned i = 1; i < n; ++i) CHECK(s.step().at(i - 1) <= s.step().at(i));
    }
    // Lengths above 8 keep their field; entries behave as for length 8.
    const Permut32 big(0x0CFAC688u);
    CHECK(big.is_identity());
    CHECK_EQ(big.inv().raw, big.raw);
    CHECK_EQ(big.permut_bv(0xA5), 0xA5);
}

TEST_CASE(content_hash_feed) {
    ContentHasher h;
    P({1, 2, 0}).hash(h);
    const std::uint8_t bytes[4] = {0x11, 0x00, 0x00, 0x03};
    CHECK_EQ(h.finish(), content_hash_bytes(bytes, 4));
}

// The postcard form is `raw` as a u32 varint, read back as stored.
TEST_CASE(postcard_varint_form) {
    const std::string path = check::scratch_path("varints.bin");
    const std::uint32_t words[] = {P({1, 2, 0}).raw, Permut32::identity(0).raw, 0xFFFFFFFFu};
    {
        AtomicWriteFile f(path);
        PostcardWriter w(f);
        for (std::uint32_t raw : words) w.varint(raw);
        w.flush();
        CHECK(f.finish());
        CHECK(f.commit());
    }
    unsigned char bytes[16];
    long n;
    {
        ReadFile f(path);
        n = f.read(bytes, sizeof bytes);
    }
    const unsigned char expect[] = {0x91, 0x80, 0x80, 0x18, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    CHECK_EQ(n, static_cast<long>(sizeof expect));
    CHECK(std::equal(expect, expect + sizeof expect, bytes));
    {
        ReadFile f(path);
        PostcardReader r(f);
        for (std::uint32_t raw : words) CHECK_EQ(r.varint_u32(), raw);  // unused bits kept
    }
    unlink(path.c_str());
}

// ---- swap networks ------------------------------------------------------------

TEST_CASE(swap_network_table) {
    const std::size_t sizes[9] = {0, 0, 1, 3, 5, 9, 12, 16, 19};
    for (unsigned n = 0; n <= 8; ++n) {
        CHECK_EQ(SWAP_NETWORKS[n].size(), sizes[n]);
        for (SwapPair s : SWAP_NETWORKS[n]) CHECK(s.a < s.b && s.b < n);
    }
    CHECK((std::vector<SwapPair>(SWAP_NETWORKS[6].begin(), SWAP_NETWORKS[6].end()) ==
           std::vector<SwapPair>{{0, 5}, {1, 3}, {2, 4}, {1, 2}, {3, 4}, {0, 3},
                                 {2, 5}, {0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}}));
}

TEST_CASE(swap_pairs_examples) {
    struct Case {
        std::vector<std::uint8_t> perm;
        std::vector<SwapPair> pairs;
    };
    const Case cases[] = {
        {{1, 0}, {{0, 1}}},
        {{0, 1}, {}},
        {{}, {}},
        {{0}, {}},
        {{1, 2, 0}, {{0, 2}, {1, 2}}},
        {{2, 0, 1}, {{0, 2}, {0, 1}}},
        {{2, 1, 0}, {{0, 2}}},
        {{3, 2, 1, 0}, {{0, 2}, {1, 3}, {0, 1}, {2, 3}}},
        {{1, 0, 3, 2}, {{0, 1}, {2, 3}}},
        {{4, 3, 2, 1, 0}, {{0, 3}, {1, 4}, {0, 1}, {3, 4}}},
        {{7, 6, 5, 4, 3, 2, 1, 0},
         {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}, {0, 1}, {2, 3}, {4, 5}, {6, 7}}},
        // Not a rearrangement of 0..n-1: still sorted, no error.
        {{5, 3}, {{0, 1}}},
        {{6, 7, 2}, {{0, 2}, {1, 2}}},
        {{6, 2, 7}, {{0, 1}}},
    };
    for (const Case& c : cases) {
        const Permut32 p = Permut32::from_iter(c.perm);
        CHECK(swaps(p) == c.pairs);
        SwapSequence seq = p.generate_swaps();
        const SwapList list = seq.collect();
        CHECK((std::vector<SwapPair>(list.begin(), list.end()) == c.pairs));
        CHECK(!seq.next().has_value());
        std::vector<std::uint8_t> sorted = c.perm;
        std::sort(sorted.begin(), sorted.end());
        CHECK(entries(seq.step()) == sorted);
    }
    // The lazy sequence does nothing before it is asked.
    SwapSequence lazy = P({1, 0}).generate_swaps();
    CHECK_EQ(lazy.step(), P({1, 0}));
    CHECK_EQ(lazy.next(), std::optional<SwapPair>(SwapPair{0, 1}));
    CHECK_EQ(lazy.step(), P({0, 1}));
}

TEST_CASE(swaps_realise_every_permutation) {
    const std::size_t most[9] = {0, 0, 1, 2, 5, 7, 10, 13, 19};
    for (unsigned n = 0; n <= 8; ++n) {
        std::size_t longest = 0;
        for (Permut32 p : Permut32::all(n)) {
            SwapSequence seq = p.generate_swaps();
            const SwapList list = seq.collect();
            longest = std::max<std::size_t>(longest, list.size());
            CHECK_EQ(seq.step(), Permut32::identity(n));
            if (p.is_identity()) CHECK(list.empty());
            for (unsigned i = 0; i < (1u << n); ++i) {
                unsigned bv = i;
                for (SwapPair s : list) {
                    const unsigned ba = (bv >> s.a) & 1u, bb = (bv >> s.b) & 1u;
                    bv &= ~((1u << s.a) | (1u << s.b));
                    bv |= (ba << s.b) | (bb << s.a);
                }
                CHECK_EQ(bv, p.permut_bv(i));
            }
        }
        CHECK_EQ(longest, most[n]);
    }
}

CHECK_MAIN()
