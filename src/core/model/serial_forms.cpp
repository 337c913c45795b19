#include "model/serial_forms.hpp"

namespace tsl {

const std::string& GateNameCache::name(Gate16 g) {
    if (last_ && g == last_gate_) return *last_;
    auto it = names_.find(g.index());
    if (it == names_.end()) {
        g.check_serializable();
        it = names_.emplace(g.index(), &g.display()).first;
    }
    last_gate_ = g;
    last_ = it->second;
    return *last_;
}

std::vector<Gate16> GateNameCache::gates() const {
    std::vector<Gate16> out;
    out.reserve(names_.size());
    for (const auto& [index, name] : names_) out.push_back(Gate16(index));
    return out;
}

Gate16 GateLookupCache::lookup(const std::string& name) {
    auto it = gates_.find(name);
    if (it != gates_.end()) return it->second;
    const Gate16 g = Gate16::from_serial_name(name);
    gates_.emplace(name, g);
    return g;
}

std::optional<Gate16> GateLookupCache::found(const std::string& name) const {
    const auto it = gates_.find(name);
    if (it == gates_.end()) return std::nullopt;
    return it->second;
}

std::vector<Gate16> GateLookupCache::gates() const {
    std::vector<Gate16> out;
    out.reserve(gates_.size());
    for (const auto& [name, g] : gates_) out.push_back(g);
    return out;
}

void write_instrs(PostcardWriter& w, const std::vector<Instr32>& instrs, GateNameCache& names) {
    w.varint(instrs.size());
    for (const Instr32& in : instrs) write_instr(w, in, names);
}

Instr32 read_instr(PostcardReader& r, GateLookupCache& gates) {
    const Gate16 g = gates.lookup(r.str());
    const std::uint8_t q0 = r.u8();
    const std::uint8_t q1 = r.u8();
    return Instr32(g, QArgs16(q0, q1));
}

std::vector<Instr32> read_instrs(PostcardReader& r, GateLookupCache& gates) {
    const std::uint64_t n = r.varint_u64();
    std::vector<Instr32> out;
    out.reserve(capped_reserve(n));
    for (std::uint64_t i = 0; i < n; ++i) out.push_back(read_instr(r, gates));
    return out;
}

}  // namespace tsl
