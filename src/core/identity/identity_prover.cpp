#include "identity/identity_prover.hpp"

#include "base/fd_output.hpp"

#include <algorithm>
#include <deque>
#include <exception>
#include <string>
#include <unordered_map>

#include "base/progress_bar.hpp"
#include "base/worker_pool.hpp"
#include "identity/rule_lookup_cache.hpp"

namespace tsl {

namespace {

// The level queues of one search, holding offsets into its visited set.
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

// The rewrites of the identities one search expands.
//
// Expanding an identity reads nothing but the rules, `proved` and the
// identity, and `proved` stays as it is while a search runs, so the
// identities next in line can be expanded ahead of time, one task each on
// the pool, and their rewrites kept until the search comes to them.  The
// search still takes every identity in its own order and sees what expanding
// one at a time would give; a panic raised while expanding ahead is kept and
// raised when the search reaches that identity, and never if it does not.
// The first expansion of a search runs alone, its subsets spread over the
// pool (many searches end there); after it the batches grow to a few
// identities per pool thread, which keeps every thread busy and the search
// waiting once per batch instead of once per identity.
class Expander {
public:
    Expander(const RuleMap& rules, const IdentitySet& proved, std::uint64_t max_size, RuleLookupCache& cache)
        : rules_(rules), proved_(proved), max_size_(max_size), cache_(cache),
          max_batch_(kBatchPerThread * WorkerPool::global().num_threads()) {}

    // The rewrites of the identity at `off` in `visited`, which the search
    // has just taken from `queues`.
    std::vector<IdentityCirc> rewrites_of(IdentitySet::Offset off, const IdentitySet& visited,
                                          const LevelQueues& queues) {
        if (auto it = ahead_.find(off); it != ahead_.end()) {
            Expansion done = std::move(it->second);
            ahead_.erase(it);
            if (done.error) std::rethrow_exception(done.error);
            return std::move(done.rewrites);
        }
        std::vector<IdentitySet::Offset> batch{off};
        if (batch_ > 1)
            queues.for_each_next([&](IdentitySet::Offset next) {
                if (!ahead_.contains(next)) batch.push_back(next);
                return batch.size() < batch_;
            });
        batch_ = std::min(batch_ * 2, max_batch_);
        if (batch.size() == 1) return expand(visited.at(off));
        std::vector<IdentityCirc> ids;
        ids.reserve(batch.size());
        for (const IdentitySet::Offset o : batch) ids.push_back(visited.at(o));
        std::vector<Expansion> out(batch.size());
        parallel_for(batch.size(), [&](std::size_t i) {
            try {
                out[i].rewrites = expand(ids[i]);
            } catch (...) {
                out[i].error = std::current_exception();
            }
        });
        for (std::size_t i = 1; i < batch.size(); ++i) ahead_.emplace(batch[i], std::move(out[i]));
        if (out[0].error) std::rethrow_exception(out[0].error);
        return std::move(out[0].rewrites);
    }

private:
    static constexpr std::size_t kBatchPerThread = 8;

    struct Expansion {
        std::vector<IdentityCirc> rewrites;
        std::exception_ptr error;
    };

    std::vector<IdentityCirc> expand(const IdentityCirc& id) const {
        return apply_rules_within(rules_, proved_, id, max_size_, &cache_);
    }

    const RuleMap& rules_;
    const IdentitySet& proved_;
    std::uint64_t max_size_;
    RuleLookupCache& cache_;
    std::size_t batch_ = 1;
    std::size_t max_batch_;
    std::unordered_map<IdentitySet::Offset, Expansion> ahead_;
};

}  // namespace

IdentityProver IdentityProver::build_from_eccs(const ECCs& eccs) {
    IdentityProver prover;
    write_stderr_text("Building identity prover from " + std::to_string(eccs.eccs.size()) + " ECCs\n");
    std::vector<IdentityCirc> identities;
    {
        ProgressBar bar(eccs.eccs.size());
        for (const ECC& source : eccs.eccs) {
            const ECC ecc = source.simplify_permute();
            for (const EccCircuit& member : ecc.circs) {
                auto [key, perm] = Circ::new_no_perm(member.first).representative_with_perm();
                const Permut32 p_inv = member.second.inv();
                std::vector<Circ> list;
                for (const EccCircuit& other : ecc.circs) {
                    if (other.first == member.first) continue;
                    list.push_back(Circ::create(other.first, p_inv * other.second).permut(perm));
                }
                prover.circ_map.insert(std::move(key), std::move(list));
            }
            const Circ initial = Circ::create(ecc.circs[0].first, ecc.circs[0].second).inverse();
            for (std::size_t j = 1; j < ecc.circs.size(); ++j)
                identities.push_back((initial + Circ::create(ecc.circs[j].first, ecc.circs[j].second))
                                         .rotate_representative());
            bar.inc();
        }
        bar.finish();
    }
    std::sort(identities.begin(), identities.end());
    identities.erase(std::unique(identities.begin(), identities.end()), identities.end());

    write_stderr_text("Proving Identities\n");
    ProgressBar bar(identities.size());
    RuleLookupCache cache;
    for (const IdentityCirc& id : identities) {
        prover.add_identity_using(id, kBuildAdditionalSize, kBuildCountLimit, cache);
        bar.inc();
    }
    bar.finish();
    return prover;
}

bool IdentityProver::add_identity(const IdentityCirc& id, std::uint64_t additional_size,
                                  std::uint64_t count_limit) {
    RuleLookupCache cache;
    return add_identity_using(id, additional_size, count_limit, cache);
}

bool IdentityProver::add_identity_using(const IdentityCirc& id, std::uint64_t additional_size, std::uint64_t count_limit,
                                  RuleLookupCache& cache) {
    if (id.len() == 0 || proved.contains(id)) return false;
    auto [visited, assumed] = add_identity_search_using(id, additional_size, count_limit, cache);
    proved.insert_all(visited);
    return assumed;
}

std::pair<IdentitySet, bool> IdentityProver::add_identity_search(const IdentityCirc& id,
                                                                 std::uint64_t additional_size,
                                                                 std::uint64_t count_limit) {
    RuleLookupCache cache;
    return add_identity_search_using(id, additional_size, count_limit, cache);
}

std::pair<IdentitySet, bool> IdentityProver::add_identity_search_using(const IdentityCirc& id,
                                                                 std::uint64_t additional_size,
                                                                 std::uint64_t count_limit, RuleLookupCache& cache) {
    const std::size_t min_size = id.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    IdentitySet visited;
    LevelQueues queues(min_size);
    Expander expander(circ_map, proved, max_size, cache);
    std::uint64_t counter = 0;
    queues.push(min_size, visited.insert_get(id).first);
    while (auto off = queues.pop()) {
        for (const IdentityCirc& new_id : expander.rewrites_of(*off, visited, queues)) {
            const auto [new_off, fresh] = visited.insert_get(new_id);
            if (!fresh) continue;
            if (new_id.len() < min_size) {
                const bool assumed = add_identity_using(new_id, additional_size, count_limit, cache);
                return {std::move(visited), assumed};
            }
            if (proved.contains(new_id)) return {std::move(visited), false};
            queues.push(new_id.len(), new_off);
            ++counter;
            if (counter > count_limit) {
                assume.push_back(id);
                return {std::move(visited), true};
            }
        }
    }
    assume.push_back(id);
    return {std::move(visited), true};
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_with_visited(
    const IdentityCirc& id, std::uint64_t additional_size, std::uint64_t count_limit) const {
    RuleLookupCache cache;
    return prove_identity_using(id, additional_size, count_limit, cache);
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_using(
    const IdentityCirc& id, std::uint64_t additional_size, std::uint64_t count_limit, RuleLookupCache& cache) const {
    const std::size_t min_size = id.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    IdentitySet visited;
    LevelQueues queues(min_size);
    Expander expander(circ_map, proved, max_size, cache);
    queues.push(min_size, visited.insert_get(id).first);
    while (auto off = queues.pop()) {
        for (const IdentityCirc& new_id : expander.rewrites_of(*off, visited, queues)) {
            const auto [new_off, fresh] = visited.insert_get(new_id);
            if (!fresh) continue;
            if (new_id.len() < min_size) {
                // A shorter identity that is empty or already proved settles
                // the query; any other is queried in its own right.
                if (new_id.len() == 0 || proved.contains(new_id)) return {std::nullopt, std::move(visited)};
                auto [result, inner] = prove_identity_using(new_id, additional_size, count_limit, cache);
                visited.insert_all(inner);
                return {std::move(result), std::move(visited)};
            }
            if (proved.contains(new_id)) return {std::nullopt, std::move(visited)};
            queues.push(new_id.len(), new_off);
            if (visited.size() > count_limit) return {id, std::move(visited)};
        }
    }
    return {id, std::move(visited)};
}

}  // namespace tsl
