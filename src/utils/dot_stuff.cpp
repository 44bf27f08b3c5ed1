// Dot-stuffing of a message text for the SMTP DATA phase, in one pass over views of its lines.
#include "utils/dot_stuff.hpp"

#include <string_view>
#include <vector>

namespace {

// The pieces of `input` between its CRLFs, as views; an input ending in CRLF ends in an empty one.
std::vector<std::string_view> split_at_crlf(std::string_view input) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (auto end = input.find("\r\n"); end != std::string_view::npos;
         end = input.find("\r\n", start)) {
        pieces.push_back(input.substr(start, end - start));
        start = end + 2;
    }
    pieces.push_back(input.substr(start));
    return pieces;
}

} // namespace

void smtp_dot_stuff(const std::string& input, std::string& output) {
    const auto pieces = split_at_crlf(input);
    output.clear();
    output.reserve(input.size() + pieces.size() + 3);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const auto piece = pieces[i];
        if (i + 1 == pieces.size() && piece.empty()) break;
        if (!piece.empty() && piece.front() == '.') output.push_back('.');
        output.append(piece);
        output.append("\r\n");
    }
    output.push_back('.');
}
