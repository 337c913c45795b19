// The prover file: the postcard encoding of an IdentityProver's three
// fields, no header or version, then the gate order of the saving process:
//
//   varint n | n x identity                       assume, in order
//   varint m | m x identity                       proved
//   varint k | k x (key circuit | varint j | j x circuit)   circ_map
//   varint g | g x gate name                      gate order (g > 0 only)
//
// Circuits and identities use the postcard form of circ_serial.hpp.  The
// entries of `proved` and `circ_map` are written in their insertion order;
// readers must not depend on any order.  Nothing beyond the encoding is
// validated on loading.
//
// The file names gates, and its canonical forms follow the order in which
// a process created its gates.  The last field records the saving process's
// order of the gates beyond the built-ins that the file names, first
// created first, and is written only where every value the prover holds
// follows that order: a file that names no such gate, or whose prover was
// loaded from a file that did not tell the order of some value, ends with
// the rule map.  Readers that stop after the rule map ignore it, and a file
// without it (or with bytes after the rule map that are not such a record,
// or with a record that its rule map keys contradict) loads as one without.
// Loading keeps the stored forms where this process orders the file's gates
// as they do, and forms again those holding gates it orders otherwise
// (prover/loaded_forms.hpp).  Loaded in the order its values follow, a
// prover is the saved prover: the same assumptions, answers and
// add_identity outcomes, and it writes the same file back.  Exported proofs
// depend on the places the gates hold in the table too (an identity's
// content hash holds its gate indices): they are the same where the loading
// process created the same gates at the same places.
// Saving goes through base/file_io.hpp.
// A regular file with one link, or a new one, is replaced only once every
// byte was written and synced: a failed or killed save leaves it as it was.
// The replacement is an unnamed file, linked under a hidden name beside the
// target, `.<name>.tmp-XXXXXXXX`, just before the rename: a save killed
// between those two system calls leaves that complete copy behind.  Where
// the file system refuses unnamed files (FUSE, for one), the replacement has
// that name from the start, and a killed save leaves it behind, complete or
// not.  No save removes such a file: another save may be writing it.
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
