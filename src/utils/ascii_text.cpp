// ASCII-only trimming and case-insensitive prefixes.
#include "utils/ascii_text.hpp"

#include <cstddef>

namespace {

// Folds A to Z to lower case and leaves every other byte alone.
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string_view trim_ascii_space(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_ascii_space(text[begin]))
        ++begin;
    while (end > begin && is_ascii_space(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool starts_with_ascii_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
    }
    return true;
}
