#include "identity/circ_serial.hpp"


namespace tsl {

void write_circ(PostcardWriter& w, const Circ& c, GateNameCache& names) {
    write_instrs(w, c.instrs, names);
    write_permut(w, c.perm);
}

Circ read_circ(PostcardReader& r, GateLookupCache& gates) {
    std::vector<Instr32> instrs = read_instrs(r, gates);
    const Permut32 perm = read_permut(r);
    return Circ::from_parts(std::move(instrs), perm);
}

}  // namespace tsl
