// Fuzz target for the configuration-language reader: any text parses or fails with an error
// text, the tree it gives answers every lookup and conversion consistently, and a tree written
// back as JSON reads back as the same tree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "fuzz_text.hpp"
#include "include_files.hpp"
#include "ucl/ucl.hpp"

namespace {

// Ends the run with a message when an expectation about the reader does not hold.
void expect(bool condition, const std::string& what) {
    if (condition) return;
    std::fprintf(stderr, "ucl fuzz: %s\n", what.c_str());
    std::abort();
}

// Whether a text could be changed by the reader on a second reading (variables, macros).
bool is_special(std::string_view text) {
    return text.find('$') != std::string_view::npos || text.starts_with('.');
}

// Two trees hold the same values; with `numbers_loosely`, a time value equals a float of the
// same number of seconds (JSON has no time values).
bool same_tree(const ucl::Ucl& a, const ucl::Ucl& b, bool numbers_loosely) {
    if (static_cast<bool>(a) != static_cast<bool>(b)) return false;
    auto type_a = a.type();
    auto type_b = b.type();
    if (numbers_loosely) {
        if (type_a == ucl::Type::time) type_a = ucl::Type::floating;
        if (type_b == ucl::Type::time) type_b = ucl::Type::floating;
    }
    if (type_a != type_b) return false;
    switch (type_a) {
    case ucl::Type::null:
        return true;
    case ucl::Type::boolean:
        return a.bool_value() == b.bool_value();
    case ucl::Type::integer:
        return a.toint_safe() == b.toint_safe();
    case ucl::Type::floating:
    case ucl::Type::time:
        return a.number_value() == b.number_value() ||
               (std::isnan(a.number_value()) && std::isnan(b.number_value()));
    case ucl::Type::string:
        return a.string_value() == b.string_value();
    case ucl::Type::array:
        if (a.items().size() != b.items().size()) return false;
        for (std::size_t i = 0; i < a.items().size(); ++i)
            if (!same_tree(a.items()[i], b.items()[i], numbers_loosely)) return false;
        return true;
    case ucl::Type::object:
        if (a.members().size() != b.members().size()) return false;
        for (std::size_t i = 0; i < a.members().size(); ++i) {
            if (a.members()[i].first != b.members()[i].first) return false;
            if (!same_tree(a.members()[i].second, b.members()[i].second, numbers_loosely))
                return false;
        }
        return true;
    }
    return false;
}

// The tree as JSON text; false when it holds something JSON cannot carry faithfully (a number
// that is not finite) or that the reader would read differently (a variable, a macro name).
bool to_json(const ucl::Ucl& value, std::string& out) {
    switch (value.type()) {
    case ucl::Type::null:
        out += "null";
        return true;
    case ucl::Type::boolean:
        out += value.bool_value() ? "true" : "false";
        return true;
    case ucl::Type::integer:
        out += std::to_string(*value.toint_safe());
        return true;
    case ucl::Type::floating:
    case ucl::Type::time: {
        const double number = value.number_value();
        if (!std::isfinite(number)) return false;
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", number);
        out += text;
        if (std::string_view(text).find_first_of(".e") == std::string_view::npos) out += ".0";
        return true;
    }
    case ucl::Type::string:
        if (is_special(value.string_value())) return false;
        out += json_string(value.string_value());
        return true;
    case ucl::Type::array: {
        out += '[';
        const char* separator = "";
        for (const auto& item : value.items()) {
            out += separator;
            separator = ",";
            if (!to_json(item, out)) return false;
        }
        out += ']';
        return true;
    }
    case ucl::Type::object: {
        out += '{';
        const char* separator = "";
        for (const auto& [key, member] : value.members()) {
            if (is_special(key) || key.find('\0') != std::string::npos) return false;
            out += separator;
            separator = ",";
            out += json_string(key) + ":";
            if (!to_json(member, out)) return false;
        }
        out += '}';
        return true;
    }
    }
    return false;
}

// Checks the conversions and lookups of every value of the tree.
void check_value(const ucl::Ucl& value, int depth) {
    expect(depth < 10000, "the tree is deeper than any text could make it");
    const auto number = value.toint_safe();
    switch (value.type()) {
    case ucl::Type::integer:
        expect(number.has_value(), "an integer has no integer value");
        break;
    case ucl::Type::floating:
    case ucl::Type::time: {
        const double seconds = value.number_value();
        if (std::isfinite(seconds) && std::fabs(seconds) < 9.0e18) {
            expect(number.has_value() && *number == static_cast<std::int64_t>(std::trunc(seconds)),
                   "a number is not truncated toward zero");
        }
        break;
    }
    default:
        expect(!number.has_value(), "a value that is no number has an integer value");
        break;
    }
    if (value.type() != ucl::Type::string) {
        expect(value.string_value("default") == "default", "a non-string has a string value");
    }
    if (value.type() != ucl::Type::object) {
        const ucl::Ucl missing = value.lookup("rspamd");
        expect(static_cast<bool>(missing) && missing.type() == ucl::Type::null,
               "a lookup on a value that is no object does not give null");
        expect(value.members().empty(), "a value that is no object has members");
    }
    if (value.type() != ucl::Type::array) expect(value.items().empty(), "a non-array has items");
    for (const auto& item : value.items())
        check_value(item, depth + 1);
    for (std::size_t i = 0; i < value.members().size(); ++i) {
        const auto& [key, member] = value.members()[i];
        std::size_t first = 0;
        while (value.members()[first].first != key)
            ++first;
        if (first == i) {
            expect(same_tree(value.lookup(key), member, false),
                   "a lookup does not give the first value of its key");
        }
        check_value(member, depth + 1);
    }
}

} // namespace

// Writes the files that inputs may include.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_include_files();
    return 0;
}

// Parses the input twice (the same result both times), checks the tree, and reads its JSON form.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Included files are read from the file system: keep the rest of the system out of reach.
    if (reaches_too_far(text)) return 0;
    std::string error;
    const ucl::Ucl root = ucl::Ucl::parse(text, error);
    std::string error_again;
    const ucl::Ucl again = ucl::Ucl::parse(text, error_again);
    expect(error == error_again, "two readings of one text fail differently");
    expect(same_tree(root, again, false), "two readings of one text differ");
    if (!error.empty()) {
        expect(!root, "a failed reading returned a value");
        return 0;
    }
    expect(static_cast<bool>(root), "a successful reading returned no value");
    check_value(root, 0);

    std::string json;
    if (!to_json(root, json)) return 0;
    std::string json_error;
    const ucl::Ucl reread = ucl::Ucl::parse(json, json_error);
    expect(json_error.empty(),
           "the tree's JSON form does not read back: " + json_error + "\nJSON: " + json);
    expect(same_tree(root, reread, true),
           "the tree's JSON form reads back differently\nJSON: " + json);
    return 0;
}
