// Python class Evaluator: permutation-invariant keys of circuits.
#include "binding/class_builder.hpp"
#include "classes/model_forms.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Evaluator;

Evaluator ev_new(std::uint64_t nqubits) {
    auto rng = tsl::ChaCha12Rng::from_os_rng();
    return Evaluator::from_random(rng, nqubits);
}
std::tuple<tsl::StateVec, tsl::Permut32, tsl::Permut32, tsl::StateVec> ev_evaluate(
    const Evaluator& e, std::vector<tsl::Instr32> instrs) {
    auto r = e.evaluate(instrs);
    return {std::move(r.true_back_state), r.perms.front_perm, r.perms.back_perm, std::move(r.state)};
}

}  // namespace

PyTypeObject* PyClass<Evaluator>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Evaluator> b(
            "Randomized evaluator used to hash circuits and recover permutation metadata.");
        b.constructor<&ev_new>({"nqubits"})
            .method<&Evaluator::nqubits>("nqubits", "Returns evaluator qubit count.")
            .method<&ev_evaluate>("evaluate", "Python wrapper for circuit evaluation.", {"instrs"})
            .method<&Evaluator::initial_key>("initial_key", "Hash key for the empty circuit under this evaluator.")
            .eq();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
