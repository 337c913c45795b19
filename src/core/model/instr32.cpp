#include "model/instr32.hpp"

#include "base/fmt_join.hpp"
#include "base/panic.hpp"

namespace tsl {

namespace instr_detail {
void panic_qargs_index(std::source_location where) { panic("Index out of bounds", where); }
void panic_not_unique(std::source_location where) { panic("Qubit arguments must be unique", where); }
}  // namespace instr_detail

QArgs16 QArgs16::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > 2) panic_index_oob(2, 2);
    QArgs16 out;
    for (std::size_t i = 0; i < bytes.size(); ++i) out.raw[i] = bytes[i];
    return out;
}

Instr32 Instr32::create(Gate16 gate, std::span<const std::uint8_t> qubits) {
    if (qubits.size() != gate.nqargs()) panic("Number of qubit arguments does not match gate arity");
    std::uint64_t seen[4] = {};
    for (std::uint8_t q : qubits) {
        if (seen[q >> 6] & (std::uint64_t{1} << (q & 63))) instr_detail::panic_not_unique();
        seen[q >> 6] |= std::uint64_t{1} << (q & 63);
    }
    for (std::uint8_t q : qubits)
        if (q == NO_QUBIT) panic("Qubit index 255 is reserved for an empty slot");
    return Instr32(gate, QArgs16::from_bytes(qubits));
}

void Instr32::write_to(std::string& out) const {
    out += gate_.display();
    out.push_back('(');
    fjoin(args_, ", ").write_to(out);
    out.push_back(')');
}

std::string Instr32::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

}  // namespace tsl
