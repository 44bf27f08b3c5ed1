// The ASCII classes and case folding of the configuration language, shared by the reader and its
// macro options; independent of the locale (the process sets none).
#pragma once

#include <cstddef>
#include <string_view>

namespace ucl {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

inline bool is_upper(char c) {
    return c >= 'A' && c <= 'Z';
}

inline char to_lower(char c) {
    return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whitespace of the configuration language: the ASCII blanks, the line break included (the
// bytes that strtol skips, too).
inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Equality with ASCII letters compared without regard to case.
inline bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (to_lower(a[i]) != to_lower(b[i])) return false;
    }
    return true;
}

} // namespace ucl
