#include "prover/loaded_forms.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "base/panic.hpp"
#include "base/small_vec.hpp"
#include "identity/canonical_form.hpp"
#include "identity/subcircuit_split.hpp"

namespace tsl {

namespace {

bool created(std::uint16_t g) { return g >= gates::kBuiltinCount; }

// The distinct gates of `c` beyond the built-ins, ascending.
SmallVec<std::uint16_t, 4> created_gates(const Circ& c) {
    SmallVec<std::uint16_t, 4> out;
    for (const Instr32& in : c.instrs)
        if (created(in.gate().index())) out.insert_unique(in.gate().index());
    std::sort(out.begin(), out.end());
    return out;
}

// `c` with the gates a and b exchanged.
Circ exchange_gates(const Circ& c, std::uint16_t a, std::uint16_t b) {
    std::vector<Instr32> out;
    out.reserve(c.instrs.size());
    for (const Instr32& in : c.instrs) {
        const std::uint16_t g = in.gate().index();
        out.emplace_back(Gate16(g == a ? b : g == b ? a : g), in.qargs());
    }
    return Circ::from_parts(std::move(out), c.perm);
}

std::uint32_t pair_index(std::uint16_t a, std::uint16_t b) { return std::uint32_t{a} << 16 | b; }

// How the file's forms order a pair of gates a < b (here), as far as it
// tells.
enum class PairOrder : std::uint8_t { kSame, kSwapped, kUnknown };

// A record's order: gate -> place.
using GateRank = std::unordered_map<std::uint16_t, std::uint32_t>;

PairOrder recorded_order(const GateRank& rank, std::uint16_t a, std::uint16_t b) {
    return rank.at(a) < rank.at(b) ? PairOrder::kSame : PairOrder::kSwapped;
}

// What the rule map keys show of how the file's forms order each pair of
// the `gates` beyond the built-ins (ascending).
class KeyEvidence {
public:
    // With `expected` (a record), a pair is settled once a key shows it as
    // the record does: later keys can no longer show it only the other way.
    // Keys are read until every pair is settled.
    KeyEvidence(const RuleMap& rules, const std::vector<std::uint16_t>& gates, const GateRank* expected) {
        std::size_t unsettled = gates.size() * (gates.size() - 1) / 2;
        for (const RuleMap::Entry& e : rules.entries()) {
            if (e.key.instrs.size() > kLongestShown) continue;
            const SmallVec<std::uint16_t, 4> g = created_gates(e.key);
            if (g.size() != 2) continue;
            Votes& v = votes_[pair_index(g[0], g[1])];
            if (v.tries == kTriesPerPair) continue;
            learn(e.key, g[0], g[1], v);
            const bool settled = expected && (recorded_order(*expected, g[0], g[1]) == PairOrder::kSame
                                                  ? v.same > 0 : v.other > 0);
            if (v.tries == kTriesPerPair || settled) {
                v.tries = kTriesPerPair;
                if (--unsettled == 0) break;
            }
        }
    }

    // For a < b: the order keys show, unknown where none shows it or keys
    // show it both ways.
    PairOrder order(std::uint16_t a, std::uint16_t b) const {
        const auto it = votes_.find(pair_index(a, b));
        if (it == votes_.end()) return PairOrder::kUnknown;
        const Votes& v = it->second;
        if (v.same > 0 && v.other == 0) return PairOrder::kSame;
        if (v.other > 0 && v.same == 0) return PairOrder::kSwapped;
        return PairOrder::kUnknown;
    }

private:
    // Keys longer than the rewrite step takes are never looked up.
    static constexpr std::size_t kLongestShown = kSplitLimit - 1;
    // Keys tried per pair.  Many keys do not show the order of their two
    // gates (where a and b only meet on a shared wire, every order gives the
    // same form).
    static constexpr unsigned kTriesPerPair = 1024;

    struct Votes {
        unsigned tries = 0, same = 0, other = 0;
    };

    static void learn(const Circ& key, std::uint16_t a, std::uint16_t b, Votes& v) {
        ++v.tries;
        try {
            // Built-in gates come before both, so exchanging the two indices
            // orders a and b the other way and keeps every other comparison.
            const Circ here = key.representative();
            const Circ other = exchange_gates(exchange_gates(key, a, b).representative(), a, b);
            if (here == other) return;
            if (key == here) {
                ++v.same;
            } else if (key == other) {
                ++v.other;
            }
        } catch (const Panic&) {
            // A stored key the forms refuse shows nothing.
        }
    }

    std::unordered_map<std::uint32_t, Votes> votes_;  // pair_index(a, b), a < b -> what keys showed
};

// How the file's forms order each pair of its gates beyond the built-ins:
// from its record where there is a usable one, else from its keys.
class SavedGateOrder {
public:
    // `record`: the file's record, or null.  `gates`: the file's gates
    // beyond the built-ins, ascending.
    SavedGateOrder(const GateRank* record, const std::vector<std::uint16_t>& gates, const KeyEvidence& keys) {
        for (std::size_t i = 0; i < gates.size(); ++i)
            for (std::size_t j = i + 1; j < gates.size(); ++j) {
                const std::uint16_t a = gates[i], b = gates[j];
                PairOrder o = keys.order(a, b);
                if (record) {
                    const PairOrder recorded = recorded_order(*record, a, b);
                    // A record that keys contradict describes some other
                    // file's forms: the file loads as one without a record.
                    if (o != PairOrder::kUnknown && o != recorded) {
                        contradicted_ = true;
                        return;
                    }
                    o = recorded;
                }
                pairs_.emplace(pair_index(a, b), o);
                all_same_ = all_same_ && o == PairOrder::kSame;
                any_swapped_ = any_swapped_ || o == PairOrder::kSwapped;
            }
    }

    bool contradicted() const { return contradicted_; }
    bool all_same() const { return all_same_; }
    bool any_swapped() const { return any_swapped_; }

    // What loading does with a stored value.
    enum class Fate { kKeep, kForm, kKeepUnknown };
    Fate fate(const Circ& c) const {
        const SmallVec<std::uint16_t, 4> g = created_gates(c);
        bool unknown = false;
        for (std::size_t i = 0; i < g.size(); ++i)
            for (std::size_t j = i + 1; j < g.size(); ++j) {
                const PairOrder o = pairs_.at(pair_index(g[i], g[j]));
                if (o == PairOrder::kSwapped)
                    return c.instrs.size() <= kLongestFormed ? Fate::kForm : Fate::kKeepUnknown;
                unknown = unknown || o == PairOrder::kUnknown;
            }
        return unknown ? Fate::kKeepUnknown : Fate::kKeep;
    }

private:
    std::unordered_map<std::uint32_t, PairOrder> pairs_;  // pair_index(a, b), a < b
    bool contradicted_ = false;
    bool all_same_ = true;
    bool any_swapped_ = false;
};

// Brings stored values into this process's forms, and tells whether all of
// them now follow this process's gate order.
class Former {
public:
    explicit Former(const SavedGateOrder& order) : order_(order) {}

    bool all_known() const { return all_known_; }

    // A value left as it is where nothing is formed again.
    void keep(const Circ& c) { should_form(c); }

    IdentityCirc identity(IdentityCirc id) {
        if (!should_form(id.circ)) return id;
        try {
            return IdentityCirc::from_stored(rotated_form(id.circ));
        } catch (const Panic&) {
            all_known_ = false;
            return id;
        }
    }

    // As the build makes an entry: the key's canonical form, and each
    // replacement renamed by the renaming that gave it.
    RuleMap::Entry rule(RuleMap::Entry e) {
        if (!should_form(e.key)) return e;
        try {
            auto [key, renaming] = e.key.representative_with_perm();
            RuleMap::Entry out{std::move(key), {}};
            out.replacements.reserve(e.replacements.size());
            for (const Circ& c : e.replacements) out.replacements.push_back(c.permut(renaming));
            return out;
        } catch (const Panic&) {
            all_known_ = false;
            return e;
        }
    }

private:
    // A value that the forms refuse panics above; it is then kept as
    // stored, like every value loading does not form again.
    bool should_form(const Circ& c) {
        switch (order_.fate(c)) {
            case SavedGateOrder::Fate::kForm: return true;
            case SavedGateOrder::Fate::kKeepUnknown: all_known_ = false; return false;
            case SavedGateOrder::Fate::kKeep: return false;
        }
        return false;
    }

    const SavedGateOrder& order_;
    bool all_known_ = true;
};

// The file's gates beyond the built-ins, ascending.
std::vector<std::uint16_t> created_indices(const std::vector<Gate16>& gates) {
    std::vector<std::uint16_t> out;
    for (Gate16 g : gates)
        if (created(g.index())) out.push_back(g.index());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace

std::vector<Gate16> creation_order(const std::vector<Gate16>& named) {
    std::vector<Gate16> out;
    for (std::uint16_t g : created_indices(named)) out.push_back(Gate16(g));
    return out;
}

bool form_for_this_process(IdentityProver& prover, const std::vector<Gate16>& named,
                           const std::optional<std::vector<Gate16>>& recorded) {
    const std::vector<std::uint16_t> mine = created_indices(named);
    // With fewer than two such gates, every order gives the same forms.
    if (mine.size() < 2) return true;
    // A record names each of the file's gates beyond the built-ins once.
    std::optional<SavedGateOrder> order;
    if (recorded && recorded->size() == mine.size() && created_indices(*recorded) == mine) {
        GateRank rank;
        for (std::size_t i = 0; i < recorded->size(); ++i)
            rank.emplace((*recorded)[i].index(), static_cast<std::uint32_t>(i));
        order.emplace(&rank, mine, KeyEvidence(prover.circ_map, mine, &rank));
        if (order->contradicted()) order.reset();
    }
    if (!order) order.emplace(nullptr, mine, KeyEvidence(prover.circ_map, mine, nullptr));
    if (order->all_same()) return true;

    Former former(*order);
    if (!order->any_swapped()) {
        // Nothing to form: only whether some value holds a pair of unknown
        // order.
        for (const IdentityCirc& id : prover.assume) former.keep(id.circ);
        prover.proved.for_each([&](const IdentityCirc& id) { former.keep(id.circ); });
        for (const RuleMap::Entry& e : prover.circ_map.entries()) former.keep(e.key);
        return former.all_known();
    }

    for (IdentityCirc& id : prover.assume) id = former.identity(std::move(id));
    IdentitySet proved;
    prover.proved.for_each([&](IdentityCirc id) { proved.insert(former.identity(std::move(id))); });
    prover.proved = std::move(proved);
    // Entries keep their order; a key formed into one already present
    // replaces that entry's list, as on loading.
    RuleMap rules;
    for (const RuleMap::Entry& e : prover.circ_map.entries()) {
        RuleMap::Entry formed = former.rule(e);
        rules.insert(std::move(formed.key), std::move(formed.replacements));
    }
    prover.circ_map = std::move(rules);
    return former.all_known();
}

}  // namespace tsl
