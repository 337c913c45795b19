// A circuit seen through its instructions and permutation, without owning
// them, and the hash and equality that let tables keyed by circuits look up
// such a view without building a key.
#pragma once

#include <cstddef>
#include <span>

#include "identity/circ.hpp"
#include "model/instr32.hpp"
#include "model/permut32.hpp"

namespace tsl {

// A circuit's instructions and permutation, not owned: looks a circuit up
// without building its key.
struct CircView {
    std::span<const Instr32> instrs;
    Permut32 perm;
};

struct CircFastHash {
    using is_transparent = void;
    std::size_t operator()(const Circ& c) const noexcept { return (*this)(CircView{c.instrs, c.perm}); }
    std::size_t operator()(const CircView& c) const noexcept;
};

struct CircKeyEqual {
    using is_transparent = void;
    static CircView view(const Circ& c) { return {c.instrs, c.perm}; }
    static CircView view(const CircView& c) { return c; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        const CircView x = view(a), y = view(b);
        if (x.perm != y.perm || x.instrs.size() != y.instrs.size()) return false;
        // Keys are short: a plain loop beats a call to memcmp.
        for (std::size_t i = 0; i < x.instrs.size(); ++i)
            if (!(x.instrs[i] == y.instrs[i])) return false;
        return true;
    }
};

}  // namespace tsl
