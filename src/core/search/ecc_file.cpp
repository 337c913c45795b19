#include "search/ecc_file.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "base/file_io.hpp"
#include "model/gate.hpp"
#include "base/postcard.hpp"
#include "model/serial_forms.hpp"

namespace tsl {

namespace {

void encode(const ECCs& eccs, PostcardWriter& w) {
    GateNameCache names;
    w.varint(eccs.eccs.size());
    for (const ECC& ecc : eccs.eccs) {
        w.varint(ecc.circs.size());
        for (const EccCircuit& c : ecc.circs) {
            write_instrs(w, c.instrs, names);
            write_permut(w, c.perm);
        }
    }
    w.varint(eccs.nqubits);
}

ECCs decode(PostcardReader& r) {
    GateLookupCache gates;
    ECCs out;
    const std::uint64_t nclasses = r.varint_u64();
    out.eccs.reserve(capped_reserve(nclasses));
    for (std::uint64_t i = 0; i < nclasses; ++i) {
        ECC ecc;
        const std::uint64_t ncircs = r.varint_u64();
        ecc.circs.reserve(capped_reserve(ncircs));
        for (std::uint64_t j = 0; j < ncircs; ++j) {
            std::vector<Instr32> instrs = read_instrs(r, gates);
            const Permut32 perm = read_permut(r);
            ecc.circs.emplace_back(std::move(instrs), perm);
        }
        out.eccs.push_back(std::move(ecc));
    }
    out.nqubits = r.varint_u64();
    return out;
}

}  // namespace

void save_eccs_postcard(const ECCs& eccs, const std::string& path) {
    save_postcard_file(path, [&](PostcardWriter& w) { encode(eccs, w); });
}

ECCs load_eccs_postcard(const std::string& path) {
    return load_postcard_file(path, [](PostcardReader& r) { return decode(r); });
}

}  // namespace tsl
