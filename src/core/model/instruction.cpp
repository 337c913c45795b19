#include "model/instruction.hpp"

#include <iterator>

#include "base/fmt_join.hpp"
#include "base/panic.hpp"

namespace tsl {

Instruction Instruction::from_call(Gate16 gate, std::vector<Argument> args) {
    const std::size_t k = gate.nqargs();
    if (args.size() < k)
        panic("range end index " + std::to_string(k) + " out of range for slice of length " +
              std::to_string(args.size()));
    Instruction out{gate, {}, {}};
    const auto split = args.begin() + static_cast<std::ptrdiff_t>(k);
    out.cargs.assign(std::make_move_iterator(split), std::make_move_iterator(args.end()));
    args.erase(split, args.end());
    out.qargs = std::move(args);
    return out;
}

void Instruction::write_to(std::string& out) const {
    out += gate.display();
    out.push_back(' ');
    const bool both = !qargs.empty() && !cargs.empty();
    fjoin(qargs, ", ").write_to(out);
    if (both) out += ", ";
    fjoin(cargs, ", ").write_to(out);
    out.push_back(';');
}

std::string Instruction::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

}  // namespace tsl
