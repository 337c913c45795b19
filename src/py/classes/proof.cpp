// Python class Proof: an exported proof, a list of entries (identity, None
// for an assumption or (lhs_idx, rhs_idx)).  Nothing is validated.  All six
// comparisons by the entry sequence; unhashable.
#include "binding/class_builder.hpp"
#include "classes/circ_forms.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Proof;

// One constructor entry: a 2-tuple (IdentityCirc, None or (int, int)).
struct ProofEntryArg {
    Proof::Entry entry;
};

}  // namespace

template <>
struct FromPy<ProofEntryArg> {
    static ProofEntryArg convert(PyObject* o) {
        if (!PyTuple_Check(o)) raise_conversion(o, "PyTuple");
        if (PyTuple_GET_SIZE(o) != 2)
            raise(PyExc_ValueError,
                  "expected tuple of length 2, but got tuple of length " + std::to_string(PyTuple_GET_SIZE(o)));
        ProofEntryArg a;
        a.entry.identity = FromPy<tsl::IdentityCirc>::convert(PyTuple_GET_ITEM(o, 0));
        PyObject* dep = PyTuple_GET_ITEM(o, 1);
        if (dep != Py_None) {
            auto [lhs, rhs] = FromPy<std::tuple<std::uint64_t, std::uint64_t>>::convert(dep);
            a.entry.premises = tsl::ProofPremises{lhs, rhs};
        }
        return a;
    }
};

namespace {

using RawEntry = std::tuple<tsl::IdentityCirc, std::optional<std::tuple<std::uint64_t, std::uint64_t>>>;

Proof proof_new(std::vector<ProofEntryArg> data) {
    Proof p;
    p.entries.reserve(data.size());
    for (ProofEntryArg& a : data) p.entries.push_back(std::move(a.entry));
    return p;
}

std::vector<RawEntry> proof_raw(const Proof& p) {
    std::vector<RawEntry> out;
    out.reserve(p.entries.size());
    for (const auto& [id, dep] : p.entries) {
        std::optional<std::tuple<std::uint64_t, std::uint64_t>> d;
        if (dep) d.emplace(dep->lhs, dep->rhs);
        out.emplace_back(id, d);
    }
    return out;
}


}  // namespace

PyTypeObject* PyClass<Proof>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Proof> b(
            "Exported proof DAG.\n\n"
            "Each entry stores:\n"
            "- an identity circuit,\n"
            "- either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.");
        b.constructor<&proof_new>({"data"})
            .getter<&proof_raw>("raw", "Returns raw proof entries.")
            .str<&Proof::to_string>()
            .repr<[](const Proof& p) { return std::to_string(p.entries.size()); }>()
            .slot(Py_tp_richcompare, reinterpret_cast<void*>(&ordered_richcompare<Proof>));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
