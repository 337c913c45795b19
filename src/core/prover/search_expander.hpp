// The two halves of one prover search: its level queues, and the expander
// that gives the rewrites of each identity the search takes from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <unordered_map>
#include <vector>

#include "identity/identity_circ.hpp"
#include "identity/identity_set.hpp"
#include "prover/rewrite_step.hpp"

namespace tsl {

// The level queues of one search, holding offsets into its visited set: one
// first-in-first-out queue per size level, created when first needed; the
// lowest non-empty level goes first.
class LevelQueues {
public:
    explicit LevelQueues(std::size_t min_size) : min_size_(min_size) {}

    void push(std::size_t len, IdentitySet::Offset off) {
        const std::size_t level = len - min_size_;
        if (level >= levels_.size()) levels_.resize(level + 1);
        levels_[level].push_back(off);
        if (level < lowest_) lowest_ = level;
    }

    // The front of the lowest non-empty level.
    std::optional<IdentitySet::Offset> pop() {
        while (lowest_ < levels_.size() && levels_[lowest_].empty()) ++lowest_;
        if (lowest_ >= levels_.size()) return std::nullopt;
        const IdentitySet::Offset off = levels_[lowest_].front();
        levels_[lowest_].pop_front();
        return off;
    }

    // fn(offset) for what the next pops give if nothing is pushed, in that
    // order, until fn returns false.
    template <class F>
    void for_each_next(F&& fn) const {
        for (std::size_t level = lowest_; level < levels_.size(); ++level)
            for (const IdentitySet::Offset off : levels_[level])
                if (!fn(off)) return;
    }

private:
    std::size_t min_size_;
    std::size_t lowest_ = 0;
    std::vector<std::deque<IdentitySet::Offset>> levels_;
};

// The rewrites (apply_rules_within) of the identities one search expands.
//
// Expanding an identity reads nothing but the rules, `proved` and the
// identity, and `proved` stays as it is while a search runs, so the
// identities next in line can be expanded ahead of time, one task each on
// the pool, and their rewrites kept until the search comes to them.  The
// search still takes every identity in its own order and sees what expanding
// one at a time would give; a panic raised while expanding ahead is kept and
// raised when the search reaches that identity, and never if it does not.
//
// The first expansion of a search runs alone, its subsets spread over the
// pool (many searches end there).  After it the batches double, up to
// kBatchPerThread identities per pool thread: every thread has work, little
// of it is left for the last one to finish, and the search waits once per
// batch instead of once per identity.  What a search does not reach of its
// last batch is work done in vain; batches double, so that is never more
// than the search did itself, and the searches that run long mostly end by
// exhausting their queues, where nothing is expanded ahead.
class SearchExpander {
public:
    SearchExpander(const RuleMap& rules, const IdentitySet& proved, std::uint64_t max_size, StepMemo& memo);

    // The rewrites of the identity at `off` in `visited`, which the search
    // has just taken from `queues`; rewrites already in `visited` may be left
    // out (the search skips them).
    std::vector<IdentityCirc> rewrites_of(IdentitySet::Offset off, const IdentitySet& visited,
                                          const LevelQueues& queues);

    // Identities per pool thread in the largest batch.
    static constexpr std::size_t kBatchPerThread = 64;

private:
    struct Expansion {
        std::vector<IdentityCirc> rewrites;
        std::exception_ptr error;
    };

    std::vector<IdentityCirc> expand(const IdentityCirc& id) const;

    const RuleMap& rules_;
    const IdentitySet& proved_;
    std::uint64_t max_size_;
    StepMemo& memo_;
    std::size_t batch_ = 1;  // the size of the next batch
    std::size_t max_batch_;
    std::unordered_map<IdentitySet::Offset, Expansion> ahead_;
};

}  // namespace tsl
