// Reading the macros' option lists and converting their arguments: priorities, the integer and
// escaped forms of a loaded file, glob patterns and the key named after an included file.
#include "ucl/macro_options.hpp"

#include "ucl/ascii.hpp"

#include <glob.h>

#include <filesystem>
#include <limits>

namespace ucl {

namespace {

// The flag of a boolean option; `fallback` when it is absent or no boolean.
bool flag_option(const Ucl& options, std::string_view name, bool fallback) {
    const Ucl value = options.lookup(name);
    return value.type() == Type::boolean ? value.bool_value() : fallback;
}

// The text of a string option; nothing when it is absent or no string.
std::optional<std::string> text_option(const Ucl& options, std::string_view name) {
    const Ucl value = options.lookup(name);
    if (value.type() != Type::string) return std::nullopt;
    return value.string_value();
}

// A priority option (an integer, kept to its low four bits); `fallback` otherwise.
int priority_option(const Ucl& options, int fallback) {
    const Ucl value = options.lookup("priority");
    if (value.type() != Type::integer) return fallback;
    return static_cast<int>(*value.toint_safe() & 15);
}

// The strategy a `duplicate` option names exactly; append for every other value.
duplicate_strategy strategy_named(const std::optional<std::string>& name) {
    if (name == "merge") return duplicate_strategy::merge;
    if (name == "rewrite") return duplicate_strategy::rewrite;
    if (name == "error") return duplicate_strategy::error;
    return duplicate_strategy::append;
}

// Reads the blanks at the start of `text`, an optional sign and decimal digits, saturating at
// the 64-bit limits (0 without digits); `end` is where the reading stopped, `digits` counts them.
std::int64_t leading_decimal(std::string_view text, std::size_t& end, std::size_t& digits) {
    std::size_t pos = 0;
    while (pos < text.size() && is_space(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    std::uint64_t value = 0;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    digits = 0;
    for (; pos < text.size() && is_digit(text[pos]); ++pos, ++digits) {
        const unsigned digit = static_cast<unsigned>(text[pos] - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    end = pos;
    return negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
}

} // namespace

include_options read_include_options(const Ucl& options, bool try_default, bool sign_default) {
    include_options result;
    result.try_missing = flag_option(options, "try", try_default);
    result.sign = flag_option(options, "sign", sign_default);
    result.glob = flag_option(options, "glob", false);
    const auto key = text_option(options, "key");
    result.nest = flag_option(options, "prefix", false) || key.has_value();
    result.key = key.value_or("");
    const auto target = text_option(options, "target");
    result.as_array = target && equals_ignoring_case(*target, "array");
    result.priority = priority_option(options, 0);
    result.duplicate = strategy_named(text_option(options, "duplicate"));
    return result;
}

load_options read_load_options(const Ucl& options) {
    load_options result;
    result.try_missing = flag_option(options, "try", false);
    result.key = text_option(options, "key");
    if (result.key && result.key->empty()) result.key.reset(); // no name to store the file at
    if (const auto target = text_option(options, "target")) {
        result.target = equals_ignoring_case(*target, "string") ? load_target::string
                        : equals_ignoring_case(*target, "int")  ? load_target::integer
                                                                : load_target::nothing;
    }
    result.escape = flag_option(options, "escape", false);
    result.priority = priority_option(options, 0);
    return result;
}

std::optional<int> priority_of_text(std::string_view text) {
    std::size_t end = 0;
    std::size_t digits = 0;
    const std::int64_t value = leading_decimal(text, end, digits);
    if (digits == 0 || end != text.size()) return std::nullopt;
    return static_cast<int>(value & 15);
}

std::int64_t integer_prefix(std::string_view text) {
    std::size_t end = 0;
    std::size_t digits = 0;
    return leading_decimal(text, end, digits);
}

std::string json_escaped(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (byte < 0x20) {
                out += std::string("\\u00") + hex[byte >> 4] + hex[byte & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::optional<std::vector<std::string>> glob_matches(const std::string& path) {
    if (path.find_first_of("*?") == std::string::npos) return std::nullopt;
    std::vector<std::string> paths;
    glob_t found{};
    if (::glob(path.c_str(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i)
            paths.emplace_back(found.gl_pathv[i]);
    }
    ::globfree(&found);
    return paths;
}

std::string file_key(const std::string& path) {
    std::string name = std::filesystem::path(path).filename().string();
    for (const std::string_view extension : {".conf", ".ucl"}) {
        if (name.size() > extension.size() && name.ends_with(extension)) {
            name.resize(name.size() - extension.size());
            break;
        }
    }
    return name;
}

} // namespace ucl
