#include "prover/prover_file.hpp"

#include <optional>
#include <vector>

#include "identity/circ_serial.hpp"
#include "model/serial_forms.hpp"
#include "prover/loaded_forms.hpp"

namespace tsl {

namespace {

void encode(const IdentityProver& p, PostcardWriter& w) {
    GateNameCache names;
    w.varint(p.assume.size());
    for (const IdentityCirc& id : p.assume) write_identity(w, id, names);
    w.varint(p.proved.size());
    p.proved.for_each_offset([&](IdentitySet::Offset off) { write_identity(w, p.proved.at(off), names); });
    w.varint(p.circ_map.size());
    for (const auto& [key, list] : p.circ_map.entries()) {
        write_circ(w, key, names);
        w.varint(list.size());
        for (const Circ& c : list) write_circ(w, c, names);
    }
    // The order in which this process created the gates beyond the
    // built-ins that the file names, where the values follow it; nothing
    // where they name none, or where the prover cannot tell.
    if (!p.forms_follow_this_process) return;
    const std::vector<Gate16> order = creation_order(names.gates());
    if (order.empty()) return;
    w.varint(order.size());
    for (Gate16 g : order) w.str(names.name(g));
}

// The gate order recorded after the rule map, as this process's gates; none
// where the file ends there or what follows is not such a record (a name the
// file's circuits do not hold, for one).
std::optional<std::vector<Gate16>> read_creation_order(PostcardReader& r, const GateLookupCache& gates) {
    if (r.at_end()) return std::nullopt;
    try {
        const std::uint64_t n = r.varint_u64();
        if (n > gates.size()) return std::nullopt;
        std::vector<Gate16> out;
        out.reserve(n);
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::optional<Gate16> g = gates.found(r.str());
            if (!g) return std::nullopt;
            out.push_back(*g);
        }
        return out;
    } catch (const PostcardError&) {
        return std::nullopt;
    }
}

IdentityProver decode(PostcardReader& r) {
    GateLookupCache gates;
    IdentityProver p;
    const std::uint64_t n = r.varint_u64();
    p.assume.reserve(capped_reserve(n));
    for (std::uint64_t i = 0; i < n; ++i) p.assume.push_back(read_identity(r, gates));
    const std::uint64_t m = r.varint_u64();
    for (std::uint64_t i = 0; i < m; ++i) p.proved.insert(read_identity(r, gates));
    const std::uint64_t k = r.varint_u64();
    for (std::uint64_t i = 0; i < k; ++i) {
        Circ key = read_circ(r, gates);
        const std::uint64_t j = r.varint_u64();
        std::vector<Circ> list;
        list.reserve(capped_reserve(j));
        for (std::uint64_t x = 0; x < j; ++x) list.push_back(read_circ(r, gates));
        p.circ_map.insert(std::move(key), std::move(list));
    }
    // Stored forms follow the saving process's gate order, lookups this
    // process's.
    p.forms_follow_this_process = form_for_this_process(p, gates.gates(), read_creation_order(r, gates));
    return p;
}

}  // namespace

void save_prover_postcard(const IdentityProver& prover, const std::string& path) {
    save_postcard_file(path, [&](PostcardWriter& w) { encode(prover, w); });
}

IdentityProver load_prover_postcard(const std::string& path) {
    return load_postcard_file(path, [](PostcardReader& r) { return decode(r); });
}

}  // namespace tsl
