#include "identity/classes_to_identities.hpp"

#include <algorithm>

namespace tsl {

std::vector<std::tuple<IdentityCirc, Circ, Circ>> to_identity_circuits(const ECCs& eccs) {
    std::vector<std::tuple<IdentityCirc, Circ, Circ>> out;
    for (const ECC& ecc : eccs.eccs) {
        const EccCircuit& first = ecc.first();
        const Circ initial = Circ::create(first.instrs, first.perm).inverse();
        for (std::size_t j = 1; j < ecc.circs.size(); ++j) {
            Circ c = Circ::create(ecc.circs[j].instrs, ecc.circs[j].perm);
            IdentityCirc id = (initial + c).rotate_representative();
            out.emplace_back(std::move(id), initial, std::move(c));
        }
    }
    std::stable_sort(out.begin(), out.end());
    return out;
}

}  // namespace tsl
