// Python class RawECCs: the raw class map of the search.
#include "binding/class_builder.hpp"
#include "classes/model_forms.hpp"
#include "classes/registry.hpp"
#include "search/equivalence_check.hpp"

namespace tpy {

namespace {

using tsl::RawECCs;

using SearchResult = std::tuple<RawECCs, std::vector<std::uint64_t>>;

SearchResult result(std::pair<RawECCs, tsl::SearchCounters> r) {
    return {std::move(r.first), std::vector<std::uint64_t>(r.second.begin(), r.second.end())};
}


SearchResult raw_search(const tsl::Evaluator& evaluator, std::vector<tsl::Instr32> instrs, std::uint64_t max_size) {
    return result(RawECCs::search(evaluator, instrs, max_size));
}
SearchResult raw_search_naive(const tsl::Evaluator& evaluator, std::vector<tsl::Instr32> instrs,
                              std::uint64_t max_size) {
    return result(RawECCs::search_naive(evaluator, instrs, max_size));
}
SearchResult raw_generate(const tsl::Evaluator& evaluator, std::vector<tsl::Gate16> gates, std::uint64_t max_size) {
    const auto instrs = tsl::expand_gate_set(std::move(gates), evaluator.nqubits());
    return result(RawECCs::search(evaluator, instrs, max_size));
}
SearchResult raw_generate_naive(const tsl::Evaluator& evaluator, std::vector<tsl::Gate16> gates,
                                std::uint64_t max_size) {
    const auto instrs = tsl::expand_gate_set(std::move(gates), evaluator.nqubits());
    return result(RawECCs::search_naive(evaluator, instrs, max_size));
}

std::optional<std::uint64_t> raw_compute_next_key(const RawECCs& map, const tsl::Evaluator& evaluator,
                                                  std::uint64_t current_key, tsl::Instr32 instr) {
    const tsl::CircuitECC* cls = map.find(current_key);
    if (!cls) return std::nullopt;
    std::vector<tsl::Instr32> instrs = map.instructions(cls->circuits[0].circ);
    instrs.push_back(instr);
    const std::uint64_t key = evaluator.evaluate(instrs).true_back_state.hash_value();
    if (!map.find(key)) return std::nullopt;
    return key;
}


std::optional<tsl::ECC> raw_find_equivalents(const RawECCs& map, const tsl::Evaluator& evaluator,
                                             std::vector<tsl::Instr32> instrs) {
    const auto r = evaluator.evaluate(instrs);
    const tsl::CircuitECC* cls = map.find(r.true_back_state.hash_value());
    if (!cls) return std::nullopt;
    const tsl::Permut32 f_inv = r.perms.front_perm.inv();
    const tsl::Permut32 b_inv = r.perms.back_perm.inv();
    std::vector<tsl::EccCircuit> out;
    for (const tsl::CircTriple& m : cls->circuits)
        out.push_back(map.simplify_member(tsl::CircTriple{m.front_perm * f_inv, m.circ, b_inv * m.back_perm}));
    return tsl::ECC(std::move(out));
}


void raw_check_identity_subset(const RawECCs& map, const RawECCs& ecc1, const tsl::Evaluator& evaluator) {
    tsl::check_identity_subset(map, ecc1, evaluator);
}

}  // namespace

PyTypeObject* PyClass<RawECCs>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<RawECCs> b(
            "Mutable ECC map keyed by evaluator hash.\n\n"
            "This is the direct output of the search algorithm before final simplification.");
        b.constructor<[](const tsl::Evaluator& evaluator) { return RawECCs(evaluator); }>({"evaluator"})
            .static_method<&raw_search>("search",
                "Optimized search using permutation-equivalent placements per circuit.",
                {"evaluator", "instrs", "max_size"})
            .static_method<&raw_search_naive>("search_naive",
                "Exhaustive baseline search without permutation-based multiplicity reduction.",
                {"evaluator", "instrs", "max_size"})
            .static_method<&raw_generate>("generate", "Generates ECCs from a gate set using the optimized search.\n\n"
                "Adjoint gates are added automatically if missing.",
                {"evaluator", "gates", "max_size"})
            .static_method<&raw_generate_naive>("generate_naive",
                "Generates ECCs from a gate set using the naive search.",
                {"evaluator", "gates", "max_size"})
            .method<&RawECCs::simplify>("simplify", "Converts raw buckets into sorted, normalized ECCs.")
            .method<&raw_compute_next_key>("compute_next_key",
                "Computes the next reachable ECC hash after appending one instruction.\n\n"
                "Returns `None` when the resulting state was not discovered in this map.",
                {"evaluator", "current_key", "instr"})
            .method<&raw_find_equivalents>("find_equivalents",
                "Python wrapper returning equivalent circuits for a candidate program.",
                {"evaluator", "instrs"})
            .method<&RawECCs::switch_evaluator>("switch_evaluator",
                "Re-evaluates all stored circuits under a new evaluator.\n\n"
                "Useful for cross-checking evaluator-independence of discovered classes.",
                {"new_evaluator"})
            .method<&raw_check_identity_subset>("check_identity_subset",
                "Checks that every identity in `self` is representable in `ecc1`.",
                {"ecc1", "evaluator"});
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
