#include "prover/search_expander.hpp"

#include <algorithm>

#include "base/worker_pool.hpp"
#include "prover/step_memo.hpp"

namespace tsl {

SearchExpander::SearchExpander(const RuleMap& rules, const IdentitySet& proved, std::uint64_t max_size,
                               StepMemo& memo)
    : rules_(rules), proved_(proved), max_size_(max_size), memo_(memo),
      max_batch_(kBatchPerThread * WorkerPool::global().num_threads()) {}

std::vector<IdentityCirc> SearchExpander::expand(const IdentityCirc& id) const {
    return apply_rules_within(rules_, proved_, id, max_size_, &memo_);
}

std::vector<IdentityCirc> SearchExpander::rewrites_of(IdentitySet::Offset off, const IdentitySet& visited,
                                                      const LevelQueues& queues) {
    if (auto it = ahead_.find(off); it != ahead_.end()) {
        Expansion done = std::move(it->second);
        ahead_.erase(it);
        if (done.error) std::rethrow_exception(done.error);
        return std::move(done.rewrites);
    }
    // No pool job is running: the memo can make room for this expansion.
    memo_.settle();
    std::vector<IdentitySet::Offset> batch{off};
    if (batch_ > 1)
        queues.for_each_next([&](IdentitySet::Offset next) {
            if (!ahead_.contains(next)) batch.push_back(next);
            return batch.size() < batch_;
        });
    batch_ = std::min(batch_ * 2, max_batch_);
    if (batch.size() == 1) return expand(visited.at(off));

    // Longer identities have many more subsets: handing them out first
    // keeps the threads from waiting on one long expansion at the end.
    std::vector<std::size_t> order(batch.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return visited.len_at(batch[a]) > visited.len_at(batch[b]);
    });
    // The tasks only read `visited`, which stays as it is while they run.
    std::vector<Expansion> out(batch.size());
    parallel_for(batch.size(), [&](std::size_t k) {
        const std::size_t i = order[k];
        try {
            out[i].rewrites = expand(visited.at(batch[i]));
            // What the search has already visited it skips, now or later
            // (the visited set only grows): such rewrites are dropped here,
            // on the pool, rather than looked up one by one by the search.
            std::erase_if(out[i].rewrites, [&](const IdentityCirc& r) { return visited.contains(r); });
        } catch (...) {
            out[i].error = std::current_exception();
        }
    });
    for (std::size_t i = 1; i < batch.size(); ++i) ahead_.emplace(batch[i], std::move(out[i]));
    if (out[0].error) std::rethrow_exception(out[0].error);
    return std::move(out[0].rewrites);
}

}  // namespace tsl
