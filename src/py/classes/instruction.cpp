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
std::string instruction_repr(const Instruction& i) {
    std::string s;
    write_debug(s, i);
    return s;
}

}  // namespace

PyTypeObject* PyClass<Instruction>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Instruction> b(
            "A high-level instruction with gate + explicit quantum/classical register arguments.");
        b.constructor<&instruction_new>({"gate", "qargs", "cargs=..."})
            .field<&Instruction::gate>("gate", "Gate applied by this instruction.")
            .field<&Instruction::qargs>("qargs", "Quantum register arguments.")
            .field<&Instruction::cargs>("cargs", "Classical register arguments.")
            .eq()
            .content_hash()
            .str<&Instruction::to_string>()
            .repr<&instruction_repr>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
