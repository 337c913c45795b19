// Postcard form of Circ and IdentityCirc (the same bytes for both):
//   varint count | count x (varint name length | display name | q0 | q1) | varint raw word
// The form delimits itself; nothing is written before or after it.  The
// readers validate nothing beyond the encoding: qubits, the permutation word
// and the identity property are taken as stored.
#pragma once

#include <string>

#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"
#include "base/postcard.hpp"
#include "model/serial_forms.hpp"

namespace tsl {

void write_circ(PostcardWriter& w, const Circ& c, GateNameCache& names);
inline void write_identity(PostcardWriter& w, const IdentityCirc& id, GateNameCache& names) {
    write_circ(w, id.circ, names);
}

// Throws PostcardError on malformed or missing data.
Circ read_circ(PostcardReader& r, GateLookupCache& gates);
inline IdentityCirc read_identity(PostcardReader& r, GateLookupCache& gates) {
    return IdentityCirc::from_stored(read_circ(r, gates));
}

}  // namespace tsl
