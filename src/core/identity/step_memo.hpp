// What the rewrite step remembers across the steps of one prover call (a
// build, an added identity, a query), kept per thread.
//
// - Rule lookups.  Each subcircuit the step tries is brought to canonical
//   form and looked up in the rule map.  Over a search the same subcircuits
//   come back again and again (identities reached from one another share
//   most of their pieces), so the outcome of each lookup is kept, keyed by
//   the exact gathered circuit: the entry its canonical form names, if any,
//   and the renaming that produced the form, both just what computing the
//   form again would give.
// - Checked identities.  Every rewritten identity, in canonical rotated
//   form, passes the randomised identity check before it is used; most of
//   them are met many times over a search, and one that passed once is not
//   checked again.
//
// The memo has one shard per thread of the process-wide pool and one for
// the thread that owns it; a thread only ever touches its own shard, so
// nothing is locked.  Each part of a shard has a bound and starts over when
// it is full: a shard holds at most 16 MiB of lookups and 2^18 identities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "identity/circ.hpp"
#include "identity/identity_set.hpp"
#include "identity/rewrite_step.hpp"

namespace tsl {

class StepMemo {
public:
    struct Lookup {
        std::optional<std::size_t> entry;  // the rule map entry of the canonical form
        Permut32 renaming;                 // the renaming that gave the form
    };

    // Rule lookups by gathered circuit: open addressing over fixed slots,
    // each holding a circuit of up to kMaxLen instructions and its lookup in
    // one cache line; longer circuits are not kept.  At most half full; a
    // full table of kMaxSlots starts over.
    class LookupTable {
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

    // Identities whose check passed; at most kMaxMembers, then it starts over.
    class CheckedSet {
    public:
        static constexpr std::size_t kMaxMembers = std::size_t{1} << 18;

        // The identity, after its check when it is not yet known to pass;
        // panics as the check does.
        const IdentityCirc& checked(const IdentityCirc& id);

    private:
        IdentitySet passed_;
    };

    struct Shard {
        LookupTable lookups;
        CheckedSet checked;
    };

    // Shards for the threads of the process-wide pool and the calling thread.
    StepMemo();

    // The running thread's shard; none on a thread the memo has no shard
    // for (a worker of another pool).
    Shard* shard();

private:
    std::vector<Shard> shards_;
};

}  // namespace tsl
