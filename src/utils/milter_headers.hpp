// Header edits that the scanner's reply asks for (its milter block, a new subject), applied to a
// message's header block.
#pragma once

#include "utils/mail_data.hpp"

#include <string>

#include <boost/property_tree/ptree.hpp>

// Removes every header named under `remove_headers` with its continuation lines, then inserts
// each `add_headers` entry, folded, at the line index of its `order`: an entry is an object with
// "value" and "order", an array of such objects, or a plain string (inserted as order -1). Only
// `mail.headers` changes.
// A malformed entry throws (boost::property_tree::ptree_bad_path or ptree_bad_data, or
// std::runtime_error for a name or value that would break the header block) and leaves `mail`
// unchanged.
void apply_milter_headers(MailData& mail, const boost::property_tree::ptree& milter);

// Replaces the first Subject header, with its continuation lines, by "Subject: " and `subject`
// folded as an added header is, in the same place; removes every other Subject header; puts the
// new one on top of a block that has none. Only `mail.headers` changes. A subject whose line
// breaks would end the header block throws std::runtime_error and leaves `mail` unchanged.
void replace_subject(MailData& mail, const std::string& subject);
