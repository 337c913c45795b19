// Python class StateVec: a state vector of 2^n amplitudes.
#include "binding/class_builder.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::StateVec;

StateVec sv_new(std::vector<double> re, std::vector<double> im) {
    return StateVec(std::vector<tsl::Qreal>(re.begin(), re.end()), std::vector<tsl::Qreal>(im.begin(), im.end()));
}
StateVec sv_random(std::uint32_t num_qubits) {
    auto rng = tsl::ChaCha12Rng::from_os_rng();
    return StateVec::from_random(rng, num_qubits);
}
StateVec sv_random_symmetric(std::uint32_t num_qubits) {
    auto rng = tsl::ChaCha12Rng::from_os_rng();
    return StateVec::from_random_symmetric(rng, num_qubits);
}

// Item access.  Reading past the end raises IndexError, so iteration and
// membership tests end normally.
PyObject* sv_getitem(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Shared<StateVec> s(self);
        auto index = make_arg<std::uint64_t>(key, "index").get();
        if (index >= s.get().len())
            raise(PyExc_IndexError, "index out of bounds: the len is " + std::to_string(s.get().len()) +
                                        " but the index is " + std::to_string(index));
        const tsl::Complex z = s.get().at(index);
        return to_py(std::complex<double>(z.re.v, z.im.v));
    });
}

int sv_setitem(PyObject* self, PyObject* key, PyObject* value) {
    return guarded<int>(-1, [&] {
        if (!value) raise(PyExc_NotImplementedError, "can't delete item");
        Exclusive<StateVec> s(self);
        auto index = make_arg<std::uint64_t>(key, "index").get();
        auto z = make_arg<std::complex<double>>(value, "value").get();
        s.get().set(index, tsl::Complex{z.real(), z.imag()});
        return 0;
    });
}

PyObject* sv_sq_item(PyObject* self, Py_ssize_t i) {
    PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
    return key ? sv_getitem(self, key.get()) : nullptr;
}

int sv_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
    return key ? sv_setitem(self, key.get(), value) : -1;
}

PyObject* sv_imul(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!is_instance<StateVec>(self) || !is_instance<tsl::Instr32>(other)) Py_RETURN_NOTIMPLEMENTED;
        Exclusive<StateVec> s(self);
        const tsl::Instr32 instr = Shared<tsl::Instr32>(other).get();
        const auto used = instr.qargs().as_slice();
        s.get().apply(used.data(), used.size(), instr.gate());
        return Py_NewRef(self);
    });
}

constexpr const char* kNormalizeDoc =
    "Normalizes the state vector in place.\n\nNormalization ensures two conditions:\n1. Amplitude "
    "Normalization: The sum of the squares of the absolute values of\n   the complex amplitudes is 1 (i.e., "
    "`sum(|psi_i|^2) = 1`).\n2. Phase Normalization: The first non-zero element of the state vector\n   is made "
    "real and positive.\n\nIf the vector is effectively all zeros initially (all amplitudes are very close to "
    "zero),\nit is normalized to the |0...0> state (i.e., the first element becomes 1.0 + 0.0i,\nand all other "
    "elements become 0.0 + 0.0i).\nIf the vector has zero length, this function does nothing.";

}  // namespace

PyTypeObject* PyClass<StateVec>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<StateVec> b(
            "Complex state vector used for randomized circuit evaluation.");
        b.constructor<&sv_new>({"re", "im"})
            .method<&StateVec::hash_value>("hash_value", "Hashes the current normalized state.")
            .static_method<&sv_random>("random", "Creates a random normalized state.", {"num_qubits"})
            .static_method<&sv_random_symmetric>("random_symmetric",
                "Creates a random state tailored for symmetry-aware evaluator use.",
                {"num_qubits"})
            .method<&StateVec::nqubits>("nqubits", "Returns qubit count.")
            .method<&StateVec::len>("len", "Returns vector length (`2^nqubits`).")
            .method<&StateVec::normalize>("normalize", kNormalizeDoc)
            .method<&StateVec::normalize_arg>(
                "normalize_arg", "Canonicalizes global phase for stable equality/hash comparison.")
            .method<&StateVec::clone>("clone", "Returns a deep copy.")
            .method<&StateVec::check>("check", "Checks unit-norm invariant.")
            .eq()
            .str<&StateVec::to_string>()
            .slot(Py_mp_subscript, reinterpret_cast<void*>(&sv_getitem))
            .slot(Py_mp_ass_subscript, reinterpret_cast<void*>(&sv_setitem))
            .slot(Py_sq_item, reinterpret_cast<void*>(&sv_sq_item))
            .slot(Py_sq_ass_item, reinterpret_cast<void*>(&sv_sq_ass_item))
            .slot(Py_nb_inplace_multiply, reinterpret_cast<void*>(&sv_imul));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
