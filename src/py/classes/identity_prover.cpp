// Python class IdentityProver: no constructor; instances come from
// build_from_eccs and from_postcard.  No attributes or special methods:
// objects compare and hash by identity.
#include "binding/class_builder.hpp"
#include "binding/pyref.hpp"
#include "classes/registry.hpp"
#include "identity/proof_tracker.hpp"
#include "identity/prover_file.hpp"

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

IdentityProver prover_build_from_eccs(const tsl::ECCs& eccs) { return IdentityProver::build_from_eccs(eccs); }

std::vector<IdentityCirc> prover_par_apply_rules(const IdentityProver& p, IdentityCirc identity,
                                                 std::uint64_t additional_size) {
    return p.par_apply_rules(identity, additional_size);
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

std::optional<IdentityCirc> prover_prove_identity(const IdentityProver& p, IdentityCirc identity,
                                                  std::uint64_t additional_size, std::uint64_t count_limit) {
    return p.prove_identity(identity, additional_size, count_limit);
}

PyObject* prover_prove_identity_with_visited(const IdentityProver& p, IdentityCirc identity,
                                             std::uint64_t additional_size, std::uint64_t count_limit) {
    auto [result, visited] = p.prove_identity_with_visited(identity, additional_size, count_limit);
    PyRef first = PyRef::steal(to_py(std::move(result)));
    PyRef set = PyRef::steal(identity_set(visited));
    return check(PyTuple_Pack(2, first.get(), set.get()));
}

std::optional<tsl::Proof> prover_export_proof(const IdentityProver& p, IdentityCirc identity,
                                              std::uint64_t additional_size, std::uint64_t count_limit) {
    return tsl::export_proof(p, identity, additional_size, count_limit);
}

std::vector<IdentityCirc> prover_get_assumed(const IdentityProver& p) { return p.get_assumed(); }

IdentityProver prover_from_postcard(std::string filepath) {
    return tsl::load_prover_postcard(filepath);
}

void prover_dump_postcard(const IdentityProver& p, std::string filepath) {
    tsl::save_prover_postcard(p, filepath);
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
        b.static_method<&prover_build_from_eccs>(
             "build_from_eccs",
             "build_from_eccs(eccs)\n--\n\nPython entrypoint: builds a prover from generated ECCs.", {"eccs"})
            .method<&prover_par_apply_rules>(
                "par_apply_rules",
                "par_apply_rules($self, identity, additional_size)\n--\n\n"
                "Applies one round of parallel rule rewriting bounded by `additional_size`.",
                {"identity", "additional_size"})
            .method<&prover_add_identity>(
                "add_identity",
                "add_identity($self, identity, additional_size, count_limit)\n--\n\n"
                "Inserts one identity into the prover, deriving it when possible.\n\n"
                "Returns `true` when this identity must be kept as an assumption.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_add_identity_search>(
                "add_identity_search",
                "add_identity_search($self, identity, additional_size, count_limit)\n--\n\n"
                "Internal bounded search used by [`Self::add_identity`].\n\n"
                "Returns `(visited, assumed)` where `assumed=true` means the identity\n"
                "could not be derived within `count_limit`.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_prove_identity>(
                "prove_identity",
                "prove_identity($self, identity, additional_size, count_limit)\n--\n\n"
                "Attempts to prove one identity.\n\n"
                "Returns `None` if proved, or `Some(identity)` if the search exceeded limits.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_prove_identity_with_visited>(
                "prove_identity_with_visited",
                "prove_identity_with_visited($self, identity, additional_size, count_limit)\n--\n\n"
                "Same as [`Self::prove_identity`] but also returns visited identities.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_export_proof>(
                "export_proof",
                "export_proof($self, identity, additional_size, count_limit)\n--\n\n"
                "Exports a proof DAG when `identity` is derivable under the given limits.",
                {"identity", "additional_size", "count_limit"})
            .method<&prover_get_assumed>(
                "get_assumed",
                "get_assumed($self)\n--\n\nReturns current assumptions as a cloned list (Python helper).")
            .static_method<&prover_from_postcard>(
                "from_postcard", "from_postcard(filepath)\n--\n\nLoads a prover from postcard serialization.",
                {"filepath"})
            .method<&prover_dump_postcard>(
                "dump_postcard", "dump_postcard($self, filepath)\n--\n\nStores a prover as postcard serialization.",
                {"filepath"});
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
