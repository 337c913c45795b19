#include "prover/loaded_forms.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/panic.hpp"
#include "base/small_vec.hpp"
#include "identity/canonical_form.hpp"

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

// Keys tried per pair of gates before the pair is left unknown.  Many keys
// do not show the order of their two gates (where a and b only meet on a
// shared wire, every order gives the same form); a pair that none of the
// keys tried shows is formed again wherever it occurs, which is always
// right, only slower.
constexpr unsigned kTriesPerPair = 1024;

// How the saving process ordered two gates beyond the built-ins, a < b
// here, as far as the rule map keys show it.
class SavedGateOrder {
public:
    explicit SavedGateOrder(const std::vector<RuleMap::Entry>& rules) {
        for (const RuleMap::Entry& e : rules) {
            const SmallVec<std::uint16_t, 4> g = created_gates(e.key);
            if (g.size() == 2) learn(e.key, pair(g[0], g[1]));
        }
    }

    bool known_same(std::uint16_t a, std::uint16_t b) const {
        for (const Known& p : pairs_)
            if (p.a == a && p.b == b) return p.order == Order::kSame;
        return false;
    }
    // Whether the stored forms of `c` may differ from this process's.
    bool may_differ(const Circ& c) const {
        const SmallVec<std::uint16_t, 4> g = created_gates(c);
        for (std::size_t i = 0; i < g.size(); ++i)
            for (std::size_t j = i + 1; j < g.size(); ++j)
                if (!known_same(g[i], g[j])) return true;
        return false;
    }

private:
    enum class Order : std::uint8_t { kUnknown, kSame, kSwapped };
    struct Known {
        std::uint16_t a, b;
        Order order;
        unsigned tries;
    };

    Known& pair(std::uint16_t a, std::uint16_t b) {
        for (Known& p : pairs_)
            if (p.a == a && p.b == b) return p;
        return pairs_.emplace_back(Known{a, b, Order::kUnknown, 0});
    }

    static void learn(const Circ& key, Known& p) {
        if (p.order != Order::kUnknown || p.tries == kTriesPerPair) return;
        ++p.tries;
        try {
            // Built-in gates come before both, so exchanging the two indices
            // orders a and b the other way and keeps every other comparison.
            const Circ here = key.representative();
            const Circ other = exchange_gates(exchange_gates(key, p.a, p.b).representative(), p.a, p.b);
            if (here == other) return;
            if (key == here) {
                p.order = Order::kSame;
            } else if (key == other) {
                p.order = Order::kSwapped;
            }
        } catch (const Panic&) {
            // A stored key the forms refuse shows nothing.
        }
    }

    std::vector<Known> pairs_;  // a handful: one per pair of gates met
};

// A stored value that the forms refuse panics; it is then kept as stored,
// which is what loading does with every value it does not form again.
IdentityCirc formed_identity(IdentityCirc id, const SavedGateOrder& order) {
    if (!order.may_differ(id.circ)) return id;
    try {
        return IdentityCirc::from_stored(rotated_form(id.circ));
    } catch (const Panic&) {
        return id;
    }
}

// As the build makes an entry: the key's canonical form, and each
// replacement renamed by the renaming that gave it.
RuleMap::Entry formed_rule(RuleMap::Entry e, const SavedGateOrder& order) {
    if (!order.may_differ(e.key)) return e;
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

}  // namespace

void form_for_this_process(IdentityProver& prover, const std::vector<Gate16>& named) {
    std::vector<std::uint16_t> mine;
    for (Gate16 g : named)
        if (created(g.index())) mine.push_back(g.index());
    std::sort(mine.begin(), mine.end());
    mine.erase(std::unique(mine.begin(), mine.end()), mine.end());
    if (mine.size() < 2) return;
    const SavedGateOrder order(prover.circ_map.entries());
    bool same = true;
    for (std::size_t i = 0; i < mine.size() && same; ++i)
        for (std::size_t j = i + 1; j < mine.size() && same; ++j) same = order.known_same(mine[i], mine[j]);
    if (same) return;

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
