#include "identity/identity_set.hpp"

#include <bit>
#include <cstring>

#include "base/panic.hpp"

namespace tsl {

namespace {

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
    if (empty()) return false;
    const Record r = record_of(id.circ);
    return index_.find(hash_of(r), [&](Offset off) { return same(off, r); }) != Index::kNone;
}

IdentitySet::Inserted IdentitySet::insert_record(const Record& r) {
    // Members are placed again in insertion order.
    index_.make_room([&](auto&& place) { for_each_offset([&](Offset off) { place(hash_of(record_at(off)), off); }); });
    const std::uint64_t h = hash_of(r);
    const std::size_t slot = index_.probe(h, [&](Offset off) { return same(off, r); });
    if (const Offset found = index_.index_at(slot); found != Index::kNone) return {found, false};
    const Offset off = arena_.size();
    if (off + 2 + r.count > Index::kMaxIndex) panic("compact identity set is full");
    arena_.resize(off + 2 + r.count);  // r.instrs may point into the arena of another set only
    arena_[off] = r.count;
    arena_[off + 1] = r.perm;
    if (r.count) std::memcpy(arena_.data() + off + 2, r.instrs, 4 * std::size_t{r.count});
    index_.fill(slot, h, off);
    return {off, true};
}

IdentitySet::Inserted IdentitySet::insert_get(const IdentityCirc& id) {
    return insert_record(record_of(id.circ));
}

void IdentitySet::insert_all(const IdentitySet& other) {
    if (&other == this) return;
    if (empty()) {
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
    out.reserve(size());
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
