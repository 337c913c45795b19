// Debug texts of the register values, in the structure form of their
// representations: Argument { regid: "q", index: 0 }.
//
// Strings are shown in double quotes with escapes: \0 \t \r \n, a backslash
// before " and \, and \u{hex} (lower-case, unpadded) for every character that
// extends a grapheme (Grapheme_Extend) or is not printable (general category
// C* or Z*, the blank excepted).  Everything else, the single quote included,
// is copied as it is.
#pragma once

#include <string>
#include <string_view>

#include "model/argument.hpp"
#include "model/instruction.hpp"

namespace tpy {

bool is_grapheme_extend(char32_t c);

void write_debug_str(std::string& out, std::string_view s);
void write_debug(std::string& out, const tsl::Argument& a);
void write_debug(std::string& out, const tsl::Instruction& instr);

}  // namespace tpy
