// Header edits that the scanner's milter block asks for, applied to a message's header block.
#pragma once

#include "utils/mail_data.hpp"

#include <boost/property_tree/ptree.hpp>

// Removes every header named under `remove_headers` with its continuation lines, then inserts
// each `add_headers` entry, folded, at the line index of its `order`. Only `mail.headers` changes.
// A malformed entry throws (boost::property_tree::ptree_bad_path or ptree_bad_data, or
// std::runtime_error for a name or value that would break the header block) and leaves `mail`
// unchanged.
void apply_milter_headers(MailData& mail, const boost::property_tree::ptree& milter);
