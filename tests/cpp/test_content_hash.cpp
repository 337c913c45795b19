#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "base/content_hash.hpp"
#include "model/qreal.hpp"

using namespace tsl;

TEST_CASE(reference_values) {
    CHECK_EQ(ContentHasher().finish(), 15130871412783076140ULL);
    ContentHasher h;
    h.u16(3);
    CHECK_EQ(h.finish(), 7293462908534724562ULL);
    const std::uint8_t arr[2] = {1, 255};
    ContentHasher a;
    a.len(2);
    a.write(arr, 2);
    CHECK_EQ(a.finish(), 17209806453588442980ULL);
}

TEST_CASE(streaming_is_split_independent) {
    std::uint8_t bytes[37];
    for (int i = 0; i < 37; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const std::uint64_t whole = content_hash_bytes(bytes, 37);
    for (int cut = 0; cut <= 37; ++cut) {
        ContentHasher h;
        h.write(bytes, cut);
        h.write(bytes + cut, 37 - cut);
        CHECK_EQ(h.finish(), whole);
    }
    ContentHasher u;
    u.u8(bytes[0]);
    std::uint64_t w;
    std::memcpy(&w, bytes + 1, 8);
    u.u64(w);
    u.write(bytes + 9, 28);
    CHECK_EQ(u.finish(), whole);
}

TEST_CASE(qreal_keys) {
    CHECK_EQ(Qreal(1e-8).key(), 0u);
    CHECK_EQ(Qreal(-1e-8).key(), 0u);
    CHECK_EQ(Qreal(0x1p-25).key(), 1u);
    CHECK_EQ(Qreal(-0x1p-25).key(), 18446744073709551615ULL);
    CHECK_EQ(Qreal(3 * 0x1p-25).key(), 2u);
    CHECK_EQ(Qreal(-3 * 0x1p-25).key(), static_cast<std::uint64_t>(-2));
    CHECK_EQ(Qreal(NAN).key(), 0u);
    CHECK_EQ(Qreal(INFINITY).key(), 9223372036854775807ULL);
    CHECK_EQ(Qreal(-INFINITY).key(), 9223372036854775808ULL);
    CHECK(Qreal(0x1p-25) < Qreal(-0x1p-25));
    CHECK(Qreal(10.0) < Qreal(-10.0));
    CHECK(Qreal(-10.0) < Qreal(-1.0));
    CHECK(!Qreal(0x1p-24).near_zero());
    CHECK(Qreal(std::nextafter(0x1p-24, 0.0)).near_zero());
    CHECK(!Qreal(NAN).near_zero());
    CHECK(Qreal(0.5).loose_eq(0.5039));
    CHECK(Qreal(-0.001).loose_eq(0.001));
    CHECK(!Qreal(0.0039).loose_eq(0.0040));
}

// The integer rounding of the key agrees with std::round on every kind of value.
TEST_CASE(key_rounding_matches_round) {
    auto reference = [](double x) -> std::int64_t {
        const double r = std::round(x);
        if (std::isnan(r)) return 0;
        if (r >= 9223372036854775808.0) return INT64_MAX;
        if (r < -9223372036854775808.0) return INT64_MIN;
        return static_cast<std::int64_t>(r);
    };
    std::vector<double> xs = {0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                              4503599627370495.5, -4503599627370495.5, 4503599627370497.0, 9007199254740993.0,
                              9223372036854774784.0, 9223372036854775808.0, -9223372036854775808.0,
                              -9223372036854777856.0, 1e300, -1e300, INFINITY, -INFINITY, NAN, 5e-324};
    std::uint64_t s = 0x9E3779B97F4A7C15ULL;
    for (int i = 0; i < 200000; ++i) {
        s ^= s << 13; s ^= s >> 7; s ^= s << 17;
        double d;
        std::memcpy(&d, &s, 8);
        xs.push_back(d);
        xs.push_back(static_cast<double>(static_cast<std::int64_t>(s >> 20)) / 4.0);
    }
    for (double x : xs) CHECK_EQ(round_saturate_i64(x), reference(x));
}

CHECK_MAIN()
