// The prover's rule map: each canonical circuit with the equivalent circuits
// that replace it, and beside each replacement its rule identity, computed
// once by the first thread that needs it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ratio>
#include <vector>

#include "base/open_index.hpp"
#include "identity/circ.hpp"
#include "identity/circ_view.hpp"
#include "identity/identity_circ.hpp"
#include "model/gate.hpp"
#include "model/instr32.hpp"

namespace tsl {

// The rule identities of one rule map entry, one per replacement, each
// filled by the first thread that computes it.  A copy starts empty.
class RuleIdentityCache {
public:
    explicit RuleIdentityCache(std::size_t n = 0) : slots_(n ? std::make_unique<Slot[]>(n) : nullptr), n_(n) {}
    RuleIdentityCache(const RuleIdentityCache& other) : RuleIdentityCache(other.n_) {}
    RuleIdentityCache(RuleIdentityCache&&) noexcept = default;
    RuleIdentityCache& operator=(const RuleIdentityCache& other) { return *this = RuleIdentityCache(other.n_); }
    RuleIdentityCache& operator=(RuleIdentityCache&&) noexcept = default;

    // Slot j's identity, or compute() kept in `scratch` (and published for
    // the next caller when nobody else is publishing it).
    template <class Compute>
    const IdentityCirc& get(std::size_t j, IdentityCirc& scratch, Compute&& compute) const {
        Slot& slot = slots_[j];
        if (slot.state.load(std::memory_order_acquire) == kReady) return slot.value;
        scratch = compute();
        std::uint8_t empty = kEmpty;
        if (slot.state.compare_exchange_strong(empty, kWriting, std::memory_order_acq_rel)) {
            slot.value = scratch;
            slot.state.store(kReady, std::memory_order_release);
        }
        return scratch;
    }

private:
    static constexpr std::uint8_t kEmpty = 0, kWriting = 1, kReady = 2;
    struct Slot {
        std::atomic<std::uint8_t> state{kEmpty};
        IdentityCirc value;
    };
    std::unique_ptr<Slot[]> slots_;
    std::size_t n_;
};

// The rule map: a canonical circuit and the circuits that replace it, each
// in the key's qubit frame.  Entries keep the order of their first insertion;
// inserting an existing key replaces its list in place.
//
// The rule identity of a replacement c of key k, (c + inverse of k) in
// canonical rotated form, depends on nothing else, so the rewrite step
// computes it once per replacement and keeps it in the entry's
// RuleIdentityCache.
class RuleMap {
public:
    struct Entry {
        Circ key;
        std::vector<Circ> replacements;
    };

    void insert(Circ key, std::vector<Circ> list);
    const std::vector<Circ>* find(const Circ& key) const { return find(CircView{key.instrs, key.perm}); }
    const std::vector<Circ>* find(const CircView& key) const;
    // The index of the key's entry, none when absent.
    std::optional<std::size_t> find_index(const CircView& key) const { return find_index(key, CircFastHash{}(key)); }

    // The rule identity of replacement j of entry i, `rule()` being its
    // computation (run by the first caller; the value is the same for all).
    template <class Compute>
    const IdentityCirc& rule_identity(std::size_t i, std::size_t j, IdentityCirc& scratch, Compute&& rule) const {
        return rule_ids_[i].get(j, scratch, rule);
    }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::vector<Entry>& entries() const { return entries_; }
    // Every gate of the keys and lists inserted so far.
    const GateSet& gates() const { return gates_; }

    // Whether some key has `len` instructions (cheap pre-test for lookups).
    bool has_key_len(std::size_t len) const {
        return (key_lens_ >> (len < 63 ? len : 63)) & 1u;
    }

    // The gate signature of an instruction: summed over a circuit, a value
    // of its multiset of gates, so the same for every renaming, reordering
    // and rotation of it.  Swap gates, which the canonical forms fold into
    // the permutation, count as nothing.
    static std::uint64_t gate_signature(Instr32 in) {
        if (in.gate() == gates::SWAP) return 0;
        std::uint64_t h = (std::uint64_t{in.gate().index()} + 1) * 0x9E3779B97F4A7C15ULL;
        h ^= h >> 29;
        return h * 0xBF58476D1CE4E5B9ULL;
    }
    // False when no key with a non-empty list has this summed gate
    // signature: a subcircuit with it finds no replacement (cheap pre-test
    // before its canonical form).
    bool may_replace(std::uint64_t signature) const { return live_[bucket(signature)] != 0; }
    // The longest key with a non-empty list (0 when there is none; keys of
    // 63 or more instructions count as 63).
    std::size_t longest_live_key() const {
        for (std::size_t n = live_lens_.size(); n-- > 0;)
            if (live_lens_[n]) return n;
        return 0;
    }

    // Same keys with equal lists, whatever the entry order.
    friend bool operator==(const RuleMap& a, const RuleMap& b);

private:
    static std::uint64_t signature_of(const Circ& key);
    std::optional<std::size_t> find_index(const CircView& key, std::uint64_t hash) const;

    std::vector<Entry> entries_;
    std::vector<RuleIdentityCache> rule_ids_;  // one per entry
    GateSet gates_;
    // The entries under their keys' hashes, at most half full.
    using Index = OpenIndex<PackedSlot<32>, std::ratio<1, 2>>;
    Index index_;
    std::vector<std::uint64_t> hashes_;  // per entry, its key's hash
    std::uint64_t key_lens_ = 0;  // bit n: some key has n instructions (63: 63 or more)
    // A summed gate signature's bucket: its upper kBucketBits bits.
    static constexpr unsigned kBucketBits = 14;
    static std::size_t bucket(std::uint64_t signature) { return signature >> (64 - kBucketBits); }
    // Keys with a non-empty list, counted per signature bucket.
    std::vector<std::uint32_t> live_ = std::vector<std::uint32_t>(std::size_t{1} << kBucketBits);
    std::array<std::size_t, 64> live_lens_{};  // keys with a non-empty list, per length
};

}  // namespace tsl
