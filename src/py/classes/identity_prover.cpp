// Python class IdentityProver: no constructor; instances come from
// build_from_eccs and from_postcard.  No attributes or special methods:
// objects compare and hash by identity.
#include "binding/class_builder.hpp"
#include "binding/pyref.hpp"
#include "classes/registry.hpp"
#include "prover/proof_tracker.hpp"
#include "prover/prover_file.hpp"

namespace tpy {

namespace {

using tsl::IdentityCirc;
using tsl::IdentityProver;

// A Python set of new IdentityCirc objects.
PyObject* identity_set(const tsl::IdentitySet& s) {
    PyRef set = PyRef::steal(PySet_New(nullptr));
    if (!set) throw PyErrSet{};
    s.for_each_offset([&](tsl::IdentitySet::Offset off) {
        PyRef item = PyRef::steal(to_py(s.at(off)));
        if (PySet_Add(set.get(), item.get()) < 0) throw PyErrSet{};
    });
    return set.release();
}

bool prover_add_identity(IdentityProver& p, IdentityCirc identity, std::uint64_t additional_size,
                         std::uint64_t count_limit) {
    return p.add_identity(identity, additional_size, count_limit);
}

PyObject* prover_add_identity_search(IdentityProver& p, IdentityCirc identity, std::uint64_t additional_size,
                                     std::uint64_t count_limit) {
    auto [visited, assumed] = p.add_identity_search(identity, additional_size, count_limit);
    PyRef set = PyRef::steal(identity_set(visited));
    PyRef flag = PyRef::steal(to_py(assumed));
    return check(PyTuple_Pack(2, set.get(), flag.get()));
}

PyObject* prover_prove_identity_with_visited(const IdentityProver& p, IdentityCirc identity,
                                             std::uint64_t additional_size, std::uint64_t count_limit) {
    auto [result, visited] = p.prove_identity_with_visited(identity, additional_size, count_limit);
    PyRef first = PyRef::steal(to_py(std::move(result)));
    PyRef set = PyRef::steal(identity_set(visited));
    return check(PyTuple_Pack(2, first.get(), set.get()));
}


}  // namespace

PyTypeObject* PyClass<IdentityProver>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<IdentityProver> b(
            "Rule-based prover for circuit identities.\n\n"
            "The prover is built from ECCs, extracts assumed rules, and can then:\n"
            "- check whether a target identity is derivable,\n"
            "- produce visited states for diagnostics,\n"
            "- export explicit proof traces.");
        b.static_method<&IdentityProver::build_from_eccs>(
             "build_from_eccs",
             "Python entrypoint: builds a prover from generated ECCs.", {"eccs"})
            .method<&IdentityProver::par_apply_rules>("par_apply_rules",
                "Applies one round of parallel rule rewriting bounded by `additional_size`.",
                {"identity", "additional_size"})
            .method<&prover_add_identity>("add_identity",
                "Inserts one identity into the prover, deriving it when possible.\n\n"
                "Returns `true` when this identity must be kept as an assumption.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_add_identity_search>("add_identity_search",
                "Internal bounded search used by [`Self::add_identity`].\n\n"
                "Returns `(visited, assumed)` where `assumed=true` means the identity\n"
                "could not be derived within `count_limit`.",
                {"identity", "additional_size", "count_limit"})
            .method<&IdentityProver::prove_identity>("prove_identity", "Attempts to prove one identity.\n\n"
                "Returns `None` if proved, or `Some(identity)` if the search exceeded limits.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_prove_identity_with_visited>("prove_identity_with_visited",
                "Same as [`Self::prove_identity`] but also returns visited identities.",
                {"identity", "additional_size", "count_limit"})
            .method<&tsl::export_proof>("export_proof",
                "Exports a proof DAG when `identity` is derivable under the given limits.",
                {"identity", "additional_size", "count_limit"})
            .method<&IdentityProver::get_assumed>("get_assumed",
                "Returns current assumptions as a cloned list (Python helper).")
            .static_method<&tsl::load_prover_postcard>("from_postcard", "Loads a prover from postcard serialization.",
                {"filepath"})
            .method<&tsl::save_prover_postcard>("dump_postcard", "Stores a prover as postcard serialization.",
                {"filepath"});
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
