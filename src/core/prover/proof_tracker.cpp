#include "prover/proof_tracker.hpp"

#include <cstdio>
#include <functional>
#include <queue>
#include <unordered_map>
#include <unordered_set>

#include "base/fd_output.hpp"
#include "base/panic.hpp"
#include "prover/identity_prover.hpp"
#include "prover/rewrite_step.hpp"

namespace tsl {

// ---- Proof ------------------------------------------------------------------

std::string Proof::to_string() const {
    std::string s;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        s += std::to_string(i);
        s += ": ";
        entries[i].identity.write_to(s);
        if (const ProofDeps& d = entries[i].premises) {
            s += " <- " + std::to_string(d->lhs) + ", " + std::to_string(d->rhs) + "\n";
        } else {
            s += " <- ASSUME\n";
        }
    }
    return s;
}

std::strong_ordering operator<=>(const Proof& a, const Proof& b) { return a.entries <=> b.entries; }

// ---- tracker ----------------------------------------------------------------

bool ProofTracker::is_settled(std::uint64_t k) const {
    const auto* e = table_.address(k);
    return e && e->second.settled;
}

bool ProofTracker::wait(const IdentityCirc& id, std::uint64_t other, std::uint64_t parent) {
    auto entry = table_.address_or(id.hash_value(), id, ProofFuture{});
    ProofFuture& f = entry.second;
    if (f.settled) return false;
    f.waiting.notify.push_back({other, parent});
    return !f.waiting.expanded;
}

bool ProofTracker::settle(std::uint64_t a, std::uint64_t b, std::uint64_t target,
                          std::vector<ProofWaiter>& waiters) {
    if (!is_settled(a) || !is_settled(b)) return false;
    auto t = table_.address_mut(target);
    if (!t || t->second.settled) return false;
    ProofFuture& f = t->second;
    waiters = std::move(f.waiting.notify);
    f.waiting = ProofFuture::Waiting{};
    f.settled = true;
    f.result = ProofPremises{a, b};
    return true;
}

// Settling propagates depth first: each waiter of a settled node, in list
// order, is tried (and followed upwards) before the next.
bool ProofTracker::notify(std::uint64_t a, std::uint64_t b, std::uint64_t target) {
    struct Frame {
        std::uint64_t key;
        std::vector<ProofWaiter> waiters;
        std::size_t next = 0;
    };
    std::vector<ProofWaiter> w;
    if (!settle(a, b, target, w)) return false;
    std::vector<Frame> stack;
    stack.push_back(Frame{target, std::move(w), 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.waiters.size()) {
            stack.pop_back();
            continue;
        }
        const auto [other, parent] = top.waiters[top.next++];
        const std::uint64_t settled_key = top.key;
        std::vector<ProofWaiter> up;
        if (settle(settled_key, other, parent, up)) stack.push_back(Frame{parent, std::move(up), 0});
    }
    return true;
}

bool ProofTracker::check_reach(std::uint64_t k, std::uint64_t initial) const {
    std::unordered_set<std::uint64_t, IdentityHash64> seen{k};
    std::vector<std::uint64_t> stack{k};
    while (!stack.empty()) {
        const std::uint64_t x = stack.back();
        stack.pop_back();
        if (x == initial) return true;
        const auto* e = table_.address(x);
        if (!e || e->second.settled) continue;
        for (const auto& [other, parent] : e->second.waiting.notify)
            if (seen.insert(parent).second) stack.push_back(parent);
    }
    return false;
}

bool ProofTracker::prove(const IdentityCirc& id, const IdentityProver& prover, std::uint64_t additional_size,
                         std::uint64_t count_limit, const IdentitySet& filter_set) {
    IdentitySet assumed;
    for (const IdentityCirc& a : prover.assume) assumed.insert(a);
    if (assumed.contains(id)) {
        table_.insert(id, ProofFuture::assumption());
        return true;
    }
    using Item = std::pair<std::uint64_t, std::uint64_t>;  // (length, key)
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
    const std::uint64_t initial = id.hash_value();
    queue.emplace(id.len(), initial);
    table_.insert(id, ProofFuture{});
    const std::uint64_t max_size = saturating_add(id.len(), additional_size);
    std::uint64_t counter = 0;

    auto known = [&](const IdentityCirc& x) {
        return x.len() == 0 || prover.proved.contains(x) || filter_set.contains(x);
    };

    auto expand = [&](std::uint64_t key) {
        auto node = table_.address_mut(key);
        if (!node || node->second.settled || node->second.waiting.expanded) return;
        node->second.waiting.expanded = true;
        const IdentityCirc node_id = node->first;  // the table may rehash below
        for (const auto& [id1, id2] : transition_pairs_within(prover.circ_map, node_id, max_size)) {
            if (!known(id1) || !known(id2)) continue;
            const std::uint64_t h1 = id1.hash_value(), h2 = id2.hash_value();
            // The empty identity holds trivially: it is settled like an assumption.
            auto premise = [&](const IdentityCirc& x, std::uint64_t hx, std::uint64_t other) {
                if (x.len() == 0 || assumed.contains(x)) {
                    table_.insert(x, ProofFuture::assumption());
                } else if (wait(x, other, key)) {
                    queue.emplace(x.len(), hx);
                }
            };
            premise(id1, h1, h2);
            premise(id2, h2, h1);
            if (notify(h1, h2, key)) break;
        }
    };

    for (;;) {
        if (queue.empty()) return false;
        const auto [len, key] = queue.top();
        queue.pop();
        if (table_.size() > count_limit) {
            write_stdout_text("Proof search exceeded limit of " + std::to_string(count_limit) + " states.\n");
            return false;
        }
        if (check_reach(key, initial)) {
            if (counter % 50 == 0) {
                char hex[17];
                std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(key));
                std::string line = "Exploring ";
                line += hex;
                line += ' ';
                line += std::to_string(len);
                line += ' ';
                table_.address(key)->first.write_to(line);
                line += " (";
                line += std::to_string(queue.size());
                line += " queued)\n";
                write_stdout_text(line);
            }
            expand(key);
            ++counter;
        }
        if (is_settled(initial)) return true;
    }
}

std::vector<Proof::Entry> ProofTracker::export_proof(std::uint64_t root) const {
    std::unordered_map<std::uint64_t, std::uint64_t, IdentityHash64> index;
    std::vector<std::uint64_t> order;
    auto number = [&](std::uint64_t k) {
        index.emplace(k, order.size());
        order.push_back(k);
    };
    auto premises_of = [&](std::uint64_t k) -> ProofDeps {
        const auto* e = table_.address(k);
        if (!e || !e->second.settled) return std::nullopt;
        return e->second.result;
    };
    // Pre-order: a node, its first premise's graph, then its second's.
    enum Stage { Start, AfterFirst };
    std::vector<std::pair<std::uint64_t, Stage>> stack;
    number(root);
    stack.emplace_back(root, Start);
    while (!stack.empty()) {
        const auto [k, stage] = stack.back();
        stack.pop_back();
        const ProofDeps d = premises_of(k);
        if (!d) continue;
        if (stage == Start && !index.count(d->lhs)) {
            stack.emplace_back(k, AfterFirst);
            number(d->lhs);
            stack.emplace_back(d->lhs, Start);
            continue;
        }
        if (!index.count(d->rhs)) {
            number(d->rhs);
            stack.emplace_back(d->rhs, Start);
        }
    }
    std::vector<Proof::Entry> out;
    out.reserve(order.size());
    for (std::uint64_t k : order) {
        const auto* e = table_.address(k);
        ProofDeps deps;
        if (const ProofDeps d = premises_of(k)) deps = ProofPremises{index.at(d->lhs), index.at(d->rhs)};
        out.push_back({e ? e->first : IdentityCirc(), deps});
    }
    return out;
}

std::optional<Proof> export_proof(const IdentityProver& prover, const IdentityCirc& id,
                                  std::uint64_t additional_size, std::uint64_t count_limit) {
    // The query also creates the adjoints the tracker's rewrite steps need.
    auto [result, visited] = prover.prove_identity_with_visited(id, additional_size, count_limit);
    if (result) return std::nullopt;
    ProofTracker tracker;
    if (!tracker.prove(id, prover, additional_size, count_limit, visited))
        panic("Failed to export proof for proved identity");
    return Proof(tracker.export_proof(id.hash_value()));
}

}  // namespace tsl
