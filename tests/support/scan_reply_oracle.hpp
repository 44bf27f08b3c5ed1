// The reference for the readers of the scanner's reply: what read_json makes of a reply text, cut
// down to the parts the verdict reads, and the error of a reply nested too deep for the bound.
// Shared by the unit tests and the fuzz target.
#pragma once

#include <optional>
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "lmtp_server/verdict.hpp"

namespace scan_reply_oracle {

// From the full tree: "action", "milter" and "subject" whole, the names of "symbols" with empty
// values, the root's own text; nothing else.
inline boost::property_tree::ptree verdict_part(const boost::property_tree::ptree& full) {
    boost::property_tree::ptree part;
    part.data() = full.data();
    for (const auto& [name, value] : full) {
        if (name == "action" || name == "milter" || name == "subject") {
            part.push_back({name, value});
        }
        if (name != "symbols") continue;
        boost::property_tree::ptree names;
        names.data() = value.data();
        for (const auto& member : value)
            names.push_back({member.first, {}});
        part.push_back({name, names});
    }
    return part;
}

// The outcome of reading a text: the tree, or the parser's error text.
struct outcome {
    std::optional<boost::property_tree::ptree> tree;
    std::string error;
};

// A reader under test.
using reader = boost::property_tree::ptree (*)(const std::string&);

inline outcome read_with(reader read, const std::string& text) {
    try {
        return {read(text), {}};
    } catch (const boost::property_tree::json_parser_error& e) {
        return {std::nullopt, e.what()};
    }
}

// The line of the first "[" or "{" outside strings that opens a 65th level, or 0 when there is
// none: a string runs from a quote to the next quote that no backslash escapes.
inline unsigned long too_deep_line(const std::string& text) {
    unsigned long line = 1;
    long depth = 0;
    bool quoted = false;
    bool escaped = false;
    for (const char c : text) {
        line += c == '\n' ? 1 : 0;
        if (quoted) {
            quoted = escaped || c != '"';
            escaped = !escaped && c == '\\';
            continue;
        }
        quoted = c == '"';
        depth += (c == '[' || c == '{') ? 1 : (c == ']' || c == '}') ? -1 : 0;
        if (depth > 64) return line;
    }
    return 0;
}

inline outcome read_with_read_json(const std::string& text) {
    if (const auto line = too_deep_line(text)) {
        return {std::nullopt, "<unspecified file>(" + std::to_string(line) +
                                  "): reply nested deeper than 64 levels"};
    }
    std::istringstream in(text);
    boost::property_tree::ptree full;
    try {
        boost::property_tree::read_json(in, full);
    } catch (const boost::property_tree::json_parser_error& e) {
        return {std::nullopt, e.what()};
    }
    return {verdict_part(full), {}};
}

// Empty when `got` is the reference's outcome `want`; else what differs.
inline std::string compare(const outcome& got, const outcome& want) {
    if (got.tree.has_value() != want.tree.has_value()) {
        return "accepted by one reader only: \"" + got.error + "\" vs \"" + want.error + "\"";
    }
    if (!want.tree) return got.error == want.error ? "" : got.error + " vs " + want.error;
    return *got.tree == *want.tree ? "" : "different trees";
}

// Empty when `read` (by default parse_scan_reply) reads `text` as the reference does; else what
// differs.
inline std::string difference(const std::string& text, reader read = parse_scan_reply) {
    return compare(read_with(read, text), read_with_read_json(text));
}

} // namespace scan_reply_oracle
