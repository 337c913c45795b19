// Remembered rule-map lookups of gathered subcircuits.
//
// The rewrite step brings each subcircuit it tries to canonical form and
// looks the form up in the rule map.  Over a search the same subcircuits
// come back again and again (identities reached from one another share most
// of their pieces), so the outcome of each lookup is kept, keyed by the
// exact gathered circuit: the entry its canonical form names, if any, and
// the renaming that produced the form.  Both are what the canonical form
// itself would give, so a cached lookup changes nothing but the time.
//
// The cache has one shard per thread of the process-wide pool and one for
// the thread that owns the cache; a thread only ever touches its own shard,
// so nothing is locked.  A shard keeps at most kMaxEntries lookups and starts
// over when it is full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "identity/circ.hpp"
#include "identity/rewrite_step.hpp"

namespace tsl {

class RuleLookupCache {
public:
    struct Lookup {
        std::optional<std::size_t> entry;  // the rule map entry of the canonical form
        Permut32 renaming;                 // the renaming that gave the form
    };

    // Open addressing over fixed slots, each holding a gathered circuit of
    // up to kMaxLen instructions and its lookup in one cache line; longer
    // circuits are not kept.  At most half full; a full shard of kMaxSlots
    // starts over.
    class Shard {
    public:
        static constexpr std::size_t kMaxLen = 11;
        static constexpr std::size_t kMaxSlots = std::size_t{1} << 18;

        std::optional<Lookup> find(const CircView& gathered, std::uint64_t hash) const;
        void insert(const CircView& gathered, std::uint64_t hash, const Lookup& lookup);

    private:
        struct alignas(64) Slot {
            std::uint32_t tag;  // 0: empty
            std::uint32_t len;
            std::uint32_t perm;
            std::uint32_t entry;  // kNoEntry: no key
            std::uint32_t renaming;
            Instr32 instrs[kMaxLen];
        };
        static constexpr std::uint32_t kNoEntry = UINT32_MAX;
        static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32) | 1u; }
        bool holds(const Slot& slot, const CircView& gathered, std::uint32_t tag) const;
        std::size_t slot_of(const CircView& gathered, std::uint64_t hash) const;

        std::vector<Slot> slots_;
        std::size_t count_ = 0;
    };

    // Shards for the threads of the process-wide pool and the calling thread.
    RuleLookupCache();

    // The running thread's shard; none on a thread the cache has no shard
    // for (a worker of another pool).
    Shard* shard();

private:
    std::vector<Shard> shards_;
};

}  // namespace tsl
