// Register-style instructions: a gate applied to quantum register arguments,
// followed by classical ones.  Nothing checks the arguments against the gate:
// any counts, names and indices are kept as given.
#pragma once

#include <string>
#include <vector>

#include "model/argument.hpp"
#include "base/content_hash.hpp"
#include "model/gate.hpp"

namespace tsl {

struct Instruction {
    Gate16 gate;
    std::vector<Argument> qargs;  // quantum arguments
    std::vector<Argument> cargs;  // classical arguments

    // The instruction of a gate called on register arguments: the first
    // `gate.nqargs()` arguments are quantum, the rest classical.  Panics with
    // the slice-range text when fewer arguments than that are given.
    static Instruction from_call(Gate16 gate, std::vector<Argument> args);

    // "cx q[0], q[1], c[0];"; without arguments "x ;".
    void write_to(std::string& out) const;
    std::string to_string() const;

    // The gate index, then each argument list as its count and its items.
    void hash(ContentHasher& h) const {
        gate.hash(h);
        h.len(qargs.size());
        for (const Argument& a : qargs) a.hash(h);
        h.len(cargs.size());
        for (const Argument& a : cargs) a.hash(h);
    }

    friend bool operator==(const Instruction&, const Instruction&) = default;
};

}  // namespace tsl
