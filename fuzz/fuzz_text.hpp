// Text helpers shared by the fuzz targets: showing bytes in a failure report, and writing a
// text as a JSON string literal.
#pragma once

#include <cstdio>
#include <string>

// Prints `text` to standard error with control and non-ASCII bytes escaped.
inline void print_escaped(const char* label, const std::string& text) {
    std::fprintf(stderr, "%s: \"", label);
    for (const unsigned char c : text) {
        if (c == '\r')
            std::fprintf(stderr, "\\r");
        else if (c == '\n')
            std::fprintf(stderr, "\\n");
        else if (c == '\t')
            std::fprintf(stderr, "\\t");
        else if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            std::fprintf(stderr, "\\x%02x", c);
        else
            std::fputc(c, stderr);
    }
    std::fprintf(stderr, "\"\n");
}

// `text` as a JSON string literal: control bytes and DEL escaped, other bytes as they are.
inline std::string json_string(const std::string& text) {
    std::string literal = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            literal += '\\';
            literal += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            literal += escaped;
        } else {
            literal += c;
        }
    }
    return literal + "\"";
}
