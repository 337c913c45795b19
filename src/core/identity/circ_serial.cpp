#include "identity/circ_serial.hpp"

#include <algorithm>

namespace tsl {

namespace {
// A count read from a file reserves at most this many instructions up front.
constexpr std::uint64_t kReserveCap = 1024;
}  // namespace

const std::string& GateNameCache::name(Gate16 g) {
    auto it = names_.find(g.index());
    if (it == names_.end()) {
        g.check_serializable();
        it = names_.emplace(g.index(), &g.display()).first;
    }
    return *it->second;
}

Gate16 GateLookupCache::lookup(const std::string& name) {
    auto it = gates_.find(name);
    if (it != gates_.end()) return it->second;
    const Gate16 g = Gate16::from_serial_name(name);
    gates_.emplace(name, g);
    return g;
}

void write_circ(PostcardWriter& w, const Circ& c, GateNameCache& names) {
    w.varint(c.instrs.size());
    for (const Instr32& in : c.instrs) {
        w.str(names.name(in.gate()));
        w.u8(in.qargs().raw[0]);
        w.u8(in.qargs().raw[1]);
    }
    w.varint(c.perm.raw);
}

Circ read_circ(PostcardReader& r, GateLookupCache& gates) {
    const std::uint64_t n = r.varint_u64();
    std::vector<Instr32> instrs;
    instrs.reserve(static_cast<std::size_t>(std::min(n, kReserveCap)));
    for (std::uint64_t i = 0; i < n; ++i) {
        const Gate16 g = gates.lookup(r.str());
        const std::uint8_t q0 = r.u8();
        const std::uint8_t q1 = r.u8();
        instrs.emplace_back(g, QArgs16(q0, q1));
    }
    const Permut32 perm(r.varint_u32());
    return Circ::from_parts(std::move(instrs), perm);
}

}  // namespace tsl
