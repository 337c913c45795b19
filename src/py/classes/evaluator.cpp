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
std::size_t ev_nqubits(const Evaluator& e) { return e.nqubits(); }
std::tuple<tsl::StateVec, tsl::Permut32, tsl::Permut32, tsl::StateVec> ev_evaluate(
    const Evaluator& e, std::vector<tsl::Instr32> instrs) {
    auto r = e.evaluate(instrs);
    return {std::move(r.true_back_state), r.perms.front_perm, r.perms.back_perm, std::move(r.state)};
}
std::uint64_t ev_initial_key(const Evaluator& e) { return e.initial_key(); }
bool ev_eq(const Evaluator& a, const Evaluator& b) { return a == b; }

}  // namespace

PyTypeObject* PyClass<Evaluator>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Evaluator> b(
            "Evaluator(nqubits)\n--\n\nRandomized evaluator used to hash circuits and recover permutation metadata.");
        b.constructor<&ev_new>({"nqubits"})
            .method<&ev_nqubits>("nqubits", "nqubits($self)\n--\n\nReturns evaluator qubit count.")
            .method<&ev_evaluate>("evaluate", "evaluate($self, instrs)\n--\n\nPython wrapper for circuit evaluation.",
                                  {"instrs"})
            .method<&ev_initial_key>("initial_key",
                                     "initial_key($self)\n--\n\nHash key for the empty circuit under this evaluator.")
            .eq<&ev_eq>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
