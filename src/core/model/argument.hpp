// Register arguments: one named element of a register, such as q[0] or c[2],
// used by register-style instructions.
#pragma once

#include <cstdint>
#include <string>

#include "base/content_hash.hpp"

namespace tsl {

struct Argument {
    std::string regid;        // register name (UTF-8)
    std::uint64_t index = 0;  // element of the register

    // "q[0]".
    void write_to(std::string& out) const;
    std::string to_string() const;

    // The name's bytes and 0xFF, then the index as 8 bytes.
    void hash(ContentHasher& h) const {
        h.str(regid);
        h.u64(index);
    }

    friend bool operator==(const Argument&, const Argument&) = default;
};

}  // namespace tsl
