// What the rewrite step remembers across the steps of one prover call (a
// build, an added identity, a query), shared by the threads that run it.
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
// Both are tables that every thread reads and fills without locks (see
// CircMemoTable), so what one thread learns no other works out again, however
// many threads there are.  They grow and start over only in `settle`, which
// the owner calls between the pool jobs that use the memo.  Each holds at most
// 2^17 circuits (16 MiB of lookups, 24 MiB of identities) and starts over
// when it is full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"
#include "prover/circ_memo_table.hpp"
#include "prover/rewrite_step.hpp"

namespace tsl {

class StepMemo {
public:
    struct Lookup {
        std::optional<std::size_t> entry;  // the rule map entry of the canonical form
        Permut32 renaming;                 // the renaming that gave the form
    };

    // Rule lookups by gathered circuit, one cache line each; circuits of
    // more than kMaxLen instructions are not kept.
    class LookupTable {
    public:
        static constexpr std::size_t kMaxLen = 11;
        static constexpr std::size_t kMinSlots = std::size_t{1} << 12;
        static constexpr std::size_t kMaxSlots = std::size_t{1} << 18;

        std::optional<Lookup> find(const CircView& gathered, std::uint64_t hash) const;
        void insert(const CircView& gathered, std::uint64_t hash, const Lookup& lookup);
        void settle() { table_.settle(); }

    private:
        struct Stored {
            std::uint32_t entry;  // kNoEntry: no key
            std::uint32_t renaming;
        };
        static constexpr std::uint32_t kNoEntry = UINT32_MAX;
        CircMemoTable<kMaxLen, Stored> table_{kMinSlots, kMaxSlots};
    };

    // Identities whose check passed, 96 bytes each: the rewrite step takes
    // identities of fewer than 20 instructions, and longer ones would be
    // checked every time.
    class CheckedSet {
    public:
        static constexpr std::size_t kMaxLen = 21;
        static constexpr std::size_t kMinSlots = std::size_t{1} << 11;
        static constexpr std::size_t kMaxSlots = std::size_t{1} << 18;

        // The identity, after its check when it is not yet known to pass;
        // panics as the check does.
        const IdentityCirc& checked(const IdentityCirc& id);
        void settle() { table_.settle(); }

    private:
        struct Nothing {};
        CircMemoTable<kMaxLen, Nothing> table_{kMinSlots, kMaxSlots};
    };

    LookupTable lookups;
    CheckedSet checked;

    // Makes room in both tables; only while no other thread uses the memo,
    // such as between the pool jobs of its owner.
    void settle() {
        lookups.settle();
        checked.settle();
    }
};

}  // namespace tsl
