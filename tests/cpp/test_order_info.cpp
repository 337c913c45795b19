#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "state/order_info.hpp"
#include "state/scratch_states.hpp"

using namespace tsl;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

std::vector<std::size_t> vec(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

std::vector<std::string> texts(const CandidateOrders& c) {
    std::vector<std::string> out;
    for (Permut32 p : c) out.push_back(p.to_string());
    return out;
}

// A real state from its amplitudes (imaginary parts 0).
StateVec real_state(std::vector<double> re) {
    std::vector<Qreal> r(re.begin(), re.end()), i(re.size(), Qreal(0.0));
    return StateVec(std::move(r), std::move(i));
}

StateVec random_state(std::mt19937& g, std::uint32_t n) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    StateVec s = StateVec::zeros(n);
    for (std::size_t k = 0; k < s.len(); ++k) s.set(k, Complex{d(g), d(g)});
    return s;
}

ChaCha12Rng seeded(std::uint8_t b) {
    ChaCha12Rng::Seed seed{};
    seed[0] = b;
    return ChaCha12Rng(seed);
}

}  // namespace

TEST_CASE(symmetry_table_sizes_and_order) {
    const std::size_t sizes[16] = {1, 2, 2, 6, 2, 4, 6, 24, 2, 4, 4, 12, 6, 12, 24, 120};
    const auto all5 = Permut32::all(5);
    for (std::size_t m = 0; m < 16; ++m) {
        const auto list = eqmask_to_perms(m);
        CHECK_EQ(list.size(), sizes[m]);
        CHECK(list[0] == Permut32::identity(5));
        // A subsequence of Heap's order, and each element keeps every run of
        // joined positions in place.
        std::size_t at = 0;
        for (Permut32 p : list) {
            while (at < all5.size() && !(all5[at] == p)) ++at;
            CHECK(at < all5.size());
            for (std::uint8_t e = 0; e < 5; ++e) {
                std::size_t lo = e, hi = e;
                while (lo > 0 && ((m >> (lo - 1)) & 1)) --lo;
                while (hi < 4 && ((m >> hi) & 1)) ++hi;
                CHECK(p.at(e) >= lo && p.at(e) <= hi);
            }
        }
    }
    std::vector<std::string> nine;
    for (Permut32 p : eqmask_to_perms(9)) nine.push_back(p.to_string());
    CHECK_EQ(nine, (std::vector<std::string>{"(0 1 2 3 4)", "(1 0 2 3 4)", "(1 0 2 4 3)", "(0 1 2 4 3)"}));
    const auto all = eqmask_to_perms(15);
    CHECK(std::equal(all.begin(), all.end(), all5.begin(), all5.end()));
    CHECK_PANICS(eqmask_to_perms(16), "index out of bounds: the len is 16 but the index is 16");
}

TEST_CASE(orderings_of_zero_and_one_qubit) {
    const OrderInfo z = get_orderinfo(StateVec::zeros(0));
    CHECK(z.permut().empty());
    CHECK_EQ(vec(z.eq_classes()), (std::vector<std::size_t>{0}));
    CHECK(z.as_bits() == std::make_pair(Permut32::identity(0), std::uint8_t{0}));
    CHECK_EQ(texts(z.as_perms()), (std::vector<std::string>{"()"}));

    const OrderInfo o = get_orderinfo(real_state({0.6, 0.8}));
    CHECK(o.as_bits() == std::make_pair(P({0}), std::uint8_t{0}));
    CHECK_EQ(texts(o.as_perms()), (std::vector<std::string>{"(0)"}));
}

TEST_CASE(symmetric_states_tie_every_qubit) {
    ChaCha12Rng rng = seeded(1);
    const OrderInfo oi = get_orderinfo(StateVec::from_random_symmetric(rng, 3));
    CHECK_EQ(vec(oi.permut()), (std::vector<std::size_t>{0, 1, 2}));
    CHECK_EQ(vec(oi.eq_classes()), (std::vector<std::size_t>{3}));
    CHECK_EQ(oi.as_bits().second, 3);
    CHECK_EQ(texts(oi.as_perms()),
             (std::vector<std::string>{"(0 1 2)", "(1 0 2)", "(2 0 1)", "(0 2 1)", "(1 2 0)", "(2 1 0)"}));

    const OrderInfo five = get_orderinfo(StateVec::from_random_symmetric(rng, 5));
    CHECK_EQ(five.as_bits().second, 15);
    CHECK_EQ(five.as_perms().size(), 120u);

    // Six tied qubits are beyond the symmetry table.
    const OrderInfo six = get_orderinfo(StateVec::from_random_symmetric(rng, 6));
    CHECK_EQ(six.as_bits().second, 31);
    CHECK_PANICS(six.as_perms(), "index out of bounds: the len is 16 but the index is 31");
}

TEST_CASE(random_states_order_every_qubit_apart) {
    ChaCha12Rng rng = seeded(2);
    const OrderInfo oi = get_orderinfo(StateVec::from_random(rng, 4));
    CHECK_EQ(vec(oi.eq_classes()), (std::vector<std::size_t>{1, 2, 3, 4}));
    CHECK_EQ(oi.as_bits().second, 0);
    CHECK_EQ(oi.as_perms().size(), 1u);
    CHECK(oi.as_perms()[0] == oi.as_bits().first);
}

TEST_CASE(keys_order_by_quantised_value_with_negatives_last) {
    // Qubit 0's key starts with re[1] = -0.5, qubit 1's with re[2] = 0.5.
    const OrderInfo oi = get_orderinfo(real_state({0.1, -0.5, 0.5, 0.2}));
    CHECK_EQ(vec(oi.permut()), (std::vector<std::size_t>{1, 0}));
    CHECK_EQ(vec(oi.eq_classes()), (std::vector<std::size_t>{1, 2}));

    // Values that differ by less than the quantum tie.
    const OrderInfo tie = get_orderinfo(real_state({0.1, 0.5, 0.5 + 1e-9, 0.1}));
    CHECK_EQ(vec(tie.eq_classes()), (std::vector<std::size_t>{2}));
    CHECK_EQ(tie.as_bits().second, 1);
}

TEST_CASE(ties_keep_increasing_qubit_order) {
    // Qubits 0 and 2 tie (re[1] = re[4], re[6] = re[3]); qubit 1 comes first.
    const OrderInfo oi = get_orderinfo(real_state({0, 0.5, 0.1, 0.3, 0.5, 0.7, 0.3, 0}));
    CHECK_EQ(vec(oi.permut()), (std::vector<std::size_t>{1, 0, 2}));
    CHECK_EQ(vec(oi.eq_classes()), (std::vector<std::size_t>{1, 3}));
    CHECK_EQ(oi.as_bits().second, 0b10);
    CHECK_EQ(texts(oi.as_perms()), (std::vector<std::string>{"(1 0 2)", "(1 2 0)"}));

    // Five qubits whose keys do not follow their numbers, with qubits 0 and 4
    // tied and qubits 1 and 3 tied: each class keeps ascending qubits.
    std::vector<double> re(32, 0.0);
    const double k[5] = {0.2, 0.4, 0.3, 0.4, 0.2};
    for (int q = 0; q < 5; ++q) re[std::size_t{1} << q] = k[q];
    const OrderInfo five = get_orderinfo(real_state(re));
    CHECK_EQ(vec(five.permut()), (std::vector<std::size_t>{0, 4, 2, 1, 3}));
    CHECK_EQ(vec(five.eq_classes()), (std::vector<std::size_t>{2, 3, 5}));
    CHECK_EQ(five.as_bits().second, 0b1001);
    CHECK_EQ(texts(five.as_perms()),
             (std::vector<std::string>{"(0 4 2 1 3)", "(4 0 2 1 3)", "(4 0 2 3 1)", "(0 4 2 3 1)"}));
}

TEST_CASE(ordering_relabels_with_the_state) {
    // With all keys distinct, relabelling by pi maps the order to pi * order,
    // and relabelling by the inverse of the order puts qubits in canonical order.
    std::mt19937 g(3);
    for (std::uint32_t n = 2; n <= 5; ++n) {
        const auto perms = Permut32::all(n);
        for (int rep = 0; rep < 20; ++rep) {
            StateVec s = random_state(g, n);
            const Permut32 order = get_permutation(s);
            const Permut32 pi = perms[g() % perms.size()];
            StateVec t = s.clone();
            apply_permutation(t, pi);
            CHECK(get_permutation(t) == pi * order);
            apply_permutation(s, order.inv());
            CHECK(get_permutation(s) == Permut32::identity(static_cast<std::uint8_t>(n)));
        }
    }
}

TEST_CASE(sorting_one_class_of_a_split_order) {
    // Class 1 of [0 | 1 2 3] sorted by a key that reverses qubits 1..3 with
    // qubits 1 and 2 tied: [0 | 3 | 1 2].
    OrderInfo oi(4);
    oi.sort_eqclass_by_key(0, [](std::uint8_t q) { return q == 0 ? 0 : 1; });
    CHECK_EQ(vec(oi.eq_classes()), (std::vector<std::size_t>{1, 4}));
    oi.sort_eqclass_by_key(1, [](std::uint8_t q) { return q == 3 ? 0 : 1; });
    CHECK_EQ(vec(oi.permut()), (std::vector<std::size_t>{0, 3, 1, 2}));
    CHECK_EQ(vec(oi.eq_classes()), (std::vector<std::size_t>{1, 2, 4}));
    CHECK(oi.get_eqclass_range(2) == std::make_pair(std::size_t{2}, std::size_t{4}));
    CHECK_EQ(oi.as_bits().second, 0b100);
    CHECK_PANICS(oi.get_eqclass_range(3), "index out of bounds: the len is 3 but the index is 3");
    CHECK_PANICS(oi.sort_eqclass_by_key(3, [](std::uint8_t) { return 0; }),
                 "index out of bounds: the len is 3 but the index is 3");
    CHECK_PANICS(QubitKey::of(StateVec::zeros(2), 2), "index out of bounds: the len is 4 but the index is 4");
}

CHECK_MAIN()
