// Python class IdentityCirc: a circuit that acts as the identity up to a
// global phase.  Immutable (no borrow flag); each object also carries an
// attribute dictionary of its own, which no operation of the class reads.
// Like Circ, it iterates over its instructions once each (every integer is a
// valid index, so iteration cannot rest on indexing).
//
// The dictionary form:
//   {"instrs": [(gate display name, (q0, q1)), ...], "perm": {"raw": word}}
// read back without any check of the circuit.
#include <string_view>

#include "binding/class_builder.hpp"
#include "binding/pyref.hpp"
#include "classes/circ_forms.hpp"
#include "classes/model_forms.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Circ;
using tsl::IdentityCirc;

// ---- dictionary form --------------------------------------------------------

[[noreturn]] void raise_unexpected(PyObject* o, std::string_view target) {
    raise(PyExc_TypeError, "unexpected type: '" + type_qualname(o) + "' object cannot be converted to '" +
                               std::string(target) + "'");
}

bool is_abc_instance(PyObject* o, const char* abc) {
    PyRef mod = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!mod) throw PyErrSet{};
    PyRef cls = PyRef::steal(PyObject_GetAttrString(mod.get(), abc));
    if (!cls) throw PyErrSet{};
    const int r = PyObject_IsInstance(o, cls.get());
    if (r < 0) throw PyErrSet{};
    return r == 1;
}

// A list, tuple or other collections.abc.Sequence; its length.
Py_ssize_t sequence_len(PyObject* o) {
    if (!PyList_Check(o) && !PyTuple_Check(o) && !is_abc_instance(o, "Sequence")) raise_unexpected(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw PyErrSet{};
    return n;
}

PyRef item(PyObject* seq, Py_ssize_t i) {
    PyRef r = PyRef::steal(PySequence_GetItem(seq, i));
    if (!r) throw PyErrSet{};
    return r;
}

// A sequence of exactly two items.
void require_pair(PyObject* o) {
    const Py_ssize_t n = sequence_len(o);
    if (n != 2) raise(PyExc_ValueError, "expected sequence of length 2, got " + std::to_string(n));
}

tsl::Instr32 instr_from_python(PyObject* o) {
    require_pair(o);
    PyRef name = item(o, 0);
    if (!PyUnicode_Check(name.get())) raise_unexpected(name.get(), "PyString");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (!text) throw PyErrSet{};
    const tsl::Gate16 gate = tsl::Gate16::from_serial_name(std::string_view(text, static_cast<std::size_t>(len)));
    PyRef qargs = item(o, 1);
    require_pair(qargs.get());
    const std::uint8_t q0 = FromPy<std::uint8_t>::convert(item(qargs.get(), 0).get());
    const std::uint8_t q1 = FromPy<std::uint8_t>::convert(item(qargs.get(), 1).get());
    return tsl::Instr32(gate, tsl::QArgs16(q0, q1));
}

std::vector<tsl::Instr32> instrs_from_python(PyObject* o) {
    const Py_ssize_t n = sequence_len(o);
    std::vector<tsl::Instr32> out;
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, 1 << 16)));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(instr_from_python(item(o, i).get()));
    return out;
}

// Walks the entries of a mapping in its own order, handing each str key
// and its value to `field`.
template <class F>
void read_mapping(PyObject* o, F&& field) {
    if (!PyDict_Check(o) && !is_abc_instance(o, "Mapping")) raise_unexpected(o, "Mapping");
    PyRef keys = PyRef::steal(PyMapping_Keys(o));
    if (!keys) throw PyErrSet{};
    PyRef values = PyRef::steal(PyMapping_Values(o));
    if (!values) throw PyErrSet{};
    const Py_ssize_t n = PyMapping_Size(o);
    if (n < 0) throw PyErrSet{};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef key = item(keys.get(), i);
        if (!PyUnicode_Check(key.get())) raise(PyExc_TypeError, "dict keys must have type str");
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key.get(), &len);
        if (!text) throw PyErrSet{};
        PyRef value = item(values.get(), i);
        field(std::string_view(text, static_cast<std::size_t>(len)), value.get());
    }
}

[[noreturn]] void field_error(const char* what, const char* name) {
    raise(PyExc_Exception, std::string(what) + " field `" + name + "`");
}

tsl::Permut32 perm_from_python(PyObject* o) {
    std::optional<std::uint32_t> raw;
    read_mapping(o, [&](std::string_view key, PyObject* value) {
        if (key != "raw") return;
        if (raw) field_error("duplicate", "raw");
        raw = FromPy<std::uint32_t>::convert(value);
    });
    if (!raw) field_error("missing", "raw");
    return tsl::Permut32(*raw);
}

IdentityCirc id_from_python(PyObject* obj) {
    std::optional<std::vector<tsl::Instr32>> instrs;
    std::optional<tsl::Permut32> perm;
    read_mapping(obj, [&](std::string_view key, PyObject* value) {
        if (key == "instrs") {
            if (instrs) field_error("duplicate", "instrs");
            instrs = instrs_from_python(value);
        } else if (key == "perm") {
            if (perm) field_error("duplicate", "perm");
            perm = perm_from_python(value);
        }
    });
    if (!instrs) field_error("missing", "instrs");
    if (!perm) field_error("missing", "perm");
    return IdentityCirc::from_stored(Circ::from_parts(std::move(*instrs), *perm));
}

// A gate is written by its display name, so the name must read back as this
// very gate (as in the files): ValueError otherwise.
void require_serial_name(tsl::Gate16 g) {
    try {
        g.check_serializable();
    } catch (const tsl::AmbiguousGateName& e) {
        raise(PyExc_ValueError, e.what());
    }
}

PyObject* id_pythonize(const IdentityCirc& id) {
    const Circ& c = id.circ;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(c.instrs.size())));
    if (!list) throw PyErrSet{};
    for (std::size_t i = 0; i < c.instrs.size(); ++i) {
        const tsl::Instr32 in = c.instrs[i];
        require_serial_name(in.gate());
        PyObject* entry = to_py(std::tuple<std::string, std::tuple<unsigned, unsigned>>(
            in.gate().display(), {in.qargs().raw[0], in.qargs().raw[1]}));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    PyRef perm = PyRef::steal(PyDict_New());
    if (!perm) throw PyErrSet{};
    PyRef raw = PyRef::steal(to_py(c.perm.raw));
    check(PyDict_SetItemString(perm.get(), "raw", raw.get()) == 0);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw PyErrSet{};
    check(PyDict_SetItemString(dict.get(), "instrs", list.get()) == 0);
    check(PyDict_SetItemString(dict.get(), "perm", perm.get()) == 0);
    return dict.release();
}

// ---- methods ----------------------------------------------------------------

IdentityCirc id_new(Circ circuit) { return IdentityCirc::unchecked(std::move(circuit)); }
std::vector<std::uint64_t> id_qargs_forward(const IdentityCirc& id, std::uint64_t gate_id) {
    const tsl::WireNeighbours w = id.qargs_forward(gate_id);
    return {w.begin(), w.end()};
}
std::vector<std::uint64_t> id_qargs_backward(const IdentityCirc& id, std::uint64_t gate_id) {
    const tsl::WireNeighbours w = id.qargs_backward(gate_id);
    return {w.begin(), w.end()};
}

const std::vector<tsl::Instr32>& id_instrs(const IdentityCirc& id) { return id.circ.instrs; }

Py_ssize_t id_mp_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1,
                               [&] { return static_cast<Py_ssize_t>(Shared<IdentityCirc>(self).get().len()); });
}

PyObject* id_getitem(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Shared<IdentityCirc> s(self);
        const std::int64_t idx = make_arg<std::int64_t>(key, "idx").get();
        return to_py(instr_at(s.get().circ.instrs, idx));
    });
}

}  // namespace

PyTypeObject* PyClass<IdentityCirc>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<IdentityCirc> b(
            "Canonical identity circuit (a circuit proven equivalent to identity).");
        b.constructor<&id_new>({"circuit"})
            .getter<&IdentityCirc::circ>("inner", "Underlying circuit representation.")
            .static_method<&id_from_python>("from_python", "Parses a Python-serialized identity object.", {"obj"})
            .method<&IdentityCirc::nqubits>("nqubits", "Returns number of qubits.")
            .method<&id_qargs_forward>("qargs_forward",
                "For each argument of gate `gate_id`, returns next gate index using that qubit.",
                {"gate_id"})
            .method<&id_qargs_backward>("qargs_backward",
                "For each argument of gate `gate_id`, returns previous gate index using that qubit.",
                {"gate_id"})
            .method<&IdentityCirc::check>("check", "Randomized semantic check that this circuit is identity.")
            .method<&IdentityCirc::hash_value>("hash_value", "Stable hash of the canonical identity representation.")
            .method<&id_pythonize>("pythonize", "Converts this identity to a Python-serializable form.")
            .str<&IdentityCirc::to_string>()
            .repr<&IdentityCirc::debug_string>()
            .hash<&IdentityCirc::hash_value>()
            .instance_dict()
            .slot(Py_tp_richcompare, reinterpret_cast<void*>(&ordered_richcompare<IdentityCirc>))
            .slot(Py_mp_length, reinterpret_cast<void*>(&id_mp_len))
            .slot(Py_mp_subscript, reinterpret_cast<void*>(&id_getitem))
            .slot(Py_tp_iter, reinterpret_cast<void*>(&instrs_iter<IdentityCirc, &id_instrs>));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
