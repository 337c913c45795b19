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

    class Shard {
    public:
        static constexpr std::size_t kMaxEntries = std::size_t{1} << 18;

        const Lookup* find(const CircView& gathered, std::uint64_t hash) const;
        void insert(const CircView& gathered, std::uint64_t hash, const Lookup& lookup);

    private:
        struct Record {
            std::size_t offset;  // of the instructions in arena_
            std::size_t len;
            Permut32 perm;
            Lookup lookup;
        };
        std::size_t slot_of(const CircView& gathered, std::uint64_t hash) const;
        void place(std::size_t index, std::uint64_t hash);

        std::vector<Instr32> arena_;
        std::vector<Record> records_;
        // Open addressing, at most half full: 0 empty, else the hash's upper
        // half << 32 | (record index + 1).
        std::vector<std::uint64_t> slots_;
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
