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

// The longest value the prover uses: the rewrite step takes identities
// below kSplitLimit instructions, and keys are parts of them.
constexpr std::size_t kLongestUsed = kSplitLimit - 1;

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

// Keys tried per pair of gates, when the file does not record its order.
// Many keys do not show the order of their two gates (where a and b only
// meet on a shared wire, every order gives the same form).
constexpr unsigned kTriesPerPair = 1024;

std::uint32_t pair_index(std::uint16_t a, std::uint16_t b) { return std::uint32_t{a} << 16 | b; }

// Which pairs of gates beyond the built-ins the saving process ordered
// otherwise than this one, as far as the file tells.
class SavedGateOrder {
public:
    // From the file's record: `recorded` holds this process's gates in the
    // saving process's order of creation.
    explicit SavedGateOrder(const std::vector<Gate16>& recorded) : recorded_(true) {
        rank_.reserve(recorded.size());
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            rank_.emplace(recorded[i].index(), static_cast<std::uint32_t>(i));
            if (i > 0 && recorded[i - 1].index() > recorded[i].index()) any_swapped_ = true;
        }
    }

    // From the rule map keys: a pair counts as swapped only where some key
    // shows it swapped and none shows it ordered as here.
    explicit SavedGateOrder(const RuleMap& rules) : recorded_(false) {
        for (const RuleMap::Entry& e : rules.entries()) {
            if (e.key.instrs.size() > kLongestUsed) continue;
            const SmallVec<std::uint16_t, 4> g = created_gates(e.key);
            if (g.size() == 2) learn(e.key, g[0], g[1], votes_[pair_index(g[0], g[1])]);
        }
        for (const auto& [pair, v] : votes_) any_swapped_ = any_swapped_ || v.swapped();
    }

    bool any_swapped() const { return any_swapped_; }

    // Whether `c` holds two gates that the saving process ordered otherwise
    // (and is short enough for the prover to use).
    bool must_form(const Circ& c) const {
        if (!any_swapped_ || c.instrs.size() > kLongestUsed) return false;
        const SmallVec<std::uint16_t, 4> g = created_gates(c);
        for (std::size_t i = 0; i < g.size(); ++i)
            for (std::size_t j = i + 1; j < g.size(); ++j)
                if (swapped(g[i], g[j])) return true;
        return false;
    }

private:
    struct Votes {
        unsigned tries = 0, same = 0, other = 0;
        bool swapped() const { return other > 0 && same == 0; }
    };

    // For a < b here: whether the saving process created b before a.
    bool swapped(std::uint16_t a, std::uint16_t b) const {
        if (recorded_) return rank_.at(a) > rank_.at(b);
        const auto it = votes_.find(pair_index(a, b));
        return it != votes_.end() && it->second.swapped();
    }

    static void learn(const Circ& key, std::uint16_t a, std::uint16_t b, Votes& v) {
        if (v.tries == kTriesPerPair) return;
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

    bool recorded_;
    bool any_swapped_ = false;
    std::unordered_map<std::uint16_t, std::uint32_t> rank_;  // gate -> place in the record
    std::unordered_map<std::uint32_t, Votes> votes_;         // pair_index(a, b), a < b -> what keys showed
};

// A stored value that the forms refuse panics; it is then kept as stored,
// which is what loading does with every value it does not form again.
IdentityCirc formed_identity(IdentityCirc id, const SavedGateOrder& order) {
    if (!order.must_form(id.circ)) return id;
    try {
        return IdentityCirc::from_stored(rotated_form(id.circ));
    } catch (const Panic&) {
        return id;
    }
}

// As the build makes an entry: the key's canonical form, and each
// replacement renamed by the renaming that gave it.
RuleMap::Entry formed_rule(RuleMap::Entry e, const SavedGateOrder& order) {
    if (!order.must_form(e.key)) return e;
    try {
        auto [key, renaming] = e.key.representative_with_perm();
        RuleMap::Entry out{std::move(key), {}};
        out.replacements.reserve(e.replacements.size());
        for (const Circ& c : e.replacements) out.replacements.push_back(c.permut(renaming));
        return out;
    } catch (const Panic&) {
        return e;
    }
}

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

void form_for_this_process(IdentityProver& prover, const std::vector<Gate16>& named,
                           const std::optional<std::vector<Gate16>>& recorded) {
    const std::vector<std::uint16_t> mine = created_indices(named);
    if (mine.size() < 2) return;
    // A record names each of the file's gates beyond the built-ins once.
    const bool usable = recorded && recorded->size() == mine.size() && created_indices(*recorded) == mine;
    const SavedGateOrder order = usable ? SavedGateOrder(*recorded) : SavedGateOrder(prover.circ_map);
    if (!order.any_swapped()) return;

    for (IdentityCirc& id : prover.assume) id = formed_identity(std::move(id), order);
    IdentitySet proved;
    prover.proved.for_each([&](IdentityCirc id) { proved.insert(formed_identity(std::move(id), order)); });
    prover.proved = std::move(proved);
    // Entries keep their order; a key formed into one already present
    // replaces that entry's list, as on loading.
    RuleMap rules;
    for (const RuleMap::Entry& e : prover.circ_map.entries()) {
        RuleMap::Entry formed = formed_rule(e, order);
        rules.insert(std::move(formed.key), std::move(formed.replacements));
    }
    prover.circ_map = std::move(rules);
}

}  // namespace tsl
