// The reference for parse_scan_reply: what read_json makes of a reply text, cut down to the parts
// the verdict reads. Shared by the unit tests and the fuzz target.
#pragma once

#include <optional>
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "lmtp_server/verdict.hpp"

namespace scan_reply_oracle {

// From the full tree: "action" and "milter" whole, the names of "symbols" with empty values,
// the root's own text; nothing else.
inline boost::property_tree::ptree verdict_part(const boost::property_tree::ptree& full) {
    boost::property_tree::ptree part;
    part.data() = full.data();
    for (const auto& [name, value] : full) {
        if (name == "action" || name == "milter") part.push_back({name, value});
        if (name != "symbols") continue;
        boost::property_tree::ptree names;
        names.data() = value.data();
        for (const auto& member : value) names.push_back({member.first, {}});
        part.push_back({name, names});
    }
    return part;
}

// The outcome of reading a text: the tree, or the parser's error text.
struct outcome {
    std::optional<boost::property_tree::ptree> tree;
    std::string error;
};

inline outcome read_with_parse_scan_reply(const std::string& text) {
    try {
        return {parse_scan_reply(text), {}};
    } catch (const boost::property_tree::json_parser_error& e) {
        return {std::nullopt, e.what()};
    }
}

inline outcome read_with_read_json(const std::string& text) {
    std::istringstream in(text);
    boost::property_tree::ptree full;
    try {
        boost::property_tree::read_json(in, full);
    } catch (const boost::property_tree::json_parser_error& e) {
        return {std::nullopt, e.what()};
    }
    return {verdict_part(full), {}};
}

// Empty when parse_scan_reply reads `text` as the reference does; else what differs.
inline std::string difference(const std::string& text) {
    const outcome got = read_with_parse_scan_reply(text);
    const outcome want = read_with_read_json(text);
    if (got.tree.has_value() != want.tree.has_value()) {
        return "accepted by one reader only: \"" + got.error + "\" vs \"" + want.error + "\"";
    }
    if (!want.tree) return got.error == want.error ? "" : got.error + " vs " + want.error;
    return *got.tree == *want.tree ? "" : "different trees";
}

} // namespace scan_reply_oracle
