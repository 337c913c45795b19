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

std::vector<tsl::Instr32> circ_instrs(const Circ& c) { return c.instrs; }
tsl::Permut32 circ_perm(const Circ& c) { return c.perm; }
unsigned circ_nqubits(const Circ& c) { return c.nqubits(); }
tsl::IdentityCirc circ_rotate_representative(const Circ& c) { return c.rotate_representative(); }
Circ circ_representative(const Circ& c) { return c.representative(); }
std::tuple<Circ, tsl::Permut32> circ_representative_with_perm(const Circ& c) {
    auto [r, p] = c.representative_with_perm();
    return {std::move(r), p};
}
Circ circ_permut(const Circ& c, tsl::Permut32 perm) { return c.permut(perm); }
Circ circ_remove_swaps(const Circ& c) { return c.remove_swaps(); }
Circ circ_inverse(const Circ& c) { return c.inverse(); }
Circ circ_rotate(const Circ& c, std::int64_t n) { return c.rotate(n); }
std::uint64_t circ_len(const Circ& c) { return c.len(); }
bool circ_is_empty(const Circ& c) { return c.is_empty(); }
std::vector<tsl::Instr32> circ_instrs_with_swaps(const Circ& c) { return c.instrs_with_swaps(); }
std::string circ_str(const Circ& c) { return c.to_string(); }
std::string circ_repr(const Circ& c) { return c.debug_string(); }
std::uint64_t circ_hash(const Circ& c) { return c.hash_value(); }
const std::vector<tsl::Instr32>& circ_instr_list(const Circ& c) { return c.instrs; }

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
            "Circ(instrs, perm=None)\n--\n\nCircuit with an explicit trailing qubit permutation.");
        b.constructor<&circ_new>({"instrs", "perm"}, 1)
            .getter<&circ_instrs>("instrs", nullptr)
            .getter<&circ_perm>("perm", nullptr)
            .method<&circ_nqubits>("nqubits", "nqubits($self)\n--\n\nNumber of qubits tracked by the permutation.")
            .method<&circ_rotate_representative>(
                "rotate_representative",
                "rotate_representative($self)\n--\n\n"
                "Returns canonical identity representative across rotations/permutations.")
            .method<&circ_representative>("representative",
                                          "representative($self)\n--\n\nReturns canonical circuit representative.")
            .method<&circ_representative_with_perm>(
                "representative_with_perm",
                "representative_with_perm($self)\n--\n\n"
                "Returns `(representative, applied_perm)` used in canonicalization.")
            .method<&circ_permut>("permut",
                                  "permut($self, perm)\n--\n\nApplies a qubit permutation to this circuit.", {"perm"})
            .method<&circ_remove_swaps>(
                "remove_swaps",
                "remove_swaps($self)\n--\n\nRemoves explicit swap gates into the stored trailing permutation.")
            .method<&circ_inverse>("inverse", "inverse($self)\n--\n\nReturns inverse circuit.")
            .method<&circ_rotate>("rotate", "rotate($self, n)\n--\n\nCircularly rotates instruction order by `n`.",
                                  {"n"})
            .method<&circ_len>("len", "len($self)\n--\n\nNumber of instructions.")
            .method<&circ_is_empty>("is_empty", "is_empty($self)\n--\n\nReturns whether the circuit is empty.")
            .method<&circ_instrs_with_swaps>(
                "instrs_with_swaps",
                "instrs_with_swaps($self)\n--\n\nReturns instructions plus swaps needed for stored permutation.")
            .str<&circ_str>()
            .repr<&circ_repr>()
            .hash<&circ_hash>()
            .slot(Py_tp_richcompare, reinterpret_cast<void*>(&ordered_richcompare<Circ>))
            .slot(Py_nb_add, reinterpret_cast<void*>(&circ_add))
            .slot(Py_mp_length, reinterpret_cast<void*>(&circ_mp_len))
            .slot(Py_mp_subscript, reinterpret_cast<void*>(&circ_getitem))
            .slot(Py_tp_iter, reinterpret_cast<void*>(&instrs_iter<Circ, &circ_instr_list>));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
