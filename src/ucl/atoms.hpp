// The forms of keys and values written without quotes: the bytes of keys, the words of booleans,
// numbers with their suffixes, and the escapes of unquoted values, as the UCL library reads them.
#pragma once

#include "ucl/ascii.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ucl {

// A hexadecimal digit in either letter case.
inline bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value of a hexadecimal digit.
inline unsigned hex_digit_value(char c) {
    return static_cast<unsigned>(is_digit(c) ? c - '0' : to_lower(c) - 'a' + 10);
}

// Bytes that may begin an unquoted key: ASCII letters and digits, '_', '/' (a key such as
// "/path", as the library reads it) and non-ASCII bytes.
inline bool is_key_start(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return is_digit(c) || (c >= 'a' && c <= 'z') || is_upper(c) || c == '_' || c == '/' ||
           byte >= 0x80;
}

// Bytes that may follow in an unquoted key.
inline bool is_key_char(char c) {
    return is_key_start(c) || c == '-' || c == '.' || c == '/';
}

// Bytes that end a value written without quotes (a brace or bracket only when unbalanced).
inline bool ends_value(char c) {
    return c == '\n' || c == ';' || c == ',';
}

// The value of a boolean word (true, yes, on, false, no, off in any letter case).
std::optional<bool> boolean_word(std::string_view raw);

// A number suffix: a size multiplier, or a time unit in seconds.
struct suffix {
    std::string_view name;
    double factor;
    std::int64_t size_factor; // 0 for the time units
};

// The suffix spelled by `text` in any letter case, or null.
const suffix* find_suffix(std::string_view text);

// Appends the UTF-8 encoding of one code point.
void append_utf8(unsigned code, std::string& out);

// Where a number's digits end in a word and what kind of number they write.
struct number_part {
    std::size_t length = 0; // bytes of `raw` taken by the sign, digits, fraction and exponent
    bool is_float = false;
    bool is_hex = false;
    bool no_hex_digit = false; // "0x" without a digit, which the UCL library reads as 0
};

// Finds the sign, digits, fraction and exponent at the start of a word.
number_part scan_number(std::string_view raw);

// The integer of hexadecimal digits (none is 0) with an optional minus sign; nothing when out
// of range.
std::optional<std::int64_t> hex_value(std::string_view digits);

// A value without quotes with its backslash escapes read as the UCL library reads them: the JSON
// escapes, and any other character with its backslash dropped; a final backslash stays.
std::string unescaped_atom(std::string_view raw);

} // namespace ucl
