#include "identity/identity_set.hpp"

#include <bit>
#include <cstring>

#include "base/panic.hpp"

namespace tsl {

namespace {

constexpr std::uint64_t kOffsetBits = 40;
constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;

inline std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

IdentitySet::Record IdentitySet::record_of(const Circ& c) {
    if (c.instrs.size() > 0xFFFFFFF0u) panic("identity too long for a compact set");
    return Record{static_cast<std::uint32_t>(c.instrs.size()), c.perm.raw, c.instrs.data()};
}

IdentitySet::Record IdentitySet::record_at(Offset off) const {
    return Record{arena_[off], arena_[off + 1], arena_.data() + off + 2};
}

std::uint64_t IdentitySet::hash_of(const Record& r) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ r.count;
    h = (h ^ r.perm) * 0x9E3779B97F4A7C15ULL;
    const unsigned char* p = static_cast<const unsigned char*>(r.instrs);
    for (std::uint32_t i = 0; i < r.count; ++i) {
        std::uint32_t w;
        std::memcpy(&w, p + 4 * i, 4);
        h = std::rotl(h ^ w, 29) * 0xBF58476D1CE4E5B9ULL;
    }
    return mix(h);
}

bool IdentitySet::same(Offset off, const Record& r) const {
    if (arena_[off] != r.count || arena_[off + 1] != r.perm) return false;
    return r.count == 0 || std::memcmp(arena_.data() + off + 2, r.instrs, 4 * std::size_t{r.count}) == 0;
}

bool IdentitySet::contains(const IdentityCirc& id) const {
    if (slots_.empty()) return false;
    const Record r = record_of(id.circ);
    const std::uint64_t h = hash_of(r);
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = h >> kOffsetBits;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
        const std::uint64_t s = slots_[i];
        if (!s) return false;
        if ((s >> kOffsetBits) == tag && same((s & kOffsetMask) - 1, r)) return true;
    }
}

void IdentitySet::grow() {
    const std::size_t cap = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<std::uint64_t> fresh(cap, 0);
    const std::size_t mask = cap - 1;
    for_each_offset([&](Offset off) {
        const std::uint64_t h = hash_of(record_at(off));
        std::size_t i = static_cast<std::size_t>(h) & mask;
        while (fresh[i]) i = (i + 1) & mask;
        fresh[i] = (h >> kOffsetBits) << kOffsetBits | (off + 1);
    });
    slots_.swap(fresh);
}

std::pair<IdentitySet::Offset, bool> IdentitySet::insert_record(const Record& r) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::uint64_t h = hash_of(r);
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = h >> kOffsetBits;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    for (;; i = (i + 1) & mask) {
        const std::uint64_t s = slots_[i];
        if (!s) break;
        if ((s >> kOffsetBits) == tag && same((s & kOffsetMask) - 1, r)) return {(s & kOffsetMask) - 1, false};
    }
    const Offset off = arena_.size();
    if (off + 2 + r.count >= kOffsetMask) panic("compact identity set is full");
    arena_.resize(off + 2 + r.count);  // r.instrs may point into the arena of another set only
    arena_[off] = r.count;
    arena_[off + 1] = r.perm;
    if (r.count) std::memcpy(arena_.data() + off + 2, r.instrs, 4 * std::size_t{r.count});
    slots_[i] = tag << kOffsetBits | (off + 1);
    ++count_;
    return {off, true};
}

std::pair<IdentitySet::Offset, bool> IdentitySet::insert_get(const IdentityCirc& id) {
    return insert_record(record_of(id.circ));
}

void IdentitySet::insert_all(const IdentitySet& other) {
    if (&other == this) return;
    if (count_ == 0) {
        *this = other;
        return;
    }
    other.for_each_offset([&](Offset off) { insert_record(other.record_at(off)); });
}

IdentityCirc IdentitySet::at(Offset off) const {
    std::vector<Instr32> instrs(arena_[off]);
    if (!instrs.empty()) std::memcpy(static_cast<void*>(instrs.data()), arena_.data() + off + 2, instrs.size() * sizeof(Instr32));
    return IdentityCirc::from_stored(Circ::from_parts(std::move(instrs), Permut32(arena_[off + 1])));
}

std::vector<IdentityCirc> IdentitySet::to_vector() const {
    std::vector<IdentityCirc> out;
    out.reserve(count_);
    for_each([&](IdentityCirc id) { out.push_back(std::move(id)); });
    return out;
}

bool operator==(const IdentitySet& a, const IdentitySet& b) {
    if (a.size() != b.size()) return false;
    bool all = true;
    a.for_each_offset([&](IdentitySet::Offset off) {
        if (all && !b.contains(a.at(off))) all = false;
    });
    return all;
}

}  // namespace tsl
