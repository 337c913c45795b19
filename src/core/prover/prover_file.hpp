// The prover file: the postcard encoding of an IdentityProver's three
// fields, no header or version:
//
//   varint n | n x identity                       assume, in order
//   varint m | m x identity                       proved
//   varint k | k x (key circuit | varint j | j x circuit)   circ_map
//
// Circuits and identities use the postcard form of circ_serial.hpp.  The
// entries of `proved` and `circ_map` are written in their insertion order;
// readers must not depend on any order.  Bytes after the rule map are
// ignored; nothing beyond the encoding is validated on loading.  The file
// names gates, and its canonical forms follow the saving process's gate
// order: loading brings them into this process's forms where that order
// may differ from this one's (prover/loaded_forms.hpp), so a loaded prover
// answers as the saved one did whatever order the gates were created in.
// Saving goes through base/file_io.hpp.
// A regular file with one link, or a new one, is replaced only once every
// byte was written and synced: a failed or killed save leaves it as it was,
// and nothing behind, except where the file system refuses unnamed files
// (FUSE, for one): the replacement is then a named temporary file beside the
// target, `.<name>.tmp-XXXXXXXX`, which a killed save leaves behind (no save
// removes one: another save may be writing it).
// A regular file that cannot be replaced (more hard links, for one) is
// encoded whole, the space of its new length reserved without changing its
// size, and then overwritten in place: a failure up to there (a full disk, a
// size limit), or a kill, leaves it as it was; a failure or kill during the
// overwrite leaves it torn, the new bytes written so far followed by the rest
// of the old ones.  Where the file system cannot reserve space past the end
// of a file, the reservation gives it the new length at once, zero bytes
// after the old end, and a kill before the overwrite leaves them there.
// Other targets are written in place as the bytes come.
#pragma once

#include <string>

#include "model/postcard_file.hpp"
#include "prover/identity_prover.hpp"

namespace tsl {

// Throws FileError: Os "Failed to create file: {}", Data "Failed to write
// postcard data: {}".
void save_prover_postcard(const IdentityProver& prover, const std::string& path);

// Throws FileError: Os "Failed to open file: {}", Data "Failed to read
// postcard data: {}".  A gate name missing from the gate table panics with
// "Failed to deserialize Gate16 from {}".
IdentityProver load_prover_postcard(const std::string& path);

}  // namespace tsl
