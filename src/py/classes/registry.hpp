// The exposed classes: each names its Python class here; its own file in
// this folder defines the type.
#pragma once

#include "binding/pyclass.hpp"
#include "model/argument.hpp"
#include "model/gate.hpp"
#include "model/instr32.hpp"
#include "model/instruction.hpp"
#include "state/state_vec.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"
#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"
#include "prover/identity_prover.hpp"
#include "prover/proof_tracker.hpp"

namespace tpy {

template <>
struct PyClass<tsl::Argument> {
    static constexpr const char* name = "Argument";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::Instruction> {
    static constexpr const char* name = "Instruction";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::Gate16> {
    static constexpr const char* name = "Gate";
    static constexpr bool borrow_flag = false;  // immutable
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::Instr32> {
    static constexpr const char* name = "Instr";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::StateVec> {
    static constexpr const char* name = "StateVec";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::ECC> {
    static constexpr const char* name = "ECC";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::ECCs> {
    static constexpr const char* name = "ECCs";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::RawECCs> {
    static constexpr const char* name = "RawECCs";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::Evaluator> {
    static constexpr const char* name = "Evaluator";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::Circ> {
    static constexpr const char* name = "Circ";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::IdentityCirc> {
    static constexpr const char* name = "IdentityCirc";
    static constexpr bool borrow_flag = false;  // immutable
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::IdentityProver> {
    static constexpr const char* name = "IdentityProver";
    static PyTypeObject* type();
};

template <>
struct PyClass<tsl::Proof> {
    static constexpr const char* name = "Proof";
    static PyTypeObject* type();
};

// Registration order of the module.
using TypeGetter = PyTypeObject* (*)();
struct ClassEntry {
    const char* name;
    TypeGetter type;
};
const std::vector<ClassEntry>& module_classes();

}  // namespace tpy
