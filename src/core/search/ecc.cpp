#include "search/ecc.hpp"

#include <algorithm>

#include "base/panic.hpp"
#include "model/swap_network.hpp"
#include "state/random.hpp"
#include "state/state_vec.hpp"

namespace tsl {

void append_materialized(const EccCircuit& c, Permut32 ref_inv, std::vector<Instr32>& out) {
    const Permut32 u = ref_inv * c.perm;
    out.insert(out.end(), c.instrs.begin(), c.instrs.end());
    append_swap_instrs(u, out);
}

std::strong_ordering compare_circuits(const EccCircuit& a, const EccCircuit& b) {
    if (auto c = a.instrs <=> b.instrs; c != 0) return c;
    return a.perm.raw <=> b.perm.raw;
}

std::strong_ordering operator<=>(const ECC& a, const ECC& b) {
    return std::lexicographical_compare_three_way(a.circs.begin(), a.circs.end(), b.circs.begin(), b.circs.end(),
                                                  compare_circuits);
}

const EccCircuit& ECC::first() const {
    if (circs.empty()) panic_index_oob(0, 0);
    return circs[0];
}

std::vector<std::vector<Instr32>> ECC::circuits() const {
    const Permut32 unit = first().perm.inv();
    std::vector<std::vector<Instr32>> out;
    out.reserve(circs.size());
    for (const EccCircuit& c : circs) {
        std::vector<Instr32> m;
        m.reserve(c.instrs.size() + kMaxSwaps);
        append_materialized(c, unit, m);
        out.push_back(std::move(m));
    }
    return out;
}

ECC ECC::simplify_permute() && {
    const Permut32 unit = first().perm.inv();
    for (EccCircuit& c : circs) c.perm = unit * c.perm;
    return std::move(*this);
}

void ECC::write_to(std::string& out) const {
    const Permut32 unit = first().perm.inv();
    std::vector<Instr32> m;
    out += "ECC {\n";
    for (const EccCircuit& c : circs) {
        m.clear();
        append_materialized(c, unit, m);
        out += '\t';
        for (std::size_t i = 0; i < m.size(); ++i) {
            if (i) out += ' ';
            m[i].write_to(out);
        }
        out += ",\n";
    }
    out += '}';
}

std::string ECC::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

namespace {

// Fingerprint of one materialised circuit run on a copy of `start`.
std::uint64_t fingerprint(const StateVec& start, const std::vector<Instr32>& instrs, StateVec& work) {
    work.copy_from(start);
    for (const Instr32& in : instrs) {
        const auto used = in.qargs().as_slice();
        work.apply(used.data(), used.size(), in.gate());
    }
    work.normalize_arg();
    return work.hash_value();
}

// Whether every circuit of the class gives the fingerprint of the first.
bool class_passes(const ECC& ecc, const StateVec& start, StateVec& work, std::vector<Instr32>& buf) {
    const Permut32 unit = ecc.first().perm.inv();
    // Every circuit is materialised before any is run, so a length mismatch
    // anywhere in the class panics first; the swaps themselves cannot fail.
    for (const EccCircuit& c : ecc.circs)
        if (c.perm.len() != unit.len()) permut_detail::panic_len_mismatch();
    std::uint64_t reference = 0;
    for (std::size_t j = 0; j < ecc.circs.size(); ++j) {
        buf.clear();
        append_materialized(ecc.circs[j], unit, buf);
        const std::uint64_t h = fingerprint(start, buf, work);
        if (j == 0)
            reference = h;
        else if (h != reference)
            return false;
    }
    return true;
}

}  // namespace

std::vector<ECC> ECCs::check() const {
    if (nqubits > kMaxCheckQubits)
        panic("ECCs.check supports at most " + std::to_string(kMaxCheckQubits) + " qubits, got " +
              std::to_string(nqubits));
    auto rng = ChaCha12Rng::from_os_rng();
    const StateVec start = StateVec::from_random(rng, static_cast<std::uint32_t>(nqubits));
    StateVec work = start.clone();
    std::vector<Instr32> buf;
    std::vector<ECC> failed;
    for (const ECC& ecc : eccs)
        if (!class_passes(ecc, start, work, buf)) failed.push_back(ecc);
    return failed;
}

ECCs ECCs::filter_single() const {
    ECCs out;
    out.nqubits = nqubits;
    for (const ECC& ecc : eccs)
        if (ecc.size() > 1) out.eccs.push_back(ecc);
    return out;
}

void ECCs::write_to(std::string& out) const {
    bool first = true;
    for (const ECC& ecc : eccs) {
        if (ecc.size() < 2) continue;
        if (!first) out += " & ";
        first = false;
        ecc.write_to(out);
    }
}

std::string ECCs::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

}  // namespace tsl
