// Dot-stuffing of a message text for the SMTP DATA phase, over views of its lines into an output
// reserved once.
#include "utils/dot_stuff.hpp"

#include <string_view>

namespace {

// Number of pieces between the CRLFs of `input`: one more than the number of CRLFs.
std::size_t count_pieces(std::string_view input) {
    std::size_t pieces = 1;
    for (auto at = input.find("\r\n"); at != std::string_view::npos;
         at = input.find("\r\n", at + 2))
        ++pieces;
    return pieces;
}

// Appends one piece as a line: a leading "." doubled, then the piece and CRLF.
void append_line(std::string_view piece, std::string& output) {
    if (!piece.empty() && piece.front() == '.') output.push_back('.');
    output.append(piece);
    output.append("\r\n");
}

} // namespace

void smtp_dot_stuff(const std::string& input, std::string& output) {
    const std::string_view text(input);
    output.clear();
    output.reserve(text.size() + count_pieces(text) + 3);
    std::size_t start = 0;
    for (auto end = text.find("\r\n"); end != std::string_view::npos;
         end = text.find("\r\n", start)) {
        append_line(text.substr(start, end - start), output);
        start = end + 2;
    }
    if (start < text.size()) append_line(text.substr(start), output);
    output.push_back('.');
}
