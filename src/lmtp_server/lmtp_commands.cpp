// Command recognition, XFORWARD attribute capture, DATA unstuffing and reply building.
#include "lmtp_server/lmtp_commands.hpp"

#include <array>
#include <utility>

#include "smtp_client/xforward_attributes.hpp"
#include "utils/ascii_text.hpp"

namespace {

// Stores `value` in the attribute called `name`; false when the name is not an attribute.
bool store_attribute(std::string_view name, std::string_view value, XForwardData& xforward) {
    for (const auto& attribute : xforward_attributes) {
        if (name == attribute.name) {
            (xforward.*attribute.value).assign(value);
            return true;
        }
    }
    return false;
}

} // namespace

std::string trim_text(std::string_view text) {
    return std::string(trim_ascii_space(text));
}

command_line parse_command(std::string_view line) {
    static constexpr std::array<std::pair<std::string_view, lmtp_command>, 7> commands{{
        {"LHLO", lmtp_command::lhlo},
        {"XFORWARD", lmtp_command::xforward},
        {"MAIL FROM:", lmtp_command::mail_from},
        {"RCPT TO:", lmtp_command::rcpt_to},
        {"DATA", lmtp_command::data},
        {"RSET", lmtp_command::rset},
        {"QUIT", lmtp_command::quit},
    }};
    for (const auto& [word, command] : commands) {
        if (starts_with_ascii_nocase(line, word)) {
            return {command, trim_text(line.substr(word.size()))};
        }
    }
    return {};
}

std::vector<std::string> apply_xforward(std::string_view arguments, XForwardData& xforward) {
    std::vector<std::string> unknown;
    const std::string text = trim_text(arguments);
    std::string_view rest = text;
    while (true) {
        const auto blank = rest.find(' ');
        const std::string_view token = rest.substr(0, blank);
        const auto equals = token.find('=');
        if (equals != std::string_view::npos) {
            const auto name = token.substr(0, equals);
            const auto value = token.substr(equals + 1);
            const bool placeholder = value == "[UNAVAILABLE]" || value == "[TEMPUNAVAIL]";
            if (!placeholder && !store_attribute(name, value, xforward)) {
                unknown.emplace_back(name);
            }
        }
        if (blank == std::string_view::npos) break;
        rest.remove_prefix(blank + 1);
    }
    xforward.has_data = true;
    return unknown;
}

bool append_data_line(std::string_view line, std::string& buffer) {
    if (line == "." || line == ".\r") return false;
    if (!line.empty() && line.front() == '.') line.remove_prefix(1);
    buffer.append(line);
    buffer.push_back('\n');
    return true;
}

std::string transaction_reply(std::string_view line, std::size_t recipients) {
    std::string reply(line);
    for (std::size_t i = 1; i < recipients; ++i) {
        reply.append("\r\n");
        reply.append(line);
    }
    return reply;
}

bool is_closing_reply(std::string_view reply) {
    return starts_with_ascii_nocase(reply, "221") || starts_with_ascii_nocase(reply, "421");
}
