// Python class Circ: a circuit with a trailing qubit permutation.  Objects
// never change after creation; every method returns new objects.
//
// Indexing takes any integer (modulo the instruction count), so the
// interpreter's fallback iteration through it would never end: the class has
// an iterator of its own that yields each instruction once, and `in` goes
// through that iterator.
#include "binding/class_builder.hpp"
#include "classes/circ_forms.hpp"
#include "classes/model_forms.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Circ;

Circ circ_new(std::vector<tsl::Instr32> instrs, PyObject* perm) {
    if (!perm || perm == Py_None) return Circ::new_no_perm(std::move(instrs));
    const tsl::Permut32 p = make_arg<tsl::Permut32>(perm, "perm").get();
    return Circ::create(std::move(instrs), p);
}

std::tuple<Circ, tsl::Permut32> circ_representative_with_perm(const Circ& c) {
    auto [r, p] = c.representative_with_perm();
    return {std::move(r), p};
}

Py_ssize_t circ_mp_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(Shared<Circ>(self).get().len()); });
}

PyObject* circ_getitem(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Shared<Circ> s(self);
        const std::int64_t idx = make_arg<std::int64_t>(key, "idx").get();
        return to_py(instr_at(s.get().instrs, idx));
    });
}

PyObject* circ_add(PyObject* a, PyObject* b) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!is_instance<Circ>(a) || !is_instance<Circ>(b)) Py_RETURN_NOTIMPLEMENTED;
        Shared<Circ> x(a);
        Shared<Circ> y(b);
        return to_py(x.get() + y.get());
    });
}

}  // namespace

PyTypeObject* PyClass<Circ>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Circ> b(
            "Circuit with an explicit trailing qubit permutation.");
        b.constructor<&circ_new>({"instrs", "perm=None"})
            .getter<&Circ::instrs>("instrs", nullptr)
            .getter<&Circ::perm>("perm", nullptr)
            .method<&Circ::nqubits>("nqubits", "Number of qubits tracked by the permutation.")
            .method<&Circ::rotate_representative>("rotate_representative",
                "Returns canonical identity representative across rotations/permutations.")
            .method<&Circ::representative>("representative", "Returns canonical circuit representative.")
            .method<&circ_representative_with_perm>("representative_with_perm",
                "Returns `(representative, applied_perm)` used in canonicalization.")
            .method<&Circ::permut>("permut", "Applies a qubit permutation to this circuit.", {"perm"})
            .method<&Circ::remove_swaps>("remove_swaps",
                "Removes explicit swap gates into the stored trailing permutation.")
            .method<&Circ::inverse>("inverse", "Returns inverse circuit.")
            .method<&Circ::rotate>("rotate", "Circularly rotates instruction order by `n`.", {"n"})
            .method<&Circ::len>("len", "Number of instructions.")
            .method<&Circ::is_empty>("is_empty", "Returns whether the circuit is empty.")
            .method<&Circ::instrs_with_swaps>("instrs_with_swaps",
                "Returns instructions plus swaps needed for stored permutation.")
            .str<&Circ::to_string>()
            .repr<&Circ::debug_string>()
            .hash<&Circ::hash_value>()
            .slot(Py_tp_richcompare, reinterpret_cast<void*>(&ordered_richcompare<Circ>))
            .slot(Py_nb_add, reinterpret_cast<void*>(&circ_add))
            .slot(Py_mp_length, reinterpret_cast<void*>(&circ_mp_len))
            .slot(Py_mp_subscript, reinterpret_cast<void*>(&circ_getitem))
            .slot(Py_tp_iter, reinterpret_cast<void*>(&instrs_iter<Circ, &Circ::instrs>));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
