// Raw classes into finished, sorted, renumbered classes.
#include <algorithm>
#include <bitset>

#include "base/panic.hpp"
#include "search/raw_eccs.hpp"

namespace tsl {

namespace {

bool member_less(const EccCircuit& a, const EccCircuit& b) {
    if (a.instrs.size() != b.instrs.size()) return a.instrs.size() < b.instrs.size();
    for (std::size_t i = 0; i < a.instrs.size(); ++i)
        if (a.instrs[i] != b.instrs[i]) return a.instrs[i] < b.instrs[i];
    return a.perm.raw < b.perm.raw;
}

}  // namespace

ECC RawECCs::simplify_class(const CircuitECC& c) const {
    std::vector<EccCircuit> result;
    result.reserve(c.circuits.size());
    for (const CircTriple& m : c.circuits) result.push_back(simplify_member(m));
    std::stable_sort(result.begin(), result.end(), member_less);
    if (result.empty()) panic_index_oob(0, 0);

    // The representative's qubits, ascending.
    std::bitset<256> used;
    for (const Instr32& i : result[0].instrs)
        for (std::uint8_t q : i.qargs()) used.set(q);
    std::uint8_t set[256];
    std::size_t nset = 0;
    for (unsigned q = 0; q < 256; ++q)
        if (used.test(q)) set[nset++] = static_cast<std::uint8_t>(q);
    const Permut32 uniform_inv =
        Permut32::from_iter_with_ext(result[0].perm.len(), std::span<const std::uint8_t>(set, nset));
    const Permut32 uniform = uniform_inv.inv();

    for (EccCircuit& m : result) {
        for (Instr32& i : m.instrs) i = i.apply_permutation(uniform);
        m.perm = uniform * m.perm * uniform_inv;
    }
    return ECC(std::move(result));
}

ECCs RawECCs::simplify() const {
    std::vector<ECC> classes;
    classes.reserve(count_);
    for (std::size_t i = 0; i < count_; ++i) classes.push_back(simplify_class(entry(i).cls));
    std::stable_sort(classes.begin(), classes.end(), [](const ECC& a, const ECC& b) { return a < b; });
    return ECCs(std::move(classes), nqubits_);
}

}  // namespace tsl
