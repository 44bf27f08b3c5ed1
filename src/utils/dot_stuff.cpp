// Dot-stuffing of a message text for the SMTP DATA phase, over views of its lines into an output
// reserved once. A bare LF ends a line like CRLF does and goes out as CRLF, so that a mail server
// that takes a bare LF as a line end reads the same lines, and the same end of data, as one that
// does not.
#include "utils/dot_stuff.hpp"

#include <string_view>

namespace {

// The bytes the output needs beyond the input's: one per line for a doubled dot, one per bare LF
// for its CR, the dot and CRLF of an unended last line, the final "." and the CRLF that the SMTP
// writer appends to it.
std::size_t extra_bytes(std::string_view input) {
    std::size_t extra = 1 + 2 + 1 + 2;
    for (auto lf = input.find('\n'); lf != std::string_view::npos; lf = input.find('\n', lf + 1))
        extra += (lf == 0 || input[lf - 1] != '\r') ? 2U : 1U;
    return extra;
}

// Appends one line without its line end: a leading "." doubled, then the line and CRLF.
void append_line(std::string_view line, std::string& output) {
    if (!line.empty() && line.front() == '.') output.push_back('.');
    output.append(line);
    output.append("\r\n");
}

} // namespace

void smtp_dot_stuff(const std::string& input, std::string& output) {
    const std::string_view text(input);
    output.clear();
    output.reserve(text.size() + extra_bytes(text));
    std::size_t start = 0;
    for (auto lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
        // The CR of a CRLF belongs to the line end; it is always inside the current line.
        const auto end = (lf > start && text[lf - 1] == '\r') ? lf - 1 : lf;
        append_line(text.substr(start, end - start), output);
        start = lf + 1;
    }
    if (start < text.size()) append_line(text.substr(start), output);
    output.push_back('.');
}
