// The reply reader through the public read_json, and the nesting bound that both readers keep.
#include "lmtp_server/reply_reader.hpp"

#include <istream>
#include <streambuf>
#include <string>

#include <boost/property_tree/json_parser.hpp>

namespace {

using boost::property_tree::ptree;

// A read-only stream buffer over a text that stays where it is: the whole text is the get area,
// so nothing is copied and no character costs a virtual call.
class text_buffer : public std::streambuf {
  public:
    explicit text_buffer(const std::string& text) {
        // The get area is only read; no putback writes into it (pbackfail is not overridden).
        char* begin = const_cast<char*>(text.data());
        setg(begin, begin, begin + text.size());
    }
};

// The members of the reply that the verdict reads, as the full tree holds them.
ptree verdict_members(const ptree& full) {
    ptree part;
    part.data() = full.data();
    for (const auto& [name, value] : full) {
        if (name == "action" || name == "milter" || name == "subject")
            part.push_back({name, value});
        if (name != "symbols") continue;
        ptree names;
        names.data() = value.data();
        for (const auto& member : value)
            names.push_back({member.first, {}});
        part.push_back({name, std::move(names)});
    }
    return part;
}

} // namespace

void check_reply_depth(const std::string& text) {
    int depth = 0;
    int line = 1;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') ++line;
        if (in_string) {
            if (c == '\\') {
                ++i; // the escaped character cannot end the string
                if (i < text.size() && text[i] == '\n') ++line;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > reply_depth_limit) {
                throw boost::property_tree::json_parser_error(
                    "reply nested deeper than " + std::to_string(reply_depth_limit) + " levels",
                    std::string(), static_cast<unsigned long>(line));
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
}

ptree read_reply_with_read_json(const std::string& text) {
    check_reply_depth(text);
    text_buffer buffer(text);
    std::istream in(&buffer);
    ptree full;
    boost::property_tree::read_json(in, full);
    return verdict_members(full);
}
