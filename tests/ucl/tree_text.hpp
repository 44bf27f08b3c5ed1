// A compact text of a UCL tree for the reader's tests: every member in order (duplicates
// included), floats marked "f", time values "s", strings quoted with their bytes escaped; and the
// parse of a text that must be valid.
#pragma once

#include "ucl/ucl.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace ucl_test {

// Parses a text that must be valid.
inline ucl::Ucl parse_ok(const std::string& text) {
    std::string error;
    ucl::Ucl root = ucl::Ucl::parse(text, error);
    EXPECT_EQ(error, "") << text;
    return root;
}

// The text of a number with up to 15 significant digits.
inline std::string number_text(double value) {
    std::ostringstream out;
    out.precision(15);
    out << value;
    return out.str();
}

// A string in double quotes, with quotes, backslashes and control bytes escaped.
inline std::string quoted(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += std::string("\\x") + digits[byte >> 4] + digits[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The tree as text, for example {"a":1,"b":[2.5f,120s,"x",true,null]}.
inline std::string tree_text(const ucl::Ucl& value) {
    switch (value.type()) {
    case ucl::Type::null:
        return value ? "null" : "<empty>";
    case ucl::Type::boolean:
        return value.bool_value() ? "true" : "false";
    case ucl::Type::integer:
        return std::to_string(*value.toint_safe());
    case ucl::Type::floating:
        return number_text(value.number_value()) + "f";
    case ucl::Type::time:
        return number_text(value.number_value()) + "s";
    case ucl::Type::string:
        return quoted(value.string_value());
    case ucl::Type::array: {
        std::string out = "[";
        for (const auto& item : value.items())
            out += (out.size() > 1 ? "," : "") + tree_text(item);
        return out + "]";
    }
    case ucl::Type::object: {
        std::string out = "{";
        for (const auto& [key, member] : value.members()) {
            out += (out.size() > 1 ? "," : "") + quoted(key) + ":" + tree_text(member);
        }
        return out + "}";
    }
    }
    return "?";
}

} // namespace ucl_test
