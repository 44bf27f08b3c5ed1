// The macros on top of the grammar: .include, .try_include, .includes, .priority, .load and
// .inherit with their options and their argument. Files are reached only through the text's
// file access; each included file is read by a parser of its own.
#pragma once

#include "ucl/members.hpp"
#include "ucl/parser.hpp"

namespace ucl {

// Reads the macro at the reader's position (its '.') with its options and its argument, and does
// what it says: members go into `members`, .priority changes the text's priority.
void read_macro(parser& reader, member_list& members);

} // namespace ucl
