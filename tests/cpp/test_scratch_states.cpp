#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "state/scratch_states.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

// A state whose amplitude k is (k + 1) + i * (100 + k): every position is
// recognisable.
StateVec numbered(std::uint32_t n) {
    StateVec s = StateVec::zeros(n);
    for (std::size_t k = 0; k < s.len(); ++k) s.set(k, Complex{double(k + 1), double(100 + k)});
    return s;
}

StateVec random_state(std::mt19937& g, std::uint32_t n) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    StateVec s = StateVec::zeros(n);
    for (std::size_t k = 0; k < s.len(); ++k) s.set(k, Complex{d(g), d(g)});
    return s;
}

std::vector<double> re_of(const StateVec& s) {
    std::vector<double> v;
    for (Qreal x : s.re()) v.push_back(x.v);
    return v;
}

// Bit-for-bit equality of both arrays.
bool same_bits(const StateVec& a, const StateVec& b) {
    return a.len() == b.len() && std::memcmp(a.re().data(), b.re().data(), a.len() * 8) == 0 &&
           std::memcmp(a.im().data(), b.im().data(), a.len() * 8) == 0;
}

std::vector<std::size_t> cache_lengths() {
    StateVecCacheBorrow c;
    std::vector<std::size_t> out;
    for (const StateVec& s : c.entries()) out.push_back(s.len());
    return out;
}

}  // namespace

TEST_CASE(reserve_grows_the_cache_in_order_and_never_shrinks) {
    std::thread([] {
        CHECK(cache_lengths().empty());
        reserve_state_vec_cache(3);
        CHECK_EQ(cache_lengths(), (std::vector<std::size_t>{1, 2, 4, 8}));
        reserve_state_vec_cache(2);
        CHECK_EQ(cache_lengths(), (std::vector<std::size_t>{1, 2, 4, 8}));
        reserve_state_vec_cache(5);
        CHECK_EQ(cache_lengths(), (std::vector<std::size_t>{1, 2, 4, 8, 16, 32}));
    }).join();
    // Another thread has a cache of its own, which relabelling fills up to
    // the state's size.
    std::thread([] {
        CHECK(cache_lengths().empty());
        StateVec s = numbered(2);
        apply_permutation(s, P({1, 0}));
        CHECK_EQ(cache_lengths(), (std::vector<std::size_t>{1, 2, 4}));
    }).join();
}

TEST_CASE(relabelling_moves_amplitude_i_to_permut_bv_of_i) {
    StateVec s = numbered(2);
    apply_permutation(s, P({1, 0}));
    CHECK_EQ(re_of(s), (std::vector<double>{1, 3, 2, 4}));
    CHECK_EQ(s.at(1).im.v, 102.0);
    apply_permutation(s, P({1, 0}));
    CHECK(same_bits(s, numbered(2)));

    // (1 2 0): the old amplitudes 0..7 land at 0, 2, 4, 6, 1, 3, 5, 7.
    StateVec t = numbered(3);
    apply_permutation(t, P({1, 2, 0}));
    const std::size_t dest[8] = {0, 2, 4, 6, 1, 3, 5, 7};
    for (std::size_t i = 0; i < 8; ++i) CHECK_EQ(t.at(dest[i]).re.v, double(i + 1));

    StateVec id = numbered(4);
    apply_permutation(id, Permut32::identity(4));
    CHECK(same_bits(id, numbered(4)));

    StateVec one = numbered(0);
    apply_permutation(one, Permut32::identity(0));
    CHECK(same_bits(one, numbered(0)));
}

TEST_CASE(relabelling_composes_and_matches_permute_into) {
    std::mt19937 g(11);
    for (std::uint32_t n = 1; n <= 6; ++n) {
        const auto perms = Permut32::all(n);
        for (int rep = 0; rep < 20; ++rep) {
            const Permut32 p = perms[g() % perms.size()], q = perms[g() % perms.size()];
            const StateVec s = random_state(g, n);
            StateVec a = s.clone();
            apply_permutation(a, p);
            apply_permutation(a, q);
            StateVec b = s.clone();
            apply_permutation(b, q * p);
            CHECK(same_bits(a, b));

            StateVec c = StateVec::zeros(n);
            permute_into(s, q * p, c);
            CHECK(same_bits(c, b));
            StateVec d = StateVec::zeros(0);  // wrong size: resized
            permute_into(s, q * p, d);
            CHECK(same_bits(d, b));
            // Per amplitude: index permut_bv(i) holds the old amplitude i.
            for (std::size_t i = 0; i < s.len(); ++i)
                CHECK_EQ(b.at((q * p).permut_bv(static_cast<std::uint8_t>(i))).re.v, s.at(i).re.v);
        }
    }
}

TEST_CASE(results_do_not_depend_on_what_the_scratch_state_held) {
    std::mt19937 g(5);
    const StateVec s1 = random_state(g, 3), s2 = random_state(g, 3);
    StateVec a1 = s1.clone(), a2 = s2.clone();
    apply_permutation(a1, P({2, 0, 1}));
    apply_permutation(a2, P({1, 2, 0}));
    StateVec b2 = s2.clone();
    std::thread([&] { apply_permutation(b2, P({1, 2, 0})); }).join();
    CHECK(same_bits(a2, b2));
}

TEST_CASE(permutations_that_do_not_fit_the_state_panic_and_change_nothing) {
    const char* text = "Permutation does not match the state's qubits";
    const StateVec orig = numbered(3);
    const Permut32 bad[] = {
        P({1, 0}),                                  // too short
        P({1, 0, 2, 3}),                            // too long
        P({3, 5, 0}),                               // entries beyond the qubits
        Permut32::from_iter_unchecked({0, 0, 1}),   // repeated entry
        Permut32(0x03000000u | 0x0FFFFFu),          // length 3, entries 7 7 7 ...
    };
    for (Permut32 p : bad) {
        StateVec s = orig.clone();
        CHECK_PANICS(apply_permutation(s, p), text);
        CHECK(same_bits(s, orig));
        StateVec d = StateVec::zeros(3);
        CHECK_PANICS(permute_into(orig, p, d), text);
        CHECK(same_bits(d, StateVec::zeros(3)));
    }
    // A 9-qubit state cannot be relabelled by any 32-bit permutation.
    StateVec big = StateVec::zeros(9);
    CHECK_PANICS(apply_permutation(big, Permut32(0x09000000u | 0x00FAC688u)), text);
    // The cache is free again after a panic.
    StateVec s = orig.clone();
    apply_permutation(s, P({0, 2, 1}));
    CHECK_EQ(s.at(2).re.v, 5.0);
}

TEST_CASE(reentering_the_cache_panics) {
    StateVec s = numbered(2);
    {
        StateVecCacheBorrow held;
        CHECK_PANICS(apply_permutation(s, P({1, 0})), "RefCell already borrowed");
        CHECK_PANICS(reserve_state_vec_cache(1), "RefCell already borrowed");
        CHECK_PANICS(StateVecCacheBorrow(), "RefCell already borrowed");
    }
    CHECK(same_bits(s, numbered(2)));
    apply_permutation(s, P({1, 0}));
    CHECK_EQ(re_of(s), (std::vector<double>{1, 3, 2, 4}));
}

CHECK_MAIN()
