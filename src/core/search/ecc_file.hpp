// The class-collection file: the postcard encoding of an ECCs.
//
//   varint  number of classes
//   per class:       varint number of circuits
//     per circuit:   varint number of instructions
//       per instr:   gate display name (varint length + UTF-8), qubit byte 0, qubit byte 1
//                    varint raw permutation word
//   varint  nqubits
//
// No header or version; bytes after nqubits are ignored; nothing beyond the
// encoding is validated on loading.  Both directions stream through 8192-byte
// buffers.  Saving goes through base/file_io.hpp.
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

#include <stdexcept>
#include <string>

#include "model/postcard_file.hpp"
#include "search/ecc.hpp"

namespace tsl {

// Throws FileError: Os "Failed to create file: {}", Data "Failed to write
// postcard data: {}".
void save_eccs_postcard(const ECCs& eccs, const std::string& path);

// Throws FileError: Os "Failed to open file: {}", Data "Failed to read
// postcard data: {}".  A gate name missing from the gate table panics with
// "Failed to deserialize Gate16 from {}".
ECCs load_eccs_postcard(const std::string& path);

}  // namespace tsl
