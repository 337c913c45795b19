#include "search/equivalence_check.hpp"

#include <algorithm>
#include <bit>
#include <compare>
#include <string_view>

#include "base/fmt_join.hpp"
#include "base/panic.hpp"

namespace tsl {

namespace {

constexpr std::size_t kCheckChunk = 4096;

// The evaluation workspace of the current thread (a worker's lives as long
// as the worker).
Evaluation& workspace() {
    thread_local Evaluation ws;
    return ws;
}

std::string joined(std::span<const Instr32> instrs, std::string_view sep) { return fjoin(instrs, sep).to_string(); }

// Every instruction of `list` relabelled by `p`, in place.
void relabel(std::vector<Instr32>& list, Permut32 p) {
    for (Instr32& i : list) i = i.apply_permutation(p);
}

// `instrs` in reverse order, each relabelled by `p`, into `out`.
void reversed_relabelled(std::span<const Instr32> instrs, Permut32 p, std::vector<Instr32>& out) {
    out.clear();
    for (std::size_t k = instrs.size(); k-- > 0;) out.push_back(instrs[k].apply_permutation(p));
}

// Instructions position by position (a proper prefix first), then the raw
// permutation word.
bool circuit_less(std::span<const Instr32> a, Permut32 pa, std::span<const Instr32> b, Permut32 pb) {
    const auto c = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    if (c != 0) return c < 0;
    return pa.raw < pb.raw;
}

const CircTriple& first_member(const CircuitECC& cls) {
    if (cls.circuits.empty()) panic_index_oob(0, 0);
    return cls.circuits[0];
}

// The gates of every member of every class of `map`, added to `gates`.
void add_gates_of(const RawECCs& map, GateSet& gates) {
    const InstrArena& cells = *map.arena();
    for (std::size_t i = 0; i < map.num_classes(); ++i)
        for (const CircTriple& m : map.class_at(i).circuits)
            for (InstrList l = m.circ; !l.is_nil(); l = cells.tail(l)) gates.add(cells.head(l).gate());
}

void check_class(const RawECCs& self, const CircuitECC& cls, const RawECCs& ecc1, const Evaluator& evaluator) {
    const ECC members = self.simplify_class(cls);
    for (const EccCircuit& m : members.circs) {
        const std::uint64_t key = evaluator.evaluate_multiple(m.instrs, workspace());
        if (!ecc1.find(key)) panic("assertion failed: ecc1.contains_key(&bv.hash_value())");
        (void)checked_equivalent(ecc1, m.instrs, m.perm, evaluator);
    }
}

}  // namespace

// ---- presence masks ---------------------------------------------------------

PresenceMask::PresenceMask(std::size_t k) {
    const std::size_t full = k >> 6;
    for (std::size_t w = 0; w < full; ++w) words_.push_back(~std::uint64_t{0});
    if (const std::size_t rest = k & 63; rest != 0 || full == 0)
        words_.push_back(rest ? (std::uint64_t{1} << rest) - 1 : 0);
}

std::string PresenceMask::to_binary() const {
    std::size_t top = words_.size();
    while (top > 0 && word(top - 1) == 0) --top;
    if (top == 0) return "0";
    std::string s;
    const std::uint64_t high = word(top - 1);
    for (int b = 63 - std::countl_zero(high); b >= 0; --b) s += ((high >> b) & 1u) ? '1' : '0';
    for (std::size_t w = top - 1; w-- > 0;)
        for (int b = 63; b >= 0; --b) s += ((word(w) >> b) & 1u) ? '1' : '0';
    return s;
}

bool operator==(const PresenceMask& a, const PresenceMask& b) {
    const std::size_t n = std::max<std::size_t>(a.words_.size(), b.words_.size());
    for (std::size_t w = 0; w < n; ++w)
        if (a.word(w) != b.word(w)) return false;
    return true;
}

// ---- surface scan and reductions --------------------------------------------

void SurfaceMap::insert(Instr32 instr, std::uint32_t pos) {
    for (std::uint32_t k = 0; k < entries_.size(); ++k) {
        if (entries_[k].instr == instr) {
            entries_[k].pos = pos;
            return;
        }
    }
    entries_.push_back(Entry{instr, pos});
}

const SurfaceMap::Entry* SurfaceMap::find(Instr32 instr) const {
    for (const Entry& e : entries_)
        if (e.instr == instr) return &e;
    return nullptr;
}

SurfaceMap circuit_get_surface_gates_hashmap(std::span<const Instr32> circ, const PresenceMask& filtering_mask) {
    std::uint32_t mask = 0;
    SurfaceMap result;
    for (std::size_t i = 0; i < circ.size(); ++i) {
        if (!filtering_mask.test(i)) continue;
        std::size_t used = 0, fresh = 0;
        for (std::uint8_t q : circ[i].qargs()) {
            ++used;
            const std::uint32_t bit = std::uint32_t{1} << (q & 31u);
            if (!(mask & bit)) {
                mask |= bit;
                ++fresh;
            }
        }
        if (fresh == used) result.insert(circ[i], static_cast<std::uint32_t>(i));
    }
    return result;
}

std::pair<PresenceMask, PresenceMask> reduce_equivalence_front(std::span<const Instr32> circ1,
                                                               std::span<const Instr32> circ2) {
    PresenceMask mask1(circ1.size());
    PresenceMask mask2(circ2.size());
    for (;;) {
        const SurfaceMap front_gates1 = circuit_get_surface_gates_hashmap(circ1, mask1);
        const SurfaceMap front_gates2 = circuit_get_surface_gates_hashmap(circ2, mask2);
        bool matched = false;
        for (const SurfaceMap::Entry& e1 : front_gates1) {
            if (const SurfaceMap::Entry* e2 = front_gates2.find(e1.instr)) {
                mask1.reset(e1.pos);
                mask2.reset(e2->pos);
                matched = true;
            }
        }
        if (!matched) break;
    }
    return {std::move(mask1), std::move(mask2)};
}

std::size_t retain_by_masks(std::vector<Instr32>& list, const PresenceMask& front, const PresenceMask& back) {
    const std::size_t len = list.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < len; ++i)
        if (front.test(i) && back.test(len - 1 - i)) list[kept++] = list[i];
    list.resize(kept);
    return len - kept;
}

std::size_t reduce_equivalence(EccCircuit& circ1, EccCircuit& circ2) {
    auto [mask1f, mask2f] = reduce_equivalence_front(circ1.instrs, circ2.instrs);
    thread_local std::vector<Instr32> back1, back2;
    reversed_relabelled(circ1.instrs, circ1.perm, back1);
    reversed_relabelled(circ2.instrs, circ2.perm, back2);
    auto [mask1b, mask2b] = reduce_equivalence_front(back1, back2);
    const std::size_t changed1 = retain_by_masks(circ1.instrs, mask1f, mask1b);
    const std::size_t changed2 = retain_by_masks(circ2.instrs, mask2f, mask2b);
    if (changed1 != changed2)
        panic("mask1f: " + mask1f.to_binary() + ", mask1b: " + mask1b.to_binary() + ", mask2f: " +
              mask2f.to_binary() + ", mask2b: " + mask2b.to_binary());
    return changed1;
}

// ---- equivalence export and canonicalisation ---------------------------------

std::pair<EccCircuit, EccCircuit> export_equivalence(const RawECCs& map, const CircuitECC& cls, Permut32 front_perm,
                                                     std::span<const Instr32> instr_vec, Permut32 back_perm) {
    std::vector<Instr32> base(instr_vec.begin(), instr_vec.end());
    relabel(base, front_perm.inv());
    const Permut32 perm2 = back_perm * front_perm;
    for (const CircTriple& c : cls.circuits) {
        EccCircuit member = map.simplify_member(c);
        if (member.perm == perm2 && member.instrs == base)
            return {EccCircuit{{}, perm2}, EccCircuit{{}, perm2}};
        EccCircuit query{base, perm2};
        if (reduce_equivalence(member, query) > 0) return {std::move(member), std::move(query)};
    }
    std::string msg = "No equivalence found during export_equivalence: ";
    for (std::uint32_t k = 0; k < cls.circuits.size(); ++k) {
        if (k) msg += ", ";
        msg += map.member_display(cls.circuits[k]);
    }
    msg += " = ";
    msg += joined(base, ", ");
    msg += ' ';
    perm2.write_to(msg);
    panic(std::move(msg));
}

EccCircuit checked_equivalent(const RawECCs& map, std::span<const Instr32> instrs, Permut32 perm,
                              const Evaluator& evaluator) {
    std::vector<Instr32> vec;
    vec.reserve(instrs.size());
    Permut32 permut = perm;
    for (const Instr32& instr : instrs) {
        vec.push_back(instr.apply_permutation(permut.inv()));
        const std::uint64_t key = evaluator.evaluate_multiple(vec, workspace());
        const PermPair fb = workspace().pairs().front();
        const CircuitECC* a = map.find(key);
        if (!a) continue;
        auto [c1, c2] = export_equivalence(map, *a, fb.front_perm, vec, fb.back_perm);
        if (!c1.instrs.empty() || !c2.instrs.empty()) {
            const EccCircuit r1 = checked_equivalent(map, c1.instrs, c1.perm, evaluator);
            const EccCircuit r2 = checked_equivalent(map, c2.instrs, c2.perm, evaluator);
            if (r1 != r2) {
                std::vector<Instr32> vec_f = vec;
                relabel(vec_f, fb.front_perm.inv());
                std::string msg = "Non-deterministic equivalence detected during checked equivalence: \n ";
                msg += map.class_display(*a);
                msg += " vs " + joined(vec_f, " ") + " \n ";
                msg += joined(c1.instrs, ", ") + " " + c1.perm.to_string() + " vs ";
                msg += joined(c2.instrs, ", ") + " " + c2.perm.to_string() + " \n ";
                msg += joined(r1.instrs, ", ") + " " + r1.perm.to_string() + " vs ";
                msg += joined(r2.instrs, ", ") + " " + r2.perm.to_string();
                panic(std::move(msg));
            }
        }
        // The prefix becomes the class's first member, in this circuit's frame.
        const CircTriple& c0 = first_member(*a);
        const Permut32 fperm = c0.front_perm * fb.front_perm.inv();
        vec.clear();
        map.instructions(c0.circ, vec);
        relabel(vec, fperm.inv());
        permut = permut * fb.back_perm.inv() * c0.back_perm * fperm;
    }

    // The canonical form: the smallest member of the circuit's class, carried
    // into the circuit's frame by each of its evaluation pairs.
    Evaluation& ws = workspace();
    const CircuitECC* a = map.find(evaluator.evaluate_multiple(instrs, ws));
    if (!a) panic("no entry found for key");
    EccCircuit best;
    bool have = false;
    std::vector<Instr32> cand;
    for (const PermPair& fb : ws.pairs()) {
        const Permut32 f_inv = fb.front_perm.inv();
        const Permut32 b_inv = fb.back_perm.inv();
        for (const CircTriple& c : a->circuits) {
            const Permut32 g = c.front_perm * f_inv;
            cand.clear();
            map.instructions(c.circ, cand);
            relabel(cand, g.inv());
            const Permut32 cand_perm = perm * b_inv * c.back_perm * g;
            if (!have || circuit_less(cand, cand_perm, best.instrs, best.perm)) {
                std::swap(best.instrs, cand);
                best.perm = cand_perm;
                have = true;
            }
        }
    }
    return best;
}

// ---- verification -----------------------------------------------------------

void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& evaluator, WorkerPool& pool) {
    // The checks evaluate members of both maps, which needs their gates'
    // adjoints.
    GateSet gates;
    add_gates_of(self, gates);
    add_gates_of(ecc1, gates);
    gates.create_adjoints();
    pool.parallel_for_chunked(self.num_classes(), kCheckChunk, [&](std::size_t i) {
        check_class(self, self.class_at(i), ecc1, evaluator);
    });
}

void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& evaluator) {
    check_identity_subset(self, ecc1, evaluator, WorkerPool::global());
}

}  // namespace tsl
