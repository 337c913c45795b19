#include "search/raw_eccs.hpp"

#include <algorithm>

#include "base/fmt_join.hpp"
#include "base/panic.hpp"

namespace tsl {

namespace {

// Surface gates of a circuit walked in one direction: an instruction none of
// whose qubits was touched by an earlier instruction of the walk.  The
// qubits of every instruction are marked, surface gate or not.
template <class It, class F>
void for_each_surface_gate(It first, It last, F&& f) {
    std::uint32_t mask = 0;
    for (; first != last; ++first) {
        const Instr32 ins = *first;
        std::uint32_t bits = 0;
        for (std::uint8_t q : ins.qargs()) bits |= std::uint32_t{1} << (q & 31);  // qubits are below 5 here
        if ((bits & mask) == 0) f(ins);
        mask |= bits;
    }
}

}  // namespace

RawECCs::RawECCs(std::uint64_t nqubits, std::shared_ptr<InstrArena> arena)
    : nqubits_(nqubits), arena_(std::move(arena)) {}

RawECCs::RawECCs(const Evaluator& evaluator) : RawECCs(evaluator.nqubits(), InstrArena::make()) {
    const std::uint64_t key = evaluator.initial_key();
    const auto id = Permut32::identity(static_cast<std::uint8_t>(nqubits_));
    CircuitECC root;
    root.circuits.push_back(CircTriple{id, InstrList::nil(), id});
    append_class(key, std::move(root));
}

std::uint32_t RawECCs::index_of(std::uint64_t key) const {
    return index_.find(key, [this](std::uint32_t i) { return entry(i).key; });
}

const CircuitECC* RawECCs::find(std::uint64_t key) const {
    const std::uint32_t i = index_of(key);
    return i == KeyIndexMap::kEmpty ? nullptr : &entry(i).cls;
}

// The class counts only once it is stored and indexed: if an allocation
// fails on the way, the store is as it was before the call.
std::uint32_t RawECCs::append_class(std::uint64_t key, CircuitECC cls) {
    if (count_ == (chunks_.size() << kChunkBits)) chunks_.push_back(std::make_unique<Entry[]>(kChunk));
    const auto i = static_cast<std::uint32_t>(count_);
    Entry& e = entry(i);  // past the count: not visible until counted
    e.key = key;
    e.cls = std::move(cls);
    index_.insert_new(key, i, [this](std::uint32_t j) { return entry(j).key; });
    ++count_;
    return i;
}

std::optional<InstrList> RawECCs::add_entry(std::uint64_t key, Permut32 front_perm, Permut32 back_perm,
                                            InstrList circ, std::span<const Instr32> instr_vec) {
    if (instr_vec.empty()) panic("called `Option::unwrap()` on a `None` value");
    const Instr32 instr = instr_vec.back();
    const Permut32 front_inv = front_perm.inv();
    // Usually one surface gate per touched qubit: inline storage suffices.
    SmallVec<Instr32, 8> front, back;
    for_each_surface_gate(instr_vec.begin(), instr_vec.end(),
                          [&](Instr32 g) { front.push_back(g.apply_permutation(front_inv)); });
    for_each_surface_gate(instr_vec.rbegin(), instr_vec.rend(),
                          [&](Instr32 g) { back.push_back(g.apply_permutation(back_perm)); });
    const std::uint32_t nfront = front.size(), nback = back.size();

    const std::uint32_t idx = index_of(key);
    if (idx != KeyIndexMap::kEmpty) {
        CircuitECC& cls = entry(idx).cls;
        for (std::uint32_t i = 0; i < nfront; ++i)
            if (cls.front_gates.contains(front[i])) return std::nullopt;
        for (std::uint32_t i = 0; i < nback; ++i)
            if (cls.back_gates.contains(back[i])) return std::nullopt;
        for (std::uint32_t i = 0; i < nfront; ++i) cls.front_gates.insert_unique(front[i]);
        for (std::uint32_t i = 0; i < nback; ++i) cls.back_gates.insert_unique(back[i]);
        cls.circuits.push_back(CircTriple{front_perm, arena_->cons(circ, instr), back_perm});
        return std::nullopt;
    }
    CircuitECC cls;
    cls.size = instr_vec.size();
    for (std::uint32_t i = 0; i < nfront; ++i) cls.front_gates.insert_unique(front[i]);
    for (std::uint32_t i = 0; i < nback; ++i) cls.back_gates.insert_unique(back[i]);
    const InstrList list = arena_->cons(circ, instr);
    cls.circuits.push_back(CircTriple{front_perm, list, back_perm});
    append_class(key, std::move(cls));
    return list;
}

void RawECCs::instructions(InstrList list, std::vector<Instr32>& out) const {
    const std::size_t start = out.size();
    for (; !list.is_nil(); list = arena_->tail(list)) out.push_back(arena_->head(list));
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

std::size_t RawECCs::bytes() const {
    std::size_t b = chunks_.size() * kChunk * sizeof(Entry) + index_.bytes() + arena_->bytes();
    for (std::size_t i = 0; i < count_; ++i) {
        const CircuitECC& c = entry(i).cls;
        b += c.front_gates.heap_bytes() + c.back_gates.heap_bytes() + c.circuits.heap_bytes();
    }
    return b;
}

EccCircuit RawECCs::simplify_member(const CircTriple& m) const {
    const Permut32 front_inv = m.front_perm.inv();
    std::vector<Instr32> out;
    instructions(m.circ, out);
    for (Instr32& i : out) i = i.apply_permutation(front_inv);
    return {std::move(out), m.back_perm * m.front_perm};
}

std::string RawECCs::member_display(const CircTriple& m) const {
    auto [instrs, perm] = simplify_member(m);
    std::string s = fjoin(instrs, " ").to_string();
    s += ' ';
    perm.write_to(s);
    return s;
}

std::string RawECCs::member_debug(const CircTriple& m) const {
    std::string s;
    m.front_perm.write_to(s);
    s += ' ';
    s += fjoin(instructions(m.circ), " ").to_string();
    s += ' ';
    m.back_perm.write_to(s);
    return s;
}

std::string RawECCs::class_display(const CircuitECC& c) const {
    std::string s = "CircuitECC {";
    for (std::uint32_t i = 0; i < c.circuits.size(); ++i) {
        if (i) s += ", ";
        s += member_display(c.circuits[i]);
    }
    return s + "}";
}

std::string RawECCs::class_debug(const CircuitECC& c) const {
    std::string s = "CircuitECC { size: " + std::to_string(c.size) + ", front_gates: {";
    s += fjoin(c.front_gates, ", ").to_string();
    s += "}, back_gates: {";
    s += fjoin(c.back_gates, ", ").to_string();
    s += "}, circuits: [";
    for (std::uint32_t i = 0; i < c.circuits.size(); ++i) {
        if (i) s += ", ";
        s += member_debug(c.circuits[i]);
    }
    return s + "] }";
}

RawECCs RawECCs::switch_evaluator(const Evaluator& evaluator) const {
    RawECCs out(evaluator);
    out.arena_ = arena_;  // members keep pointing at this map's cells
    bool root_replaced = false;  // the new evaluator's own root class goes silently, once
    std::vector<Instr32> instrs;
    for (std::size_t i = 0; i < count_; ++i) {
        const CircuitECC& src = entry(i).cls;
        instrs.clear();
        instructions(src.circuits[0].circ, instrs);
        const std::uint64_t key = evaluator.evaluate(instrs).true_back_state.hash_value();
        CircuitECC cls;
        cls.size = instrs.size();
        for (const CircTriple& m : src.circuits) {
            instrs.clear();
            instructions(m.circ, instrs);
            auto r = evaluator.evaluate(instrs);
            if (r.true_back_state.hash_value() != key) panic("Inconsistent ECC detected during evaluator switch");
            cls.circuits.push_back(CircTriple{r.perms.front_perm, m.circ, r.perms.back_perm});
        }
        const std::uint32_t at = out.index_of(key);
        if (at == KeyIndexMap::kEmpty) {
            out.append_class(key, std::move(cls));
        } else if (at == 0 && !root_replaced) {
            out.entry(at).cls = std::move(cls);
            root_replaced = true;
        } else {
            panic("Hash collision detected during evaluator switch: " + out.class_debug(out.entry(at).cls) +
                  " vs " + class_debug(src));
        }
    }
    return out;
}

}  // namespace tsl
