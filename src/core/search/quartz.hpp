// Export of a class collection as a Quartz JSON library of equivalent
// circuits.
//
//   [[[0],[0]],{"<i in hex>_<j>":[circuit,...],...}]
//   circuit = [[q,g],[gate,...]]   q = 1 + largest used qubit, g = gate count
//   gate    = ["name",["Q0","Q1"],["Q0","Q1"]]
//
// Quartz has no trailing permutations, so class i is written once per
// distinct permutation among its circuits (variant j, in order of first
// occurrence), every circuit materialised with swaps relative to that
// permutation.  Classes with fewer than two circuits are left out.  Members
// appear in byte order of their keys; the text is compact, with no line
// break at the end.
#pragma once

#include <string>

#include "search/ecc.hpp"
#include "search/ecc_file.hpp"

namespace tsl {

// The whole document.  Panics with the length-mismatch text when the
// permutations of a written class differ in length; throws AmbiguousGateName
// for a gate whose display name reads back as another gate.
std::string quartz_document(const ECCs& eccs);

// Builds the document, then writes it to `path` as search/ecc_file.hpp says
// for the class file: a regular file with one link, or a new one, is
// replaced only once everything was written (a killed save leaves a named
// temporary file behind where the file system refuses unnamed files); one
// written in place is left as it was by a failure or a kill before the
// overwrite, and torn by a kill during it.  Throws FileError: Os "Failed to
// create file: {}", Data "Failed to write JSON: {}".
void dump_quartz(const ECCs& eccs, const std::string& path);

// Appends `s` as a JSON string literal: quotation mark, backslash and
// control characters escaped, everything else as it stands.
void append_json_string(std::string& out, std::string_view s);

}  // namespace tsl
