// Python class Instruction: a gate on quantum register arguments, followed by
// classical ones.
#include "binding/class_builder.hpp"
#include "classes/debug_text.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Argument;
using tsl::Instruction;

// An item of the constructor's argument lists: an Argument object (copied)
// or a (name, index) tuple.
struct ArgumentItem {
    Argument value;
};

}  // namespace

template <>
struct FromPy<ArgumentItem> {
    static ArgumentItem convert(PyObject* o) {
        try {
            if (is_instance<Argument>(o)) return {FromPy<Argument>::convert(o)};
            if (PyTuple_Check(o)) {
                auto [regid, index] = FromPy<std::tuple<std::string, std::uint64_t>>::convert(o);
                return {Argument{std::move(regid), index}};
            }
        } catch (const PyErrSet&) {
            PyErr_Clear();
        }
        raise_type_error(
            "expected each item to be an Argument or a (name, index) tuple of a str and an int from 0 to "
            "18446744073709551615");
    }
};

namespace {

std::vector<Argument> unwrap(std::vector<ArgumentItem> items) {
    std::vector<Argument> out;
    out.reserve(items.size());
    for (ArgumentItem& item : items) out.push_back(std::move(item.value));
    return out;
}

Instruction instruction_new(tsl::Gate16 gate, std::vector<ArgumentItem> qargs,
                            std::optional<std::vector<ArgumentItem>> cargs) {
    return Instruction{gate, unwrap(std::move(qargs)), cargs ? unwrap(std::move(*cargs)) : std::vector<Argument>{}};
}
tsl::Gate16 instruction_gate(const Instruction& i) { return i.gate; }
void instruction_set_gate(Instruction& i, tsl::Gate16 gate) { i.gate = gate; }
std::vector<Argument> instruction_qargs(const Instruction& i) { return i.qargs; }
void instruction_set_qargs(Instruction& i, std::vector<Argument> qargs) { i.qargs = std::move(qargs); }
std::vector<Argument> instruction_cargs(const Instruction& i) { return i.cargs; }
void instruction_set_cargs(Instruction& i, std::vector<Argument> cargs) { i.cargs = std::move(cargs); }
bool instruction_eq(const Instruction& a, const Instruction& b) { return a == b; }
std::string instruction_str(const Instruction& i) { return i.to_string(); }
std::string instruction_repr(const Instruction& i) {
    std::string s;
    write_debug(s, i);
    return s;
}

}  // namespace

PyTypeObject* PyClass<Instruction>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Instruction> b(
            "Instruction(gate, qargs, cargs=...)\n--\n\n"
            "A high-level instruction with gate + explicit quantum/classical register arguments.");
        b.constructor<&instruction_new>({"gate", "qargs", "cargs"}, /*required=*/2)
            .property<&instruction_gate, &instruction_set_gate>("gate", "Gate applied by this instruction.")
            .property<&instruction_qargs, &instruction_set_qargs>("qargs", "Quantum register arguments.")
            .property<&instruction_cargs, &instruction_set_cargs>("cargs", "Classical register arguments.")
            .eq<&instruction_eq>()
            .content_hash()
            .str<&instruction_str>()
            .repr<&instruction_repr>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
