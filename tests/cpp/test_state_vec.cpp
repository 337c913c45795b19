#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "check.hpp"
#include "model/gate.hpp"
#include "state/gate_apply.hpp"
#include "state/random.hpp"
#include "state/state_vec.hpp"

using namespace tsl;

// ---------------------------------------------------------------------------
// Allocation counter: the hot operations must not touch the heap.
static std::size_t g_allocs = 0;
__attribute__((noinline)) void* operator new(std::size_t n) {
    ++g_allocs;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr double C = 0.7071067811865476;
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// One rounded operation per call: the stores keep the expectations below free
// of contraction whatever the compiler flags are.
double rd(double x) {
    volatile double v = x;
    return v;
}
double mul(double a, double b) { return rd(a * b); }
double add(double a, double b) { return rd(a + b); }
double sub(double a, double b) { return rd(a - b); }
double dvd(double a, double b) { return rd(a / b); }

// Bit-identical, NaNs of any payload counting as equal.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_parts(const StateVec& s, const std::vector<double>& re, const std::vector<double>& im) {
    if (s.len() != re.size() || s.len() != im.size()) return false;
    for (std::size_t k = 0; k < s.len(); ++k)
        if (!same(s.re()[k].v, re[k]) || !same(s.im()[k].v, im[k])) return false;
    return true;
}

bool bit_equal(const StateVec& a, const StateVec& b) {
    std::vector<double> re, im;
    for (std::size_t k = 0; k < b.len(); ++k) {
        re.push_back(b.re()[k].v);
        im.push_back(b.im()[k].v);
    }
    return same_parts(a, re, im);
}

// The largest absolute difference between corresponding parts of two states
// of one length.
double max_difference(const StateVec& a, const StateVec& b) {
    double most = 0.0;
    for (std::size_t k = 0; k < a.len(); ++k)
        most = std::max({most, std::abs(a.re()[k].v - b.re()[k].v), std::abs(a.im()[k].v - b.im()[k].v)});
    return most;
}

StateVec sv(std::vector<Qreal> re, std::vector<Qreal> im) { return StateVec(std::move(re), std::move(im)); }

ChaCha12Rng seeded(std::uint8_t salt) {
    ChaCha12Rng::Seed seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 37 + salt);
    return ChaCha12Rng(seed);
}

void apply(StateVec& s, std::vector<std::uint8_t> q, Gate16 g) { s.apply(q.data(), q.size(), g); }

std::string oob(std::size_t len, std::size_t idx) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(idx);
}

GateMatrix square(std::size_t n) { return GateMatrix(n, n); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction and sizes

TEST_CASE(constructor_checks) {
    CHECK_PANICS(sv({1.0, 0.0, 0.0}, {0.0, 0.0, 0.0}), "Length must be a power of 2");
    CHECK_PANICS(sv({}, {}), "Length must be a power of 2");
    CHECK_PANICS(sv({1.0}, {0.0, 0.0}),
                 "assertion `left == right` failed: Real and imaginary parts must have the same length\n"
                 "  left: 1\n right: 2");
    // Values are kept as given, NaN included.
    StateVec s = sv({NaN, -0.0}, {Inf, 3.0});
    CHECK(same_parts(s, {NaN, -0.0}, {Inf, 3.0}));
    CHECK_EQ(s.len(), 2u);
    CHECK_EQ(s.nqubits(), 1u);
}

TEST_CASE(zeros_and_size_limits) {
    StateVec z0 = StateVec::zeros(0);
    CHECK_EQ(z0.len(), 1u);
    CHECK_EQ(z0.nqubits(), 0u);
    CHECK(same_parts(z0, {0.0}, {0.0}));
    StateVec z3 = StateVec::zeros(3);
    CHECK_EQ(z3.len(), 8u);
    CHECK_EQ(z3.nqubits(), 3u);

    const char* too_large = "Number of qubits too large, resulting in overflow for state vector size.";
    struct Case {
        std::uint32_t n;
        const char* text;
    } cases[] = {{64, too_large}, {65, too_large}, {0xFFFFFFFFu, too_large},
                 {60, "capacity overflow"}, {63, "capacity overflow"}};
    for (const Case& c : cases) {
        CHECK_PANICS(StateVec::zeros(c.n), c.text);
        // The random constructors refuse before drawing anything.
        ChaCha12Rng rng = seeded(1), untouched = seeded(1);
        CHECK_PANICS(StateVec::from_random(rng, c.n), c.text);
        CHECK_PANICS(StateVec::from_random_symmetric(rng, c.n), c.text);
        CHECK_EQ(rng.next_u64(), untouched.next_u64());
    }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_CASE(unallocatable_state_is_bad_alloc) {
    // 2^56 amplitudes: 2^59 bytes per array, beyond any address space.
    bool thrown = false;
    try {
        (void)StateVec::zeros(56);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    CHECK(thrown);
    thrown = false;
    ChaCha12Rng rng = seeded(2);
    try {
        (void)StateVec::from_random_symmetric(rng, 59);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    CHECK(thrown);
}
#endif

TEST_CASE(at_set_clone_swap) {
    StateVec s = StateVec::zeros(2);
    s.set(1, Complex{2.0, -0.5});
    CHECK(s.at(1) == (Complex{2.0, -0.5}));
    CHECK_PANICS(s.at(4), oob(4, 4));
    CHECK_PANICS(s.set(7, Complex{1.0, 0.0}), oob(4, 7));
    StateVec c = s.clone();
    c.set(1, Complex{0.0, 0.0});
    CHECK(s.at(1) == (Complex{2.0, -0.5}));  // deep copy

    StateVec big = StateVec::zeros(3);
    const Qreal* big_re = big.re().data();
    s.swap(big);  // exchanges the arrays themselves
    CHECK_EQ(s.len(), 8u);
    CHECK_EQ(s.re().data(), big_re);
    CHECK(big.at(1) == (Complex{2.0, -0.5}));
    s.copy_from(big);
    CHECK(s == big);
    CHECK(s.re().data() != big.re().data());
}

// ---------------------------------------------------------------------------
// Hash, equality, order, text

TEST_CASE(hash_of_known_states) {
    StateVec s = sv({1.0, 0.0}, {0.0, 0.0});
    CHECK_EQ(s.hash_value(), 762542468315872361ULL);
    apply(s, {0}, gates::H);
    CHECK(same_parts(s, {C, C}, {0.0, 0.0}));
    CHECK_EQ(s.re()[0].key(), 11863283u);
    CHECK_EQ(s.hash_value(), 342504036482978512ULL);
}

TEST_CASE(equality_order_and_hash_use_keys) {
    const double tiny = 0x1p-25;
    // Equal after quantisation: equal and hash alike.
    StateVec a = sv({1.0, 0.0}, {0.0, 0.0}), b = sv({1.0 + 1e-9, 1e-9}, {0.0, NaN});
    CHECK(a == b);
    CHECK(a <=> b == 0);
    CHECK_EQ(a.hash_value(), b.hash_value());
    // 2^-25 rounds to one unit.
    StateVec z = sv({0.0}, {0.0}), t = sv({tiny}, {0.0});
    CHECK(!(z == t));
    CHECK(z < t);
    CHECK(z.hash_value() != t.hash_value());

    struct Case {
        StateVec lo, hi;
    };
    std::vector<Case> ordered;
    // Negative keys order after non-negative ones, whatever follows.
    ordered.push_back({sv({0.1, -5.0}, {0.0, 0.0}), sv({-0.1, 0.0}, {0.0, 0.0})});
    ordered.push_back({sv({10.0, 0.0}, {0.0, 0.0}), sv({-10.0, 0.0}, {0.0, 0.0})});
    ordered.push_back({sv({-10.0, 0.0}, {0.0, 0.0}), sv({-1.0, 0.0}, {0.0, 0.0})});
    // re decides before im.
    ordered.push_back({sv({0.5, 0.0}, {-1.0, -1.0}), sv({0.5, 0.1}, {0.0, 0.0})});
    ordered.push_back({sv({0.5, 0.0}, {0.0, 0.2}), sv({0.5, 0.0}, {0.0, -0.2})});
    // A prefix orders first.
    ordered.push_back({sv({0.0, 0.0}, {5.0, 5.0}), sv({0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0})});
    for (const Case& c : ordered) {
        CHECK(c.lo < c.hi);
        CHECK(c.hi > c.lo);
        CHECK(!(c.lo == c.hi));
    }
    // Different lengths are never equal.
    CHECK(!(sv({0.0, 0.0}, {0.0, 0.0}) == sv({0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0})));
}

TEST_CASE(loose_equality) {
    CHECK(sv({0.5}, {0.0}).loose_eq(sv({0.5039}, {0.0})));
    CHECK(!sv({0.0039}, {0.0}).loose_eq(sv({0.0040}, {0.0})));
    CHECK(sv({-0.001}, {0.0}).loose_eq(sv({0.001}, {0.0})));
    CHECK(!sv({0.5}, {0.2}).loose_eq(sv({0.5}, {-0.2})));
    // Only the common positions count.
    CHECK(sv({0.5, 0.1}, {0.0, 0.3}).loose_eq(sv({0.5, 0.1, 9.0, 9.0}, {0.0, 0.3, 9.0, 9.0})));
    CHECK(!sv({0.5, 0.1}, {0.0, 0.3}).loose_eq(sv({0.5, 0.2, 9.0, 9.0}, {0.0, 0.3, 9.0, 9.0})));
}

TEST_CASE(text_forms) {
    struct Case {
        std::vector<Qreal> re, im;
        const char* text;
    } cases[] = {
        {{1.0, 0.0}, {0.0, 0.0}, "[1.0000, 0.0000]"},
        {{0.5, 0.0, 0.5, 1e-9}, {0.0, -0.5, 0.25, 1e-9}, "[0.5000, -0.5000j, 0.5000+0.2500j, 0.0000]"},
        {{0.0}, {0.0}, "[0.0000]"},
        {{-1e-9}, {0.0}, "[-0.0000]"},
        {{C, C}, {0.0, 0.0}, "[0.7071, 0.7071]"},
        {{0.03125, -0.3}, {-0.03125, -0.0}, "[0.0312-0.0312j, -0.3000]"},
        {{0.5, NaN}, {NaN, NaN}, "[0.5000NaNj, NaNNaNj]"},
        {{NaN, 1.0}, {0.0, Inf}, "[NaN, 1.0000+infj]"},
        {{-Inf, 0.0}, {1.0, -Inf}, "[-inf+1.0000j, -infj]"},
    };
    for (const Case& c : cases) CHECK_EQ(sv(c.re, c.im).to_string(), std::string(c.text));
}

// ---------------------------------------------------------------------------
// Normalisation

TEST_CASE(normalize_matches_straight_line_arithmetic) {
    const double r[4] = {0.3, -0.2, 0.1, 0.7}, m[4] = {0.1, 0.4, -0.5, 0.2};
    StateVec s = sv({r[0], r[1], r[2], r[3]}, {m[0], m[1], m[2], m[3]});
    CHECK(!s.check());
    s.normalize();

    double sum = 0.0;
    for (int k = 0; k < 4; ++k) sum = add(sum, add(mul(r[k], r[k]), mul(m[k], m[k])));
    const double norm = rd(std::sqrt(sum));
    double a[4], b[4];
    for (int k = 0; k < 4; ++k) {
        a[k] = dvd(r[k], norm);
        b[k] = dvd(m[k], norm);
    }
    // Amplitude 0 is the reference.
    const double d = add(mul(a[0], a[0]), mul(b[0], b[0]));
    const double rt = rd(std::sqrt(d));
    const double wr = mul(dvd(a[0], d), rt), wi = mul(dvd(-b[0], d), rt);
    std::vector<double> er, ei;
    for (int k = 0; k < 4; ++k) {
        er.push_back(sub(mul(wr, a[k]), mul(wi, b[k])));
        ei.push_back(add(mul(wi, a[k]), mul(wr, b[k])));
    }
    ei[0] = 0.0;
    CHECK(same_parts(s, er, ei));
    CHECK(s.check());
    CHECK(s.re()[0].v > 0.0);
}

TEST_CASE(normalize_arg_reference_choice) {
    // Amplitude 0 negligible: the last amplitude i is the reference, w = -i.
    StateVec a = sv({0.0, 0.0}, {0.0, 1.0});
    a.normalize_arg();
    CHECK(same_parts(a, {0.0, 1.0}, {0.0, 0.0}));

    // [1e-9, -1]: w = -1 turns amplitude 0 too; it is not made non-negative.
    StateVec b = sv({1e-9, -1.0}, {0.0, 0.0});
    b.normalize_arg();
    CHECK(same_parts(b, {-1e-9, 1.0}, {0.0, 0.0}));

    // First and last negligible: the normalised sum is the reference.
    const double r[4] = {0.0, 3e-8, 0.25, 1e-9}, m[4] = {1e-9, -0.5, 0.125, 0.0};
    StateVec c = sv({r[0], r[1], r[2], r[3]}, {m[0], m[1], m[2], m[3]});
    c.normalize_arg();
    double sr = 0.0, si = 0.0;
    for (int k = 0; k < 4; ++k) sr = add(sr, r[k]);
    for (int k = 0; k < 4; ++k) si = add(si, m[k]);
    const double nz = rd(std::sqrt(add(mul(sr, sr), mul(si, si))));
    const double zr = dvd(sr, nz), zi = dvd(si, nz);
    const double d = add(mul(zr, zr), mul(zi, zi));
    const double rt = rd(std::sqrt(d));
    const double wr = mul(dvd(zr, d), rt), wi = mul(dvd(-zi, d), rt);
    std::vector<double> er, ei;
    for (int k = 0; k < 4; ++k) {
        er.push_back(sub(mul(wr, r[k]), mul(wi, m[k])));
        ei.push_back(add(mul(wi, r[k]), mul(wr, m[k])));
    }
    ei[0] = 0.0;
    CHECK(same_parts(c, er, ei));

    // [i * 1e-9, 0, 0, 0]: amplitude 0 is turned onto the positive real axis.
    StateVec e = sv({0.0, 0.0, 0.0, 0.0}, {1e-9, 0.0, 0.0, 0.0});
    e.normalize_arg();
    CHECK(e.re()[0].v > 0.0);
    CHECK(same(e.im()[0].v, 0.0));

    // A NaN amplitude 0 is the reference and spreads; im[0] is still cleared.
    StateVec n = sv({NaN, 0.5}, {0.0, 0.5});
    n.normalize_arg();
    CHECK(same_parts(n, {NaN, NaN}, {0.0, NaN}));
}

TEST_CASE(normalize_arg_cancelling_amplitudes) {
    // First and last negligible and the sum exactly zero: the first amplitude
    // that is not negligible (here 0.5i) fixes the phase.
    StateVec a = sv({1e-9, 0.0, 0.0, -1e-9}, {0.0, 0.5, -0.5, 0.0});
    a.normalize_arg();
    CHECK(a == sv({0.0, 0.5, -0.5, 0.0}, {0.0, 0.0, 0.0, 0.0}));
    CHECK(a.im()[3].v == 1e-9);  // turned by -i too
    CHECK(a.re()[1].v == 0.5);
    CHECK(same(a.im()[0].v, 0.0));

    // Real amplitudes [0, s, -s, 0] cancel too; amplitude 1 is already real.
    StateVec b = sv({0.0, C, -C, 0.0}, {0.0, 0.0, 0.0, 0.0});
    b.normalize_arg();
    CHECK(b == sv({0.0, C, -C, 0.0}, {0.0, 0.0, 0.0, 0.0}));

    // Everything negligible and cancelling: left exactly as it was.
    StateVec c = sv({1e-9, 0.0, 0.0, -1e-9}, {1e-10, 0.0, -0.0, -1e-10});
    c.normalize_arg();
    CHECK(same_parts(c, {1e-9, 0.0, 0.0, -1e-9}, {1e-10, 0.0, -0.0, -1e-10}));

    // An empty (moved-from) state has no amplitude 0.
    StateVec d = StateVec::zeros(1);
    StateVec moved = std::move(d);
    CHECK_PANICS(d.normalize_arg(), oob(0, 0));  // NOLINT(bugprone-use-after-move)
    d.normalize();                               // nothing to do
    CHECK(!d.check());
    CHECK_EQ(moved.len(), 2u);
}

TEST_CASE(normalize_zero_and_tiny_norms) {
    // Exactly zero (either sign): the all-zero basis state.
    StateVec z = sv({0.0, -0.0, 0.0, 0.0}, {-0.0, 0.0, 0.0, -0.0});
    z.normalize();
    CHECK(same_parts(z, {1.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}));
    // Squares that all underflow to zero count as a zero norm.
    StateVec u = sv({1e-200, 0.0}, {0.0, -1e-200});
    u.normalize();
    CHECK(same_parts(u, {1.0, 0.0}, {0.0, 0.0}));

    // Tiny but representable norm: the ordinary steps.
    const double r[2] = {0.0, 3e-100}, m[2] = {4e-100, 0.0};
    StateVec t = sv({r[0], r[1]}, {m[0], m[1]});
    t.normalize();
    double sum = 0.0;
    for (int k = 0; k < 2; ++k) sum = add(sum, add(mul(r[k], r[k]), mul(m[k], m[k])));
    const double norm = rd(std::sqrt(sum));
    const double a0 = dvd(r[0], norm), b0 = dvd(m[0], norm), a1 = dvd(r[1], norm), b1 = dvd(m[1], norm);
    const double d = add(mul(a0, a0), mul(b0, b0));
    const double rt = rd(std::sqrt(d));
    const double wr = mul(dvd(a0, d), rt), wi = mul(dvd(-b0, d), rt);
    CHECK(same_parts(t, {sub(mul(wr, a0), mul(wi, b0)), sub(mul(wr, a1), mul(wi, b1))},
                     {0.0, add(mul(wi, a1), mul(wr, b1))}));
    CHECK(t.check());
}

TEST_CASE(check_unit_norm) {
    CHECK(sv({1.0, 0.0}, {0.0, 0.0}).check());
    CHECK(sv({0.6, 0.0}, {0.0, 0.8}).check());
    CHECK(!sv({1.0, 1e-3}, {0.0, 0.0}).check());
    CHECK(sv({1.0, 1e-4}, {0.0, 0.0}).check());  // 1e-8 off: within 2^-24
    CHECK(!sv({NaN, 0.0}, {0.0, 0.0}).check());
    CHECK(!StateVec::zeros(2).check());
}

// ---------------------------------------------------------------------------
// Random numbers and random states

TEST_CASE(chacha_block_function) {
    // ChaCha20 with an all-zero key and nonce, blocks 0 and 1 (published
    // keystream vectors); the 12-round generator shares the same code.
    ChaChaRng<20> rng(ChaChaRng<20>::Seed{});
    const std::uint32_t block0[16] = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0,
                                      0xccef36a8, 0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                      0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
    for (std::uint32_t w : block0) CHECK_EQ(rng.next_u32(), w);
    CHECK_EQ(rng.next_u32(), 0xbee7079fu);
    CHECK_EQ(rng.next_u32(), 0x7a385155u);

    // next_u64: low word first; next_f64: top 53 bits in units of 2^-53.
    ChaCha12Rng a = seeded(3), b = seeded(3);
    for (int i = 0; i < 40; ++i) {
        const std::uint64_t lo = a.next_u32(), hi = a.next_u32();
        CHECK_EQ(b.next_u64(), (hi << 32) | lo);
    }
    ChaCha12Rng c = seeded(4), e = seeded(4);
    for (int i = 0; i < 40; ++i) {
        const double x = c.next_f64();
        CHECK(same(x, static_cast<double>(e.next_u64() >> 11) * 0x1p-53));
        CHECK(x >= 0.0 && x < 1.0);
    }
    // Distinct seeds from the OS.
    ChaCha12Rng o1 = ChaCha12Rng::from_os_rng(), o2 = ChaCha12Rng::from_os_rng();
    CHECK(o1.next_u64() != o2.next_u64());
}

TEST_CASE(from_random_draw_order) {
    ChaCha12Rng rng = seeded(5), ref = seeded(5);
    StateVec s = StateVec::from_random(rng, 2);
    std::vector<Qreal> re, im;
    for (int k = 0; k < 4; ++k) re.push_back(ref.next_f64());
    for (int k = 0; k < 4; ++k) im.push_back(ref.next_f64());
    StateVec e = sv(re, im);
    e.normalize();
    CHECK(bit_equal(s, e));
    CHECK_EQ(rng.next_u64(), ref.next_u64());  // exactly 2L draws

    ChaCha12Rng srng = seeded(6), sref = seeded(6);
    StateVec y = StateVec::from_random_symmetric(srng, 3);
    double r[4], m[4];
    for (double& x : r) x = sref.next_f64();
    for (double& x : m) x = sref.next_f64();
    std::vector<Qreal> yr, yi;
    for (int k = 0; k < 8; ++k) {
        yr.push_back(r[std::popcount(unsigned(k))]);
        yi.push_back(m[std::popcount(unsigned(k))]);
    }
    StateVec ye = sv(yr, yi);
    ye.normalize();
    CHECK(bit_equal(y, ye));
    CHECK_EQ(srng.next_u64(), sref.next_u64());  // exactly 2(n+1) draws
}

TEST_CASE(random_state_properties) {
    ChaCha12Rng rng = ChaCha12Rng::from_os_rng();
    StateVec a = StateVec::from_random(rng, 3);
    CHECK_EQ(a.len(), 8u);
    CHECK(a.check());
    CHECK(same(a.im()[0].v, 0.0));
    CHECK(a.re()[0].v > 0.0);
    ChaCha12Rng rng2 = ChaCha12Rng::from_os_rng();
    CHECK(!(a == StateVec::from_random(rng2, 3)));

    StateVec y = StateVec::from_random_symmetric(rng, 3);
    CHECK(y.check());
    CHECK(same(y.im()[0].v, 0.0));
    for (std::size_t k : {2u, 4u}) {
        CHECK(same(y.re()[k].v, y.re()[1].v) && same(y.im()[k].v, y.im()[1].v));
    }
    for (std::size_t k : {5u, 6u}) {
        CHECK(same(y.re()[k].v, y.re()[3].v) && same(y.im()[k].v, y.im()[3].v));
    }
    // Symmetric under exchanging two qubits.
    StateVec y2 = StateVec::from_random_symmetric(rng, 2);
    StateVec swapped = y2.clone();
    apply(swapped, {0, 1}, gates::SWAP);
    CHECK(bit_equal(swapped, y2));
}

// ---------------------------------------------------------------------------
// Gate application

TEST_CASE(one_qubit_kernels_exact) {
    // a0 = (0.3, -0.7), a1 = (0.45, 0.2), plus a second group with special values.
    const double r0 = 0.3, m0 = -0.7, r1 = 0.45, m1 = 0.2;
    const std::vector<Qreal> re = {r0, r1, 1.5, Inf}, im = {m0, m1, -0.0, -0.0};
    auto run = [&](Gate16 g) {
        StateVec s = sv(re, im);
        apply(s, {0}, g);
        return s;
    };
    CHECK(same_parts(run(gates::H),
                     {mul(add(r0, r1), C), mul(sub(r0, r1), C), mul(add(1.5, Inf), C), mul(sub(1.5, Inf), C)},
                     {mul(add(m0, m1), C), mul(sub(m0, m1), C), mul(add(-0.0, -0.0), C), mul(sub(-0.0, -0.0), C)}));
    CHECK(same_parts(run(gates::X), {r1, r0, Inf, 1.5}, {m1, m0, -0.0, -0.0}));
    CHECK(same_parts(run(gates::Z), {r0, -r1, 1.5, -Inf}, {m0, -m1, -0.0, 0.0}));
    // s: (r * 0.0 - m, r + m * 0.0); inf * 0.0 gives NaN.
    CHECK(same_parts(run(gates::S), {r0, sub(mul(r1, 0.0), m1), 1.5, NaN},
                     {m0, add(r1, mul(m1, 0.0)), -0.0, Inf}));
    CHECK(same_parts(run(gates::SDG), {r0, add(m1, mul(r1, 0.0)), 1.5, NaN},
                     {m0, sub(mul(m1, 0.0), r1), -0.0, -Inf}));
    CHECK(same_parts(run(gates::T), {r0, sub(mul(r1, C), mul(m1, C)), 1.5, Inf},
                     {m0, add(mul(r1, C), mul(m1, C)), -0.0, Inf}));
    CHECK(same_parts(run(gates::TDG), {r0, add(mul(r1, C), mul(m1, C)), 1.5, Inf},
                     {m0, sub(mul(m1, C), mul(r1, C)), -0.0, -Inf}));
    // Signs of zero carried by the * 0.0 terms: s on a1 = (-0.0, -0.0).
    StateVec z = sv({1.0, -0.0}, {0.0, -0.0});
    apply(z, {0}, gates::S);
    CHECK(same_parts(z, {1.0, 0.0}, {0.0, -0.0}));
}

TEST_CASE(kernels_move_the_right_amplitudes) {
    // Amplitude k starts as (k, -k); each case lists where they end up.
    struct Case {
        Gate16 gate;
        std::vector<std::uint8_t> q;
        std::vector<int> from;  // new amplitude k = old amplitude from[k]
    } cases[] = {
        {gates::X, {1}, {2, 3, 0, 1}},
        {gates::X, {0}, {1, 0, 3, 2}},
        {gates::CX, {0, 1}, {0, 3, 2, 1}},  // qubit 0 controls
        {gates::CX, {1, 0}, {0, 1, 3, 2}},
        {gates::SWAP, {0, 1}, {0, 2, 1, 3}},
        {gates::SWAP, {1, 0}, {0, 2, 1, 3}},
    };
    for (const Case& c : cases) {
        StateVec s = StateVec::zeros(2);
        for (int k = 0; k < 4; ++k) s.set(k, Complex{double(k), -double(k)});
        apply(s, c.q, c.gate);
        for (int k = 0; k < 4; ++k) CHECK(s.at(k) == (Complex{double(c.from[k]), -double(c.from[k])}));
    }
    // Three qubits, spectator in the middle: cx(2, 0) flips qubit 0 where qubit 2 is set.
    StateVec s = StateVec::zeros(3);
    for (int k = 0; k < 8; ++k) s.set(k, Complex{double(k), 0.0});
    apply(s, {2, 0}, gates::CX);
    const int from[8] = {0, 1, 2, 3, 5, 4, 7, 6};
    for (int k = 0; k < 8; ++k) CHECK(s.at(k).re.v == from[k]);
}

TEST_CASE(kernels_agree_with_dense_product) {
    // Every gate of the table, asked for its kernel, on every placement on a
    // 3-qubit state: `apply` runs that kernel, and the kernel gives the dense
    // product of the gate's matrix bit for bit.  Three kernels round
    // differently: h adds before it scales, t and tdg use the float nearest
    // sqrt(1/2) where the table's matrices hold the one below it.  Theirs may
    // differ in the last bits, never in a quantised value.  Gates without a
    // kernel go through the dense product.
    const Gate16 last_bit_kernels[] = {gates::H, gates::T, gates::TDG};
    ChaCha12Rng rng = seeded(7);
    const StateVec start = StateVec::from_random(rng, 3);
    std::vector<std::vector<std::uint8_t>> placements[3];
    for (std::uint8_t a = 0; a < 3; ++a) {
        placements[1].push_back({a});
        for (std::uint8_t b = 0; b < 3; ++b)
            if (a != b) placements[2].push_back({a, b});
    }
    std::size_t kernels = 0;
    for (std::size_t i = 0; i < Gate16::table_size(); ++i) {
        const Gate16 g(static_cast<std::uint16_t>(i));
        const GateKernel kernel = gate_kernel(g);
        const unsigned k = g.nqargs();
        if (k == 0 || k > 2) {
            CHECK(kernel == nullptr);
            continue;
        }
        kernels += kernel != nullptr;
        const bool last_bit = std::ranges::find(last_bit_kernels, g) != std::end(last_bit_kernels);
        for (const auto& q : placements[k]) {
            StateVec viaapply = start.clone(), dense = start.clone();
            viaapply.apply(q.data(), k, g);
            dense.multiply(q.data(), k, g.matrix());
            CHECK(g == gates::I || !(viaapply == start));
            if (kernel) {
                StateVec direct = start.clone();
                kernel(direct, q.data(), k);
                CHECK(bit_equal(viaapply, direct));
            }
            if (last_bit) {
                CHECK(viaapply == dense);
                CHECK_EQ(viaapply.hash_value(), dense.hash_value());
                CHECK(max_difference(viaapply, dense) <= 0x1p-50);
            } else {
                CHECK(bit_equal(viaapply, dense));
            }
        }
    }
    CHECK(kernels >= std::size(last_bit_kernels));
    for (Gate16 g : last_bit_kernels) CHECK(gate_kernel(g) != nullptr);
    // A user gate with the h matrix is h and runs its kernel.
    const Gate16 h2 = Gate16::create("foo", {}, gates::H.matrix());
    CHECK(h2 == gates::H);
    CHECK(gate_kernel(h2) == perform_h_gate);
}

TEST_CASE(dense_product_exact_and_index_order) {
    // Straight-line product of a general 2x2 matrix on one amplitude pair.
    GateMatrix m = square(2);
    m.at(0, 0) = Complex{0.1, 0.2};
    m.at(0, 1) = Complex{-0.3, 0.4};
    m.at(1, 0) = Complex{0.5, -0.6};
    m.at(1, 1) = Complex{0.7, 0.8};
    const double ar[2] = {0.35, -0.15}, ai[2] = {0.05, 0.9};
    StateVec s = sv({ar[0], ar[1]}, {ai[0], ai[1]});
    const std::uint8_t q0[1] = {0};
    s.multiply(q0, 1, m);
    std::vector<double> er, ei;
    for (std::size_t r = 0; r < 2; ++r) {
        double vr = sub(mul(m.at(r, 0).re.v, ar[0]), mul(m.at(r, 0).im.v, ai[0]));
        double vi = add(mul(m.at(r, 0).im.v, ar[0]), mul(m.at(r, 0).re.v, ai[0]));
        vr = add(vr, sub(mul(m.at(r, 1).re.v, ar[1]), mul(m.at(r, 1).im.v, ai[1])));
        vi = add(vi, add(mul(m.at(r, 1).im.v, ar[1]), mul(m.at(r, 1).re.v, ai[1])));
        er.push_back(vr);
        ei.push_back(vi);
    }
    CHECK(same_parts(s, er, ei));

    // diag(1, 2, 3, 4) on (0, 1): the first argument is the high matrix bit,
    // so index 1 (qubit 0 set) is scaled by 3 and index 2 by 2.
    GateMatrix dg = square(4);
    for (int k = 0; k < 4; ++k) dg.at(k, k) = Complex{double(k + 1), 0.0};
    StateVec d = sv({1.0, 1.0, 1.0, 1.0}, {0.0, 0.0, 0.0, 0.0});
    const std::uint8_t q01[2] = {0, 1};
    d.multiply(q01, 2, dg);
    CHECK(d == sv({1.0, 3.0, 2.0, 4.0}, {0.0, 0.0, 0.0, 0.0}));

    // Three-qubit cyclic shift |c> -> |c+1 mod 8> on arguments (3, 0, 2) of a
    // 4-qubit state: matrix bit 2 is qubit 3, bit 1 qubit 0, bit 0 qubit 2,
    // and qubit 1 is a spectator.
    GateMatrix shift = square(8);
    for (int c = 0; c < 8; ++c) shift.at((c + 1) % 8, c) = Complex{1.0, 0.0};
    const std::uint8_t q3[3] = {3, 0, 2};
    for (int i = 0; i < 16; ++i) {
        StateVec b = StateVec::zeros(4);
        b.set(i, Complex{1.0, 0.0});
        b.multiply(q3, 3, shift);
        const int c = 4 * ((i >> 3) & 1) + 2 * ((i >> 0) & 1) + ((i >> 2) & 1);
        const int r = (c + 1) % 8;
        const int out = (i & 0b0010) | (((r >> 2) & 1) << 3) | (((r >> 1) & 1) << 0) | ((r & 1) << 2);
        for (int k = 0; k < 16; ++k) CHECK(same(b.re()[k].v, k == out ? 1.0 : 0.0));
    }
}

TEST_CASE(gate_argument_failures_leave_state_unchanged) {
    const Gate16 four = Gate16::create("four", {}, [] {
        GateMatrix m = square(16);
        for (int k = 0; k < 16; ++k) m.at(k, k) = Complex{1.0, 0.0};
        return m;
    }());
    const Gate16 phase0 = Gate16::create("phase0", {}, [] {
        GateMatrix m = square(1);
        m.at(0, 0) = Complex{0.0, 1.0};
        return m;
    }());
    const Gate16 ccx = Gate16::create("ccx", {}, [] {
        GateMatrix m = square(8);
        for (int k = 0; k < 8; ++k) m.at(k < 6 ? k : 13 - k, k) = Complex{1.0, 0.0};
        return m;
    }());
    const std::string arity = "called `Result::unwrap()` on an `Err` value: TryFromSliceError(())";
    const std::string unique = "Qubit arguments must be unique";
    struct Case {
        unsigned n;
        std::vector<std::uint8_t> q;
        Gate16 gate;
        std::string text;
    } cases[] = {
        {3, {3}, gates::H, oob(8, 8)},
        {3, {63}, gates::T, oob(8, std::size_t{1} << 63)},
        {3, {64}, gates::X, oob(8, SIZE_MAX)},
        {3, {254}, gates::Y, oob(8, SIZE_MAX)},
        {2, {5, 0}, gates::CX, oob(4, 32)},
        {2, {0, 5}, gates::SWAP, oob(4, 32)},
        {2, {5, 6}, gates::CX, oob(4, 64)},
        {2, {6, 5}, gates::CZ, oob(4, 32)},
        {1, {0, 1}, gates::CX, oob(2, 2)},  // more arguments than qubits
        {2, {0, 7, 9}, ccx, oob(4, 512)},
        {3, {1, 1}, gates::CX, unique},
        {3, {2, 2}, gates::CZ, unique},
        {3, {0, 1, 0}, ccx, unique},
        {3, {200, 200}, gates::SWAP, unique},
        {3, {0, 1}, gates::H, arity},
        {3, {}, gates::Z, arity},
        {3, {0}, gates::CX, arity},
        {3, {0, 1, 2}, gates::SWAP, arity},
        {3, {0, 1}, gates::Y, "assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4"},
        {3, {0}, gates::CZ, "assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2"},
        {3, {0, 1, 2}, gates::CY, "assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8"},
        {3, {}, phase0, "Unsupported number of qubits: 0"},
        {3, {0, 1, 2, 3}, four, "Unsupported number of qubits: 4"},
        {3, {0}, Gate16(60000), oob(Gate16::table_size(), 60000)},
    };
    ChaCha12Rng rng = seeded(8);
    for (const Case& c : cases) {
        const StateVec start = StateVec::from_random(rng, c.n);
        StateVec s = start.clone();
        CHECK_PANICS(s.apply(c.q.data(), c.q.size(), c.gate), c.text);
        CHECK(bit_equal(s, start));
    }
}

TEST_CASE(hot_operations_allocate_nothing) {
    ChaCha12Rng rng = seeded(9);
    StateVec s = StateVec::from_random(rng, 4);
    StateVec t = StateVec::from_random(rng, 4);
    const std::uint8_t q[3] = {2, 0, 3};
    (void)gates::Y.matrix();  // the gate table itself is built on first use
    const std::size_t before = g_allocs;
    for (Gate16 g : {gates::H, gates::X, gates::Z, gates::S, gates::SDG, gates::T, gates::TDG}) s.apply(q, 1, g);
    s.apply(q, 2, gates::CX);
    s.apply(q, 2, gates::SWAP);
    s.apply(q, 1, gates::Y);
    s.apply(q, 2, gates::CZ);
    s.normalize();
    s.normalize_arg();
    volatile std::uint64_t h = s.hash_value();
    volatile bool e = s == t, l = s < t, c = s.check(), le = s.loose_eq(t);
    (void)h, (void)e, (void)l, (void)c, (void)le;
    t.copy_from(s);
    s.swap(t);
    CHECK_EQ(g_allocs, before);
}

CHECK_MAIN()
