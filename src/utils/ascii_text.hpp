// ASCII-only text tests used across the dialogues and the header code: whitespace, trimming and
// case-insensitive prefixes, all independent of the locale.
#pragma once

#include <string_view>

// One of the six ASCII whitespace bytes: space, tab, line feed, vertical tab, form feed, carriage
// return (the classic locale's spaces; GLib's g_ascii_isspace leaves out the vertical tab).
inline bool is_ascii_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// `text` without its leading and trailing ASCII whitespace; a view into `text`.
std::string_view trim_ascii_space(std::string_view text);

// Whether `text` begins with `prefix`, A to Z matching a to z; other bytes must be equal.
bool starts_with_ascii_nocase(std::string_view text, std::string_view prefix);
