#include "identity/identity_circ.hpp"

#include <limits>

#include "base/panic.hpp"
#include "state/random.hpp"
#include "state/scratch_states.hpp"
#include "state/state_vec.hpp"

namespace tsl {

namespace {

constexpr std::uint64_t kUnset = std::numeric_limits<std::uint64_t>::max();

void apply_instr(StateVec& s, Instr32 in, Gate16 gate) {
    const QArgs16& qa = in.qargs();
    s.apply(qa.data(), qa.len(), gate);
}

std::string slots_debug(const WireNeighbours& w) {
    std::string s = "[";
    for (std::size_t i = 0; i < w.count; ++i) {
        if (i) s += ", ";
        s += std::to_string(w.slot[i]);
    }
    return s + "]";
}

bool all_set(const WireNeighbours& w) {
    for (std::size_t i = 0; i < w.count; ++i)
        if (w.slot[i] == kUnset) return false;
    return true;
}

// Slots of instruction g, all unset; panics for an index past the end.
WireNeighbours start_slots(const Circ& c, std::uint64_t gate_id) {
    if (gate_id >= c.len()) panic_index_oob(c.len(), gate_id);
    WireNeighbours w;
    w.count = static_cast<std::uint8_t>(c.instrs[gate_id].qargs().len());
    w.slot = {kUnset, kUnset};
    return w;
}

// Sets the slot of g holding qubit q (its first such slot), if still unset.
void visit(WireNeighbours& w, Instr32 g, Instr32 other, std::uint64_t index) {
    for (std::uint8_t q : other.qargs()) {
        if (auto s = g.position_of_qubit(q); s && w.slot[*s] == kUnset) w.slot[*s] = index;
    }
}

}  // namespace

IdentityCirc IdentityCirc::unchecked(Circ c) {
    IdentityCirc id = from_stored(std::move(c));
    id.check();
    return id;
}

bool IdentityCirc::check() const {
    const std::uint8_t n = circ.perm.len();
    // A stored value may carry any length field; refuse what no state can hold.
    if (n > 8) panic("Permutation length must be less than or equal to 8");
    const std::size_t m = circ.instrs.size();
    const std::size_t half = m / 2;

    ChaCha12Rng rng = ChaCha12Rng::from_os_rng();
    StateVec a = StateVec::from_random(rng, n);
    StateVec b = a.clone();

    for (std::size_t i = 0; i < half; ++i) apply_instr(a, circ.instrs[i], circ.instrs[i].gate());
    a.normalize_arg();

    reserve_state_vec_cache(n);
    // Relabelling by the identity (which always fits) moves nothing.
    if (const Permut32 inv = circ.perm.inv(); !inv.is_identity()) apply_permutation(b, inv);
    for (std::size_t i = m; i-- > half;) apply_instr(b, circ.instrs[i], circ.instrs[i].gate().adjoint());
    b.normalize_arg();

    if (!a.loose_eq(b))
        panic("IdentityCirc: circuit is not identity " + a.to_string() + " " + b.to_string() + " " + to_string());
    return true;
}

WireNeighbours IdentityCirc::qargs_forward(std::uint64_t gate_id) const {
    WireNeighbours w = start_slots(circ, gate_id);
    const std::size_t m = circ.len();
    const Instr32 g = circ.instrs[gate_id];
    const Circ rotated = circ.rotate(static_cast<std::int64_t>(gate_id + 1));
    for (std::size_t j = 0; j < m && !all_set(w); ++j) visit(w, g, rotated.instrs[j], (gate_id + 1 + j) % m);
    if (!all_set(w)) panic(to_string() + " " + slots_debug(w));
    return w;
}

WireNeighbours IdentityCirc::qargs_backward(std::uint64_t gate_id) const {
    WireNeighbours w = start_slots(circ, gate_id);
    const std::size_t m = circ.len();
    const Instr32 g = circ.instrs[gate_id];
    const Circ rotated = circ.rotate(static_cast<std::int64_t>(gate_id) - static_cast<std::int64_t>(m));
    for (std::size_t j = m; j-- > 0 && !all_set(w);) visit(w, g, rotated.instrs[j], (gate_id + j) % m);
    if (!all_set(w)) panic("a " + to_string() + " " + rotated.debug_string() + " " + std::to_string(gate_id));
    return w;
}

void IdentityCirc::write_to(std::string& out) const {
    out += "Identity { ";
    for (const Instr32& in : circ.instrs) {
        in.write_to(out);
        out += ' ';
    }
    circ.perm.write_to(out);
    out += " }";
}

std::string IdentityCirc::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

std::string IdentityCirc::debug_string() const { return "IdentityCirc(" + circ.debug_string() + ")"; }

}  // namespace tsl
