// The forms of keys and values written without quotes, as the UCL library reads them.
#include "ucl/atoms.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace ucl {

namespace {

constexpr std::array<suffix, 15> suffixes{{
    {"k", 1e3, 1000},
    {"m", 1e6, 1000000},
    {"g", 1e9, 1000000000},
    {"kb", 1024.0, 1024},
    {"mb", 1048576.0, 1048576},
    {"gb", 1073741824.0, 1073741824},
    {"ms", 0.001, 0},
    {"s", 1, 0},
    {"min", 60, 0},
    {"h", 3600, 0},
    {"d", 86400, 0},
    {"w", 604800, 0},
    {"y", 31536000, 0},
    {"ks", 1e3, 0}, // thousands and milliards of seconds, as the library reads them
    {"gs", 1e9, 0},
}};

// Appends the code point of the \\u escape at `at` (its four digits checked) to `out`, a pair of
// surrogate escapes as one code point; returns the bytes read.
std::size_t append_unicode_escape(std::string_view text, std::size_t at, std::string& out) {
    auto code_at = [&](std::size_t p) {
        unsigned code = 0;
        for (std::size_t i = p + 2; i < p + 6; ++i) {
            code = code * 16 + hex_digit_value(text[i]);
        }
        return code;
    };
    auto is_escape = [&](std::size_t p) {
        if (p + 6 > text.size() || text[p] != '\\' || text[p + 1] != 'u') return false;
        return std::all_of(text.begin() + static_cast<long>(p) + 2,
                           text.begin() + static_cast<long>(p) + 6, is_hex_digit);
    };
    const unsigned code = code_at(at);
    if (code >= 0xD800 && code <= 0xDBFF && is_escape(at + 6)) {
        const unsigned low = code_at(at + 6);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            append_utf8(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00), out);
            return 12;
        }
    }
    append_utf8(code, out);
    return 6;
}

} // namespace

std::optional<bool> boolean_word(std::string_view raw) {
    for (const char* word : {"true", "yes", "on"}) {
        if (equals_ignoring_case(raw, word)) return true;
    }
    for (const char* word : {"false", "no", "off"}) {
        if (equals_ignoring_case(raw, word)) return false;
    }
    return std::nullopt;
}

const suffix* find_suffix(std::string_view text) {
    for (const auto& candidate : suffixes) {
        if (equals_ignoring_case(text, candidate.name)) return &candidate;
    }
    return nullptr;
}

void append_utf8(unsigned code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

number_part scan_number(std::string_view raw) {
    number_part part;
    std::size_t i = raw.starts_with('-') ? 1 : 0;
    if (i >= raw.size() || !is_digit(raw[i])) return part;
    if (raw.substr(i, 2) == "0x" || raw.substr(i, 2) == "0X") {
        std::size_t j = i + 2;
        while (j < raw.size() && is_hex_digit(raw[j]))
            ++j;
        part.length = j;
        part.is_hex = true;
        part.no_hex_digit = j == i + 2;
        return part;
    }
    while (i < raw.size() && is_digit(raw[i]))
        ++i;
    if (i < raw.size() && raw[i] == '.') {
        part.is_float = true;
        ++i;
        while (i < raw.size() && is_digit(raw[i]))
            ++i;
    }
    if (i < raw.size() && (raw[i] == 'e' || raw[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < raw.size() && (raw[j] == '+' || raw[j] == '-')) ++j;
        if (j < raw.size() && is_digit(raw[j])) {
            while (j < raw.size() && is_digit(raw[j]))
                ++j;
            part.is_float = true;
            i = j;
        }
    }
    part.length = i;
    return part;
}

std::optional<std::int64_t> hex_value(std::string_view digits) {
    const bool negative = digits.starts_with('-');
    digits.remove_prefix(negative ? 3 : 2);
    std::uint64_t value = 0;
    for (char c : digits) {
        const unsigned digit = hex_digit_value(c);
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
        value = (value << 4) | digit;
    }
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    if (value > limit) return std::nullopt;
    if (negative) return static_cast<std::int64_t>(0 - value);
    return static_cast<std::int64_t>(value);
}

std::string unescaped_atom(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out += raw[i++];
            continue;
        }
        const char c = raw[i + 1];
        const bool unicode = c == 'u' && i + 6 <= raw.size() &&
                             std::all_of(raw.begin() + static_cast<long>(i) + 2,
                                         raw.begin() + static_cast<long>(i) + 6, is_hex_digit);
        if (unicode) {
            i += append_unicode_escape(raw, i, out);
            continue;
        }
        out += c == 'n'   ? '\n'
               : c == 't' ? '\t'
               : c == 'r' ? '\r'
               : c == 'b' ? '\b'
               : c == 'f' ? '\f'
                          : c;
        i += 2;
    }
    return out;
}

} // namespace ucl
