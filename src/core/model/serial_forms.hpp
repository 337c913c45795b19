// Postcard forms of gates, instructions and permutations, shared by every
// file format: a gate is its display name, an instruction the name and both
// raw qubit bytes, a permutation its raw word as a u32 varint, and an
// instruction sequence its count followed by the instructions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/instr32.hpp"
#include "model/permut32.hpp"
#include "base/postcard.hpp"

namespace tsl {

// Display names of the gates one save writes, each checked once to read
// back as its own gate (Gate16::check_serializable, which throws
// AmbiguousGateName otherwise).
class GateNameCache {
public:
    const std::string& name(Gate16 g);
    // Every gate named so far, in no particular order.
    std::vector<Gate16> gates() const;

private:
    std::unordered_map<std::uint16_t, const std::string*> names_;
    Gate16 last_gate_{};
    const std::string* last_ = nullptr;
};

// Gates found by one load.  The table only grows and a name resolves to its
// first entry, so a hit stays valid; an unknown name panics with
// "Failed to deserialize Gate16 from {}" and is never stored.
class GateLookupCache {
public:
    Gate16 lookup(const std::string& name);
    // The gate of a name looked up before; none for any other name (nothing
    // is looked up in the table).
    std::optional<Gate16> found(const std::string& name) const;
    // Every gate looked up so far, in no particular order, and their count.
    std::vector<Gate16> gates() const;
    std::size_t size() const { return gates_.size(); }

private:
    std::unordered_map<std::string, Gate16> gates_;
};

// Counts read from a file reserve at most this many elements up front; the
// vectors grow as data actually arrives.
inline std::size_t capped_reserve(std::uint64_t n) { return static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096)); }

inline void write_instr(PostcardWriter& w, Instr32 in, GateNameCache& names) {
    w.str(names.name(in.gate()));
    w.u8(in.qargs().raw[0]);
    w.u8(in.qargs().raw[1]);
}
inline void write_permut(PostcardWriter& w, Permut32 p) { w.varint(p.raw); }
void write_instrs(PostcardWriter& w, const std::vector<Instr32>& instrs, GateNameCache& names);

// The readers take the bytes as stored; they throw PostcardError on
// malformed or missing data.
Instr32 read_instr(PostcardReader& r, GateLookupCache& gates);
inline Permut32 read_permut(PostcardReader& r) { return Permut32(r.varint_u32()); }
std::vector<Instr32> read_instrs(PostcardReader& r, GateLookupCache& gates);

}  // namespace tsl
