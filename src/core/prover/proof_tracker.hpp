// Proof export: a best-first search, over the rewrite step's (rewritten
// identity, rule identity) pairs, for a derivation of one identity in which
// every node follows from two settled nodes or is an assumption; and the
// exported proof, a list of identities each with the indices of the two
// entries it follows from (none for an assumption), the root first.
//
// Nodes are keyed by their identity's content hash.  Progress goes to file
// descriptor 1 as whole lines: "Exploring {:x} {} {} ({} queued)" every 50th
// expansion and "Proof search exceeded limit of {} states." when the node
// count passes the limit.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "identity/identity_circ.hpp"
#include "identity/identity_set.hpp"
#include "base/hash_table64.hpp"

namespace tsl {

class IdentityProver;

// The two premises a derived identity follows from: node keys in the
// tracker, entry indices in an exported proof.
struct ProofPremises {
    std::uint64_t lhs;
    std::uint64_t rhs;
    friend bool operator==(const ProofPremises&, const ProofPremises&) = default;
    friend std::strong_ordering operator<=>(const ProofPremises&, const ProofPremises&) = default;
};
// None for an assumption.
using ProofDeps = std::optional<ProofPremises>;

// A parent waiting for a node: settled once the node and `other`, its
// other premise, are.
struct ProofWaiter {
    std::uint64_t other;
    std::uint64_t parent;
};

// The state of one node: settled (`Result`, with the keys of its two
// premises, none for an assumption) or waiting.
struct ProofFuture {
    struct Waiting {
        bool expanded = false;
        std::vector<ProofWaiter> notify;  // the parents waiting for this node
    };
    bool settled = false;
    ProofDeps result;  // when settled
    Waiting waiting;   // when not settled

    static ProofFuture assumption() {
        ProofFuture f;
        f.settled = true;
        return f;
    }
};

class Proof {
public:
    struct Entry {
        IdentityCirc identity;
        ProofDeps premises;
        friend bool operator==(const Entry&, const Entry&) = default;
        friend std::strong_ordering operator<=>(const Entry&, const Entry&) = default;
    };
    std::vector<Entry> entries;

    Proof() = default;
    explicit Proof(std::vector<Entry> e) : entries(std::move(e)) {}

    // One line per entry: "{}: {} <- {}, {}" or "{}: {} <- ASSUME".
    std::string to_string() const;

    friend bool operator==(const Proof&, const Proof&) = default;
    friend std::strong_ordering operator<=>(const Proof& a, const Proof& b);
};

class ProofTracker {
public:
    ProofTracker() = default;

    // Searches for a derivation of `id`; premises must be in the prover's
    // `proved` or in `filter_set`.  True when the root is settled.
    bool prove(const IdentityCirc& id, const IdentityProver& prover, std::uint64_t additional_size,
               std::uint64_t count_limit, const IdentitySet& filter_set);

    // The proof entries of the graph below `root`, numbered in pre-order.
    std::vector<Proof::Entry> export_proof(std::uint64_t root) const;

    std::size_t size() const { return table_.size(); }

private:
    bool wait(const IdentityCirc& id, std::uint64_t other, std::uint64_t parent);
    bool notify(std::uint64_t a, std::uint64_t b, std::uint64_t target);
    bool settle(std::uint64_t a, std::uint64_t b, std::uint64_t target, std::vector<ProofWaiter>& waiters);
    bool check_reach(std::uint64_t k, std::uint64_t initial) const;
    bool is_settled(std::uint64_t k) const;

    HashTable64<IdentityCirc, ProofFuture> table_;
};

// The prover's query first; when it proves the identity, the tracker's
// proof (panics with "Failed to export proof for proved identity" when the
// tracker gives up).  None when the query does not prove it.
std::optional<Proof> export_proof(const IdentityProver& prover, const IdentityCirc& id,
                                  std::uint64_t additional_size, std::uint64_t count_limit);


}  // namespace tsl
