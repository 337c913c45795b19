// Python class Instr: a compact instruction.  Hashes by value; compares by
// identity (no rich comparison).
#include "binding/class_builder.hpp"
#include "classes/model_forms.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Instr32;

Instr32 instr_new(tsl::Gate16 gate, std::vector<std::uint8_t> qargs) { return Instr32::create(gate, qargs); }
tsl::Gate16 instr_gate(const Instr32& i) { return i.gate(); }
Bytes instr_qargs(const Instr32& i) {
    auto used = i.qargs().as_slice();
    return Bytes{std::string(used.begin(), used.end())};
}
Instr32 instr_apply_permutation(const Instr32& i, tsl::Permut32 perm) { return i.apply_permutation(perm); }
unsigned instr_arg_mask(const Instr32& i) { return i.arg_mask(); }
std::optional<unsigned> instr_pass_mask(const Instr32& i, std::uint8_t mask) {
    auto m = i.pass_mask(mask);
    return m ? std::optional<unsigned>(*m) : std::nullopt;
}
unsigned instr_largest_qubit(const Instr32& i) { return i.largest_qubit(); }
bool instr_disjoint(const Instr32& i, const Instr32& other) { return i.disjoint(other); }
Instr32 instr_adjoint(const Instr32& i) { return i.adjoint(); }
std::optional<unsigned> instr_position_of_qubit(const Instr32& i, std::uint8_t qubit) {
    auto p = i.position_of_qubit(qubit);
    return p ? std::optional<unsigned>(*p) : std::nullopt;
}
std::string instr_str(const Instr32& i) { return i.to_string(); }

}  // namespace

PyTypeObject* PyClass<Instr32>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Instr32> b(
            "Instr(gate, qargs)\n--\n\n"
            "A compact, index-only quantum instruction used internally by the search/prover.");
        b.constructor<&instr_new>({"gate", "qargs"})
            .getter<&instr_gate>("gate", "Underlying gate.")
            .getter<&instr_qargs>("qargs", "Qubit arguments as dense integer indices.")
            .method<&instr_apply_permutation>("apply_permutation",
                                              "apply_permutation($self, perm)\n--\n\nApplies a qubit permutation.",
                                              {"perm"})
            .method<&instr_apply_permutation, 1>("permut", "permut($self, perm)\n--\n\nAlias of `apply_permutation`.",
                                                 {"perm"})
            .method<&instr_arg_mask>("arg_mask",
                                     "arg_mask($self)\n--\n\nBitmask of qubits touched by this instruction.")
            .method<&instr_pass_mask>(
                "pass_mask", "pass_mask($self, mask)\n--\n\nUpdates a frontier mask for left-to-right scheduling checks.",
                {"mask"})
            .method<&instr_largest_qubit>(
                "largest_qubit", "largest_qubit($self)\n--\n\nLargest qubit index touched by this instruction.")
            .method<&instr_disjoint>(
                "disjoint", "disjoint($self, other)\n--\n\nReturns `true` when this and `other` touch disjoint qubits.",
                {"other"})
            .method<&instr_adjoint>("adjoint", "adjoint($self)\n--\n\nReturns the adjoint instruction.")
            .method<&instr_position_of_qubit>(
                "position_of_qubit",
                "position_of_qubit($self, qubit)\n--\n\nReturns position of `qubit` in argument list, if present.",
                {"qubit"})
            .content_hash()
            .str<&instr_str>()
            .repr<&instr_str>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
