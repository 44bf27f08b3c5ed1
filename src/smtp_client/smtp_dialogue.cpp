// The pure parts of the SMTP re-injection dialogue: reply judging and command building.
#include "smtp_client/smtp_dialogue.hpp"

#include <array>
#include <utility>

#include <boost/asio/ip/host_name.hpp>
#include <spdlog/spdlog.h>

#include "smtp_client/xforward_attributes.hpp"
#include "utils/ascii_text.hpp"

namespace {

// Expected code and failure message per waiting state, indexed by the state's value.
constexpr std::array<smtp_expectation, 8> expectations{{
    {"220", "Did not receive 220 welcome message"},
    {"250", "EHLO failed"},
    {"250", "XFORWARD failed"},
    {"250", "MAIL FROM failed"},
    {"250", "RCPT TO failed"},
    {"354", "DATA command failed"},
    {"2", "Failed to send data"}, // any 2xx: the message is queued, a retry would deliver it twice
    {"221", "QUIT failed"},
}};

// Whether `c` is an ASCII decimal digit.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The event-loop library's host name lookup, as a plain function.
std::string system_host_name(boost::system::error_code& ec) {
    return boost::asio::ip::host_name(ec);
}

} // namespace

smtp_expectation expectation_of(smtp_state state) {
    return expectations.at(static_cast<std::size_t>(state));
}

bool reply_begins_with(std::string_view line, std::string_view code) {
    // ASCII case folding, which is what the classic locale does, without a locale lookup per
    // character.
    return starts_with_ascii_nocase(line, code);
}

bool is_continuation_line(std::string_view line) {
    return line.size() >= 4 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) &&
           line[3] == '-';
}

bool announces_xforward(std::string_view line) {
    return line.find("XFORWARD") != std::string_view::npos;
}

std::string xforward_command(const XForwardData& xforward) {
    std::string command = "XFORWARD";
    for (const auto& attribute : xforward_attributes) {
        const std::string& value = xforward.*attribute.value;
        if (value.empty()) continue;
        command.push_back(' ');
        command.append(attribute.name);
        command.push_back('=');
        command.append(value);
    }
    return command;
}

std::string bracket_address(const std::string& address) {
    if (address.starts_with('<')) return address;
    return "<" + address + ">";
}

std::string ehlo_host_name(host_name_source source) {
    boost::system::error_code ec;
    std::string name = source(ec);
    if (ec) {
        spdlog::warn("Could not get the local host name, using localhost: {}", ec.message());
        return "localhost";
    }
    if (name.empty()) {
        spdlog::warn("The local host name is empty, using localhost");
        return "localhost";
    }
    return name;
}

std::string ehlo_host_name() {
    return ehlo_host_name(system_host_name);
}
