// Reading of the scanner's JSON reply into the part of the tree that the verdict reads, with a
// bound on its nesting.
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

// The deepest nesting of arrays and objects a reply may have; Rspamd's replies nest four deep.
// Deeper ones are refused before the recursive JSON reader could run out of stack.
inline constexpr int reply_depth_limit = 64;

// Throws boost::property_tree::json_parser_error, naming the line, when arrays and objects open
// outside strings nest deeper than reply_depth_limit anywhere in `text`.
void check_reply_depth(const std::string& text);

// Reads `text` with the public read_json, over a stream that reads the text in place, after the
// depth check. Keeps of the tree only what the verdict reads: the top-level "action", "milter"
// and "subject" whole, the names of the "symbols" with empty values, and the root's own text.
// Throws the parser's json_parser_error.
boost::property_tree::ptree read_reply_with_read_json(const std::string& text);
