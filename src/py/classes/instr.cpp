// Python class Instr: a compact instruction.  Hashes by value; compares by
// identity (no rich comparison).
#include "binding/class_builder.hpp"
#include "classes/model_forms.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Instr32;

Instr32 instr_new(tsl::Gate16 gate, std::vector<std::uint8_t> qargs) { return Instr32::create(gate, qargs); }
Bytes instr_qargs(const Instr32& i) {
    auto used = i.qargs().as_slice();
    return Bytes{std::string(used.begin(), used.end())};
}

}  // namespace

PyTypeObject* PyClass<Instr32>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Instr32> b(
            "A compact, index-only quantum instruction used internally by the search/prover.");
        b.constructor<&instr_new>({"gate", "qargs"})
            .getter<&Instr32::gate>("gate", "Underlying gate.")
            .getter<&instr_qargs>("qargs", "Qubit arguments as dense integer indices.")
            .method<&Instr32::apply_permutation>("apply_permutation", "Applies a qubit permutation.", {"perm"})
            .method<&Instr32::permut>("permut", "Alias of `apply_permutation`.", {"perm"})
            .method<&Instr32::arg_mask>("arg_mask", "Bitmask of qubits touched by this instruction.")
            .method<&Instr32::pass_mask>("pass_mask", "Updates a frontier mask for left-to-right scheduling checks.",
                {"mask"})
            .method<&Instr32::largest_qubit>("largest_qubit", "Largest qubit index touched by this instruction.")
            .method<&Instr32::disjoint>("disjoint", "Returns `true` when this and `other` touch disjoint qubits.",
                {"other"})
            .method<&Instr32::adjoint>("adjoint", "Returns the adjoint instruction.")
            .method<&Instr32::position_of_qubit>("position_of_qubit",
                "Returns position of `qubit` in argument list, if present.",
                {"qubit"})
            .content_hash()
            .str<&Instr32::to_string>()
            .repr<&Instr32::to_string>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
